// Loading meshes from Vek data: one Mesh data object, or the first mesh of a whole Vek file held
// in a file or in memory, made on the caller's graphics device together with its adjacency,
// materials, effect instances and skinning.
//
// Provided by the static library (CMake target Lyr9abAnim::lyr): the C++ API.
#pragma once

#include <cstddef>

#include "lyr/buffer.h"
#include "lyr/device.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "lyr/vekfile.h"

namespace lyr {

// Frees a block the library allocated and handed out as a plain pointer (not an object); null is
// ignored.
void Free(void* p) noexcept;

// Reads `object` (a Mesh data object) into a new Mesh. Only *mesh is required (ErrInvalidCall);
// every other output is optional, cleared first, and filled only when given:
// - adjacency: three 32-bit entries per face of the Mesh;
// - materials, effects: Buffers of materialCount Material and EffectInstance records, null when
//   the object has no materials (materialCount counts the materials read, so it stays 0 when
//   neither Buffer is asked for);
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

// The first Mesh data object of a Vek file (text, binary or compressed), in file order, at the
// top level or inside Frame objects at any depth, loaded as LoadMeshData loads it. The component
// is loaded and the library's templates registered on each call. Every output but *mesh is
// optional, cleared first and filled only when given; on failure nothing is handed out.
// ErrInvalidCall for a null name, data, device or mesh or a zero size; ErrFileOpenFailed when
// the file cannot be opened or mapped (an empty file is ErrInvalidCall, as zero bytes in memory
// are); ErrFail when the file holds no Mesh object; the component's codes for malformed files;
// LoadMeshData's codes for the mesh itself.
LyrResult LoadMeshFromVekFile(const char* fileName, GraphicsDevice* device, Buffer** adjacency,
                              Buffer** materials, Buffer** effects, uint32_t* materialCount,
                              SkinInfo** skin, Mesh** mesh);
// The same with the file's bytes in memory; they are parsed during the call and not kept.
LyrResult LoadMeshFromVekInMemory(const void* data, size_t size, GraphicsDevice* device,
                                  Buffer** adjacency, Buffer** materials, Buffer** effects,
                                  uint32_t* materialCount, SkinInfo** skin, Mesh** mesh);

}  // namespace lyr
