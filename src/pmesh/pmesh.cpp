// The ProgressiveMesh object, in its 16-bit and 32-bit index variants.
//
// It embeds a Mesh created with the full-detail capacities, whose outer object it is: the Mesh
// keeps the indices, the face adjacency, the per-face attribute ids and the attribute table of
// the current level; this object adds the split records, the maximum attribute table and the
// counts, and moves the level through pm::SplitEngine.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/object_impl.h"
#include "mesh/mesh_impl.h"
#include "pmesh/pmesh_build.h"
#include "pmesh/pmesh_file.h"
#include "pmesh/split_engine.h"

namespace lyr {
namespace {

namespace MO = MeshOptions;
namespace OF = OptimizeFlags;
using pm::kNoFace;

constexpr uint32_t kNone32 = 0xFFFFFFFFu;
constexpr uint32_t kReorderBits = OF::VertexCache | OF::StripReorder;
// How many records ahead a sweep starts fetching face a.
constexpr uint32_t kAhead = 4;

// The split records and mispredicts, shared by clones. Its count is the one count in the library
// changed atomically: clones on different threads may take and drop references to it.
struct SplitStore {
  std::atomic<uint32_t> refs{1};
  Vector<VSplitRecord> records;
  Vector<uint16_t> mispredicts;

  void AddRef() { refs.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Delete(this);
  }
};

// The variant-independent part of the level-of-detail state, copied by clones.
struct LodCounts {
  uint32_t maxValence = 0;
  uint32_t minLogical = 0, maxLogical = 0;
  uint32_t minFaces = 0, maxFaces = 0, minVertices = 0, maxVertices = 0;
  uint32_t mispredictPosition = 0, applied = 0, faces = 0, vertices = 0;
};

// A format code a clone accepts: non-zero, without bit 0x1, not of transformed positions.
bool CloneableFormatCode(FormatCode code) {
  return code != 0 && !(code & 0x1) && (code & 0x400E) != 0x4;
}

// Runs clone(declaration) with the declaration of a format code a clone accepts.
template <class F>
LyrResult WithFormatCode(FormatCode code, F&& clone) {
  return Guard([&]() -> LyrResult {
    if (!CloneableFormatCode(code)) return ErrInvalidCall;
    VertexElement elements[MaxElementEntries];
    LyrResult r = FormatCodeToElements(code, elements);
    return Failed(r) ? r : clone(elements);
  });
}

// Locks the embedded Mesh's index buffer for the scope.
class IndexLock {
 public:
  explicit IndexLock(Mesh* mesh) : mesh_(mesh) {}
  IndexLock(const IndexLock&) = delete;
  IndexLock& operator=(const IndexLock&) = delete;
  ~IndexLock() {
    if (data_) mesh_->UnlockIndices();
  }
  LyrResult Lock(uint32_t flags) {
    void* p = nullptr;
    LyrResult r = mesh_->LockIndices(flags, &p);
    if (Succeeded(r)) data_ = p;
    return r;
  }
  void* data() const { return data_; }

 private:
  Mesh* mesh_;
  void* data_ = nullptr;
};

template <class T>
class PMeshImpl final : public Object<PMeshImpl<T>, ProgressiveMesh> {
 public:
  static constexpr T kNoneT = static_cast<T>(~T(0));
  static constexpr bool kWide = sizeof(T) == 4;

  static bool AnswersTo(const Guid& iid) { return iid == BaseMesh::kIid; }

  PMeshImpl() = default;
  ~PMeshImpl() {
    if (store_) store_->Release();
    if (mesh_) {
      mi_->SetOuter(nullptr);
      mesh_->Release();
    }
  }

  // Takes over `mesh` (one reference, adjacency kept, table valid) as the embedded Mesh.
  void Adopt(Mesh* mesh) {
    mesh_ = mesh;
    mi_ = GetMeshInternal(mesh);
    mi_->SetOuter(this);
  }

  // The corner list and the slot order of the ranges, made before they are installed so that
  // an operation can make them before it changes anything.
  struct Layout {
    Vector<T*> corners;
    Vector<uint32_t> starts, ranges;
  };
  static Layout MakeLayout(const Vector<AttributeRange>& maxTable, uint32_t valence,
                           uint32_t maxFaces) {
    Layout l;
    // A valence above the face count could never be walked; the list is capped there, so a huge
    // value from a file does not make a huge block.
    l.corners.assign(std::min<uint32_t>(valence, maxFaces + 1), nullptr);
    for (uint32_t k = 0; k < maxTable.size(); ++k)
      if (maxTable[k].faceCount) l.ranges.push_back(k);
    std::sort(l.ranges.begin(), l.ranges.end(), [&](uint32_t x, uint32_t y) {
      return maxTable[x].firstFace < maxTable[y].firstFace;
    });
    for (uint32_t k : l.ranges) l.starts.push_back(maxTable[k].firstFace);
    return l;
  }
  void Install(Layout& l) {
    corners_.swap(l.corners);
    slotStarts_.swap(l.starts);
    slotRanges_.swap(l.ranges);
    Rebind();
  }
  void Prepare() {
    Layout l = MakeLayout(maxTable_, n_.maxValence, n_.maxFaces);
    Install(l);
  }
  void Rebind() {
    lod_.max = maxTable_.data();
    lod_.ranges = static_cast<uint32_t>(maxTable_.size());
    lod_.faceSlots = mesh_->GetFaceCount();
    lod_.splits = store_->records.data();
    lod_.mispredicts = store_->mispredicts.data();
    lod_.mispredictCount = static_cast<uint32_t>(store_->mispredicts.size());
    lod_.corners = corners_.data();
    lod_.cornerRoom = static_cast<uint32_t>(corners_.size());
    lod_.slotStarts = slotStarts_.data();
    lod_.slotRanges = slotRanges_.data();
    lod_.slotRangeCount = static_cast<uint32_t>(slotRanges_.size());
  }
  void LoadCounts(const LodCounts& c) {
    n_ = c;
    lod_.mispredictPosition = c.mispredictPosition;
    lod_.applied = c.applied;
    lod_.faces = c.faces;
    lod_.vertices = c.vertices;
  }
  LodCounts Counts() const {
    LodCounts c = n_;
    c.mispredictPosition = lod_.mispredictPosition;
    c.applied = lod_.applied;
    c.faces = lod_.faces;
    c.vertices = lod_.vertices;
    return c;
  }

