// Library-internal construction of a ProgressiveMesh from a base-level Mesh and its
// level-of-detail description (what the file loader reads), and the records it keeps.
#pragma once

#include <cstdint>

#include "lyr/pmesh.h"

namespace lyr {

// One vertex split. Face a = faceClw holds the vertex vs being split at corner code & 3.
// vlrOffset 0: a one-face split (the corners from face a round vs up to the boundary move);
// otherwise a two-face split moving the corners of that many faces counted from face a.
struct VSplitRecord {
  uint32_t faceClw;
  uint16_t vlrOffset;
  uint16_t code;
};
static_assert(sizeof(VSplitRecord) == 8);

// Bits of VSplitRecord::code (the corner of face a is code & kSplitCorner).
namespace SplitCode {
inline constexpr uint16_t Corner = 0x0003;
inline constexpr uint16_t LeftFromB = 0x0010;        // L.k0 from face b (one face: keep vs)
inline constexpr uint16_t RightFromFar = 0x0020;     // R.k0 from the far right neighbour
inline constexpr uint16_t RightSameAsLeft = 0x0040;  // R.k0 = L.k0
inline constexpr uint16_t LeftKeepsVs = 0x0080;      // L.k0 = vs
inline constexpr uint16_t RightFromNear = 0x0100;    // R.k0 from the near right neighbour
inline constexpr uint16_t RightThirdIsVt = 0x0200;   // R.k2 = vt
inline constexpr uint16_t LeftThirdFromB = 0x0400;   // L.k2 from face b instead of face a
inline constexpr uint16_t LeftThirdNew = 0x0800;     // L.k2 is a new vertex
inline constexpr uint16_t RightSecondFar = 0x1000;   // R.k1 from the far right neighbour
inline constexpr uint16_t RightSecondNew = 0x2000;   // R.k1 is a new vertex
inline constexpr uint16_t LeftMispredict = 0x4000;   // L's attribute is the next mispredict
inline constexpr uint16_t RightMispredict = 0x8000;  // R's attribute is the next mispredict
}  // namespace SplitCode

// One attribute range: range k owns face slots [faceOffset, faceOffset + facesMax) and vertex
// slots [vertexOffset, vertexOffset + verticesMax); its attribute id is k.
struct PMRange {
  uint32_t faceOffset;
  uint32_t facesMin;
  uint32_t facesMax;
  uint32_t vertexOffset;
  uint32_t verticesMin;
  uint32_t verticesMax;
};

// The split records and what goes with them.
struct PMSplitData {
  uint32_t maxValence = 0;
  uint32_t minLogicalVertices = 0;
  uint32_t maxLogicalVertices = 0;
  const VSplitRecord* splits = nullptr;
  uint32_t splitCount = 0;
  const uint16_t* mispredicts = nullptr;
  uint32_t mispredictCount = 0;
};

// What a ProgressiveMesh is made of besides its base Mesh. Arrays are copied.
struct PMContents : PMSplitData {
  const PMRange* ranges = nullptr;
  uint32_t rangeCount = 0;
};

// Makes a ProgressiveMesh at its base level on the base Mesh's device with its declaration.
// options: the new object's options (bit 0x1 selects the 32-bit variant and must match the base
// Mesh). The base Mesh holds the base faces packed range after range (facesMin each) and at
// least the full-detail vertex count in the object's vertex order; adjacency: three 32-bit
// entries per base face in that packed numbering (0xFFFFFFFF none), or null for none at all.
//
// Every count is checked against the base Mesh and the others before anything is read:
// ranges that overlap or leave the full-detail slots, a base face count other than the sum of
// facesMin, too few base vertices, adjacency naming no base face, or fewer split records than
// logical vertices to add give ErrInvalidCall. ErrOutOfMemory; device failures unchanged. *out
// is set only on success.
LyrResult CreateProgressiveMeshFromBase(Mesh* base, uint32_t options, const uint32_t* adjacency,
                                        const PMContents& contents, ProgressiveMesh** out);

// A snapshot of a ProgressiveMesh's description, valid until its next change: what the saver
// writes next to the base level. Ranges are read from the attribute tables (current counts are
// the base counts when the object stands at its base level).
struct PMSnapshot : PMSplitData {
  const AttributeRange* current = nullptr;
  const AttributeRange* maximum = nullptr;
  uint32_t rangeCount = 0;
  uint32_t mispredictPosition = 0;
  uint32_t appliedSplits = 0;
};

// Moves a ProgressiveMesh made by this library and standing at its base level through every
// level its records reach and back, then puts its base faces back exactly as they were made.
// ErrInvalidCall when a record is malformed at the level where it is met (or for another
// object, or one above its base level); ErrOutOfMemory; lock failures unchanged.
LyrResult CheckEveryLevel(ProgressiveMesh* mesh);

// Fills s for a ProgressiveMesh made by this library; false for any other object.
bool ReadProgressiveSnapshot(ProgressiveMesh* mesh, PMSnapshot* s);

}  // namespace lyr
