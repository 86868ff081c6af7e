// Mesh data loader: any Vek text or binary bytes, parsed by the component, give every Mesh object
// to LoadMeshData. Each load ends with a code, never a crash or a read past a block, and a
// successful load hands out a Mesh whose faces and adjacency stay within its counts.
#include "core/object_impl.h"
#include "mesh/mesh_load.h"
#include "mesh/reference_device.h"
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

void Check(lyr::Mesh* mesh, lyr::Buffer* adjacency) {
  const uint32_t faces = mesh->GetFaceCount();
  if (adjacency->GetByteCount() != faces * 12) __builtin_trap();
  const uint32_t* a = static_cast<const uint32_t*>(adjacency->GetBytes());
  for (uint32_t i = 0; i < faces * 3; ++i)
    if (a[i] != 0xFFFFFFFFu && a[i] >= faces) __builtin_trap();
}

void Load(lyr::VekDataObject* object) {
  using namespace lyr;
  Ref<Buffer> adjacency, materials, effects;
  Ref<SkinInfo> skin;
  Ref<Mesh> mesh;
  uint32_t materialCount = 0, pmSize = 0, unknownCount = 0;
  void* pm = nullptr;
  VekDataObject** unknown = nullptr;
  LyrResult r =
      LoadMeshData(object, 0, Device(), adjacency.put(), materials.put(), effects.put(),
                   &materialCount, skin.put(), mesh.put(), &pm, &pmSize, &unknown, &unknownCount);
  if (r == Ok) {
    Check(mesh.get(), adjacency.get());
    if (materialCount && (!materials || !effects)) __builtin_trap();
  } else if (mesh || adjacency || materials || effects || skin || pm || unknown) {
    __builtin_trap();  // a failed load hands nothing out
  }
  for (uint32_t i = 0; i < unknownCount; ++i) unknown[i]->Release();
  Free(unknown);
  Free(pm);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vekfuzz::LoadEach(
      data, size, [](const lyr::Guid& id) { return id == lyr::vekio::tid::kMesh; }, Load);
  return 0;
}