  // Binds the per-call views of the embedded Mesh; the index data must be locked.
  bool Bind(void* indices) {
    uint32_t count = 0;
    lod_.idx = static_cast<T*>(indices);
    lod_.adj = static_cast<T*>(mi_->AdjacencyData());
    lod_.attr = mi_->AttributeData();
    lod_.cur = mi_->TableData(&count);
    return lod_.adj && count == lod_.ranges;
  }

  uint32_t Usable() const { return n_.maxLogical - n_.minLogical; }

  // ---- BaseMesh ---------------------------------------------------------------------------------

  LyrResult LYR_CALL DrawAttributeGroup(uint32_t id) override {
    return mesh_->DrawAttributeGroup(id);
  }
  uint32_t LYR_CALL GetFaceCount() override { return lod_.faces; }
  uint32_t LYR_CALL GetVertexCount() override { return lod_.vertices; }
  FormatCode LYR_CALL GetFormatCode() override { return mesh_->GetFormatCode(); }
  LyrResult LYR_CALL CopyDeclaration(VertexElement* out) override {
    return mesh_->CopyDeclaration(out);
  }
  uint32_t LYR_CALL GetVertexStride() override { return mesh_->GetVertexStride(); }
  uint32_t LYR_CALL GetOptionBits() override { return mesh_->GetOptionBits(); }
  LyrResult LYR_CALL GetOwnerDevice(GraphicsDevice** out) override {
    return mesh_->GetOwnerDevice(out);
  }

  LyrResult LYR_CALL CloneFromFormatCode(uint32_t options, FormatCode code, GraphicsDevice* device,
                                         Mesh** out) override {
    return WithFormatCode(code, [&](const VertexElement* elements) {
      return CloneToMesh(options, elements, device, out);
    });
  }

  LyrResult LYR_CALL CloneWithDeclaration(uint32_t options, const VertexElement* declaration,
                                          GraphicsDevice* device, Mesh** out) override {
    return Guard([&] { return CloneToMesh(options, declaration, device, out); });
  }

  LyrResult LYR_CALL GetVertexBufferRef(VertexBuffer** out) override {
    return mesh_->GetVertexBufferRef(out);
  }
  LyrResult LYR_CALL GetIndexBufferRef(IndexBuffer** out) override {
    return mesh_->GetIndexBufferRef(out);
  }
  LyrResult LYR_CALL LockVertices(uint32_t flags, void** out) override {
    return mesh_->LockVertices(flags, out);
  }
  LyrResult LYR_CALL UnlockVertices() override { return mesh_->UnlockVertices(); }
  LyrResult LYR_CALL LockIndices(uint32_t flags, void** out) override {
    if (!(flags & kLockReadOnly)) return ErrIndexBufferReadOnly;
    return mesh_->LockIndices(flags, out);
  }
  LyrResult LYR_CALL UnlockIndices() override { return mesh_->UnlockIndices(); }
  LyrResult LYR_CALL CopyAttributeTable(AttributeRange* entries, uint32_t* count) override {
    return mesh_->CopyAttributeTable(entries, count);
  }
  LyrResult LYR_CALL AdjacencyFromPointReps(const uint32_t* pointReps,
                                            uint32_t* adjacency) override {
    return mesh_->AdjacencyFromPointReps(pointReps, adjacency);
  }
  LyrResult LYR_CALL PointRepsFromAdjacency(const uint32_t* adjacency,
                                            uint32_t* pointReps) override {
    return mesh_->PointRepsFromAdjacency(adjacency, pointReps);
  }
  LyrResult LYR_CALL BuildAdjacency(float epsilon, uint32_t* adjacency) override {
    return mesh_->BuildAdjacency(epsilon, adjacency);
  }
  LyrResult LYR_CALL ReplaceDeclaration(const VertexElement* declaration) override {
    return mesh_->ReplaceDeclaration(declaration);
  }

  // ---- ProgressiveMesh --------------------------------------------------------------------------

  LyrResult LYR_CALL CloneProgressiveFromFormatCode(uint32_t options, FormatCode code,
                                                    GraphicsDevice* device,
                                                    ProgressiveMesh** out) override {
    return WithFormatCode(code, [&](const VertexElement* elements) {
      return CloneProgressiveImpl(options, elements, device, out);
    });
  }

  LyrResult LYR_CALL CloneProgressive(uint32_t options, const VertexElement* declaration,
                                      GraphicsDevice* device, ProgressiveMesh** out) override {
    return Guard([&] { return CloneProgressiveImpl(options, declaration, device, out); });
  }

  LyrResult LYR_CALL SetFaceCount(uint32_t faces) override { return MoveLevel<false>(faces); }
  LyrResult LYR_CALL SetVertexCount(uint32_t vertices) override {
    return MoveLevel<true>(vertices);
  }
  uint32_t LYR_CALL GetMaxFaceCount() override { return n_.maxFaces; }
  uint32_t LYR_CALL GetMinFaceCount() override { return n_.minFaces; }
  uint32_t LYR_CALL GetMaxVertexCount() override { return n_.maxVertices; }
  uint32_t LYR_CALL GetMinVertexCount() override { return n_.minVertices; }

  LyrResult LYR_CALL SaveToStream(OutputStream* stream, const Material* materials,
                                  const EffectInstance* effects, uint32_t materialCount) override {
    return SaveProgressiveToStream(this, stream, materials, effects, materialCount);
  }

  LyrResult LYR_CALL OptimizeToMesh(uint32_t flags, uint32_t* adjacencyOut, uint32_t* faceRemap,
                                    Buffer** vertexRemap, Mesh** out) override {
    return Guard([&]() -> LyrResult {
      if ((flags & (0xC0BE2000u | MO::Index32 | MO::IndexWriteOnly)) || !out) return ErrInvalidCall;
      uint32_t options = flags & MO::CreateMask;
      if (options == 0)
        options = mesh_->GetOptionBits();
      else if (kWide)
        options |= MO::Index32;
      return CopyLevel(options, nullptr, nullptr, false, flags & ~MO::CloneMask, adjacencyOut,
                       faceRemap, vertexRemap, out);
    });
  }

  LyrResult LYR_CALL OptimizeBaseLevel(uint32_t flags, uint32_t* faceRemap) override {
    return Guard([&] { return OptimizeBase(flags, faceRemap); });
  }

  LyrResult LYR_CALL TrimByFaces(uint32_t newMin, uint32_t newMax, uint32_t* faceRemap,
                                 uint32_t* vertexRemap) override {
    return Guard([&] { return Trim<false>(newMin, newMax, faceRemap, vertexRemap); });
  }
  LyrResult LYR_CALL TrimByVertices(uint32_t newMin, uint32_t newMax, uint32_t* faceRemap,
                                    uint32_t* vertexRemap) override {
    return Guard([&] { return Trim<true>(newMin, newMax, faceRemap, vertexRemap); });
  }

