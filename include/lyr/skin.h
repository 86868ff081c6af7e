// Skin information: how the vertices of one mesh follow a set of bones, software skinning of a
// vertex array through bone matrices, and conversion of a skinned Mesh into a Mesh the device
// blends itself (per-vertex weights, optionally palette indices, faces grouped by bone set).
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API. The shared
// library does not export these functions.
#pragma once

#include "lyr/buffer.h"
#include "lyr/device.h"
#include "lyr/math.h"
#include "lyr/mesh.h"
#include "lyr/object.h"
#include "lyr/vertex.h"

namespace lyr {

// One bone: its influences (vertex index and weight pairs), name and offset matrix. A SkinInfo
// owns the arrays and the name of its bone records; records handed to CreateSkinInfoFromBones
// must have been allocated with the library's allocator.
struct BoneRecord {
  uint32_t influenceCount;
  uint32_t* vertices;
  float* weights;
  char* name;
  Matrix offset;
};
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(BoneRecord) == 80 && offsetof(BoneRecord, vertices) == 4 &&
              offsetof(BoneRecord, weights) == 8 && offsetof(BoneRecord, name) == 12 &&
              offsetof(BoneRecord, offset) == 16);
#else
static_assert(sizeof(BoneRecord) == 96 && offsetof(BoneRecord, offset) == 32);
#endif

// One group of faces of a blended Mesh and the bones whose matrices the device needs for it.
// boneIds points into the same Buffer as the record; unused slots hold kNoBone.
struct BoneCombination {
  uint32_t attributeId;
  uint32_t firstFace;
  uint32_t faceCount;
  uint32_t firstVertex;
  uint32_t vertexCount;
  uint32_t* boneIds;
};
#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(BoneCombination) == 24 && offsetof(BoneCombination, boneIds) == 20);
#else
static_assert(sizeof(BoneCombination) == 32 && offsetof(BoneCombination, boneIds) == 24);
#endif

inline constexpr uint32_t kNoBone = 0xFFFFFFFFu;

// Blended conversions refuse these option bits (besides 0x1, which always comes from the source).
inline constexpr uint32_t kBlendedRefusedOptions = 0xC0BE0000u;
inline constexpr uint32_t kIndexedBlendedRefusedOptions = 0xC0BE2000u;

struct SkinInfo : Unknown {
  static constexpr Guid kIid = {
      0x5C3E7A10, 0x9B42, 0x4D6E, {0xA1, 0x37, 0x0F, 0x58, 0x2C, 0xB4, 0x91, 0x6D}};

