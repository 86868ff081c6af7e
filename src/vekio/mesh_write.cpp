#include "vekio/mesh_write.h"

#include <cstring>

#include "core/object_impl.h"
#include "lyr/skin.h"
#include "platform/platform.h"
#include "vekio/mesh_write_parts.h"
#include "vekio/vek_component.h"

namespace lyr::vekio {

// ---- Copied strings -----------------------------------------------------------------------------

SaveStrings::~SaveStrings() {
  for (char* s : copies_) Free(s);
}

LyrResult SaveStrings::Copy(const char* text, const char** out) {
  *out = nullptr;
  return text ? Store(text, std::strlen(text), out) : Ok;
}

LyrResult SaveStrings::Copy(const char* text, size_t limit, const char** out) {
  *out = nullptr;
  if (!text) return Ok;
  const void* zero = std::memchr(text, 0, limit);
  return Store(text, zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : limit,
               out);
}

LyrResult SaveStrings::Store(const char* text, size_t length, const char** out) {
  return Guard([&]() -> LyrResult {
    copies_.reserve(copies_.size() + 1);  // the push below cannot fail and lose the copy
    char* copy = static_cast<char*>(Alloc(length + 1));
    if (!copy) return ErrOutOfMemory;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    copies_.push_back(copy);
    *out = copy;
    return Ok;
  });
}

// ---- Meshes -------------------------------------------------------------------------------------

namespace {

constexpr uint32_t kReadLock = kLockReadOnly | kLockNoSystemLock;

// The locks one mesh write holds; whichever are still held are undone when it goes.
class MeshLocks {
 public:
  explicit MeshLocks(Mesh* mesh) : mesh_(mesh) {}
  MeshLocks(const MeshLocks&) = delete;
  MeshLocks& operator=(const MeshLocks&) = delete;
  ~MeshLocks() { UnlockAll(); }

  // Locks the vertices, the indices and the attribute ids into view.
  LyrResult Lock(GeometryView* view) {
    LyrResult r = mesh_->GetVertexBufferRef(vertices_.put());
    if (Failed(r)) return r;
    void* p = nullptr;
    if (!vertices_ || Failed(r = vertices_->LockBuffer(0, 0, &p, kReadLock)))
      return vertices_ ? r : ErrFail;
    verticesLocked_ = true;
    view->vertices = static_cast<const uint8_t*>(p);
    if (Failed(r = mesh_->GetIndexBufferRef(indices_.put()))) return r;
    if (!indices_ || Failed(r = indices_->LockBuffer(0, 0, &p, kReadLock)))
      return indices_ ? r : ErrFail;
    indicesLocked_ = true;
    view->indices = p;
    uint32_t* ids = nullptr;
    if (Failed(r = mesh_->LockAttributeIds(kLockReadOnly, &ids))) return r;
    idsLocked_ = true;
    view->attributes = ids;
    return Ok;
  }

  LyrResult UnlockIndices() {
    if (!indicesLocked_) return Ok;
    indicesLocked_ = false;
    LyrResult r = indices_->UnlockBuffer();
    indices_ = Ref<IndexBuffer>();
    return r;
  }

  // Undoes every lock still held; the first failure is returned.
  LyrResult UnlockAll() {
    LyrResult r = UnlockIndices();
    if (verticesLocked_) {
      verticesLocked_ = false;
      const LyrResult u = vertices_->UnlockBuffer();
      if (Succeeded(r)) r = u;
    }
    vertices_ = Ref<VertexBuffer>();
    if (idsLocked_) {
      idsLocked_ = false;
      const LyrResult u = mesh_->UnlockAttributeIds();
      if (Succeeded(r)) r = u;
    }
    return r;
  }