  LyrResult LYR_CALL GetAdjacency(uint32_t* adjacency) override {
    if (!adjacency) return ErrInvalidCall;
    const T* adj = static_cast<const T*>(mi_->AdjacencyData());
    const size_t n = size_t(mesh_->GetFaceCount()) * 3;
    for (size_t i = 0; i < n; ++i) adjacency[i] = adj[i] == kNoneT ? kNone32 : adj[i];
    return Ok;
  }

  LyrResult LYR_CALL BuildVertexHistory(uint32_t* history) override {
    if (!history) return ErrInvalidCall;
    return Guard([&] { return VertexHistory(history); });
  }

  LyrResult LYR_CALL BuildSaveData(void** image, uint32_t* imageBytes, uint32_t** adjacency,
                                   Mesh** base) override {
    return Guard([&] { return SaveData(image, imageBytes, adjacency, base); });
  }

  LyrResult LYR_CALL CopyCurrentLevel(uint32_t options, const VertexElement* declaration,
                                      GraphicsDevice* device, int32_t compact,
                                      uint32_t optimizeFlags, uint32_t* adjacencyOut,
                                      uint32_t* faceRemap, Buffer** vertexRemap,
                                      Mesh** out) override {
    return Guard([&] {
      return CopyLevel(options, declaration, device, compact != 0, optimizeFlags, adjacencyOut,
                       faceRemap, vertexRemap, out);
    });
  }

  LyrResult LYR_CALL TrimSplits(uint32_t first, uint32_t last, uint32_t mispredictFirst,
                                uint32_t mispredictLast, uint32_t facesAtMax,
                                uint32_t verticesAtMax, const AttributeRange* tableAtMax,
                                uint32_t* faceRemap, uint32_t* vertexRemap) override {
    return Guard([&] {
      return KeepSplits(first, last, mispredictFirst, mispredictLast, facesAtMax, verticesAtMax,
                        tableAtMax, faceRemap, vertexRemap);
    });
  }

  // ---- Library-internal ---------------------------------------------------------------------

  void Snapshot(PMSnapshot* s) {
    uint32_t count = 0;
    s->current = mi_->TableData(&count);
    s->maximum = maxTable_.data();
    s->rangeCount = count;
    s->maxValence = n_.maxValence;
    s->minLogicalVertices = n_.minLogical;
    s->maxLogicalVertices = n_.maxLogical;
    s->splits = store_->records.data();
    s->splitCount = static_cast<uint32_t>(store_->records.size());
    s->mispredicts = store_->mispredicts.data();
    s->mispredictCount = static_cast<uint32_t>(store_->mispredicts.size());
    s->mispredictPosition = lod_.mispredictPosition;
    s->appliedSplits = lod_.applied;
  }

  // Moves through every level the records reach (by vertices, then by faces) and back to the
  // base level, so that a record malformed at the level where it is met is found now rather
  // than at a later level change. The base rows are put back as they were afterwards: the
  // object stands exactly as it was made, also when a record's undo is not its exact inverse.
  LyrResult CheckLevels() {
    if (lod_.applied != 0) return ErrInvalidCall;
    const size_t n = size_t(mesh_->GetFaceCount()) * 3;
    WorkVector<T> idx(n), adj(n);
    IndexLock lock(mesh_);
    LyrResult r = lock.Lock(0);
    if (Failed(r)) return r;
    if (!Bind(lock.data())) return ErrInvalidCall;
    std::copy_n(lod_.idx, n, idx.data());
    std::copy_n(lod_.adj, n, adj.data());
    bool ok = Seek<true>(n_.maxVertices) && Seek<false>(n_.maxFaces);
    while (ok && lod_.applied > 0) ok = lod_.Undo(lod_.splits[lod_.applied - 1]);
    if (!ok) return ErrInvalidCall;
    std::copy_n(idx.data(), n, lod_.idx);
    std::copy_n(adj.data(), n, lod_.adj);
    return Ok;
  }

  // Fills a new object of this variant around `mesh` (one reference, taken over even on
  // failure) with the given state; the split store gains a reference.
  static LyrResult Make(Mesh* mesh, SplitStore* store, const Vector<AttributeRange>& maxTable,
                        const LodCounts& counts, ProgressiveMesh** out) {
    Ref<Mesh> holder(mesh);
    PMeshImpl* made = New<PMeshImpl>();
    if (!made) return ErrOutOfMemory;
    Ref<ProgressiveMesh> result(made);
    made->Adopt(holder.detach());
    store->AddRef();
    made->store_ = store;
    made->maxTable_ = maxTable;
    made->LoadCounts(counts);
    made->Prepare();
    *out = result.detach();
    return Ok;
  }

 private:
  template <class>
  friend class PMeshImpl;

  // ---- Moving between levels ------------------------------------------------------------------

  // Takes the object back to the level it stood at when the scope ends, also when an
  // allocation failure leaves the scope early. Finish gives the first failure of the work's
  // result and the move back.
  template <bool ByVertices>
  class LevelKeeper {
   public:
    explicit LevelKeeper(PMeshImpl* o) : o_(o), level_(o->Level<ByVertices>()) {}
    LevelKeeper(const LevelKeeper&) = delete;
    LevelKeeper& operator=(const LevelKeeper&) = delete;
    ~LevelKeeper() {
      if (!done_) Back();
    }
    LyrResult Finish(LyrResult r) {
      done_ = true;
      const LyrResult back = Back();
      return Failed(r) ? r : back;
    }

   private:
    LyrResult Back() { return ByVertices ? o_->SetVertexCount(level_) : o_->SetFaceCount(level_); }
    PMeshImpl* o_;
    uint32_t level_;
    bool done_ = false;
  };

  template <bool ByVertices>
  uint32_t Level() const {
    return ByVertices ? lod_.vertices : lod_.faces;
  }

  // The largest level not above target (clamped). A malformed record on the way is not applied
  // or undone: the call ends there with ErrInvalidCall, at the level the records before it
  // reach (undoing records a moment after applying them would not give back the corners of
  // records whose wedge bits do not fit the data).
  template <bool ByVertices>
  LyrResult MoveLevel(uint32_t target) {
    IndexLock lock(mesh_);
    LyrResult r = lock.Lock(0);
    if (Failed(r)) return r;
    if (!Bind(lock.data())) return ErrInvalidCall;
    const uint32_t lo = ByVertices ? n_.minVertices : n_.minFaces;
    const uint32_t hi = ByVertices ? n_.maxVertices : n_.maxFaces;
    return Seek<ByVertices>(std::clamp(target, lo, std::max(lo, hi))) ? Ok : ErrInvalidCall;
  }

