// Progressive meshes in Vek files: a base-level Mesh data object with a PMInfo child. The
// hierarchy loader turns such a pair back into a ProgressiveMesh; SaveToStream writes one.
//
// The PMInfo image is a run of 32-bit little-endian words: nAttributes; six words per range
// (face offset, base faces, full faces, vertex offset, base vertices, full vertices); the
// valence; the base and full logical vertex counts; nVSplits; three words per record (face a,
// vlrOffset, code: the last two keep their low 16 bits); nMispredicts; one word per mispredict.
#pragma once

#include <cstdint>

#include "lyr/material.h"
#include "lyr/pmesh.h"

namespace lyr {

// Makes a ProgressiveMesh at its base level from a loaded base Mesh (faces packed range after
// range), its adjacency (three entries per base face, 0xFFFFFFFF none; null for none at all)
// and a PMInfo image of imageBytes bytes. options bit 0x1 selects the 32-bit variant and must
// match the base Mesh. The caller keeps the base Mesh.
//
// The image is checked before anything is made from it, and every check that fails gives
// ErrInvalidCall: every count times its size lies inside the image (bytes past the last
// mispredict are ignored); each mispredict fits 16 bits; the ranges tile their face and vertex
// slots inside the base Mesh's vertices, their base faces add up to its face count; the records
// can add every full-detail face slot (each adds at most two); and every record reached by
// moving the level up is valid at the level where it is applied, and undoes there. Allocation
// failures give ErrOutOfMemory, device failures their own codes. *out is set only on success.
LyrResult CreateProgressiveMeshFromData(Mesh* base, uint32_t options, const uint32_t* adjacency,
                                        const void* image, uint32_t imageBytes,
                                        ProgressiveMesh** out);

// Writes a Vek file (format 0 to 3) holding base as a Mesh data object with its materials or
// effect instances, its adjacency (as FaceAdjacency when an image is given) and a PMInfo child
// holding the image, after the definitions of the templates it uses. Failures of the component
// and of the mesh data writer are returned unchanged.
LyrResult WriteProgressiveMeshFile(const char* fileName, Mesh* base, const uint32_t* adjacency,
                                   const Material* materials, const EffectInstance* effects,
                                   uint32_t materialCount, uint32_t format, const void* image,
                                   uint32_t imageBytes);

// The work of ProgressiveMesh::SaveToStream: the save data written as a binary Vek file under a
// temporary "pmv" name, then copied into the stream in chunks of at most 260 bytes. The
// temporary file is deleted on every path. ErrInvalidCall for a missing stream or a material
// count without materials or effects; ErrFail for a temporary file that cannot be named, made,
// opened or read, and for a stream that takes fewer bytes than offered; a failing write's own
// code. The object's level is unchanged.
LyrResult SaveProgressiveToStream(ProgressiveMesh* mesh, OutputStream* stream,
                                  const Material* materials, const EffectInstance* effects,
                                  uint32_t materialCount);

// The chunk SaveProgressiveToStream hands the stream at most.
inline constexpr uint32_t kStreamChunkBytes = 260;

}  // namespace lyr
