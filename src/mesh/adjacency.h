// Face adjacency and point representatives on plain arrays: adjacency from representatives by
// edge matching, representatives from adjacency by walking around each vertex, and
// representatives from vertex positions.
#pragma once

#include <cstdint>

#include "core/alloc.h"
#include "lyr/result.h"

namespace lyr::adjacency {

inline constexpr uint32_t kNone = 0xFFFFFFFFu;
// Steps after which a walk around one vertex is taken to be caught in a loop.
inline constexpr uint32_t kMaxWalkSteps = 10000;

struct FaceRange {
  uint32_t firstFace;
  uint32_t faceCount;
};

struct MeshView {
  uint32_t faceCount = 0;
  uint32_t vertexCount = 0;
  const uint32_t* indices = nullptr;  // three per face; kNone first index: unused face
  // Vertex positions (three floats at the start of each vertex), or null.
  const uint8_t* positions = nullptr;
  uint32_t stride = 0;
  // Ranges processed one by one; faces of different ranges are never neighbours.
  const FaceRange* ranges = nullptr;
  uint32_t rangeCount = 0;
};

// Every index of a used face and every representative must be below the vertex count, and the
// ranges must lie within the faces: ErrInvalidCall otherwise.
LyrResult CheckView(const MeshView& mesh);

// adjacency receives three entries per face. pointReps: one per vertex (null: the identity).
LyrResult AdjacencyFromPointReps(const MeshView& mesh, const uint32_t* pointReps,
                                 uint32_t* adjacency);
// pointReps receives one entry per vertex. ErrInvalidCall for entries naming faces that do not
// exist; ErrAdjacencyWalkTooLong for a walk of more than kMaxWalkSteps steps.
LyrResult PointRepsFromAdjacency(const MeshView& mesh, const uint32_t* adjacency,
                                 uint32_t* pointReps);
// Representatives of vertices at equal positions (epsilon 0) or within epsilon, never joining
// two vertices of one face.
LyrResult PointRepsFromPositions(const MeshView& mesh, float epsilon, uint32_t* pointReps);

}  // namespace lyr::adjacency
