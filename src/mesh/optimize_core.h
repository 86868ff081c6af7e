// Device-independent core of the mesh optimiser: vertex splitting by attribute, compaction, the
// attribute sort, strip and vertex-cache face ordering, and the renumbering of vertices. It works
// on plain 32-bit index and attribute arrays; the Mesh object converts its buffers to and from
// them.
#pragma once

#include <cstdint>

#include "core/alloc.h"
#include "lyr/mesh_types.h"

namespace lyr::meshopt {

inline constexpr uint32_t kNone = 0xFFFFFFFFu;

struct CoreInput {
  uint32_t faceCount = 0;
  uint32_t vertexCount = 0;
  // Three indices per face; a face whose first index is kNone is unused.
  const uint32_t* indices = nullptr;
  // One attribute id per face.
  const uint32_t* attributes = nullptr;
  // The existing attribute table (may be null with a count of 0).
  const AttributeRange* table = nullptr;
  uint32_t tableCount = 0;
  // Three neighbour entries per face (kNone for none), or null.
  const uint32_t* adjacency = nullptr;
  // Optimisation bits only (OptimizeFlags); option bits must have been removed by the caller.
  uint32_t flags = 0;
  // Detected vertex-cache parameters of the device (size 0: no usable cache description).
  uint32_t cacheSize = 0;
  uint32_t cacheMagic = 0;
  // The caller wants the remapped adjacency.
  bool wantAdjacency = false;
};

struct CoreOutput {
  uint32_t faceCount = 0;
  uint32_t vertexCount = 0;
  Vector<uint32_t> indices;         // 3 x faceCount
  WorkVector<uint32_t> attributes;  // faceCount
  Vector<uint32_t> faceNewToOld;    // faceCount
  Vector<uint32_t> faceOldToNew;    // input face count; kNone for a dropped face
  Vector<uint32_t> vertexNewToOld;  // vertexCount; a split copy names the vertex it copies
  WorkVector<uint32_t> adjacency;   // 3 x faceCount when asked for
  Vector<AttributeRange> table;     // the resulting attribute table
  bool tableValid = false;          // the table describes the faces (sorted or kept)
  bool split = false;               // vertices were split by attribute
  bool verticesMoved = false;       // vertexNewToOld is not the identity
};

// Checks the optimisation word as every optimiser does before touching the mesh: no bits at all,
// a bit of 0x3FEFFF, an adjacency output without input, 0x40000000 without an attribute table
// and both reorder bits are refused.
LyrResult CheckCoreFlags(uint32_t flags, bool hasAdjacencyIn, bool wantsAdjacencyOut,
                         bool hasTable);

// Runs the optimiser. Input arrays are read only; out receives the new arrays. Returns
// ErrInvalidCall for malformed input (indices not below the vertex count, adjacency naming
// missing faces, table entries outside the faces), ErrVertexSplitForbidden, ErrMeshWithoutData,
// or ErrOutOfMemory (thrown as std::bad_alloc by the containers).
LyrResult OptimizeCore(const CoreInput& in, CoreOutput& out);

// Counts vertex-cache misses of a face order through a first-in first-out cache of cacheSize
// entries (used by tests and the benchmark).
uint64_t CountCacheMisses(const uint32_t* indices, uint32_t faceCount, uint32_t vertexCount,
                          uint32_t cacheSize);

}  // namespace lyr::meshopt
