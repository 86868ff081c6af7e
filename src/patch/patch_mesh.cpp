#include <algorithm>
#include <cmath>
#include <cstring>

#include "patch/patch_adjacency.h"
#include "patch/patch_impl.h"
#include "patch/tessellate.h"

namespace lyr {

namespace {

// Holds one lock of a device buffer and releases it on every path.
class BufferLock {
 public:
  BufferLock() = default;
  BufferLock(const BufferLock&) = delete;
  BufferLock& operator=(const BufferLock&) = delete;
  ~BufferLock() {
    if (buffer_) buffer_->UnlockBuffer();
  }
  LyrResult Lock(DeviceBuffer* buffer, uint32_t flags) {
    void* p = nullptr;
    LyrResult r = buffer->LockBuffer(0, 0, &p, flags);
    if (Failed(r)) return r;
    buffer_ = buffer;
    data_ = static_cast<uint8_t*>(p);
    return r;
  }
  uint8_t* data() const { return data_; }

 private:
  DeviceBuffer* buffer_ = nullptr;
  uint8_t* data_ = nullptr;
};

template <class T>
void Discard(Vector<T>& v) {
  Vector<T>().swap(v);
}

class PatchMeshImpl final : public PatchMesh, public PatchMeshInternal {
 public:
  PatchMeshImpl(const PatchInfo& info, uint32_t patchCount, uint32_t vertexCount,
                uint32_t controlPoints, uint32_t options, const VertexElement* declaration,
                GraphicsDevice* device, VertexBuffer* vb, IndexBuffer* ib)
      : device_(device),
        options_(options),
        info_(info),
        patchCount_(patchCount),
        vertexCount_(vertexCount),
        controlPoints_(controlPoints),
        vb_(vb),
        ib_(ib),
        attributes_(patchCount, 0u) {
    device_->AddRef();
    vb_->AddRef();
    ib_->AddRef();
    CopyElements(decl_, declaration);
    MakeTessellationLayout();
    rect_ = {0, 0, info.degree + 1, info.degree + 1, 0, info.basis, info.degree};
    tri_ = {0, controlPoints, info.basis, info.degree};
  }
  PatchMeshImpl(const PatchMeshImpl&) = delete;
  PatchMeshImpl& operator=(const PatchMeshImpl&) = delete;
  ~PatchMeshImpl() {
    Delete(displacement_);
    ib_->Release();
    vb_->Release();
    device_->Release();
  }

  // ---- Unknown ---------------------------------------------------------------------------------

  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (outer_) return outer_->QueryInterface(iid, out);
    if (!out) return ErrInvalidCall;
    if (iid == kIidUnknown || iid == PatchMesh::kIid) {
      ++refs_;
      *out = static_cast<PatchMesh*>(this);
      return Ok;
    }
    *out = nullptr;
    return ErrNoInterface;
  }
  uint32_t LYR_CALL AddRef() override { return outer_ ? outer_->AddRef() : ++refs_; }
  uint32_t LYR_CALL Release() override {
    if (outer_) return outer_->Release();
    const uint32_t n = --refs_;
    if (n == 0) Delete(this);
    return n;
  }

  // ---- PatchMesh -------------------------------------------------------------------------------

  uint32_t LYR_CALL GetPatchCount() override { return patchCount_; }
  uint32_t LYR_CALL GetVertexCount() override { return vertexCount_; }
  LyrResult LYR_CALL CopyDeclaration(VertexElement* out) override {
    if (!out) return ErrInvalidCall;
    std::memcpy(out, decl_, (CountElements(decl_) + 1) * sizeof(VertexElement));
    return Ok;
  }
  uint32_t LYR_CALL ControlPointsPerPatch() override { return controlPoints_; }
  uint32_t LYR_CALL GetOptionBits() override { return options_; }
  LyrResult LYR_CALL GetOwnerDevice(GraphicsDevice** out) override {
    if (!out) return ErrInvalidCall;
    device_->AddRef();
    *out = device_;
    return Ok;
  }
  LyrResult LYR_CALL GetPatchDescription(PatchInfo* out) override {
    if (!out) return ErrInvalidCall;
    *out = info_;
    return Ok;
  }
  LyrResult LYR_CALL GetVertexBufferRef(VertexBuffer** out) override {
    if (!out) return ErrInvalidCall;
    vb_->AddRef();
    *out = vb_;
    return Ok;
  }
  LyrResult LYR_CALL GetIndexBufferRef(IndexBuffer** out) override {
    if (!out) return ErrInvalidCall;
    ib_->AddRef();
    *out = ib_;
    return Ok;
  }
  LyrResult LYR_CALL LockVertices(uint32_t flags, void** out) override {
    if (!out) return ErrInvalidCall;
    return vb_->LockBuffer(0, 0, out, flags);
  }
  LyrResult LYR_CALL UnlockVertices() override { return vb_->UnlockBuffer(); }
  LyrResult LYR_CALL LockIndices(uint32_t flags, void** out) override {
    if (!out) return ErrInvalidCall;
    return ib_->LockBuffer(0, 0, out, flags);
  }
  LyrResult LYR_CALL UnlockIndices() override { return ib_->UnlockBuffer(); }

