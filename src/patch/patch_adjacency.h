// Edge adjacency of rectangle patches and of N-patch triangles, computed from locked patch data.
#pragma once

#include "core/alloc.h"
#include "lyr/patch.h"

namespace lyr {

// A PatchMesh's data as its adjacency builders read it.
struct PatchData {
  const VertexElement* elements;  // the declaration; vertices are its stream 0
  const uint8_t* vertices;
  uint32_t vertexCount;
  const uint16_t* indices;  // controlPoints per patch
  uint32_t patchCount;
  uint32_t controlPoints;
  const uint32_t* attributes;  // one id per patch
};

// Four entries per patch (first row, last column, last row, first column), kNoNeighbour where no
// patch with the same attribute id shares that edge. Patches are paired t <= u in order, and a
// pair's four edge tests run in the order first row / last row / last column / first column of
// t; an edge once paired keeps its neighbour. Control vertices match when every component of
// every element differs by at most 0.0001; for the Bézier basis the control points next to the
// edge must also mirror each other about it, within tolerance, in every derivative element.
// ErrInvalidCall when an index names no vertex.
LyrResult RectangleAdjacency(const PatchData& data, const PatchInfo& info, float tolerance,
                             Vector<uint32_t>& out);

// Three entries per triangle (edge k runs from corner k to corner k + 1). Corners are merged into
// point representatives (bit-equal positions, or within tolerance when it is positive) unless the
// merge would join two corners of one triangle; each directed edge is paired with an opposite one
// of another triangle, the one whose normal is closest when several qualify. Triangles with
// merged corners have no neighbours. ErrInvalidCall when an index names no vertex.
LyrResult NPatchAdjacency(const PatchData& data, float tolerance, Vector<uint32_t>& out);

}  // namespace lyr