 private:
  Mesh* mesh_;
  Ref<VertexBuffer> vertices_;
  Ref<IndexBuffer> indices_;
  bool verticesLocked_ = false, indicesLocked_ = false, idsLocked_ = false;
};

// FaceAdjacency with a progressive-mesh block (which keeps the faces as they are), else the point
// representatives the adjacency gives.
LyrResult WriteAdjacency(const SaveContext& context, Mesh* mesh, const GeometryView& view,
                         const uint32_t* adjacency, bool progressive, VekDataObject* parent) {
  if (progressive) {
    const uint64_t entries = 3 * uint64_t(view.faceCount);
    if (entries > UINT32_MAX / 4) return ErrInvalidCall;
    Vector<uint32_t> block(static_cast<size_t>(entries) + 1);
    block[0] = static_cast<uint32_t>(entries);
    std::memcpy(block.data() + 1, adjacency, static_cast<size_t>(entries) * 4);
    return AddNewChild(context.save, parent, tid::kFaceAdjacency, block.data(),
                       uint64_t(block.size()) * 4);
  }
  Vector<uint32_t> block(size_t(view.vertexCount) + 2);
  uint32_t* reps = block.data() + 2;
  LyrResult r = mesh->PointRepsFromAdjacency(adjacency, reps);
  if (Failed(r)) return r;
  uint32_t originals = 0;
  for (uint32_t i = 0; i < view.vertexCount; ++i) originals += reps[i] == i;
  block[0] = view.vertexCount;
  block[1] = originals;
  return AddNewChild(context.save, parent, tid::kVertexDuplicationIndices, block.data(),
                     uint64_t(block.size()) * 4);
}

LyrResult WriteMeshLocked(const SaveContext& context, Mesh* mesh, const char* name,
                          const uint32_t* adjacency, const Material* materials,
                          const EffectInstance* effects, uint32_t materialCount, const void* pmInfo,
                          uint32_t pmInfoSize, VekDataObject** out) {
  GeometryView view;
  WorkVector<uint8_t> scratch;
  view.scratch = &scratch;
  MeshLocks locks(mesh);
  LyrResult r = locks.Lock(&view);
  if (Failed(r)) return r;
  view.vertexCount = mesh->GetVertexCount();
  view.faceCount = mesh->GetFaceCount();
  view.stride = mesh->GetVertexStride();
  view.wideIndices = (mesh->GetOptionBits() & MeshOptions::Index32) != 0;
  VertexElement declaration[MaxElementEntries];
  if (Failed(r = mesh->CopyDeclaration(declaration))) return r;
  FindWellKnownElements(&view, declaration);
  // Every file vertex needs its three position floats; a layout without them would be read back
  // with made-up positions.
  if (!view.position) return ErrInvalidCall;
  if (materialCount) {
    for (uint32_t f = 0; f < view.faceCount; ++f)
      if (view.attributes[f] >= materialCount) return ErrInvalidCall;
  }
  if (!GeometryFits(view, 0)) return ErrInvalidCall;

  Ref<VekDataObject> object;
  if (Failed(
          r = MakeGeometryObject(context.save, tid::kMesh, name, nullptr, 0, view, object.put())))
    return r;
  view.facesInScratch = true;
  if (Failed(r = WriteVertexChildren(context, view, object.get()))) return r;
  if (Failed(r = locks.UnlockIndices())) return r;
  view.indices = nullptr;
  r = WriteMaterialList(context, view, materials, effects, materialCount, object.get());
  if (Failed(r)) return r;
  if (adjacency &&
      Failed(r = WriteAdjacency(context, mesh, view, adjacency, pmInfo != nullptr, object.get())))
    return r;
  if (Failed(r = WriteRemainingVertexData(context, view, object.get()))) return r;
  if (pmInfo) {
    Ref<VekDataObject> pm;
    r = context.save->NewDataObject(tid::kPMInfo, nullptr, nullptr, pmInfoSize, pmInfo, pm.put());
    if (Failed(r) || Failed(r = object->AddChild(pm.get()))) return r;
  }
  if (Failed(r = locks.UnlockAll())) return r;
  *out = object.detach();
  return Ok;
}

}  // namespace

LyrResult WriteMeshData(const SaveContext& context, Mesh* mesh, const char* name,
                        const uint32_t* adjacency, const Material* materials,
                        const EffectInstance* effects, uint32_t materialCount, const void* pmInfo,
                        uint32_t pmInfoSize, VekDataObject** out) {
  if (!out) return ErrInvalidCall;
  *out = nullptr;
  if (!context.save || !context.strings || !mesh) return ErrInvalidCall;
  if (materialCount && !materials && !effects) return ErrInvalidCall;
  if (mesh->GetOptionBits() & (MeshOptions::VertexWriteOnly | MeshOptions::IndexWriteOnly))
    return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    platform::ScopedCLocale locale;
    return WriteMeshLocked(context, mesh, name, adjacency, materials, effects, materialCount,
                           pmInfo, pmInfoSize, out);
  });
}