  template <bool ByVertices>
  bool Seek(uint32_t target) {
    const VSplitRecord* splits = lod_.splits;
    if (Level<ByVertices>() < target) {
      const uint32_t usable = Usable();
      while (Level<ByVertices>() < target && lod_.applied < usable) {
        if (lod_.applied + kAhead < usable) lod_.Prefetch(splits[lod_.applied + kAhead]);
        if (!lod_.Apply(splits[lod_.applied])) return false;
      }
      if (Level<ByVertices>() > target) return lod_.Undo(splits[lod_.applied - 1]);
      return true;
    }
    while (target < Level<ByVertices>() && lod_.applied > 0) {
      if (lod_.applied > kAhead) lod_.Prefetch(splits[lod_.applied - 1 - kAhead]);
      if (!lod_.Undo(splits[lod_.applied - 1])) return false;
    }
    return true;
  }

  // ---- Clones ---------------------------------------------------------------------------------

  LyrResult CloneProgressiveImpl(uint32_t options, const VertexElement* declaration,
                                 GraphicsDevice* device, ProgressiveMesh** out) {
    if (!out || !device || (options & ~MO::CloneMask) || (options & MO::IndexWriteOnly) ||
        (declaration && !IsSingleStream(declaration)))
      return ErrInvalidCall;
    Mesh* copy = nullptr;
    LyrResult r = mesh_->CloneWithDeclaration(options, declaration, device, &copy);
    if (Failed(r)) return r;
    if (options & MO::Index32)
      return PMeshImpl<uint32_t>::Make(copy, store_, maxTable_, Counts(), out);
    return PMeshImpl<uint16_t>::Make(copy, store_, maxTable_, Counts(), out);
  }

  LyrResult CloneToMesh(uint32_t options, const VertexElement* declaration, GraphicsDevice* device,
                        Mesh** out) {
    VertexElement own[MaxElementEntries];
    mesh_->CopyDeclaration(own);
    if (!declaration) declaration = own;
    if (!out || !device || !IsSingleStream(declaration) || (options & ~MO::CloneMask))
      return ErrInvalidCall;
    if ((options & MO::ShareVertexBuffer)) {
      GraphicsDevice* mine = nullptr;
      mesh_->GetOwnerDevice(&mine);
      SafeRelease(mine);
      if (!ElementsEqual(declaration, own) || device != mine) return ErrInvalidCall;
    }
    if (mesh_->GetOptionBits() & MO::VertexWriteOnly) return ErrInvalidCall;
    return CopyLevel(options, declaration, device, false, 0, nullptr, nullptr, nullptr, out);
  }

  // Marks the face slots of every range past the current level as unused (indices and
  // adjacency none), so that an optimisation drops them.
  LyrResult ClearUnusedSlots() {
    IndexLock lock(mesh_);
    LyrResult r = lock.Lock(0);
    if (Failed(r)) return r;
    if (!Bind(lock.data())) return ErrInvalidCall;
    for (uint32_t k = 0; k < lod_.ranges; ++k) {
      const AttributeRange& c = lod_.cur[k];
      const uint32_t end = maxTable_[k].firstFace + maxTable_[k].faceCount;
      for (uint32_t f = c.firstFace + c.faceCount; f < end; ++f)
        for (int j = 0; j < 3; ++j)
          lod_.idx[size_t(f) * 3 + j] = lod_.adj[size_t(f) * 3 + j] = kNoneT;
    }
    return Ok;
  }

  // The current level as a plain Mesh: the embedded Mesh is cloned (in the index width of
  // options) and optimised into the result, which drops the unused slots.
  LyrResult CopyLevel(uint32_t options, const VertexElement* declaration, GraphicsDevice* device,
                      bool compact, uint32_t optimizeFlags, uint32_t* adjacencyOut,
                      uint32_t* faceRemap, Buffer** vertexRemap, Mesh** out) {
    if (!out) return ErrInvalidCall;
    GraphicsDevice* own = nullptr;
    mesh_->GetOwnerDevice(&own);
    Ref<GraphicsDevice> ownHolder(own);
    if (!device) device = own;
    LyrResult r = ClearUnusedSlots();
    if (Failed(r)) return r;
    const uint32_t cloneOptions =
        (mesh_->GetOptionBits() & ~(MO::Index32 | MO::ShareVertexBuffer)) | (options & MO::Index32);
    Ref<Mesh> clone;
    if (Failed(r = mesh_->CloneWithDeclaration(cloneOptions, declaration, device, clone.put())))
      return r;
    WorkVector<uint32_t> adjacency;
    if (adjacencyOut || compact || (optimizeFlags & kReorderBits)) {
      adjacency.resize(size_t(mesh_->GetFaceCount()) * 3);
      GetAdjacency(adjacency.data());
    }
    const uint32_t* adjIn = adjacency.empty() ? nullptr : adjacency.data();
    if (compact) {
      MeshInternal* ci = GetMeshInternal(clone.get());
      if (Failed(r = ci->OptimizeInternal(
                     OF::KeepVertices | OF::Compact | OF::AttributeSort | OF::KeepTableOrder, adjIn,
                     adjacencyOut, faceRemap, vertexRemap)))
        return r;
      *out = clone.detach();
      return Ok;
    }
    const uint32_t word =
        (options & MO::CloneMask & ~MO::Index32) | optimizeFlags | OF::Compact | OF::AttributeSort;
    return clone->OptimizeToNewMesh(word, adjIn, adjacencyOut, faceRemap, vertexRemap, out);
  }

  // ---- Optimising the base level --------------------------------------------------------------

  LyrResult MakeStorePrivate() {
    if (store_->refs.load(std::memory_order_acquire) == 1) return Ok;
    SplitStore* copy = New<SplitStore>();
    if (!copy) return ErrOutOfMemory;
    try {
      copy->records = store_->records;
      copy->mispredicts = store_->mispredicts;
    } catch (...) {
      Delete(copy);
      throw;
    }
    store_->Release();
    store_ = copy;
    Rebind();
    return Ok;
  }

