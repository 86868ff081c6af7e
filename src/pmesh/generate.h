// Library-internal entry to the generator's collapses without the progressive mesh around them.
#pragma once

#include <cstdint>

#include "lyr/pmesh.h"
#include "lyr/result.h"

namespace lyr {

// The order of the generator's collapses. Points are split into regions of 2^regionShift
// consecutive numbers (neighbourhoods: points are numbered along a space-filling curve) and
// collapsing goes in rounds; each round raises a cost bound to the roundShare quantile of the
// costs left and makes every collapse up to it, region after region. regionShift 31 with
// roundShare 1 is the strict cost order. Between rounds, once fewer than half the faces are
// left, the live points and faces move to dense arrays, while those arrays hold at least
// compactMinFaces faces. With parts > 1 (at most 8), a bounded round first works on that many
// parts of the regions side by side, each making only the collapses that stay inside it, and
// then goes over all regions in order; the outcome does not depend on the number of threads.
// None of this changes what a collapse does, only which comes first.
struct CollapseOrder {
  uint32_t regionShift = 31;
  double roundShare = 1.0;
  uint32_t compactMinFaces = 0xFFFFFFFFu;
  uint32_t parts = 1;
};

// What GeneratePMesh uses for a mesh of this many vertices: the strict order while the arrays fit
// the caches, regions beyond.
CollapseOrder DefaultCollapseOrder(uint32_t vertices);

// What a generation did, for tests and the benchmark.
struct GenerateReport {
  uint32_t collapses = 0;  // collapses made
  uint32_t inParts = 0;    // of those, by the parts of rounds
  uint32_t putOff = 0;     // points the parts left to the passes in order (a point may count twice)
  uint32_t overBound = 0;  // collapses made at a cost above their round's bound (beyond
                           // rounding): none should be
};

// GeneratePMesh in the given order; report, when given, receives what it did.
LyrResult GeneratePMeshInOrder(Mesh* mesh, const uint32_t* adjacency,
                               const PMeshGenerateOptions& options, const CollapseOrder& order,
                               ProgressiveMesh** out, uint32_t* faceRemap = nullptr,
                               uint32_t* vertexRemap = nullptr, GenerateReport* report = nullptr);

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
