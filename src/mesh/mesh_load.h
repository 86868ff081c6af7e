// The mesh data loader: turns a Mesh data object of a Vek file, with its children, into a Mesh on
// the caller's device together with its adjacency, materials, effect instances and skinning.
#pragma once

#include "lyr/buffer.h"
#include "lyr/device.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "lyr/vekfile.h"

namespace lyr {

// Reads `object` (a Mesh data object) into a new Mesh. Only *mesh is required (ErrInvalidCall);
// every other output is optional, cleared first, and filled only when given:
// - adjacency: three 32-bit entries per face of the Mesh;
// - materials, effects: Buffers of materialCount Material and EffectInstance records, null when
//   the object has no materials;
// - skin: a SkinInfo when the object carries a skin header (its influences name the file's
//   vertices; vertices made by splitting carry none);
// - pmBlock, pmSize: a copy of the PMInfo block (free with lyr::Free), null and 0 without one;
// - unknown, unknownCount: an array (free with lyr::Free) of the children not handled, each with
//   a reference for the caller.
// `options` is not applied to the Mesh, which always keeps both buffers in system memory.
// ErrMeshWithoutData when the object holds no faces or no vertices to load; ErrFail or
// ErrInvalidCall for malformed data; on failure nothing is handed out.
//
// Every count is checked against the bytes of its block before anything is read: a block shorter
// than its counts require (or whose counts' byte sizes do not fit in 32 bits) is ErrFail, and so
// are skin weights or colours naming a vertex past the file's vertices, more SkinWeights than the
// header's bones, FaceAdjacency entries naming no face, and FVFData rows too short for their
// format code. DeclData rows too short for the declaration are ErrInvalidCall.
LyrResult LoadMeshData(VekDataObject* object, uint32_t options, GraphicsDevice* device,
                       Buffer** adjacency, Buffer** materials, Buffer** effects,
                       uint32_t* materialCount, SkinInfo** skin, Mesh** mesh, void** pmBlock,
                       uint32_t* pmSize, VekDataObject*** unknown, uint32_t* unknownCount);

}  // namespace lyr