  LyrResult OptimizeBase(uint32_t flags, uint32_t* faceRemap) {
    if (!(flags & kReorderBits)) return ErrInvalidCall;
    const uint32_t slots = mesh_->GetFaceCount();
    WorkVector<uint32_t> adjacency(size_t(slots) * 3), oldToNew(slots);
    LevelKeeper<true> keep(this);
    LyrResult r = MakeStorePrivate();
    if (Failed(r) || Failed(r = SetVertexCount(0))) return r;
    GetAdjacency(adjacency.data());
    r = mi_->OptimizeInternal(flags | OF::KeepAll | OF::KeepVertices | OF::FaceRemapOldToNew,
                              adjacency.data(), nullptr, oldToNew.data(), nullptr);
    if (Succeeded(r)) {
      for (VSplitRecord& s : store_->records)
        if (s.faceClw < slots) s.faceClw = oldToNew[s.faceClw];
      if (faceRemap) {
        std::fill_n(faceRemap, slots, kNone32);
        for (uint32_t f = 0; f < slots; ++f)
          if (oldToNew[f] < slots) faceRemap[oldToNew[f]] = f;
      }
    }
    return keep.Finish(r);
  }

  // ---- Trimming -------------------------------------------------------------------------------

  template <bool ByVertices>
  LyrResult Trim(uint32_t newMin, uint32_t newMax, uint32_t* faceRemap, uint32_t* vertexRemap) {
    if (newMax < newMin) return ErrInvalidCall;
    LevelKeeper<ByVertices> keep(this);
    auto move = [&](uint32_t to) { return ByVertices ? SetVertexCount(to) : SetFaceCount(to); };
    LyrResult r = move(newMax);
    if (Failed(r)) return r;
    uint32_t count = 0;
    const AttributeRange* table = mi_->TableData(&count);
    Vector<AttributeRange> atMax(table, table + count);
    const uint32_t last = lod_.applied, mispredictLast = lod_.mispredictPosition;
    const uint32_t facesAtMax = lod_.faces, verticesAtMax = lod_.vertices;
    if (Succeeded(r = move(newMin)))
      r = KeepSplits(lod_.applied, last, lod_.mispredictPosition, mispredictLast, facesAtMax,
                     verticesAtMax, atMax.data(), faceRemap, vertexRemap);
    return keep.Finish(r);
  }

  LyrResult KeepSplits(uint32_t first, uint32_t last, uint32_t mispredictFirst,
                       uint32_t mispredictLast, uint32_t facesAtMax, uint32_t verticesAtMax,
                       const AttributeRange* tableAtMax, uint32_t* faceRemap,
                       uint32_t* vertexRemap) {
    const uint32_t splitCount = static_cast<uint32_t>(store_->records.size());
    const uint32_t oldFaces = mesh_->GetFaceCount(), oldVertices = mesh_->GetVertexCount();
    const uint32_t ranges = static_cast<uint32_t>(maxTable_.size());
    if (!tableAtMax || first > last || last > splitCount || mispredictFirst > mispredictLast ||
        mispredictLast > store_->mispredicts.size() || first != lod_.applied ||
        mispredictFirst != lod_.mispredictPosition)
      return ErrInvalidCall;
    uint32_t count = 0;
    const AttributeRange* cur = mi_->TableData(&count);
    if (count != ranges) return ErrInvalidCall;
    uint64_t faceSum = 0, vertexSum = 0;
    for (uint32_t k = 0; k < ranges; ++k) {
      const AttributeRange& m = tableAtMax[k];
      if (m.firstFace != cur[k].firstFace || m.firstVertex != cur[k].firstVertex ||
          m.faceCount < cur[k].faceCount || m.vertexCount < cur[k].vertexCount ||
          m.faceCount > maxTable_[k].faceCount || m.vertexCount > maxTable_[k].vertexCount)
        return ErrInvalidCall;
      faceSum += m.faceCount;
      vertexSum += m.vertexCount;
    }
    if (faceSum != facesAtMax || vertexSum != verticesAtMax) return ErrInvalidCall;
    // Everything that can fail first: the new store, the maps and the compacted arrays.
    SplitStore* fresh = New<SplitStore>();
    if (!fresh) return ErrOutOfMemory;
    struct Drop {
      SplitStore*& s;
      ~Drop() {
        if (s) s->Release();
      }
    } dropFresh{fresh};
    fresh->records.assign(store_->records.begin() + first, store_->records.begin() + last);
    fresh->mispredicts.assign(store_->mispredicts.begin() + mispredictFirst,
                              store_->mispredicts.begin() + mispredictLast);
    const bool compactFaces = last < splitCount;
    const bool sharedVertices = (mi_->StateBits() & kMeshSharedVertexBuffer) != 0;
    const bool compactVertices = compactFaces && !sharedVertices;
    Vector<AttributeRange> newCur(cur, cur + ranges), newMax(tableAtMax, tableAtMax + ranges);
    WorkVector<uint32_t> faceMap, vertexMap;  // old to new
    if (compactFaces) {
      faceMap.assign(oldFaces, kNone32);
      uint32_t next = 0;
      for (uint32_t k = 0; k < ranges; ++k) {
        for (uint32_t i = 0; i < tableAtMax[k].faceCount; ++i)
          faceMap[tableAtMax[k].firstFace + i] = next + i;
        newCur[k].firstFace = newMax[k].firstFace = next;
        next += tableAtMax[k].faceCount;
      }
      vertexMap.resize(oldVertices);
      if (compactVertices) {
        std::fill(vertexMap.begin(), vertexMap.end(), kNone32);
        uint32_t nextVertex = 0;
        for (uint32_t k = 0; k < ranges; ++k) {
          for (uint32_t i = 0; i < tableAtMax[k].vertexCount; ++i)
            vertexMap[tableAtMax[k].firstVertex + i] = nextVertex + i;
          newCur[k].firstVertex = newMax[k].firstVertex = nextVertex;
          nextVertex += tableAtMax[k].vertexCount;
        }
      } else {
        for (uint32_t v = 0; v < oldVertices; ++v) vertexMap[v] = v;
        for (uint32_t k = 0; k < ranges; ++k) newMax[k].vertexCount = maxTable_[k].vertexCount;
      }
      for (VSplitRecord& s : fresh->records)
        s.faceClw = s.faceClw < oldFaces ? faceMap[s.faceClw] : kNone32;
    } else {
      newMax.assign(maxTable_.begin(), maxTable_.end());
    }
    Layout layout = MakeLayout(newMax, n_.maxValence, facesAtMax);
    if (compactFaces) {
      LyrResult r = CompactMesh(faceMap, vertexMap, facesAtMax,
                                compactVertices ? verticesAtMax : oldVertices, compactVertices);
      if (Failed(r)) return r;
      uint32_t n = 0;
      std::copy(newCur.begin(), newCur.end(), mi_->TableData(&n));
    }
    // Commit (nothing below can fail).
    maxTable_.swap(newMax);
    store_->Release();
    store_ = fresh;
    fresh = nullptr;
    n_.minLogical += first;
    n_.maxLogical = n_.minLogical + (last - first);
    n_.minFaces = lod_.faces;
    n_.minVertices = lod_.vertices;
    n_.maxFaces = facesAtMax;
    n_.maxVertices = verticesAtMax;
    lod_.applied = 0;
    lod_.mispredictPosition = 0;
    Install(layout);
    const auto fill = [](uint32_t* remap, uint32_t n, const WorkVector<uint32_t>& map) {
      std::fill_n(remap, n, kNone32);
      for (uint32_t i = 0; i < n; ++i)
        if (map.empty())
          remap[i] = i;
        else if (map[i] < n)
          remap[map[i]] = i;
    };
    if (faceRemap) fill(faceRemap, oldFaces, faceMap);
    if (vertexRemap) fill(vertexRemap, oldVertices, vertexMap);
    return Ok;
  }

