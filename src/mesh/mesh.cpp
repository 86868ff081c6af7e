// The Mesh object, in its 16-bit and 32-bit index variants.
#include <algorithm>
#include <cstring>

#include "core/object_impl.h"
#include "math/fast_functions.h"
#include "mesh/adjacency.h"
#include "mesh/mesh_impl.h"
#include "mesh/optimize_core.h"

namespace lyr {
namespace {

namespace OF = OptimizeFlags;
namespace MO = MeshOptions;
using meshopt::kNone;

constexpr uint32_t kWriteOnlyOptions = MO::VertexWriteOnly | MO::IndexWriteOnly;
// Polls of the vertex-cache query before the answer is given up as never coming.
constexpr uint32_t kMaxQueryPolls = 1u << 20;

// The last device whose vertex cache was detected, process-wide and unguarded (a Mesh is used
// by one thread at a time). Only the address is kept, never a reference.
struct VertexCacheRecord {
  GraphicsDevice* device = nullptr;
  uint32_t size = 0;
  uint32_t magic = 0;
};
VertexCacheRecord g_cacheRecord;

// Holds one lock of a device buffer; every lock carries kLockNoSystemLock.
class ScopedLock {
 public:
  ScopedLock() = default;
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  ~ScopedLock() { Unlock(); }
  LyrResult Lock(DeviceBuffer* buffer, uint32_t flags) {
    Unlock();
    void* p = nullptr;
    LyrResult r = buffer->LockBuffer(0, 0, &p, flags | kLockNoSystemLock);
    if (Failed(r)) return r;
    buffer_ = buffer;
    data_ = static_cast<uint8_t*>(p);
    return r;
  }
  void Unlock() {
    if (buffer_) buffer_->UnlockBuffer();
    buffer_ = nullptr;
    data_ = nullptr;
  }
  uint8_t* data() const { return data_; }

 private:
  DeviceBuffer* buffer_ = nullptr;
  uint8_t* data_ = nullptr;
};

// Calls the device's declaration-object creation with the platform's debug output muted; a
// failure leaves *out null and is not an error.
void MakeDeclarationQuietly(GraphicsDevice* device, const VertexElement* elements,
                            DeclarationObject** out) {
  *out = nullptr;
  SetPlatformDebugQuiet(1);
  DeclarationObject* object = nullptr;
  LyrResult r = device->MakeDeclarationObject(elements, &object);
  SetPlatformDebugQuiet(0);
  if (Succeeded(r))
    *out = object;
  else
    SafeRelease(object);
}

// Vertex-cache size and magic number of a device (see the record above).
void DetectVertexCache(GraphicsDevice* device, PlatformRoot* root, uint32_t adapter, uint32_t* size,
                       uint32_t* magic) {
  AdapterIds ids = {};
  if (root && Succeeded(root->ReadAdapterIds(adapter, 0, &ids)) && ids.vendorId == 0x1002 &&
      ids.deviceId >= 0x5144 && ids.deviceId <= 0x5147) {
    *size = 0;
    *magic = 0;
    return;
  }
  VertexCacheInfo info = {0, 1, 12, 7};
  bool ok = Succeeded(device->MakeQuery(kQueryVertexCache, nullptr));
  if (ok) {
    Query* query = nullptr;
    ok = Succeeded(device->MakeQuery(kQueryVertexCache, &query)) && query &&
         Succeeded(query->StartQuery(kQueryIssueEnd));
    if (ok) {
      VertexCacheInfo answer = {};
      LyrResult r = kQueryNotReady;
      for (uint32_t i = 0; i < kMaxQueryPolls && r == kQueryNotReady; ++i)
        r = query->PollQuery(&answer, sizeof answer, kQueryFlush);
      ok = r == Ok;
      if (ok) info = answer;
    }
    SafeRelease(query);
  }
  if (!ok) info = {0, 1, 12, 7};
  if (info.method == 0) info.cacheSize = info.magicNumber = 0;
  *size = info.cacheSize;
  *magic = info.magicNumber;
}

template <class T>
class MeshImpl final : public Mesh, public MeshInternal {
 public:
  static constexpr bool kWide = sizeof(T) == 4;
  static constexpr T kNoneT = static_cast<T>(~T(0));
  static constexpr uint32_t kIndexFormat = kWide ? kIndexFormat32 : kIndexFormat16;
  // Face and vertex counts the variant refuses from this value on.
  static constexpr uint32_t kCountLimit = kWide ? 0xFFFFFFFFu : 0xFFFFu;

  // Construction: copies the declaration and derives the buffer pools and usages from options.
  static LyrResult Make(uint32_t options, const VertexElement* declaration, GraphicsDevice* device,
                        MeshImpl** out) {
    MeshImpl* m = New<MeshImpl>();
    if (!m) return ErrOutOfMemory;
    CopyElements(m->decl_, declaration);
    m->stride_ = StreamVertexSize(m->decl_, 0);
    FormatCode code = 0;
    m->format_ = Succeeded(ElementsToFormatCode(m->decl_, &code)) ? code : 0;
    m->options_ = options;
    uint32_t both = 0;
    if (options & MO::NoClip) both |= kUsageNoClipping;
    if (options & MO::Points) both |= kUsagePoints;
    if (options & MO::HighOrder) both |= kUsageHighOrderPatches;
    if (options & MO::NPatches) both |= kUsageNPatches;
    m->vbUsage_ = both | ((options & MO::VertexWriteOnly) ? kUsageWriteOnly : 0) |
                  ((options & MO::VertexDynamic) ? kUsageDynamic : 0) |
                  ((options & MO::VertexSoftware) ? kUsageSoftwareProcessing : 0);
    m->ibUsage_ = both | ((options & MO::IndexWriteOnly) ? kUsageWriteOnly : 0) |
                  ((options & MO::IndexDynamic) ? kUsageDynamic : 0) |
                  ((options & MO::IndexSoftware) ? kUsageSoftwareProcessing : 0);
    m->vbPool_ = (options & MO::VertexSystemMemory) ? kPoolSystemMemory
                 : (options & MO::VertexManaged)    ? kPoolManaged
                                                    : kPoolDefault;
    m->ibPool_ = (options & MO::IndexSystemMemory) ? kPoolSystemMemory
                 : (options & MO::IndexManaged)    ? kPoolManaged
                                                   : kPoolDefault;
    m->state_ =
        kMeshKeepsAttributes | ((options & MO::ShareVertexBuffer) ? kMeshSharedVertexBuffer : 0);
    device->AddRef();
    m->device_ = device;
    LyrResult r = device->GetPlatformRoot(&m->root_);
    if (Failed(r)) {
      m->root_ = nullptr;
      m->Release();
      return r;
    }
    *out = m;
    return Ok;
  }

