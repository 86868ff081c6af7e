// Library-internal entry to the generator's collapses without the progressive mesh around them.
#pragma once

#include <cstdint>

#include "lyr/result.h"

namespace lyr {

// Simplifies raw triangles (three indices per face, three floats per vertex, adjacency as
// GeneratePMesh takes it) with the collapses GeneratePMesh makes, by position alone and without
// recording them: the plain simplifier the generator's results are measured against. Stops at
// minFaces or when no collapse is left. out has room for faceCount faces and receives the faces
// left, *faces their count. ErrInvalidCall for null arrays, no faces or vertices, or indices or
// adjacency out of range; ErrOutOfMemory.
LyrResult SimplifyTriangles(const float* positions, uint32_t vertexCount, const uint32_t* indices,
                            const uint32_t* adjacency, uint32_t faceCount, uint32_t minFaces,
                            uint32_t* out, uint32_t* faces);

}  // namespace lyr
