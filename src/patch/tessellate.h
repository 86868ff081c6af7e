// The tessellators of the PatchMesh: rectangle, triangle and N-patch members, uniform and
// adaptive, writing into a Mesh the caller made with room for the result.
#pragma once

#include "patch/patch_impl.h"

namespace lyr::tess {

// What one tessellation call asks for.
struct Request {
  bool adaptive = false;
  float level = 0;  // uniform level
  Vector4 transform = {0, 0, 0, 0};
  float maxLevel = 0, minLevel = 0;
};

// Triangles and vertices of a tessellation at the mesh's edge levels (level 0 keeps them).
LyrResult TessellatedSize(PatchMesh* self, PatchMeshInternal& in, float level, bool adaptive,
                          uint32_t* triangles, uint32_t* vertices);

// Tessellates every patch into `out` (arguments already checked by the caller).
LyrResult Tessellate(PatchMesh* self, PatchMeshInternal& in, const Request& request, Mesh* out);

// One displacement sample (0 to 255) of the locked levels at texture coordinate (s, t) and level
// parameter `lod`. levels/descs hold record.maxLevel + 1 entries.
float SampleDisplacement(const DisplacementRecord& record, const LockedRect* levels,
                         const TextureLevelDesc* descs, float s, float t, float lod);

}  // namespace lyr::tess