  ~MeshImpl() {
    SafeRelease(declObject_);
    SafeRelease(root_);
    SafeRelease(vb_);
    SafeRelease(ib_);
    SafeRelease(device_);
  }

  // ---- Unknown ---------------------------------------------------------------------------------

  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (outer_) return outer_->QueryInterface(iid, out);
    if (!out) return ErrInvalidCall;
    if (iid == kIidUnknown || iid == BaseMesh::kIid || iid == Mesh::kIid) {
      ++refs_;
      *out = static_cast<Mesh*>(this);
      return Ok;
    }
    *out = nullptr;
    return ErrNoInterface;
  }
  uint32_t LYR_CALL AddRef() override { return outer_ ? outer_->AddRef() : ++refs_; }
  uint32_t LYR_CALL Release() override {
    if (outer_) return outer_->Release();
    uint32_t n = --refs_;
    if (n == 0) Delete(this);
    return n;
  }

  // ---- MeshInternal ----------------------------------------------------------------------------

  uint32_t StateBits() override { return state_; }
  void SetOuter(Unknown* outer) override { outer_ = outer; }
  void VertexCacheParameters(uint32_t* size, uint32_t* magic) override {
    *size = cacheSize_;
    *magic = cacheMagic_;
  }

  LyrResult KeepAdjacency() override {
    return Guard([&] {
      adjacency_.resize(size_t(faceCapacity_) * 3, kNoneT);
      state_ |= kMeshKeepsAdjacency;
      return Ok;
    });
  }
  void AddStateBits(uint32_t bits) override { state_ |= bits; }
  void* AdjacencyData() override {
    return (state_ & kMeshKeepsAdjacency) ? adjacency_.data() : nullptr;
  }
  uint32_t* AttributeData() override { return attributes_.data(); }
  AttributeRange* TableData(uint32_t* count) override {
    *count = static_cast<uint32_t>(table_.size());
    return table_.data();
  }
  LyrResult SetValidAttributeTable(const AttributeRange* entries, uint32_t count) override {
    return Guard([&] {
      table_.assign(entries, entries + count);
      state_ |= kMeshTableValid;
      return Ok;
    });
  }

  LyrResult Resize(uint32_t faces, uint32_t vertices) override {
    return Guard([&] { return ResizeMesh(faces, vertices); });
  }

  LyrResult ResizeMesh(uint32_t faces, uint32_t vertices) {
    if (!declObject_) MakeDeclarationQuietly(device_, decl_, &declObject_);
    if (faces >= kCountLimit || vertices >= kCountLimit) return ErrInvalidCall;
    // Byte sizes must fit the devices' 32-bit lengths.
    if (uint64_t(faces) * 3 * sizeof(T) > 0xFFFFFFFFu || uint64_t(vertices) * stride_ > 0xFFFFFFFFu)
      return ErrInvalidCall;
    // A shared vertex buffer cannot grow (the other Mesh holds the same one).
    if (vertices > vertexCapacity_ && (state_ & kMeshSharedVertexBuffer) && vb_)
      return ErrInvalidCall;
    if (faces > faceCapacity_) {
      // The per-face arrays grow first: a failure later leaves them longer than needed, which
      // is harmless, while the counts stay as they were.
      attributes_.resize(faces, 0);
      if (state_ & kMeshKeepsAdjacency) adjacency_.resize(size_t(faces) * 3, kNoneT);
      if (state_ & kMeshKeepsSecondFaceArray) second_.resize(faces, 0);
      IndexBuffer* ib = nullptr;
      LyrResult r = device_->MakeIndexBuffer(faces * 3 * sizeof(T), ibUsage_, kIndexFormat, ibPool_,
                                             &ib, nullptr);
      if (Failed(r)) return r;
      Ref<IndexBuffer> fresh(ib);
      if (ib_ && faceCount_) {
        if (LyrResult c = CopyGrown(ib_, ib, faceCapacity_ * 3 * sizeof(T), faces * 3 * sizeof(T));
            Failed(c))
          return c;
      }
      SafeRelease(ib_);
      ib_ = fresh.detach();
      faceCapacity_ = faces;
    }
    if (vertices > vertexCapacity_) {
      if (state_ & kMeshKeepsPointReps) {
        const size_t old = pointReps_.size();
        pointReps_.resize(vertices);
        for (size_t v = old; v < vertices; ++v) pointReps_[v] = static_cast<T>(v);
      }
      if (!(state_ & kMeshSharedVertexBuffer) || !vb_) {
        VertexBuffer* vb = nullptr;
        LyrResult r =
            device_->MakeVertexBuffer(vertices * stride_, vbUsage_, format_, vbPool_, &vb, nullptr);
        if (Failed(r)) return r;
        Ref<VertexBuffer> fresh(vb);
        if (vb_ && vertexCount_) {
          if (LyrResult c = CopyGrown(vb_, vb, vertexCapacity_ * stride_, vertices * stride_);
              Failed(c))
            return c;
        }
        SafeRelease(vb_);
        vb_ = fresh.detach();
      }
      vertexCapacity_ = vertices;
    }
    vertexCount_ = vertices;
    faceCount_ = faces;

    DeviceCapabilities caps = {};
    LyrResult r = device_->ReadCapabilities(&caps);
    if (Failed(r)) return r;
    if (kWide && (caps.maxVertexIndex < vertexCapacity_ || caps.maxVertexIndex < 0x10000 ||
                  caps.maxPrimitiveCount < faceCapacity_))
      state_ |= kMeshDrawFromMemory;
    if (g_cacheRecord.device != device_) {
      DetectVertexCache(device_, root_, caps.adapterOrdinal, &g_cacheRecord.size,
                        &g_cacheRecord.magic);
      g_cacheRecord.device = device_;
    }
    cacheSize_ = g_cacheRecord.size;
    cacheMagic_ = g_cacheRecord.magic;
    return Ok;
  }