  LyrResult LYR_CALL LockPatchAttributes(uint32_t flags, uint32_t** out) override {
    if (!out) return ErrInvalidCall;
    if (!(flags & kLockReadOnly)) {
      Discard(table_);
      Discard(adjacency_);
    }
    *out = attributes_.data();
    return Ok;
  }
  LyrResult LYR_CALL UnlockPatchAttributes() override {
    return table_.empty() ? BuildAttributeTable() : Ok;
  }

  LyrResult LYR_CALL TessellatedSize(float level, uint32_t adaptive, uint32_t* triangles,
                                     uint32_t* vertices) override {
    if (!triangles || !vertices) return ErrInvalidCall;
    return tess::TessellatedSize(this, *this, level, adaptive != 0, triangles, vertices);
  }

  LyrResult LYR_CALL BuildPatchAdjacency(float tolerance) override {
    return Guard([&] { return BuildAdjacency(tolerance); });
  }

  LyrResult LYR_CALL ClonePatchMesh(uint32_t options, const VertexElement* declaration,
                                    PatchMesh** out) override {
    if (!declaration || !out) return ErrInvalidCall;
    return Guard([&] { return Clone(options, declaration, out); });
  }

  LyrResult LYR_CALL Optimize(uint32_t, uint32_t*) override { return Ok; }

  LyrResult LYR_CALL SetDisplacement(Texture* texture, uint32_t minFilter, uint32_t magFilter,
                                     uint32_t mipFilter, uint32_t wrap, uint32_t) override {
    return Guard([&]() -> LyrResult {
      Delete(displacement_);
      displacement_ = nullptr;
      if (!texture) return Ok;
      void* p = nullptr;
      LyrResult r = texture->QueryInterface(Texture::kIid, &p);
      if (Failed(r)) return r;
      Ref<Texture> t(static_cast<Texture*>(p));
      const uint32_t levels = t->GetLevelCount();
      auto* record = New<DisplacementRecord>();
      if (!record) return ErrOutOfMemory;
      record->texture = std::move(t);
      record->minFilter = minFilter;
      record->magFilter = magFilter;
      record->mipFilter = mipFilter;
      record->wrap = wrap;
      record->maxLevel = levels ? levels - 1 : 0;
      displacement_ = record;
      return Ok;
    });
  }

  LyrResult LYR_CALL GetDisplacement(Texture** texture, uint32_t* minFilter, uint32_t* magFilter,
                                     uint32_t* mipFilter, uint32_t* wrap,
                                     uint32_t* lodBias) override {
    if (!displacement_) return ErrFail;
    if (texture) {
      *texture = displacement_->texture.get();
      (*texture)->AddRef();
    }
    if (minFilter) *minFilter = displacement_->minFilter;
    if (magFilter) *magFilter = displacement_->magFilter;
    if (mipFilter) *mipFilter = displacement_->mipFilter;
    if (wrap) *wrap = displacement_->wrap;
    if (lodBias) *lodBias = 0;
    return Ok;
  }

  LyrResult LYR_CALL TessellateUniform(float level, Mesh* mesh) override {
    if (!mesh || !(level > 0.0f && level <= 32.0f)) return ErrInvalidCall;
    tess::Request request;
    request.level = level;
    return Guard([&] { return tess::Tessellate(this, *this, request, mesh); });
  }
  LyrResult LYR_CALL TessellateByDistance(const Vector4* transform, float maxLevel, float minLevel,
                                          Mesh* mesh) override {
    if (!transform || !mesh || !(maxLevel <= 32.0f) || maxLevel < minLevel) return ErrInvalidCall;
    tess::Request request;
    request.adaptive = true;
    request.transform = *transform;
    request.maxLevel = maxLevel;
    request.minLevel = minLevel;
    return Guard([&] { return tess::Tessellate(this, *this, request, mesh); });
  }

  LyrResult LYR_CALL BuildAttributeTable() override {
    return Guard([&] { return BuildTable(); });
  }

  // ---- PatchMeshInternal -----------------------------------------------------------------------

