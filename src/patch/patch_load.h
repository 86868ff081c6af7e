// Patch mesh loading: turns a PatchMesh or PatchMesh9 data object of a Vek file, with its
// children, into PatchMesh objects on the caller's device together with their materials and
// effect instances.
#pragma once

#include "lyr/buffer.h"
#include "lyr/patch.h"
#include "lyr/vekfile.h"

namespace lyr {

// Most PatchMeshes one data object can give (one per patch kind).
inline constexpr uint32_t kMaxLoadedPatchMeshes = 6;

// Reads `object`. PatchMesh9 data gives one PatchMesh of the file's patch kind; PatchMesh data
// (cubic Bézier patches of 10 or 16 control indices, reordered while loading) one PatchMesh per
// kind present, triangle patches first. All of them share one vertex buffer, and each has its
// attribute table built.
//
// meshes (room for kMaxLoadedPatchMeshes) and meshCount are required (ErrInvalidCall); every
// other output is optional, cleared first, and filled only when given:
// - materials, effects: Buffers of materialCount Material and EffectInstance records, null when
//   the object has no materials;
// - unknown, unknownCount: an array (free with lyr::Free) of the children not handled, each with
//   a reference for the caller.
// The template decides how the block is read; oldFormat is what the caller saw and is not
// needed. Every count and index is checked against the data present; on failure nothing is
// handed out.
LyrResult LoadPatchMeshes(VekDataObject* object, uint32_t options, GraphicsDevice* device,
                          Buffer** materials, Buffer** effects, uint32_t* materialCount,
                          PatchMesh** meshes, uint32_t* meshCount, bool oldFormat,
                          VekDataObject*** unknown, uint32_t* unknownCount);

}  // namespace lyr