  // Copies the old buffer's bytes into the new one and zeroes the rest.
  static LyrResult CopyGrown(DeviceBuffer* from, DeviceBuffer* to, uint32_t oldBytes,
                             uint32_t newBytes) {
    ScopedLock src, dst;
    LyrResult r = src.Lock(from, kLockReadOnly);
    if (Failed(r)) return r;
    r = dst.Lock(to, 0);
    if (Failed(r)) return r;
    std::memcpy(dst.data(), src.data(), oldBytes);
    std::memset(dst.data() + oldBytes, 0, newBytes - oldBytes);
    return Ok;
  }

  // ---- BaseMesh --------------------------------------------------------------------------------

  LyrResult LYR_CALL DrawAttributeGroup(uint32_t id) override {
    return Guard([&] { return Draw(id); });
  }

  // The table entry of an id: first the entry at position id, else a linear search.
  const AttributeRange* FindEntry(uint32_t id) const {
    if (id < table_.size() && table_[id].attributeId == id) return &table_[id];
    for (const AttributeRange& e : table_)
      if (e.attributeId == id) return &e;
    return nullptr;
  }

  bool EntryInBounds(const AttributeRange& e) const {
    return uint64_t(e.firstFace) + e.faceCount <= faceCount_ &&
           uint64_t(e.firstVertex) + e.vertexCount <= vertexCount_;
  }

  LyrResult Draw(uint32_t id) {
    if (!vb_) return Ok;
    if (kWide && (state_ & kMeshDrawFromMemory)) return DrawFromMemory(id);
    device_->BindDeclaration(declObject_);
    device_->BindVertexStream(0, vb_, 0, stride_);
    device_->BindIndexBuffer(ib_);
    if (state_ & kMeshTableValid) {
      const AttributeRange* e = FindEntry(id);
      if (!e || e->faceCount == 0) return Ok;
      if (!EntryInBounds(*e)) return ErrInvalidCall;
      return device_->DrawIndexedTriangles(kTriangleList, 0, e->firstVertex, e->vertexCount,
                                           e->firstFace * 3, e->faceCount);
    }
    for (uint32_t f = 0; f < faceCount_;) {
      if (attributes_[f] != id) {
        ++f;
        continue;
      }
      uint32_t end = f + 1;
      while (end < faceCount_ && attributes_[end] == id) ++end;
      LyrResult r =
          device_->DrawIndexedTriangles(kTriangleList, 0, 0, vertexCount_, f * 3, end - f);
      // The 16-bit Mesh goes on whatever a draw returns; the 32-bit one stops at a failure.
      if (kWide && Failed(r)) return r;
      f = end;
    }
    return Ok;
  }

  LyrResult DrawFromMemory(uint32_t id) {
    device_->BindDeclaration(declObject_);
    uint32_t first = 0, end = faceCount_;
    if (state_ & kMeshTableValid) {
      const AttributeRange* e = FindEntry(id);
      if (!e) return Ok;
      if (!EntryInBounds(*e)) return ErrInvalidCall;
      first = e->firstFace;
      end = e->firstFace + e->faceCount;
    }
    ScopedLock vl, il;
    LyrResult r = vl.Lock(vb_, kLockReadOnly);
    if (Failed(r)) return r;
    r = il.Lock(ib_, kLockReadOnly);
    if (Failed(r)) return r;
    const T* idx = reinterpret_cast<const T*>(il.data());
    // Three vertices on the stack for usual strides; larger ones use the Mesh's scratch block.
    alignas(16) uint8_t local[3 * 256];
    uint8_t* tri = local;
    if (stride_ > 256) {
      scratch_.resize(size_t(stride_) * 3);
      tri = scratch_.data();
    }
    for (uint32_t f = first; f < end; ++f) {
      if (!(state_ & kMeshTableValid) && attributes_[f] != id) continue;
      const T* t = idx + size_t(f) * 3;
      if (t[0] == kNoneT) continue;
      for (int c = 0; c < 3; ++c) {
        if (t[c] >= vertexCount_) return ErrInvalidCall;
        std::memcpy(tri + c * stride_, vl.data() + size_t(t[c]) * stride_, stride_);
      }
      r = device_->DrawTrianglesFromMemory(kTriangleList, 1, tri, stride_);
      if (Failed(r)) return r;
    }
    return Ok;
  }

  uint32_t LYR_CALL GetFaceCount() override { return faceCount_; }
  uint32_t LYR_CALL GetVertexCount() override { return vertexCount_; }
  FormatCode LYR_CALL GetFormatCode() override { return format_; }
  LyrResult LYR_CALL CopyDeclaration(VertexElement* out) override {
    if (!out) return ErrInvalidCall;
    CopyElements(out, decl_);
    return Ok;
  }
  uint32_t LYR_CALL GetVertexStride() override { return stride_; }
  uint32_t LYR_CALL GetOptionBits() override { return options_; }
  LyrResult LYR_CALL GetOwnerDevice(GraphicsDevice** out) override {
    if (!out) return ErrInvalidCall;
    device_->AddRef();
    *out = device_;
    return Ok;
  }