  // Rewrites the embedded Mesh with only the mapped faces and vertices.
  LyrResult CompactMesh(const WorkVector<uint32_t>& faceMap, const WorkVector<uint32_t>& vertexMap,
                        uint32_t keptFaces, uint32_t keptVertices, bool moveVertices) {
    const uint32_t oldFaces = static_cast<uint32_t>(faceMap.size());
    const uint32_t stride = mesh_->GetVertexStride();
    WorkVector<T> idx(size_t(keptFaces) * 3), adj(size_t(keptFaces) * 3);
    WorkVector<uint32_t> attr(keptFaces);
    WorkVector<uint8_t> vertices(moveVertices ? size_t(keptVertices) * stride : 0);
    IndexLock lock(mesh_);
    LyrResult r = lock.Lock(0);
    if (Failed(r)) return r;
    const T* oldIdx = static_cast<const T*>(lock.data());
    const T* oldAdj = static_cast<const T*>(mi_->AdjacencyData());
    const uint32_t* oldAttr = mi_->AttributeData();
    const auto mapped = [](const WorkVector<uint32_t>& map, T v) {
      return v == kNoneT || v >= map.size() || map[v] == kNone32 ? kNoneT : static_cast<T>(map[v]);
    };
    for (uint32_t f = 0; f < oldFaces; ++f) {
      const uint32_t to = faceMap[f];
      if (to == kNone32) continue;
      for (int j = 0; j < 3; ++j) {
        idx[size_t(to) * 3 + j] = mapped(vertexMap, oldIdx[size_t(f) * 3 + j]);
        adj[size_t(to) * 3 + j] = mapped(faceMap, oldAdj[size_t(f) * 3 + j]);
      }
      attr[to] = oldAttr[f];
    }
    void* vb = nullptr;
    if (moveVertices) {
      if (Failed(r = mesh_->LockVertices(0, &vb))) return r;
      const uint8_t* from = static_cast<const uint8_t*>(vb);
      for (uint32_t v = 0; v < vertexMap.size(); ++v)
        if (vertexMap[v] != kNone32)
          std::memcpy(vertices.data() + size_t(vertexMap[v]) * stride, from + size_t(v) * stride,
                      stride);
    }
    r = mi_->Resize(keptFaces, keptVertices);
    if (Succeeded(r)) {
      std::copy(idx.begin(), idx.end(), static_cast<T*>(lock.data()));
      std::copy(adj.begin(), adj.end(), static_cast<T*>(mi_->AdjacencyData()));
      std::copy(attr.begin(), attr.end(), mi_->AttributeData());
      if (moveVertices) std::memcpy(vb, vertices.data(), vertices.size());
    }
    if (moveVertices) mesh_->UnlockVertices();
    return r;
  }

  // ---- Vertex history -------------------------------------------------------------------------

  // The index at corner (e + shift) of face n, e being n's entry that names face self; `self`
  // when there is no such neighbour.
  uint32_t NeighbourCorner(T n, uint32_t self, uint32_t shift, uint32_t fallback) const {
    if (n == kNoneT || n >= lod_.faceSlots) return fallback;
    const int e = lod_.BackEntry(n, self);
    if (e < 0) return fallback;
    return lod_.idx[size_t(n) * 3 + (uint32_t(e) + shift) % 3];
  }

  LyrResult VertexHistory(uint32_t* history) {
    namespace S = SplitCode;
    LevelKeeper<true> keep(this);
    LyrResult r = SetVertexCount(n_.maxVertices);
    if (Failed(r)) return r;
    std::fill_n(history, n_.maxVertices, kNone32);
    bool ok = true;
    {
      IndexLock lock(mesh_);
      if (Failed(r = lock.Lock(0))) return r;
      if (!Bind(lock.data())) return ErrInvalidCall;
      typename pm::SplitEngine<T>::UndoPlan p;
      while (lod_.applied > 0 && ok) {
        const VSplitRecord& s = lod_.splits[lod_.applied - 1];
        if (!(ok = lod_.Locate(s, p))) break;
        const uint32_t code = s.code;
        const T* fl = lod_.idx + size_t(p.left) * 3;
        const T* al = lod_.adj + size_t(p.left) * 3;
        uint32_t endL = lod_.cur[p.leftRange].firstVertex + lod_.cur[p.leftRange].vertexCount;
        if (p.right != kNoFace) {
          const T* fr = lod_.idx + size_t(p.right) * 3;
          const T* ar = lod_.adj + size_t(p.right) * 3;
          uint32_t endR = lod_.cur[p.rightRange].firstVertex + lod_.cur[p.rightRange].vertexCount;
          uint32_t k0 = kNone32;
          if (code & S::RightSecondNew) {
            --endR;
            history[endR] = NeighbourCorner(ar[1], p.right, 1, endR);
          }
          if (!(code & (S::RightFromFar | S::RightSameAsLeft | S::RightFromNear))) {
            k0 = --endR;
            history[k0] = NeighbourCorner(ar[0], p.right, 1, k0);
          }
          if (!(code & S::RightThirdIsVt)) {
            --endR;
            history[endR] = k0 != kNone32 ? history[k0] : fr[0];
          }
          if (p.rightRange == p.leftRange) endL = endR;
        }
        const T* fa = lod_.idx + size_t(s.faceClw) * 3;
        const uint32_t c = code & S::Corner;
        if (code & S::LeftThirdNew) {
          --endL;
          history[endL] = fa[pm::kPrev[c]];
        }
        const pm::NewVertices nv = pm::CountNewVertices(code, p.right != kNoFace);
        uint32_t k0 = kNone32;
        if (nv.left - 1 - ((code & S::LeftThirdNew) != 0)) {
          k0 = --endL;
          history[k0] = NeighbourCorner(al[2], p.left, 0, k0);
        }
        --endL;
        history[endL] = k0 != kNone32 ? history[k0] : fl[0];
        lod_.Commit(p);
      }
      if (ok)
        for (uint32_t k = 0; k < lod_.ranges; ++k)
          for (uint32_t i = 0; i < lod_.cur[k].vertexCount; ++i)
            history[lod_.cur[k].firstVertex + i] = lod_.cur[k].firstVertex + i;
    }
    return keep.Finish(ok ? Ok : ErrInvalidCall);
  }

