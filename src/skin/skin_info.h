// The SkinInfo object and the derived per-vertex views that the skinning operations share.
#pragma once

#include "core/alloc.h"
#include "core/object_impl.h"
#include "lyr/skin.h"
#include "skin/skin_blend.h"

namespace lyr {

class SkinInfoImpl final : public Object<SkinInfoImpl, SkinInfo> {
 public:
  // Cache state bits: which derived views are current.
  static constexpr uint32_t kMaxWeightsKnown = 0x1;
  static constexpr uint32_t kVertexTablesBuilt = 0x2;
  static constexpr uint32_t kUpdateTableBuilt = 0x4;

  // Checks the arguments and builds the object. With bones null the records start empty;
  // otherwise the records are adopted on success only.
  static LyrResult Create(uint32_t vertexCount, const VertexElement* elements, uint32_t boneCount,
                          BoneRecord* bones, SkinInfo** out);

  SkinInfoImpl() = default;
  ~SkinInfoImpl();

  LyrResult LYR_CALL SetBoneWeights(uint32_t bone, uint32_t count, const uint32_t* vertices,
                                    const float* weights) override;
  uint32_t LYR_CALL GetBoneWeightCount(uint32_t bone) override;
  LyrResult LYR_CALL GetBoneWeights(uint32_t bone, uint32_t* vertices, float* weights) override;
  LyrResult LYR_CALL GetMaxWeightsPerVertex(uint32_t* out) override;
  uint32_t LYR_CALL GetBoneCount() override { return boneCount_; }
  LyrResult LYR_CALL GetMaxBonesPerFaceFromIndexBuffer(IndexBuffer* indices, uint32_t faceCount,
                                                       uint32_t* out) override;
  LyrResult LYR_CALL SetWeightThreshold(float threshold) override;
  float LYR_CALL GetWeightThreshold() override { return minWeight_; }
  LyrResult LYR_CALL SetBoneLabel(uint32_t bone, const char* name) override;
  const char* LYR_CALL GetBoneLabel(uint32_t bone) override;
  LyrResult LYR_CALL SetBoneOffset(uint32_t bone, const Matrix* offset) override;
  Matrix* LYR_CALL GetBoneOffset(uint32_t bone) override;
  LyrResult LYR_CALL CloneSkin(SkinInfo** out) override;
  LyrResult LYR_CALL RemapSkinVertices(uint32_t newVertexCount, const uint32_t* oldIndex) override;
  LyrResult LYR_CALL SetSkinFormatCode(uint32_t formatCode) override;
  LyrResult LYR_CALL SetSkinDeclaration(const VertexElement* elements) override;
  uint32_t LYR_CALL GetSkinFormatCode() override { return formatCode_; }
  LyrResult LYR_CALL GetSkinDeclaration(VertexElement* out) override;
  LyrResult LYR_CALL UpdateSkinnedVertices(const Matrix* boneMatrices,
                                           const Matrix* directionMatrices, const void* source,
                                           void* destination) override;
  LyrResult LYR_CALL ToBlendedMesh(Mesh* source, uint32_t options, const uint32_t* adjacencyIn,
                                   uint32_t* adjacencyOut, uint32_t* faceRemap,
                                   Buffer** vertexRemap, uint32_t* maxBonesPerFace,
                                   uint32_t* combinationCount, Buffer** combinations,
                                   Mesh** out) override;
  LyrResult LYR_CALL ToIndexedBlendedMesh(Mesh* source, uint32_t options, uint32_t paletteSize,
                                          const uint32_t* adjacencyIn, uint32_t* adjacencyOut,
                                          uint32_t* faceRemap, Buffer** vertexRemap,
                                          uint32_t* maxWeightsPerVertex, uint32_t* combinationCount,
                                          Buffer** combinations, Mesh** out) override;
  uint32_t LYR_CALL GetSkinVertexCount() override { return vertexCount_; }
  LyrResult LYR_CALL GetMaxBonesPerFace16(const uint16_t* indices, uint32_t faceCount,
                                          uint32_t* out) override;
  LyrResult LYR_CALL GetMaxBonesPerFace32(const uint32_t* indices, uint32_t faceCount,
                                          uint32_t* out) override;

  // ---- Derived views shared with the conversions ----
  // Builds the per-vertex rows (bone, weight) of maxWeights() entries each: influences in bone
  // order, the heaviest four moved to the front, padded with bone 0 and weight 0. Influences that
  // name a vertex at or above the vertex count belong to no vertex and are left out.
  LyrResult BuildVertexTables();
  uint32_t maxWeights() const { return maxWeights_; }
  uint32_t influenceCount(uint32_t vertex) const { return vertexInfluences_[vertex]; }
  uint32_t* rowBones(uint32_t vertex) const {
    return tableBones_.get() + size_t(vertex) * maxWeights_;
  }
  float* rowWeights(uint32_t vertex) const {
    return tableWeights_.get() + size_t(vertex) * maxWeights_;
  }
  const BoneRecord& bone(uint32_t i) const { return bones_[i]; }
  const VertexElement* declaration() const { return declaration_; }

  // Scales the first `limit` weights of every vertex with more influences to sum 1 and zeroes
  // the rest of its row. With an adjacency, vertices at one place (by the mesh's point
  // representatives) end up with their representative's row. Works on the per-vertex rows only.
  LyrResult NormalizeWeights(Mesh* mesh, uint32_t limit, const uint32_t* adjacency);

  // Forgets every derived view; the next query rebuilds it. Storage of the update table is kept.
  void DropDerivedViews();

 private:
  static void FreeBone(BoneRecord& b);
  // The mesh's point representatives from an adjacency, one per skin vertex (a vertex the mesh
  // names outside the skin stands for itself).
  LyrResult SkinPointReps(Mesh* mesh, const uint32_t* adjacency, Vector<uint32_t>& reps);
  void ComputeMaxWeights();
  LyrResult BuildUpdateTable();
  template <class Index>
  LyrResult MaxBonesPerFace(const Index* indices, uint32_t faceCount, uint32_t* out);

  BoneRecord* bones_ = nullptr;
  uint32_t boneCount_ = 0;
  uint32_t vertexCount_ = 0;
  uint32_t formatCode_ = 0;
  VertexElement declaration_[MaxElementEntries] = {};
  Block<uint32_t> vertexInfluences_;  // per vertex: number of influences
  uint32_t maxWeights_ = 0;
  Block<uint32_t> tableBones_;  // vertexCount_ rows of maxWeights_ entries
  Block<float> tableWeights_;
  float minWeight_ = 0.0f;
  Block<float> updateTable_;
  size_t updateCapacity_ = 0;     // entries
  uint32_t updateBoneLimit_ = 0;  // one past the largest bone the update table names
#if defined(LYR_HAVE_AVX_SKINNING)
  Block<float> packedRows_;      // the AVX form's per-call copy of the matrices
  uint32_t packedCapacity_ = 0;  // bones
  Block<avx::SkinSpan> spans_;   // the AVX form's view of the update table
  Block<avx::SkinInfluence> spanInfluences_;
  size_t spanCount_ = 0, spanCapacity_ = 0, spanInfluenceCapacity_ = 0;
#endif
  uint32_t cache_ = 0;
};

// Copies a declaration that ends with its marker within MaxElementEntries entries and lies in
// one stream; false for anything else.
bool CopySkinDeclaration(VertexElement* out, const VertexElement* elements);

}  // namespace lyr