  LyrResult LYR_CALL CloneFromFormatCode(uint32_t options, FormatCode code, GraphicsDevice* device,
                                         Mesh** out) override {
    return Guard([&] {
      VertexElement elements[MaxElementEntries];
      LyrResult r = FormatCodeToElements(code, elements);
      if (Failed(r)) return r;
      return Clone(options, elements, device, out);
    });
  }

  LyrResult LYR_CALL CloneWithDeclaration(uint32_t options, const VertexElement* declaration,
                                          GraphicsDevice* device, Mesh** out) override {
    return Guard([&] { return Clone(options, declaration, device, out); });
  }

  LyrResult Clone(uint32_t options, const VertexElement* declaration, GraphicsDevice* device,
                  Mesh** out) {
    if (!declaration) declaration = decl_;
    if (!out || !device || !IsSingleStream(declaration) || (options & ~MO::CloneMask))
      return ErrInvalidCall;
    const bool share = (options & MO::ShareVertexBuffer) != 0;
    if (share && (!ElementsEqual(declaration, decl_) || device != device_)) return ErrInvalidCall;
    if (options_ & kWriteOnlyOptions) return ErrInvalidCall;
    if (options & MO::Index32) return CloneAs<uint32_t>(options, declaration, device, out);
    if (faceCount_ > 0xFFFF || vertexCount_ > 0xFFFF) return ErrInvalidCall;
    return CloneAs<uint16_t>(options, declaration, device, out);
  }

  template <class U>
  LyrResult CloneAs(uint32_t options, const VertexElement* declaration, GraphicsDevice* device,
                    Mesh** out) {
    const bool share = (options & MO::ShareVertexBuffer) != 0;
    MeshImpl<U>* made = nullptr;
    LyrResult r = MakeDerived(options, declaration, device, &made);
    if (Failed(r)) return r;
    Ref<Mesh> holder(made);
    r = made->ResizeMesh(faceCount_, vertexCount_);
    if (Failed(r)) return r;
    std::copy_n(attributes_.data(), faceCount_, made->attributes_.data());
    if (state_ & kMeshKeepsSecondFaceArray)
      std::copy_n(second_.data(), faceCount_, made->second_.data());
    if (state_ & kMeshKeepsAdjacency)
      for (size_t i = 0; i < size_t(faceCount_) * 3; ++i)
        made->adjacency_[i] = Widen<U>(adjacency_[i]);
    if (state_ & kMeshKeepsPointReps)
      for (uint32_t v = 0; v < vertexCount_; ++v)
        made->pointReps_[v] = static_cast<U>(pointReps_[v]);
    made->table_.assign(table_.begin(), table_.end());
    {
      ScopedLock src, dst;
      if (Failed(r = src.Lock(ib_, kLockReadOnly)) || Failed(r = dst.Lock(made->ib_, 0))) return r;
      const T* from = reinterpret_cast<const T*>(src.data());
      U* to = reinterpret_cast<U*>(dst.data());
      for (size_t i = 0; i < size_t(faceCount_) * 3; ++i) to[i] = Widen<U>(from[i]);
    }
    if (!share) {
      ScopedLock src, dst;
      if (Failed(r = src.Lock(vb_, kLockReadOnly)) || Failed(r = dst.Lock(made->vb_, 0))) return r;
      if (ElementsEqual(declaration, decl_)) {
        std::memcpy(dst.data(), src.data(), size_t(vertexCount_) * stride_);
      } else {
        VertexConverter converter;
        BuildConverter(converter, decl_, made->decl_);
        AttachConverterData(converter, src.data(), dst.data());
        for (uint32_t v = 0; v < vertexCount_; ++v) ConvertVertex(converter, v, v, true);
      }
    } else {
      state_ |= kMeshSharedVertexBuffer;
    }
    *out = holder.detach();
    return Ok;
  }

  // A new Mesh that takes this one's state bits and, with MeshOptions::ShareVertexBuffer, a
  // reference to its vertex buffer.
  template <class U>
  LyrResult MakeDerived(uint32_t options, const VertexElement* declaration, GraphicsDevice* device,
                        MeshImpl<U>** out) {
    LyrResult r = MeshImpl<U>::Make(options, declaration, device, out);
    if (Failed(r)) return r;
    MeshImpl<U>* made = *out;
    const bool share = (options & MO::ShareVertexBuffer) != 0;
    made->state_ = (state_ & ~kMeshSharedVertexBuffer) | (share ? kMeshSharedVertexBuffer : 0);
    if (share) {
      vb_->AddRef();
      made->vb_ = vb_;
      made->vertexCapacity_ = vertexCapacity_;
    }
    return Ok;
  }

  // An index or adjacency entry at another width; all ones stays all ones.
  template <class U, class V>
  static U Widen(V v) {
    return v == static_cast<V>(~V(0)) ? static_cast<U>(~U(0)) : static_cast<U>(v);
  }

  LyrResult LYR_CALL GetVertexBufferRef(VertexBuffer** out) override { return HandOut(vb_, out); }
  LyrResult LYR_CALL GetIndexBufferRef(IndexBuffer** out) override { return HandOut(ib_, out); }
  template <class B>
  static LyrResult HandOut(B* b, B** out) {
    if (!out) return ErrInvalidCall;
    if (b) b->AddRef();
    *out = b;
    return Ok;
  }

  LyrResult LYR_CALL LockVertices(uint32_t flags, void** out) override {
    if (!out || !vb_) return ErrInvalidCall;
    return vb_->LockBuffer(0, 0, out, flags | kLockNoSystemLock);
  }
  LyrResult LYR_CALL UnlockVertices() override {
    return vb_ ? vb_->UnlockBuffer() : ErrInvalidCall;
  }
  LyrResult LYR_CALL LockIndices(uint32_t flags, void** out) override {
    if (!out || !ib_) return ErrInvalidCall;
    return ib_->LockBuffer(0, 0, out, flags | kLockNoSystemLock);
  }
  LyrResult LYR_CALL UnlockIndices() override { return ib_ ? ib_->UnlockBuffer() : ErrInvalidCall; }

