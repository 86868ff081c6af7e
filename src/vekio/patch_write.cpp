// The patch-mesh form of the mesh data writer: a PatchMesh becomes a PatchMesh9 data object whose
// children are written by the same code as a Mesh's, with patches in place of faces.
#include "core/object_impl.h"
#include "lyr/patch.h"
#include "platform/platform.h"
#include "vekio/mesh_write.h"
#include "vekio/mesh_write_parts.h"
#include "vekio/vek_component.h"

namespace lyr::vekio {

namespace {

constexpr uint32_t kReadLock = kLockReadOnly | kLockNoSystemLock;

// The locks one patch-mesh write holds, undone when it goes.
class PatchLocks {
 public:
  explicit PatchLocks(PatchMesh* mesh) : mesh_(mesh) {}
  PatchLocks(const PatchLocks&) = delete;
  PatchLocks& operator=(const PatchLocks&) = delete;
  ~PatchLocks() { UnlockAll(); }

  LyrResult Lock(GeometryView* view) {
    void* p = nullptr;
    LyrResult r = mesh_->GetVertexBufferRef(vertices_.put());
    if (Failed(r)) return r;
    if (!vertices_) return ErrFail;
    if (Failed(r = vertices_->LockBuffer(0, 0, &p, kReadLock))) return r;
    verticesLocked_ = true;
    view->vertices = static_cast<const uint8_t*>(p);
    if (Failed(r = mesh_->GetIndexBufferRef(indices_.put()))) return r;
    if (!indices_) return ErrFail;
    if (Failed(r = indices_->LockBuffer(0, 0, &p, kReadLock))) return r;
    indicesLocked_ = true;
    view->indices = p;
    // Read-only: the attribute table and the adjacency stay as they are.
    uint32_t* ids = nullptr;
    if (Failed(r = mesh_->LockPatchAttributes(kLockReadOnly, &ids))) return r;
    idsLocked_ = true;
    view->attributes = ids;
    return Ok;
  }

  // Undoes every lock still held; the first failure is returned.
  LyrResult UnlockAll() {
    LyrResult r = Ok;
    auto undo = [&r](bool& held, auto&& unlock) {
      if (!held) return;
      held = false;
      const LyrResult u = unlock();
      if (Succeeded(r)) r = u;
    };
    undo(indicesLocked_, [&] { return indices_->UnlockBuffer(); });
    undo(verticesLocked_, [&] { return vertices_->UnlockBuffer(); });
    undo(idsLocked_, [&] { return mesh_->UnlockPatchAttributes(); });
    indices_ = Ref<IndexBuffer>();
    vertices_ = Ref<VertexBuffer>();
    return r;
  }

 private:
  PatchMesh* mesh_;
  Ref<VertexBuffer> vertices_;
  Ref<IndexBuffer> indices_;
  bool verticesLocked_ = false, indicesLocked_ = false, idsLocked_ = false;
};

LyrResult WritePatchLocked(const SaveContext& context, PatchMesh* patchMesh, const char* name,
                           const Material* materials, const EffectInstance* effects,
                           uint32_t materialCount, VekDataObject** out) {
  GeometryView view;
  WorkVector<uint8_t> scratch;
  view.scratch = &scratch;
  PatchLocks locks(patchMesh);
  LyrResult r = locks.Lock(&view);
  if (Failed(r)) return r;
  PatchInfo info{};
  if (Failed(r = patchMesh->GetPatchDescription(&info))) return r;
  VertexElement declaration[kMaxPatchElements + 1];
  if (Failed(r = patchMesh->CopyDeclaration(declaration))) return r;
  view.vertexCount = patchMesh->GetVertexCount();
  view.faceCount = patchMesh->GetPatchCount();
  view.corners = patchMesh->ControlPointsPerPatch();
  view.stride = StreamVertexSize(declaration, 0);
  view.wideIndices = false;  // a patch mesh's indices are always 16-bit
  FindWellKnownElements(&view, declaration);
  // Every control point needs its three position floats.
  if (!view.position) return ErrInvalidCall;
  const uint32_t header[3] = {info.type, info.degree, info.basis};
  if (!GeometryFits(view, 3)) return ErrInvalidCall;

  Ref<VekDataObject> object;
  if (Failed(r = MakeGeometryObject(context.save, tid::kPatchMesh9, name, header, 3, view,
                                    object.put())))
    return r;
  // The scratch holds the header words before the patches, so the normals build their own faces.
  view.facesInScratch = false;
  if (Failed(r = WriteVertexChildren(context, view, object.get())) ||
      Failed(
          r = WriteMaterialList(context, view, materials, effects, materialCount, object.get())) ||
      Failed(r = WriteRemainingVertexData(context, view, object.get())) ||
      Failed(r = locks.UnlockAll()))
    return r;
  *out = object.detach();
  return Ok;
}

}  // namespace

LyrResult WritePatchMeshData(const SaveContext& context, PatchMesh* patchMesh, const char* name,
                             const Material* materials, const EffectInstance* effects,
                             uint32_t materialCount, VekDataObject** out) {
  if (!out) return ErrInvalidCall;
  *out = nullptr;
  if (!context.save || !context.strings || !patchMesh) return ErrInvalidCall;
  if (materialCount && !materials && !effects) return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    platform::ScopedCLocale locale;
    return WritePatchLocked(context, patchMesh, name, materials, effects, materialCount, out);
  });
}

}  // namespace lyr::vekio