// ---- Skinned meshes -----------------------------------------------------------------------------

namespace {

// VekSkinMeshHeader and one SkinWeights per bone, added to the mesh object.
LyrResult WriteSkin(const SaveContext& context, Mesh* mesh, SkinInfo* skin, VekDataObject* object) {
  const uint32_t bones = skin->GetBoneCount();
  uint32_t perVertex = 0, perFace = 0;
  LyrResult r = skin->GetMaxWeightsPerVertex(&perVertex);
  if (Failed(r)) return r;
  {
    Ref<IndexBuffer> indices;
    if (Failed(r = mesh->GetIndexBufferRef(indices.put()))) return r;
    r = skin->GetMaxBonesPerFaceFromIndexBuffer(indices.get(), mesh->GetFaceCount(), &perFace);
    if (Failed(r)) return r;
  }
  auto word = [](uint32_t v) { return static_cast<uint16_t>(v < 0xFFFF ? v : 0xFFFF); };
  const uint16_t header[3] = {word(perVertex), word(perFace), static_cast<uint16_t>(bones)};
  Ref<VekDataObject> child;
  r = context.save->NewDataObject(tid::kVekSkinMeshHeader, nullptr, nullptr, sizeof header, header,
                                  child.put());
  if (Failed(r) || Failed(r = object->AddChild(child.get()))) return r;

  uint32_t largest = 0;
  for (uint32_t b = 0; b < bones; ++b) {
    const uint32_t n = skin->GetBoneWeightCount(b);
    if (n > largest) largest = n;
  }
  // transformNodeName, nWeights, the vertex indices, the weights, the offset matrix.
  constexpr size_t kCountAt = sizeof(const char*);
  constexpr size_t kIndicesAt = kCountAt + 4;
  const uint64_t most = kIndicesAt + 8 * uint64_t(largest) + 64;
  if (most > UINT32_MAX) return ErrInvalidCall;
  WorkVector<uint8_t> block(static_cast<size_t>(most));
  for (uint32_t b = 0; b < bones; ++b) {
    const uint32_t n = skin->GetBoneWeightCount(b);
    uint8_t* at = block.data();
    // The block comes from the allocator, 16-byte aligned: both arrays are 4-byte aligned.
    uint32_t* vertices = reinterpret_cast<uint32_t*>(at + kIndicesAt);
    float* weights = reinterpret_cast<float*>(at + kIndicesAt + 4 * size_t(n));
    if (n && Failed(r = skin->GetBoneWeights(b, vertices, weights))) return r;
    const char* label = skin->GetBoneLabel(b);
    std::memcpy(at, &label, sizeof label);
    std::memcpy(at + kCountAt, &n, 4);
    const Matrix* offset = skin->GetBoneOffset(b);
    uint8_t* matrix = at + kIndicesAt + 8 * size_t(n);
    if (offset)
      std::memcpy(matrix, offset, 64);
    else
      std::memset(matrix, 0, 64);
    child = Ref<VekDataObject>();
    r = context.save->NewDataObject(tid::kSkinWeights, nullptr, nullptr,
                                    static_cast<uint32_t>(kIndicesAt + 8 * size_t(n) + 64), at,
                                    child.put());
    if (Failed(r) || Failed(r = object->AddChild(child.get()))) return r;
  }
  return Ok;
}

}  // namespace

LyrResult WriteSkinnedMesh(const SaveContext& context, const MeshContainer* container,
                           VekDataObject* frame) {
  if (!context.save || !context.strings || !container || !frame || !container->skinInfo)
    return ErrInvalidCall;
  if (container->meshType != MeshTypeMesh) return Ok;
  Mesh* mesh = container->mesh;
  if (!mesh) return ErrInvalidCall;
  // The header counts bones in 16 bits; more would be read back as fewer bones.
  if (container->skinInfo->GetBoneCount() > 0xFFFF) return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    platform::ScopedCLocale locale;
    Ref<VekDataObject> object;
    LyrResult r = WriteMeshData(context, mesh, container->name, container->adjacency,
                                container->materials, container->effectInstances,
                                container->materialCount, nullptr, 0, object.put());
    if (Failed(r) || Failed(r = WriteSkin(context, mesh, container->skinInfo, object.get())))
      return r;
    return frame->AddChild(object.get());
  });
}

}  // namespace lyr::vekio