  LyrResult LYR_CALL CopyAttributeTable(AttributeRange* entries, uint32_t* count) override {
    if (count) *count = static_cast<uint32_t>(table_.size());
    if (entries && !table_.empty()) std::copy(table_.begin(), table_.end(), entries);
    return Ok;
  }

  LyrResult LYR_CALL AdjacencyFromPointReps(const uint32_t* pointReps,
                                            uint32_t* adjacency) override;
  LyrResult LYR_CALL PointRepsFromAdjacency(const uint32_t* adjacency,
                                            uint32_t* pointReps) override;
  LyrResult LYR_CALL BuildAdjacency(float epsilon, uint32_t* adjacency) override;
  // Runs work(MeshArrays<T>) with the index buffer (and, when asked, the vertex buffer) locked
  // read-only and the attribute table, when there is one, as the runs to process.
  template <class F>
  LyrResult WithArrays(bool vertices, F&& work);

  LyrResult LYR_CALL ReplaceDeclaration(const VertexElement* declaration) override {
    if (!declaration || !IsSingleStream(declaration) || StreamVertexSize(declaration, 0) != stride_)
      return ErrInvalidCall;
    DeclarationObject* object = nullptr;
    MakeDeclarationQuietly(device_, declaration, &object);
    CopyElements(decl_, declaration);
    SafeRelease(declObject_);
    declObject_ = object;
    return Ok;
  }

  // ---- Mesh ------------------------------------------------------------------------------------

  LyrResult LYR_CALL LockAttributeIds(uint32_t flags, uint32_t** out) override {
    if (!out) return ErrInvalidCall;
    *out = attributes_.data();
    if (!(flags & kLockReadOnly)) {
      Vector<AttributeRange>().swap(table_);
      state_ &= ~kMeshTableValid;
    }
    return Ok;
  }
  LyrResult LYR_CALL UnlockAttributeIds() override { return Ok; }

  LyrResult LYR_CALL ReplaceAttributeTable(const AttributeRange* entries, uint32_t count) override {
    return Guard([&]() -> LyrResult {
      if (count == 0) {
        if (entries) return ErrInvalidCall;
        Vector<AttributeRange>().swap(table_);
        return Ok;
      }
      if (!entries) return ErrInvalidCall;
      for (uint32_t i = 0; i < count; ++i)
        if (!EntryInBounds(entries[i])) return ErrInvalidCall;
      table_.assign(entries, entries + count);
      return Ok;
    });
  }

  int32_t LYR_CALL CheckConsistency(const void* indices) override;

  LyrResult LYR_CALL OptimizeSelf(uint32_t flags, const uint32_t* adjacencyIn,
                                  uint32_t* adjacencyOut, uint32_t* faceRemap,
                                  Buffer** vertexRemap) override {
    if ((options_ & kWriteOnlyOptions) || (flags & 0xC0BFEFFFu)) return ErrInvalidCall;
    return OptimizeInternal(flags & ~MO::ShareVertexBuffer, adjacencyIn, adjacencyOut, faceRemap,
                            vertexRemap);
  }

  LyrResult OptimizeInternal(uint32_t flags, const uint32_t* adjacencyIn, uint32_t* adjacencyOut,
                             uint32_t* faceRemap, Buffer** vertexRemap) override {
    return Guard([&]() -> LyrResult {
      if (options_ & kWriteOnlyOptions) return ErrInvalidCall;
      LyrResult r = meshopt::CheckCoreFlags(flags, adjacencyIn != nullptr, adjacencyOut != nullptr,
                                            !table_.empty());
      if (Failed(r)) return r;
      if (state_ & kMeshSharedVertexBuffer) flags |= OF::KeepVertices;
      meshopt::CoreOutput result;
      ScopedLock il;
      if (Failed(r = RunCore(flags, adjacencyIn, adjacencyOut != nullptr, il, 0, result))) return r;
      if (!kWide && result.vertexCount > 0xFFFE) return ErrInvalidCall;
      Ref<Buffer> remap;
      if (vertexRemap && Failed(r = MakeRemapBuffer(result, remap.put()))) return r;
      Arrays arrays;
      BuildArrays(result, arrays);
      // A new vertex buffer when vertices moved; everything that can fail happens before the
      // Mesh is changed.
      Ref<VertexBuffer> vb;
      if (result.verticesMoved) {
        if (Failed(r = device_->MakeVertexBuffer(result.vertexCount * stride_, vbUsage_, format_,
                                                 vbPool_, vb.put(), nullptr)))
          return r;
        if (Failed(r = CopyVerticesTo(vb.get(), result.vertexNewToOld))) return r;
      }
      WriteIndices(reinterpret_cast<T*>(il.data()), result);
      il.Unlock();
      if (vb) {
        SafeRelease(vb_);
        vb_ = vb.detach();
        vertexCapacity_ = result.vertexCount;
      }
      Commit(result, arrays);
      WriteOutputs(flags, result, adjacencyOut, faceRemap, vertexRemap, remap);
      return Ok;
    });
  }