  // Replaces the bone's influences with copies of count (vertex, weight) pairs. On failure the
  // bone is left without influences. Drops every derived view.
  virtual LyrResult LYR_CALL SetBoneWeights(uint32_t bone, uint32_t count, const uint32_t* vertices,
                                            const float* weights) = 0;
  // The bone's influence count; 0 for a bone index not below the bone count.
  virtual uint32_t LYR_CALL GetBoneWeightCount(uint32_t bone) = 0;
  // Copies the bone's influences into arrays of GetBoneWeightCount(bone) entries.
  virtual LyrResult LYR_CALL GetBoneWeights(uint32_t bone, uint32_t* vertices, float* weights) = 0;
  // The largest number of influences (zero weights included) on one vertex; out may be null.
  virtual LyrResult LYR_CALL GetMaxWeightsPerVertex(uint32_t* out) = 0;
  virtual uint32_t LYR_CALL GetBoneCount() = 0;
  // GetMaxBonesPerFace16 or 32, by the buffer's index format, over its first faceCount faces.
  virtual LyrResult LYR_CALL GetMaxBonesPerFaceFromIndexBuffer(IndexBuffer* indices,
                                                               uint32_t faceCount,
                                                               uint32_t* out) = 0;
  // Influences at or below the threshold are left out of software skinning.
  virtual LyrResult LYR_CALL SetWeightThreshold(float threshold) = 0;
  virtual float LYR_CALL GetWeightThreshold() = 0;
  // Stores a copy of the name; null clears it.
  virtual LyrResult LYR_CALL SetBoneLabel(uint32_t bone, const char* name) = 0;
  // The stored name (owned by the SkinInfo), or null.
  virtual const char* LYR_CALL GetBoneLabel(uint32_t bone) = 0;
  virtual LyrResult LYR_CALL SetBoneOffset(uint32_t bone, const Matrix* offset) = 0;
  // The stored offset matrix (owned by the SkinInfo), or null for a bad bone index.
  virtual Matrix* LYR_CALL GetBoneOffset(uint32_t bone) = 0;
  // A new SkinInfo with copies of the layout, influences, names and offsets.
  virtual LyrResult LYR_CALL CloneSkin(SkinInfo** out) = 0;
  // Renumbers the vertices: new vertex i takes the influences of old vertex oldIndex[i]. The
  // object is unchanged on failure.
  virtual LyrResult LYR_CALL RemapSkinVertices(uint32_t newVertexCount,
                                               const uint32_t* oldIndex) = 0;
  virtual LyrResult LYR_CALL SetSkinFormatCode(uint32_t formatCode) = 0;
  virtual LyrResult LYR_CALL SetSkinDeclaration(const VertexElement* elements) = 0;
  // The layout's format code, 0 when the declaration has none.
  virtual uint32_t LYR_CALL GetSkinFormatCode() = 0;
  // Copies the declaration with its end marker into out (MaxElementEntries entries suffice).
  virtual LyrResult LYR_CALL GetSkinDeclaration(VertexElement* out) = 0;
  // Software skinning of GetSkinVertexCount() vertices of the skin's layout from source into
  // destination (which may be the same array). Positions go through boneMatrices as points;
  // normals, tangents and binormals through directionMatrices (boneMatrices when null) as
  // directions. Both matrix arrays are indexed by bone number.
  virtual LyrResult LYR_CALL UpdateSkinnedVertices(const Matrix* boneMatrices,
                                                   const Matrix* directionMatrices,
                                                   const void* source, void* destination) = 0;
  // A Mesh whose faces are grouped so that each group needs at most as many bone matrices as
  // the device blends per vertex, with the blend weights in its vertices.
  virtual LyrResult LYR_CALL ToBlendedMesh(Mesh* source, uint32_t options,
                                           const uint32_t* adjacencyIn, uint32_t* adjacencyOut,
                                           uint32_t* faceRemap, Buffer** vertexRemap,
                                           uint32_t* maxBonesPerFace, uint32_t* combinationCount,
                                           Buffer** combinations, Mesh** out) = 0;
  // A Mesh whose faces are grouped by palettes of at most paletteSize bones, with blend weights
  // and palette indices in its vertices.
  virtual LyrResult LYR_CALL ToIndexedBlendedMesh(Mesh* source, uint32_t options,
                                                  uint32_t paletteSize, const uint32_t* adjacencyIn,
                                                  uint32_t* adjacencyOut, uint32_t* faceRemap,
                                                  Buffer** vertexRemap,
                                                  uint32_t* maxWeightsPerVertex,
                                                  uint32_t* combinationCount, Buffer** combinations,
                                                  Mesh** out) = 0;
  virtual uint32_t LYR_CALL GetSkinVertexCount() = 0;
  // The largest number of distinct bones influencing the three vertices of one face.
  virtual LyrResult LYR_CALL GetMaxBonesPerFace16(const uint16_t* indices, uint32_t faceCount,
                                                  uint32_t* out) = 0;
  virtual LyrResult LYR_CALL GetMaxBonesPerFace32(const uint32_t* indices, uint32_t faceCount,
                                                  uint32_t* out) = 0;

 protected:
  ~SkinInfo() = default;
};

// A SkinInfo for vertexCount vertices of a single-stream layout and boneCount bones without
// influences, names or offsets (offsets zero). *out is cleared on failure.
LyrResult CreateSkinInfo(uint32_t vertexCount, const VertexElement* elements, uint32_t boneCount,
                         SkinInfo** out);
// The same, adopting boneCount records (the array and everything it points to) on success.
LyrResult CreateSkinInfoFromBones(uint32_t vertexCount, const VertexElement* elements,
                                  uint32_t boneCount, BoneRecord* bones, SkinInfo** out);

}  // namespace lyr