  const PatchInfo& Info() const override { return info_; }
  const VertexElement* TessellationLayout() const override { return tessLayout_; }
  const RectPatchDesc& RectDesc() const override { return rect_; }
  const TriPatchDesc& TriDesc() const override { return tri_; }
  float* EdgeLevels() override { return edgeLevels_; }
  const Vector<AttributeRange>& AttributeTable() const override { return table_; }
  const Vector<uint32_t>& Adjacency() const override { return adjacency_; }
  DisplacementRecord* Displacement() override { return displacement_; }
  TessScratch& Scratch() override { return scratch_; }
  void SetOuter(Unknown* outer) override { outer_ = outer; }

  Vector<uint32_t>& attributes() { return attributes_; }
  Vector<uint32_t>& adjacency() { return adjacency_; }

 private:
  void MakeTessellationLayout() {
    uint32_t offset = 0;
    const uint32_t n = CountElements(decl_);
    for (uint32_t i = 0; i < n; ++i) {
      VertexElement e = decl_[i];
      if (e.method == ElementMethod::Lookup) e.type = ElementType::F32x1;
      if (e.method == ElementMethod::UV) e.type = ElementType::F32x2;
      e.stream = 0;
      e.method = ElementMethod::Default;
      e.offset = static_cast<uint16_t>(offset);
      offset += ElementTypeSize(e.type);
      tessLayout_[i] = e;
    }
    tessLayout_[n] = kEndElement;
  }

  uint32_t RowWidth() const { return info_.type == kPatchRectangle ? 4 : 3; }