  LyrResult LYR_CALL OptimizeToNewMesh(uint32_t flags, const uint32_t* adjacencyIn,
                                       uint32_t* adjacencyOut, uint32_t* faceRemap,
                                       Buffer** vertexRemap, Mesh** out) override {
    return Guard([&]() -> LyrResult {
      if ((options_ & kWriteOnlyOptions) ||
          (flags & (0xC0BE2000u | MO::Index32 | MO::IndexWriteOnly)) || !out)
        return ErrInvalidCall;
      const uint32_t optionBits = flags & MO::CloneMask;
      uint32_t core = flags & ~MO::CloneMask;
      LyrResult r = meshopt::CheckCoreFlags(core, adjacencyIn != nullptr, adjacencyOut != nullptr,
                                            !table_.empty());
      if (Failed(r)) return r;
      const uint32_t options = (optionBits & ~MO::ShareVertexBuffer)
                                   ? optionBits | (options_ & MO::Index32)
                                   : (options_ & ~MO::ShareVertexBuffer) | optionBits;
      const bool share = (options & MO::ShareVertexBuffer) != 0;
      if (share || (state_ & kMeshSharedVertexBuffer)) core |= OF::KeepVertices;
      meshopt::CoreOutput result;
      {
        ScopedLock il;
        r = RunCore(core, adjacencyIn, adjacencyOut != nullptr, il, kLockReadOnly, result);
        if (Failed(r)) return r;
      }
      Ref<Buffer> remap;
      if (vertexRemap && Failed(r = MakeRemapBuffer(result, remap.put()))) return r;
      MeshImpl* made = nullptr;
      if (Failed(r = MakeDerived(options, decl_, device_, &made))) return r;
      Ref<Mesh> holder(made);
      if (Failed(r = made->ResizeMesh(result.faceCount, result.vertexCount))) return r;
      if (!share && Failed(r = CopyVerticesTo(made->vb_, result.vertexNewToOld))) return r;
      {
        ScopedLock il;
        if (Failed(r = il.Lock(made->ib_, 0))) return r;
        made->WriteIndices(reinterpret_cast<T*>(il.data()), result);
      }
      Arrays arrays;
      BuildArrays(result, arrays);
      made->Commit(result, arrays);
      if (share) state_ |= kMeshSharedVertexBuffer;
      WriteOutputs(flags, result, adjacencyOut, faceRemap, vertexRemap, remap);
      *out = holder.detach();
      return Ok;
    });
  }

 private:
  template <class>
  friend class MeshImpl;

  // Per-face and per-vertex arrays of an optimised Mesh, built before anything is committed.
  struct Arrays {
    Vector<uint32_t> attributes;
    Vector<T> adjacency;
    Vector<uint16_t> second;
    Vector<T> pointReps;
  };

  // Runs the optimiser core on this Mesh's faces. The index buffer is locked with lockFlags
  // into il and stays locked for the caller; a 32-bit Mesh's indices are read in place.
  LyrResult RunCore(uint32_t flags, const uint32_t* adjacencyIn, bool wantAdjacency, ScopedLock& il,
                    uint32_t lockFlags, meshopt::CoreOutput& out) {
    LyrResult r = il.Lock(ib_, lockFlags);
    if (Failed(r)) return r;
    Vector<uint32_t> widened;
    const uint32_t* idx = reinterpret_cast<const uint32_t*>(il.data());
    if (!kWide) {
      const T* from = reinterpret_cast<const T*>(il.data());
      widened.resize(size_t(faceCount_) * 3);
      for (size_t i = 0; i < widened.size(); ++i) widened[i] = Widen<uint32_t>(from[i]);
      idx = widened.data();
    }
    meshopt::CoreInput in;
    in.faceCount = faceCount_;
    in.vertexCount = vertexCount_;
    in.indices = idx;
    in.attributes = attributes_.data();
    in.table = table_.data();
    in.tableCount = static_cast<uint32_t>(table_.size());
    in.adjacency = adjacencyIn;
    in.flags = flags & ~MO::CloneMask;
    in.cacheSize = cacheSize_;
    in.cacheMagic = cacheMagic_;
    in.wantAdjacency = wantAdjacency;
    return meshopt::OptimizeCore(in, out);
  }

  static LyrResult MakeRemapBuffer(const meshopt::CoreOutput& result, Buffer** out) {
    if (uint64_t(result.vertexCount) * 4 > 0xFFFFFFFFu) return ErrInvalidCall;
    LyrResult r = CreateBuffer(result.vertexCount * 4, out);
    if (Failed(r)) return r;
    std::memcpy((*out)->GetBytes(), result.vertexNewToOld.data(), size_t(result.vertexCount) * 4);
    return Ok;
  }

  // Per-face arrays stay at least as long as the face capacity, per-vertex arrays as long as
  // the vertex capacity, so that a later resize within capacity never reads past them.
  void BuildArrays(const meshopt::CoreOutput& result, Arrays& a) const {
    const uint32_t F = result.faceCount, V = result.vertexCount;
    const size_t faceRoom = std::max(F, faceCapacity_), vertexRoom = std::max(V, vertexCapacity_);
    a.attributes.reserve(faceRoom);
    a.attributes.assign(result.attributes.begin(), result.attributes.end());
    a.attributes.resize(faceRoom, 0);
    if (state_ & kMeshKeepsAdjacency) {
      a.adjacency.assign(faceRoom * 3, kNoneT);
      for (uint32_t p = 0; p < F; ++p)
        for (int k = 0; k < 3; ++k) {
          const T n = adjacency_[size_t(result.faceNewToOld[p]) * 3 + k];
          const uint32_t m = n == kNoneT || n >= faceCount_ ? kNone : result.faceOldToNew[n];
          a.adjacency[size_t(p) * 3 + k] = m == kNone ? kNoneT : static_cast<T>(m);
        }
    }
    if (state_ & kMeshKeepsSecondFaceArray) {
      a.second.assign(faceRoom, 0);
      for (uint32_t p = 0; p < F; ++p) a.second[p] = second_[result.faceNewToOld[p]];
    }
    if (state_ & kMeshKeepsPointReps) {
      Vector<uint32_t> oldToNew(vertexCount_, kNone);
      for (uint32_t v = 0; v < V; ++v) {
        const uint32_t o = result.vertexNewToOld[v];
        if (o < vertexCount_ && oldToNew[o] == kNone) oldToNew[o] = v;
      }
      a.pointReps.resize(vertexRoom);
      for (size_t v = 0; v < vertexRoom; ++v) {
        const uint32_t o = v < V ? result.vertexNewToOld[v] : kNone;
        const uint32_t rep = o < vertexCount_ ? pointReps_[o] : kNone;
        const uint32_t m = rep < vertexCount_ ? oldToNew[rep] : kNone;
        a.pointReps[v] = static_cast<T>(m == kNone ? v : m);
      }
    }
  }

