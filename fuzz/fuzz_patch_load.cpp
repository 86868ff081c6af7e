// Patch mesh loading: any Vek text or binary bytes, parsed by the component, give every
// PatchMesh and PatchMesh9 object to LoadPatchMeshes. Each load ends with a code, never a crash
// or a read past a block; a successful load hands out PatchMeshes whose indices name their
// vertices, whose attribute table covers every patch, and whose adjacency (built for small ones)
// names existing patches.
#include "core/object_impl.h"
#include "mesh/reference_device.h"
#include "patch/patch_impl.h"
#include "patch/patch_load.h"
#include "vek_fuzz.h"

namespace {

lyr::GraphicsDevice* Device() {
  static lyr::GraphicsDevice* device = [] {
    lyr::GraphicsDevice* d = nullptr;
    if (lyr::LoadReferenceDevice({}, &d) != lyr::Ok) __builtin_trap();
    return d;
  }();
  return device;
}

void Check(lyr::PatchMesh* mesh) {
  using namespace lyr;
  const uint32_t patches = mesh->GetPatchCount(), vertices = mesh->GetVertexCount();
  const uint32_t points = mesh->ControlPointsPerPatch();
  void* p = nullptr;
  if (mesh->LockIndices(kLockReadOnly, &p) != Ok) __builtin_trap();
  const uint16_t* indices = static_cast<const uint16_t*>(p);
  for (size_t i = 0; i < size_t(patches) * points; ++i)
    if (indices[i] >= vertices) __builtin_trap();
  mesh->UnlockIndices();
  PatchMeshInternal* internal = GetPatchMeshInternal(mesh);
  uint32_t covered = 0;
  for (const AttributeRange& e : internal->AttributeTable()) {
    if (e.firstFace != covered) __builtin_trap();
    covered += e.faceCount;
  }
  if (covered != patches) __builtin_trap();
  if (patches > 512) return;  // rectangle adjacency compares every pair of patches
  for (float tolerance : {0.0f, 0.01f}) {
    if (mesh->BuildPatchAdjacency(tolerance) != Ok) __builtin_trap();
    for (uint32_t a : internal->Adjacency())
      if (a != kNoNeighbour && a >= patches) __builtin_trap();
  }
}

void Load(lyr::VekDataObject* object) {
  using namespace lyr;
  Ref<Buffer> materials, effects;
  PatchMesh* meshes[kMaxLoadedPatchMeshes] = {};
  uint32_t materialCount = 0, meshCount = 0, unknownCount = 0;
  VekDataObject** unknown = nullptr;
  LyrResult r = LoadPatchMeshes(object, 0, Device(), materials.put(), effects.put(), &materialCount,
                                meshes, &meshCount, false, &unknown, &unknownCount);
  if (r == Ok) {
    if (meshCount == 0 || meshCount > 4) __builtin_trap();
    if (materialCount && (!materials || !effects)) __builtin_trap();
    for (uint32_t i = 0; i < meshCount; ++i) Check(meshes[i]);
  } else if (meshCount || meshes[0] || materials || effects || unknown) {
    __builtin_trap();  // a failed load hands nothing out
  }
  for (PatchMesh* m : meshes)
    if (m) m->Release();
  for (uint32_t i = 0; i < unknownCount; ++i) unknown[i]->Release();
  Free(unknown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vekfuzz::LoadEach(
      data, size,
      [](const lyr::Guid& id) {
        return id == lyr::vekio::tid::kPatchMesh || id == lyr::vekio::tid::kPatchMesh9;
      },
      Load);
  return 0;
}
