#include "skin/skin_info.h"
namespace lyr {
LyrResult SkinInfoImpl::ToBlendedMesh(Mesh*, uint32_t, const uint32_t*, uint32_t*, uint32_t*,
                                      Buffer**, uint32_t*, uint32_t*, Buffer**, Mesh**) {
  return ErrFail;
}
LyrResult SkinInfoImpl::ToIndexedBlendedMesh(Mesh*, uint32_t, uint32_t, const uint32_t*, uint32_t*,
                                             uint32_t*, Buffer**, uint32_t*, uint32_t*, Buffer**,
                                             Mesh**) {
  return ErrFail;
}
}  // namespace lyr