  LyrResult CopyVerticesTo(VertexBuffer* target, const Vector<uint32_t>& newToOld) {
    ScopedLock src, dst;
    LyrResult r;
    if (Failed(r = src.Lock(vb_, kLockReadOnly)) || Failed(r = dst.Lock(target, 0))) return r;
    const size_t n = newToOld.size();
    const auto gather = [&](auto copyVertex) {
      for (size_t v = 0; v < n; ++v) {
#if defined(__GNUC__)
        if (v + 16 < n) __builtin_prefetch(src.data() + size_t(newToOld[v + 16]) * stride_);
#endif
        copyVertex(dst.data() + v * stride_, src.data() + size_t(newToOld[v]) * stride_);
      }
    };
    if (stride_ % 4 == 0) {
      // Word by word inline: a call per vertex would cost more than the copy.
      const size_t words = stride_ / 4;
      gather([words](uint8_t* to, const uint8_t* from) {
        for (size_t w = 0; w < words; ++w) {
          uint32_t x;
          std::memcpy(&x, from + 4 * w, 4);
          std::memcpy(to + 4 * w, &x, 4);
        }
      });
    } else {
      gather([this](uint8_t* to, const uint8_t* from) { std::memcpy(to, from, stride_); });
    }
    return Ok;
  }

  static void WriteIndices(T* to, const meshopt::CoreOutput& result) {
    if constexpr (kWide) {
      std::copy_n(result.indices.data(), size_t(result.faceCount) * 3, to);
    } else {
      for (size_t i = 0; i < size_t(result.faceCount) * 3; ++i) to[i] = Widen<T>(result.indices[i]);
    }
  }

  // Installs the optimised arrays (cannot fail: every block was made beforehand).
  void Commit(meshopt::CoreOutput& result, Arrays& a) {
    attributes_.swap(a.attributes);
    if (state_ & kMeshKeepsAdjacency) adjacency_.swap(a.adjacency);
    if (state_ & kMeshKeepsSecondFaceArray) second_.swap(a.second);
    if (state_ & kMeshKeepsPointReps) pointReps_.swap(a.pointReps);
    faceCount_ = result.faceCount;
    vertexCount_ = result.vertexCount;
    if (result.tableValid) {
      table_.swap(result.table);
      state_ |= kMeshTableValid;
    } else {
      Vector<AttributeRange>().swap(table_);
      state_ &= ~kMeshTableValid;
    }
  }

  static void WriteOutputs(uint32_t flags, const meshopt::CoreOutput& result,
                           uint32_t* adjacencyOut, uint32_t* faceRemap, Buffer** vertexRemap,
                           Ref<Buffer>& remap) {
    const size_t F = result.faceOldToNew.size(), P = result.faceCount;
    if (adjacencyOut) {
      std::copy(result.adjacency.begin(), result.adjacency.end(), adjacencyOut);
      std::fill(adjacencyOut + P * 3, adjacencyOut + F * 3, kNone);
    }
    if (faceRemap) {
      if (flags & OF::FaceRemapOldToNew) {
        std::copy(result.faceOldToNew.begin(), result.faceOldToNew.end(), faceRemap);
      } else {
        std::copy(result.faceNewToOld.begin(), result.faceNewToOld.end(), faceRemap);
        std::fill(faceRemap + P, faceRemap + F, kNone);
      }
    }
    if (vertexRemap) *vertexRemap = remap.detach();
  }