  // ---- Save data ------------------------------------------------------------------------------

  LyrResult SaveData(void** image, uint32_t* imageBytes, uint32_t** adjacency, Mesh** base) {
    if (!image || !imageBytes || !adjacency || !base ||
        (mesh_->GetOptionBits() & (MO::VertexWriteOnly | MO::IndexWriteOnly)))
      return ErrInvalidCall;
    LevelKeeper<true> keep(this);
    LyrResult r = SetVertexCount(1);
    Block<uint32_t> adj, words;
    Ref<Mesh> mesh;
    const uint32_t ranges = static_cast<uint32_t>(maxTable_.size());
    const uint64_t wordCount =
        6 + 6ull * ranges + 3ull * store_->records.size() + store_->mispredicts.size();
    if (Succeeded(r) &&
        (wordCount * 4 > 0xFFFFFFFFu || !adj.allocate(size_t(mesh_->GetFaceCount()) * 3) ||
         !words.allocate(size_t(wordCount))))
      r = ErrOutOfMemory;
    if (Succeeded(r))
      r = CopyLevel(mesh_->GetOptionBits() | MO::VertexSystemMemory | MO::IndexSystemMemory,
                    nullptr, nullptr, true, 0, adj.get(), nullptr, nullptr, mesh.put());
    if (Succeeded(r)) {
      uint32_t count = 0;
      const AttributeRange* cur = mi_->TableData(&count);
      uint32_t* w = words.get();
      *w++ = ranges;
      for (uint32_t k = 0; k < ranges; ++k) {
        const uint32_t row[6] = {cur[k].firstFace,   cur[k].faceCount,   maxTable_[k].faceCount,
                                 cur[k].firstVertex, cur[k].vertexCount, maxTable_[k].vertexCount};
        w = std::copy_n(row, 6, w);
      }
      *w++ = n_.maxValence;
      *w++ = n_.minLogical;
      *w++ = n_.maxLogical;
      *w++ = static_cast<uint32_t>(store_->records.size());
      for (const VSplitRecord& s : store_->records) {
        *w++ = s.faceClw;
        *w++ = s.vlrOffset;
        *w++ = s.code;
      }
      *w++ = static_cast<uint32_t>(store_->mispredicts.size());
      for (uint16_t m : store_->mispredicts) *w++ = m;
    }
    if (Failed(r = keep.Finish(r))) return r;
    *imageBytes = static_cast<uint32_t>(wordCount * 4);
    *image = words.release();
    *adjacency = adj.release();
    *base = mesh.detach();
    return Ok;
  }

