// Placeholders until the patch and progressive meshes are part of the library.
#include "vekio/mesh_write.h"

namespace lyr::vekio {

LyrResult WritePatchMeshData(const SaveContext&, PatchMesh*, const char*, const Material*,
                             const EffectInstance*, uint32_t, VekDataObject** out) {
  if (out) *out = nullptr;
  return ErrInvalidCall;
}

LyrResult WriteProgressiveMeshData(const SaveContext&, const MeshContainer*, VekDataObject*) {
  return ErrInvalidCall;
}

}  // namespace lyr::vekio