  Unknown* outer_ = nullptr;
  uint32_t refs_ = 1;
  FormatCode format_ = 0;
  DeclarationObject* declObject_ = nullptr;
  VertexElement decl_[MaxElementEntries] = {};
  uint32_t options_ = 0;
  uint32_t state_ = 0;
  uint32_t ibPool_ = 0, ibUsage_ = 0, vbPool_ = 0, vbUsage_ = 0;
  GraphicsDevice* device_ = nullptr;
  PlatformRoot* root_ = nullptr;
  VertexBuffer* vb_ = nullptr;
  uint32_t stride_ = 0, vertexCount_ = 0, vertexCapacity_ = 0;
  IndexBuffer* ib_ = nullptr;
  uint32_t faceCount_ = 0, faceCapacity_ = 0;
  Vector<T> pointReps_;
  Vector<T> adjacency_;
  Vector<uint32_t> attributes_;
  Vector<uint16_t> second_;
  Vector<AttributeRange> table_;
  Vector<uint8_t> scratch_;
  uint32_t cacheSize_ = 0, cacheMagic_ = 0;
};

template <class T>
int32_t MeshImpl<T>::CheckConsistency(const void* indices) {
  ScopedLock il;
  const T* idx = static_cast<const T*>(indices);
  if (!idx) {
    if (!ib_ || Failed(il.Lock(ib_, kLockReadOnly))) return 0;
    idx = reinterpret_cast<const T*>(il.data());
  }
  const bool adj = (state_ & kMeshKeepsAdjacency) && adjacency_.size() >= size_t(faceCount_) * 3;
  const bool reps = (state_ & kMeshKeepsPointReps) && pointReps_.size() >= vertexCount_;
  for (uint32_t f = 0; f < faceCount_; ++f) {
    const T* t = idx + size_t(f) * 3;
    const T* a = adj ? &adjacency_[size_t(f) * 3] : nullptr;
    if (t[0] == kNoneT) {
      if (t[1] != kNoneT || t[2] != kNoneT) return 0;
      if (a && (a[0] != kNoneT || a[1] != kNoneT || a[2] != kNoneT)) return 0;
      continue;
    }
    if (!a) continue;
    for (int k = 0; k < 3; ++k) {
      const T v0 = t[k], v1 = t[(k + 1) % 3];
      if (v0 >= vertexCount_ || v1 >= vertexCount_ || a[k] == kNoneT) continue;
      const T n = a[k];
      if (n >= faceCount_) return 0;
      const T* nt = idx + size_t(n) * 3;
      const T* na = &adjacency_[size_t(n) * 3];
      int back = -1;
      for (int j = 0; j < 3; ++j)
        if (na[j] == f) back = j;
      if (back < 0) return 0;
      if (reps) {
        const T w0 = nt[back], w1 = nt[(back + 1) % 3];
        if (w0 >= vertexCount_ || w1 >= vertexCount_) return 0;
        const T r0 = pointReps_[v0], r1 = pointReps_[v1];
        const T s0 = pointReps_[w0], s1 = pointReps_[w1];
        if (!((r0 == s1 && r1 == s0) || (r0 == s0 && r1 == s1))) return 0;
      }
    }
  }
  for (const AttributeRange& e : table_) {
    if (uint64_t(e.firstFace) + e.faceCount > faceCount_) return 0;
    for (uint32_t f = e.firstFace; f < e.firstFace + e.faceCount; ++f)
      if (attributes_[f] != e.attributeId) return 0;
  }
  return 1;
}

template <class T>
template <class F>
LyrResult MeshImpl<T>::WithArrays(bool vertices, F&& work) {
  return Guard([&]() -> LyrResult {
    if (!ib_ || (vertices && !vb_)) return ErrInvalidCall;
    Vector<FaceRun> runs;
    runs.reserve(table_.size());
    for (const AttributeRange& e : table_) runs.push_back({e.firstFace, e.faceCount});
    ScopedLock vl, il;
    MeshArrays<T> m;
    // A write-only vertex buffer is not read: normals then play no part in choosing neighbours.
    if (vertices && !(options_ & MO::VertexWriteOnly)) {
      if (LyrResult r = vl.Lock(vb_, kLockReadOnly); Failed(r)) return r;
      if (const VertexElement* p = FindFloat3Position(decl_)) {
        m.positions = vl.data() + p->offset;
        m.stride = stride_;
      }
    }
    if (LyrResult r = il.Lock(ib_, kLockReadOnly); Failed(r)) return r;
    m.indices = reinterpret_cast<const T*>(il.data());
    m.faceCount = faceCount_;
    m.vertexCount = vertexCount_;
    m.runs = runs.empty() ? nullptr : runs.data();
    m.runCount = static_cast<uint32_t>(runs.size());
    return work(m);
  });
}

template <class T>
LyrResult MeshImpl<T>::AdjacencyFromPointReps(const uint32_t* pointReps, uint32_t* adjacency) {
  if (!adjacency || (options_ & MO::IndexWriteOnly)) return ErrInvalidCall;
  return WithArrays(true, [&](const MeshArrays<T>& m) {
    return lyr::AdjacencyFromPointReps(m, pointReps, adjacency);
  });
}

template <class T>
LyrResult MeshImpl<T>::PointRepsFromAdjacency(const uint32_t* adjacency, uint32_t* pointReps) {
  if (!adjacency || !pointReps || (options_ & MO::IndexWriteOnly)) return ErrInvalidCall;
  return WithArrays(false, [&](const MeshArrays<T>& m) {
    return lyr::PointRepsFromAdjacency(m, adjacency, pointReps);
  });
}

template <class T>
LyrResult MeshImpl<T>::BuildAdjacency(float epsilon, uint32_t* adjacency) {
  if (!adjacency || (options_ & kWriteOnlyOptions) || !FindFloat3Position(decl_))
    return ErrInvalidCall;
  return WithArrays(
      true, [&](const MeshArrays<T>& m) { return lyr::BuildAdjacency(m, epsilon, adjacency); });
}

}  // namespace

MeshInternal* GetMeshInternal(BaseMesh* mesh) {
  return dynamic_cast<MeshInternal*>(mesh);
}

namespace mesh_test {
void ResetVertexCacheRecord() {
  g_cacheRecord = {};
}
}  // namespace mesh_test

LyrResult CreateMesh(uint32_t faceCount, uint32_t vertexCount, uint32_t options,
                     const VertexElement* declaration, GraphicsDevice* device, Mesh** out) {
  return Guard([&]() -> LyrResult {
    if ((options & ~MO::CreateMask) || !device || !out || !IsSingleStream(declaration) ||
        faceCount == 0 || vertexCount == 0)
      return ErrInvalidCall;
    auto finish = [&](auto* made) -> LyrResult {
      Ref<Mesh> holder(made);
      LyrResult r = made->ResizeMesh(faceCount, vertexCount);
      if (Failed(r)) return r;
      *out = holder.detach();
      return Ok;
    };
    if (options & MO::Index32) {
      MeshImpl<uint32_t>* made = nullptr;
      LyrResult r = MeshImpl<uint32_t>::Make(options, declaration, device, &made);
      return Failed(r) ? r : finish(made);
    }
    if (faceCount > 0xFFFF || vertexCount > 0xFFFF) return ErrInvalidCall;
    MeshImpl<uint16_t>* made = nullptr;
    LyrResult r = MeshImpl<uint16_t>::Make(options, declaration, device, &made);
    return Failed(r) ? r : finish(made);
  });
}

LyrResult CreateMeshFromFormatCode(uint32_t faceCount, uint32_t vertexCount, uint32_t options,
                                   FormatCode code, GraphicsDevice* device, Mesh** out) {
  VertexElement elements[MaxElementEntries];
  LyrResult r = FormatCodeToElements(code, elements);
  if (Failed(r)) return r;
  return CreateMesh(faceCount, vertexCount, options, elements, device, out);
}

}  // namespace lyr