  // Ids in order of first appearance; every patch moves to the run of its id, keeping its order
  // within the run. Everything new is built before anything changes.
  LyrResult BuildTable() {
    // Rank of each id = its position in the order of first appearance.
    Vector<uint64_t> firsts;  // (id << 32 | first patch), sorted by id
    firsts.reserve(10);
    {
      Vector<uint64_t> keys(patchCount_);
      for (uint32_t p = 0; p < patchCount_; ++p) keys[p] = uint64_t(attributes_[p]) << 32 | p;
      std::sort(keys.begin(), keys.end());
      for (size_t i = 0; i < keys.size(); ++i)
        if (i == 0 || (keys[i] >> 32) != (keys[i - 1] >> 32)) firsts.push_back(keys[i]);
    }
    Vector<uint32_t> order(firsts.size());  // ids by first appearance, as indices into firsts
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return uint32_t(firsts[a]) < uint32_t(firsts[b]); });
    Vector<uint32_t> rankOf(firsts.size());
    for (uint32_t r = 0; r < order.size(); ++r) rankOf[order[r]] = r;
    auto rank = [&](uint32_t id) {
      auto it = std::lower_bound(firsts.begin(), firsts.end(), uint64_t(id) << 32);
      return rankOf[static_cast<size_t>(it - firsts.begin())];
    };
    Vector<AttributeRange> table(order.size());
    for (uint32_t r = 0; r < order.size(); ++r)
      table[r] = {static_cast<uint32_t>(firsts[order[r]] >> 32), 0, 0, 0, 0};
    for (uint32_t p = 0; p < patchCount_; ++p) ++table[rank(attributes_[p])].faceCount;
    for (uint32_t r = 1; r < table.size(); ++r)
      table[r].firstFace = table[r - 1].firstFace + table[r - 1].faceCount;
    Vector<uint32_t> newPos(patchCount_);
    {
      Vector<uint32_t> next(table.size());
      for (uint32_t r = 0; r < table.size(); ++r) next[r] = table[r].firstFace;
      for (uint32_t p = 0; p < patchCount_; ++p) newPos[p] = next[rank(attributes_[p])]++;
    }
    Vector<uint32_t> attributes(patchCount_);
    for (uint32_t p = 0; p < patchCount_; ++p) attributes[newPos[p]] = attributes_[p];
    Vector<uint32_t> adjacency;
    if (!adjacency_.empty()) {
      const uint32_t w = RowWidth();
      adjacency.resize(adjacency_.size());
      for (uint32_t p = 0; p < patchCount_; ++p) {
        for (uint32_t k = 0; k < w; ++k) {
          const uint32_t v = adjacency_[size_t(p) * w + k];
          adjacency[size_t(newPos[p]) * w + k] = v < patchCount_ ? newPos[v] : kNoNeighbour;
        }
      }
    }
    const size_t perPatch = controlPoints_;
    WorkVector<uint16_t> indices(size_t(patchCount_) * perPatch);
    BufferLock lock;
    LyrResult r = lock.Lock(ib_, 0);
    if (Failed(r)) return r;
    const auto* old = reinterpret_cast<const uint16_t*>(lock.data());
    for (uint32_t p = 0; p < patchCount_; ++p)
      std::memcpy(&indices[newPos[p] * perPatch], old + p * perPatch, perPatch * 2);
    std::memcpy(lock.data(), indices.data(), indices.size() * 2);
    attributes_.swap(attributes);
    adjacency_.swap(adjacency);
    table_.swap(table);
    return Ok;
  }

  LyrResult BuildAdjacency(float tolerance) {
    if (info_.type == kPatchTriangle) {
      Discard(adjacency_);
      return Ok;
    }
    if (info_.type != kPatchRectangle && info_.type != kPatchNPatch) return ErrFail;
    BufferLock vl, il;
    LyrResult r = vl.Lock(vb_, kLockReadOnly);
    if (Failed(r)) return r;
    if (Failed(r = il.Lock(ib_, kLockReadOnly))) return r;
    PatchData data;
    data.elements = decl_;
    data.vertices = vl.data();
    data.vertexCount = vertexCount_;
    data.indices = reinterpret_cast<const uint16_t*>(il.data());
    data.patchCount = patchCount_;
    data.controlPoints = controlPoints_;
    data.attributes = attributes_.data();
    Vector<uint32_t> adjacency;
    r = info_.type == kPatchRectangle ? RectangleAdjacency(data, info_, tolerance, adjacency)
                                      : NPatchAdjacency(data, tolerance, adjacency);
    if (Failed(r)) return r;
    adjacency_.swap(adjacency);
    return Ok;
  }

  LyrResult Clone(uint32_t options, const VertexElement* declaration, PatchMesh** out) {
    Ref<PatchMesh> made;
    LyrResult r = CreatePatchMesh(&info_, patchCount_, vertexCount_, options, declaration, device_,
                                  made.put());
    if (Failed(r)) return r;
    auto* copy = static_cast<PatchMeshImpl*>(GetPatchMeshInternal(made.get()));
    {
      BufferLock from, to;
      if (Failed(r = from.Lock(vb_, kLockReadOnly))) return r;
      if (Failed(r = to.Lock(copy->vb_, 0))) return r;
      VertexConverter converter;
      BuildConverter(converter, decl_, copy->decl_);
      AttachConverterData(converter, from.data(), to.data());
      for (uint32_t v = 0; v < vertexCount_; ++v) ConvertVertex(converter, v, v, true);
    }
    {
      BufferLock from, to;
      if (Failed(r = from.Lock(ib_, kLockReadOnly))) return r;
      if (Failed(r = to.Lock(copy->ib_, 0))) return r;
      std::memcpy(to.data(), from.data(), size_t(patchCount_) * controlPoints_ * 2);
    }
    copy->attributes_ = attributes_;
    copy->adjacency_ = adjacency_;
    *out = made.detach();
    return Ok;
  }

  uint32_t refs_ = 1;
  Unknown* outer_ = nullptr;
  GraphicsDevice* device_;
  uint32_t options_;
  PatchInfo info_;
  uint32_t patchCount_, vertexCount_, controlPoints_;
  VertexBuffer* vb_;
  IndexBuffer* ib_;
  Vector<uint32_t> attributes_;
  VertexElement decl_[kMaxPatchElements + 1];
  VertexElement tessLayout_[kMaxPatchElements + 1];
  RectPatchDesc rect_{};
  TriPatchDesc tri_{};
  float edgeLevels_[4] = {};
  Vector<uint32_t> adjacency_;
  Vector<AttributeRange> table_;
  DisplacementRecord* displacement_ = nullptr;
  TessScratch scratch_;
};

// Elements of a declaration array that ends within kMaxPatchElements + 1 entries; more is
// reported as kMaxPatchElements + 1.
uint32_t BoundedCount(const VertexElement* elements) {
  for (uint32_t i = 0; i <= kMaxPatchElements; ++i)
    if (IsEndElement(elements[i])) return i;
  return kMaxPatchElements + 1;
}

// The checks every creation shares; *controlPoints and *vertexBytes on success.
LyrResult CheckCreation(const PatchInfo* info, uint32_t patchCount, uint32_t vertexCount,
                        uint32_t options, const VertexElement* declaration, GraphicsDevice* device,
                        PatchMesh** out, uint32_t* controlPoints, uint64_t* vertexBytes,
                        uint64_t* indexBytes) {
  if (!info) return ErrFail;
  if (!patchCount || !vertexCount || !declaration || !device || !out || options)
    return ErrInvalidCall;
  LyrResult r = ControlPointsPerPatchOf(*info, controlPoints);
  if (Failed(r)) return r;
  if (BoundedCount(declaration) > kMaxPatchElements) return ErrInvalidCall;
  *vertexBytes = uint64_t(vertexCount) * StreamVertexSize(declaration, 0);
  *indexBytes = uint64_t(patchCount) * *controlPoints * 2;
  if (*vertexBytes > UINT32_MAX || *indexBytes > UINT32_MAX) return ErrOutOfMemory;
  return Ok;
}