  Mesh* mesh_ = nullptr;
  MeshInternal* mi_ = nullptr;
  SplitStore* store_ = nullptr;
  Vector<AttributeRange> maxTable_;
  Vector<T*> corners_;
  Vector<uint32_t> slotStarts_, slotRanges_;
  LodCounts n_;
  pm::SplitEngine<T> lod_;
};

// ---- Construction from a base Mesh ------------------------------------------------------------

// Checks the ranges: each within its own limits, and together tiling the face and vertex slots
// [0, total) without overlap. Sums are made in 64 bits.
LyrResult CheckRanges(const PMContents& c, uint64_t* maxFaces, uint64_t* maxVertices,
                      uint64_t* minFaces) {
  if (!c.ranges || c.rangeCount == 0) return ErrInvalidCall;
  uint64_t fMax = 0, vMax = 0, fMin = 0;
  for (uint32_t k = 0; k < c.rangeCount; ++k) {
    const PMRange& g = c.ranges[k];
    if (g.facesMin > g.facesMax || g.verticesMin > g.verticesMax) return ErrInvalidCall;
    fMax += g.facesMax;
    vMax += g.verticesMax;
    fMin += g.facesMin;
  }
  const auto tiles = [&](auto first, auto size, uint64_t total) {
    WorkVector<uint32_t> order(c.rangeCount);
    for (uint32_t k = 0; k < c.rangeCount; ++k) order[k] = k;
    std::sort(order.begin(), order.end(),
              [&](uint32_t x, uint32_t y) { return first(c.ranges[x]) < first(c.ranges[y]); });
    uint64_t at = 0;
    for (uint32_t k : order) {
      if (size(c.ranges[k]) == 0) continue;
      if (first(c.ranges[k]) < at) return false;
      at = uint64_t(first(c.ranges[k])) + size(c.ranges[k]);
    }
    return at <= total;
  };
  if (!tiles([](const PMRange& g) { return g.faceOffset; },
             [](const PMRange& g) { return g.facesMax; }, fMax) ||
      !tiles([](const PMRange& g) { return g.vertexOffset; },
             [](const PMRange& g) { return g.verticesMax; }, vMax))
    return ErrInvalidCall;
  *maxFaces = fMax;
  *maxVertices = vMax;
  *minFaces = fMin;
  return Ok;
}

template <class T>
LyrResult FillFromBase(Mesh* base, uint32_t options, const uint32_t* adjacency, const PMContents& c,
                       uint32_t maxFaces, uint32_t maxVertices, ProgressiveMesh** out) {
  constexpr T kNoneT = static_cast<T>(~T(0));
  GraphicsDevice* device = nullptr;
  LyrResult r = base->GetOwnerDevice(&device);
  if (Failed(r)) return r;
  Ref<GraphicsDevice> deviceHolder(device);
  VertexElement declaration[MaxElementEntries];
  base->CopyDeclaration(declaration);

  SplitStore* store = New<SplitStore>();
  if (!store) return ErrOutOfMemory;
  struct Drop {
    SplitStore* s;
    ~Drop() { s->Release(); }
  } dropStore{store};
  store->records.assign(c.splits, c.splits + c.splitCount);
  store->mispredicts.assign(c.mispredicts, c.mispredicts + c.mispredictCount);
  Vector<AttributeRange> current(c.rangeCount), maximum(c.rangeCount);
  LodCounts n;
  for (uint32_t k = 0; k < c.rangeCount; ++k) {
    const PMRange& g = c.ranges[k];
    current[k] = {k, g.faceOffset, g.facesMin, g.vertexOffset, g.verticesMin};
    maximum[k] = {k, g.faceOffset, g.facesMax, g.vertexOffset, g.verticesMax};
    n.minVertices += g.verticesMin;
  }
  n.maxValence = sizeof(T) == 4 ? c.maxValence : (c.maxValence & 0xFFFF);
  n.minLogical = c.minLogicalVertices;
  n.maxLogical = c.maxLogicalVertices;
  n.minFaces = n.faces = base->GetFaceCount();
  n.maxFaces = maxFaces;
  n.maxVertices = maxVertices;
  n.vertices = n.minVertices;

  Mesh* mesh = nullptr;
  if (Failed(r = CreateMesh(maxFaces, maxVertices, options, declaration, device, &mesh))) return r;
  Ref<Mesh> meshHolder(mesh);
  MeshInternal* mi = GetMeshInternal(mesh);
  if (Failed(r = mi->KeepAdjacency())) return r;
  if (Failed(r = mesh->ReplaceAttributeTable(current.data(), c.rangeCount))) return r;
  mi->AddStateBits(kMeshTableValid);

  // Packed base numbering: range k's base faces start at packedStart[k].
  WorkVector<uint32_t> packedStart(c.rangeCount + 1);
  packedStart[0] = 0;
  for (uint32_t k = 0; k < c.rangeCount; ++k)
    packedStart[k + 1] = packedStart[k] + c.ranges[k].facesMin;
  const uint32_t baseFaces = packedStart[c.rangeCount];
  const auto slotOf = [&](uint32_t v) -> T {
    if (v == kNone32) return kNoneT;
    const uint32_t u = static_cast<uint32_t>(
        std::upper_bound(packedStart.begin(), packedStart.end(), v) - packedStart.begin() - 1);
    return static_cast<T>(c.ranges[u].faceOffset + (v - packedStart[u]));
  };
  if (adjacency)
    for (size_t i = 0; i < size_t(baseFaces) * 3; ++i)
      if (adjacency[i] != kNone32 && adjacency[i] >= baseFaces) return ErrInvalidCall;

  {
    IndexLock baseIndices(base), ownIndices(mesh);
    void *baseVertices = nullptr, *ownVertices = nullptr;
    if (Failed(r = baseIndices.Lock(kLockNoSystemLock)) || Failed(r = ownIndices.Lock(0))) return r;
    if (Failed(r = base->LockVertices(kLockNoSystemLock, &baseVertices))) return r;
    if (Failed(r = mesh->LockVertices(0, &ownVertices))) {
      base->UnlockVertices();
      return r;
    }
    const T* from = static_cast<const T*>(baseIndices.data());
    T* idx = static_cast<T*>(ownIndices.data());
    T* adj = static_cast<T*>(mi->AdjacencyData());
    uint32_t* attr = mi->AttributeData();
    for (uint32_t k = 0; k < c.rangeCount; ++k) {
      const PMRange& g = c.ranges[k];
      for (uint32_t i = 0; i < g.facesMax; ++i) {
        const size_t s = size_t(g.faceOffset) + i;
        attr[s] = k;
        const bool used = i < g.facesMin;
        const size_t p = size_t(packedStart[k]) + i;
        for (int j = 0; j < 3; ++j) {
          idx[s * 3 + j] = used ? from[p * 3 + j] : kNoneT;
          adj[s * 3 + j] = used && adjacency ? slotOf(adjacency[p * 3 + j]) : kNoneT;
        }
      }
    }
    std::memcpy(ownVertices, baseVertices, size_t(maxVertices) * base->GetVertexStride());
    mesh->UnlockVertices();
    base->UnlockVertices();
  }
  return PMeshImpl<T>::Make(meshHolder.detach(), store, maximum, n, out);
}

}  // namespace

LyrResult CreateProgressiveMeshFromBase(Mesh* base, uint32_t options, const uint32_t* adjacency,
                                        const PMContents& c, ProgressiveMesh** out) {
  return Guard([&]() -> LyrResult {
    if (!base || !out) return ErrInvalidCall;
    if ((options & MO::Index32) != (base->GetOptionBits() & MO::Index32)) return ErrInvalidCall;
    if ((c.splitCount && !c.splits) || (c.mispredictCount && !c.mispredicts)) return ErrInvalidCall;
    uint64_t maxFaces = 0, maxVertices = 0, minFaces = 0;
    LyrResult r = CheckRanges(c, &maxFaces, &maxVertices, &minFaces);
    if (Failed(r)) return r;
    if (minFaces != base->GetFaceCount() || maxVertices > base->GetVertexCount() ||
        maxFaces > 0xFFFFFFFEu || maxVertices == 0 || c.minLogicalVertices > c.maxLogicalVertices ||
        c.maxLogicalVertices - c.minLogicalVertices > c.splitCount)
      return ErrInvalidCall;
    if (options & MO::Index32)
      return FillFromBase<uint32_t>(base, options, adjacency, c, uint32_t(maxFaces),
                                    uint32_t(maxVertices), out);
    return FillFromBase<uint16_t>(base, options, adjacency, c, uint32_t(maxFaces),
                                  uint32_t(maxVertices), out);
  });
}

LyrResult CheckEveryLevel(ProgressiveMesh* mesh) {
  return Guard([&]() -> LyrResult {
    if (auto* p = dynamic_cast<PMeshImpl<uint16_t>*>(mesh)) return p->CheckLevels();
    if (auto* p = dynamic_cast<PMeshImpl<uint32_t>*>(mesh)) return p->CheckLevels();
    return ErrInvalidCall;
  });
}

bool ReadProgressiveSnapshot(ProgressiveMesh* mesh, PMSnapshot* s) {
  if (auto* p = dynamic_cast<PMeshImpl<uint16_t>*>(mesh)) {
    p->Snapshot(s);
    return true;
  }
  if (auto* p = dynamic_cast<PMeshImpl<uint32_t>*>(mesh)) {
    p->Snapshot(s);
    return true;
  }
  return false;
}

}  // namespace lyr
