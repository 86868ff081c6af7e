// Placeholder until the progressive mesh is part of the library.
#include "vekio/mesh_write.h"

namespace lyr::vekio {

LyrResult WriteProgressiveMeshData(const SaveContext&, const MeshContainer*, VekDataObject*) {
  return ErrInvalidCall;
}

}  // namespace lyr::vekio