LyrResult MakeObject(const PatchInfo& info, uint32_t patchCount, uint32_t vertexCount,
                     uint32_t controlPoints, uint32_t options, const VertexElement* declaration,
                     GraphicsDevice* device, VertexBuffer* vb, IndexBuffer* ib, PatchMesh** out) {
  auto* mesh = New<PatchMeshImpl>(info, patchCount, vertexCount, controlPoints, options,
                                  declaration, device, vb, ib);
  if (!mesh) return ErrOutOfMemory;
  *out = mesh;
  return Ok;
}

}  // namespace

LyrResult ControlPointsPerPatchOf(const PatchInfo& info, uint32_t* out) {
  const uint32_t d = info.degree;
  const bool degreeKnown = d == 1 || d == 2 || d == 3 || d == 5;
  switch (info.type) {
    case kPatchRectangle:
      if (!degreeKnown || info.basis > kPatchInterpolating) return ErrInvalidCall;
      if (info.basis == kPatchInterpolating && d != 3) return ErrInvalidCall;
      *out = (d + 1) * (d + 1);
      return Ok;
    case kPatchTriangle:
      if (!degreeKnown || info.basis != kPatchBezier) return ErrInvalidCall;
      *out = (d + 1) * (d + 2) / 2;
      return Ok;
    case kPatchNPatch:
      *out = 3;
      return Ok;
    default:
      return ErrInvalidCall;
  }
}

PatchMeshInternal* GetPatchMeshInternal(PatchMesh* mesh) {
  return dynamic_cast<PatchMeshInternal*>(mesh);
}

LyrResult CreatePatchMesh(const PatchInfo* info, uint32_t patchCount, uint32_t vertexCount,
                          uint32_t options, const VertexElement* declaration,
                          GraphicsDevice* device, PatchMesh** out) {
  uint32_t controlPoints = 0;
  uint64_t vertexBytes = 0, indexBytes = 0;
  LyrResult r = CheckCreation(info, patchCount, vertexCount, options, declaration, device, out,
                              &controlPoints, &vertexBytes, &indexBytes);
  if (Failed(r)) return r;
  return Guard([&]() -> LyrResult {
    Ref<IndexBuffer> ib;
    Ref<VertexBuffer> vb;
    LyrResult rr = device->MakeIndexBuffer(static_cast<uint32_t>(indexBytes), 0, kIndexFormat16,
                                           kPoolSystemMemory, ib.put(), nullptr);
    if (Failed(rr)) return rr;
    rr = device->MakeVertexBuffer(static_cast<uint32_t>(vertexBytes), 0, 0, kPoolSystemMemory,
                                  vb.put(), nullptr);
    if (Failed(rr)) return rr;
    return MakeObject(*info, patchCount, vertexCount, controlPoints, options, declaration, device,
                      vb.get(), ib.get(), out);
  });
}

LyrResult CreatePatchMeshOnBuffers(const PatchInfo* info, uint32_t patchCount, uint32_t vertexCount,
                                   uint32_t options, const VertexElement* declaration,
                                   GraphicsDevice* device, VertexBuffer* vertexBuffer,
                                   IndexBuffer* indexBuffer, PatchMesh** out) {
  uint32_t controlPoints = 0;
  uint64_t vertexBytes = 0, indexBytes = 0;
  LyrResult r = CheckCreation(info, patchCount, vertexCount, options, declaration, device, out,
                              &controlPoints, &vertexBytes, &indexBytes);
  if (Failed(r)) return r;
  if (!vertexBuffer || !indexBuffer) return ErrInvalidCall;
  BufferInfo vi{}, ii{};
  if (Failed(r = vertexBuffer->ReadBufferInfo(&vi))) return r;
  if (Failed(r = indexBuffer->ReadBufferInfo(&ii))) return r;
  if (vi.size < vertexBytes || ii.size < indexBytes || ii.format != kIndexFormat16)
    return ErrInvalidCall;
  return Guard([&] {
    return MakeObject(*info, patchCount, vertexCount, controlPoints, options, declaration, device,
                      vertexBuffer, indexBuffer, out);
  });
}

}  // namespace lyr
