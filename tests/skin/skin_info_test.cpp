#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "fault_injection.h"
#include "skin_test_util.h"

namespace lyr::test {
namespace {

// An index buffer over a plain vector, recording how it is locked.
class FakeIndexBuffer final : public Object<FakeIndexBuffer, IndexBuffer> {
 public:
  std::vector<uint8_t> bytes;
  uint32_t format = kIndexFormat16;
  LyrResult lockResult = Ok;
  LyrResult infoResult = Ok;
  int locks = 0, unlocks = 0;
  uint32_t lastFlags = 0;

  LyrResult LYR_CALL LockBuffer(uint32_t, uint32_t, void** out, uint32_t flags) override {
    if (Failed(lockResult)) return lockResult;
    ++locks;
    lastFlags = flags;
    *out = bytes.data();
    return Ok;
  }
  LyrResult LYR_CALL UnlockBuffer() override {
    ++unlocks;
    return Ok;
  }
  LyrResult LYR_CALL ReadBufferInfo(BufferInfo* out) override {
    if (Failed(infoResult)) return infoResult;
    *out = {format, kResourceIndexBuffer, 0, kPoolSystemMemory, static_cast<uint32_t>(bytes.size()),
            0};
    return Ok;
  }
};

template <class T>
void SetIndices(FakeIndexBuffer& b, std::vector<T> indices) {
  b.format = sizeof(T) == 2 ? kIndexFormat16 : kIndexFormat32;
  const auto* p = reinterpret_cast<const uint8_t*>(indices.data());
  b.bytes.assign(p, p + indices.size() * sizeof(T));
}

TEST(SkinInfoCreation, ArgumentsLayoutAndFailures) {
  auto decl = PositionNormalDeclaration();
  SkinInfo* skin = reinterpret_cast<SkinInfo*>(0x1);
  EXPECT_EQ(CreateSkinInfo(4, decl.data(), 2, nullptr), ErrInvalidCall);
  EXPECT_EQ(CreateSkinInfo(4, nullptr, 2, &skin), ErrInvalidCall);
  EXPECT_EQ(skin, nullptr);
  auto twoStreams = decl;
  twoStreams[1].stream = 1;
  EXPECT_EQ(CreateSkinInfo(4, twoStreams.data(), 2, &skin), ErrInvalidCall);
  // A declaration without an end marker within reach is refused, not read past.
  std::vector<VertexElement> endless(MaxElementEntries, decl[0]);
  EXPECT_EQ(CreateSkinInfo(4, endless.data(), 2, &skin), ErrInvalidCall);

  SkinHolder h;
  MakeSkin(h, 4, decl, 3);
  EXPECT_EQ(h->GetBoneCount(), 3u);
  EXPECT_EQ(h->GetSkinVertexCount(), 4u);
  EXPECT_EQ(h->GetSkinFormatCode(), 0x12u);
  VertexElement copy[MaxElementEntries];
  ASSERT_EQ(h->GetSkinDeclaration(copy), Ok);
  EXPECT_TRUE(ElementsEqual(copy, decl.data()));
  EXPECT_EQ(h->GetBoneWeightCount(0), 0u);
  EXPECT_EQ(h->GetBoneLabel(2), nullptr);
  EXPECT_EQ(h->GetWeightThreshold(), 0.0f);

  void* q = nullptr;
  EXPECT_EQ(h->QueryInterface(SkinInfo::kIid, &q), Ok);
  EXPECT_EQ(q, h.skin);
  h->Release();
  EXPECT_EQ(h->QueryInterface(Buffer::kIid, &q), ErrNoInterface);
  EXPECT_EQ(q, nullptr);

  ForEachAllocationFailure([&] { return CreateSkinInfo(100, decl.data(), 40, &skin); },
                           [&](LyrResult r) {
                             if (Succeeded(r))
                               skin->Release();
                             else
                               EXPECT_EQ(skin, nullptr);
                           });
}

TEST(SkinInfoCreation, FromBonesAdoptsRecords) {
  auto decl = PositionNormalDeclaration();
  auto* records = static_cast<BoneRecord*>(AllocZeroed(2 * sizeof(BoneRecord)));
  records[1].influenceCount = 2;
  records[1].vertices = static_cast<uint32_t*>(Alloc(8));
  records[1].weights = static_cast<float*>(Alloc(8));
  records[1].vertices[0] = 0;
  records[1].vertices[1] = 2;
  records[1].weights[0] = 0.25f;
  records[1].weights[1] = 0.75f;
  records[1].name = static_cast<char*>(Alloc(5));
  std::memcpy(records[1].name, "hand", 5);
  records[1].offset.m[3][0] = 7.0f;

  SkinHolder h;
  ASSERT_EQ(CreateSkinInfoFromBones(3, decl.data(), 2, records, &h.skin), Ok);
  EXPECT_STREQ(h->GetBoneLabel(1), "hand");
  EXPECT_EQ(h->GetBoneOffset(1)->m[3][0], 7.0f);
  uint32_t v[2];
  float w[2];
  ASSERT_EQ(h->GetBoneWeights(1, v, w), Ok);
  EXPECT_EQ(v[1], 2u);
  EXPECT_EQ(w[1], 0.75f);
  uint32_t m = 0;
  EXPECT_EQ(h->GetMaxWeightsPerVertex(&m), Ok);
  EXPECT_EQ(m, 1u);

  // Records with influences but no arrays are refused and stay with the caller.
  BoneRecord broken{};
  broken.influenceCount = 1;
  SkinInfo* skin = nullptr;
  EXPECT_EQ(CreateSkinInfoFromBones(3, decl.data(), 1, &broken, &skin), ErrInvalidCall);
  EXPECT_EQ(CreateSkinInfoFromBones(3, decl.data(), 1, nullptr, &skin), ErrInvalidCall);
}

TEST(SkinInfoBones, ForeignIndicesNeverReachAnArray) {
  SkinHolder h;
  MakeSkin(h, 4, PositionNormalDeclaration(), 2);
  uint32_t v = 0;
  float w = 1.0f;
  Matrix m{};
  EXPECT_EQ(h->SetBoneWeights(2, 1, &v, &w), ErrInvalidCall);
  EXPECT_EQ(h->SetBoneWeights(0, 1, nullptr, &w), ErrInvalidCall);
  EXPECT_EQ(h->GetBoneWeightCount(2), 0u);
  EXPECT_EQ(h->GetBoneWeights(2, &v, &w), ErrInvalidCall);
  EXPECT_EQ(h->SetBoneLabel(2, "x"), ErrInvalidCall);
  EXPECT_EQ(h->GetBoneLabel(0xFFFFFFFF), nullptr);
  EXPECT_EQ(h->SetBoneOffset(2, &m), ErrInvalidCall);
  EXPECT_EQ(h->SetBoneOffset(0, nullptr), ErrInvalidCall);
  EXPECT_EQ(h->GetBoneOffset(2), nullptr);

  // Influences on vertices the skin does not have are kept as given but belong to no vertex.
  SetWeights(h.skin, 0, {1, 9, 1000000}, {0.5f, 0.5f, 0.5f});
  SetWeights(h.skin, 1, {9, 1}, {1.0f, 0.5f});
  EXPECT_EQ(h->GetBoneWeightCount(0), 3u);
  uint32_t largest = 0;
  EXPECT_EQ(h->GetMaxWeightsPerVertex(&largest), Ok);
  EXPECT_EQ(largest, 2u);
  const uint32_t faces[] = {1, 9, 0xFFFFFFFF};
  EXPECT_EQ(h->GetMaxBonesPerFace32(faces, 1, &largest), Ok);
  EXPECT_EQ(largest, 2u);
}

TEST(SkinInfoBones, LabelsOffsetsWeightsAndFailedReplacement) {
  SkinHolder h;
  MakeSkin(h, 4, PositionNormalDeclaration(), 2);
  char name[] = "upper_arm";
  ASSERT_EQ(h->SetBoneLabel(0, name), Ok);
  name[0] = 'X';
  EXPECT_STREQ(h->GetBoneLabel(0), "upper_arm");
  ASSERT_EQ(h->SetBoneLabel(0, nullptr), Ok);
  EXPECT_EQ(h->GetBoneLabel(0), nullptr);

  Matrix m{};
  for (int i = 0; i < 16; ++i) m.m[i / 4][i % 4] = static_cast<float>(i);
  ASSERT_EQ(h->SetBoneOffset(1, &m), Ok);
  EXPECT_EQ(std::memcmp(h->GetBoneOffset(1), &m, sizeof m), 0);

  SetWeights(h.skin, 1, {0, 3}, {0.5f, 0.25f});
  SetWeights(h.skin, 1, {}, {});
  EXPECT_EQ(h->GetBoneWeightCount(1), 0u);
  EXPECT_EQ(h->GetBoneWeights(1, nullptr, nullptr), Ok);

  // A replacement that cannot be allocated keeps the influences the bone had.
  SetWeights(h.skin, 1, {0, 3}, {0.5f, 0.25f});
  const uint32_t v[3] = {1, 2, 3};
  const float w[3] = {1, 1, 1};
  ForEachFailingAllocation([&] { return h->SetBoneWeights(1, 3, v, w); },
                           [&] {
                             ASSERT_EQ(h->GetBoneWeightCount(1), 2u);
                             uint32_t gv[2];
                             float gw[2];
                             h->GetBoneWeights(1, gv, gw);
                             EXPECT_EQ(gv[1], 3u);
                             EXPECT_EQ(gw[1], 0.25f);
                           });
  EXPECT_EQ(h->GetBoneWeightCount(1), 3u);
  ASSERT_EQ(h->SetBoneLabel(0, "old"), Ok);
  ForEachFailingAllocation([&] { return h->SetBoneLabel(0, "new"); },
                           [&] { EXPECT_STREQ(h->GetBoneLabel(0), "old"); });
  EXPECT_STREQ(h->GetBoneLabel(0), "new");
}

TEST(SkinInfoVertexTables, RowsSortTheHeaviestFourAndPad) {
  SkinHolder h;
  MakeSkin(h, 4, PositionNormalDeclaration(), 7);
  // Vertex 0: bones 3 (0.2), 1 (0.5), 2 (0.3). Vertex 1: bone 0 only, (0.7, 0, 0) order kept.
  // Vertex 2: six influences with a negative one; only the first four places are sorted.
  SetWeights(h.skin, 0, {1, 2}, {0.7f, 0.05f});
  SetWeights(h.skin, 1, {0, 1, 2}, {0.5f, 0.0f, 0.1f});
  SetWeights(h.skin, 2, {0, 1, 2}, {0.3f, 0.0f, -0.5f});
  SetWeights(h.skin, 3, {0, 2}, {0.2f, 0.2f});
  SetWeights(h.skin, 4, {2}, {0.15f});
  SetWeights(h.skin, 5, {2}, {0.6f});
  SetWeights(h.skin, 6, {}, {});
  SkinInfoImpl* s = h.impl();
  ASSERT_EQ(s->BuildVertexTables(), Ok);
  ASSERT_EQ(s->maxWeights(), 6u);

  auto row = [&](uint32_t v) {
    std::vector<std::pair<uint32_t, float>> r;
    for (uint32_t k = 0; k < s->maxWeights(); ++k)
      r.emplace_back(s->rowBones(v)[k], s->rowWeights(v)[k]);
    return r;
  };
  using R = std::vector<std::pair<uint32_t, float>>;
  EXPECT_EQ(row(0), (R{{1, 0.5f}, {2, 0.3f}, {3, 0.2f}, {0, 0}, {0, 0}, {0, 0}}));
  EXPECT_EQ(row(1), (R{{0, 0.7f}, {1, 0.0f}, {2, 0.0f}, {0, 0}, {0, 0}, {0, 0}}));
  // Bones in order: 0 (.05), 1 (.1), 2 (-.5), 3 (.2), 4 (.15), 5 (.6).
  EXPECT_EQ(row(2), (R{{5, 0.6f}, {3, 0.2f}, {4, 0.15f}, {1, 0.1f}, {2, -0.5f}, {0, 0.05f}}));
  EXPECT_EQ(row(3), (R{{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}));
  EXPECT_EQ(s->influenceCount(2), 6u);
  EXPECT_EQ(s->influenceCount(3), 0u);
}

TEST(SkinInfoVertexTables, EveryChangeDropsTheCachedViews) {
  SkinHolder h;
  MakeSkin(h, 3, PositionNormalDeclaration(), 3);
  uint32_t m = 99;
  EXPECT_EQ(h->GetMaxWeightsPerVertex(&m), Ok);
  EXPECT_EQ(m, 0u);
  EXPECT_EQ(h->GetMaxWeightsPerVertex(nullptr), Ok);
  const uint16_t faces[] = {0, 1, 2};
  EXPECT_EQ(h->GetMaxBonesPerFace16(faces, 1, &m), Ok);
  EXPECT_EQ(m, 0u);
  EXPECT_EQ(h->GetMaxBonesPerFace16(nullptr, 0, &m), Ok);
  EXPECT_EQ(m, 0u);

  SetWeights(h.skin, 0, {0, 1}, {1, 1});
  EXPECT_EQ(h->GetMaxBonesPerFace16(faces, 1, &m), Ok);
  EXPECT_EQ(m, 1u);
  SetWeights(h.skin, 1, {0}, {1});
  EXPECT_EQ(h->GetMaxWeightsPerVertex(&m), Ok);
  EXPECT_EQ(m, 2u);
  EXPECT_EQ(h->GetMaxBonesPerFace16(faces, 1, &m), Ok);
  EXPECT_EQ(m, 2u);
  SetWeights(h.skin, 2, {2, 1, 0}, {1, 1, 1});
  EXPECT_EQ(h->GetMaxWeightsPerVertex(&m), Ok);
  EXPECT_EQ(m, 3u);
  EXPECT_EQ(h->GetMaxBonesPerFace16(faces, 1, &m), Ok);
  EXPECT_EQ(m, 3u);
  const uint32_t keep[] = {2, 2};
  ASSERT_EQ(h->RemapSkinVertices(2, keep), Ok);
  EXPECT_EQ(h->GetMaxWeightsPerVertex(&m), Ok);
  EXPECT_EQ(m, 3u);  // vertex 2 had one influence; the padding adds two on bone 0
  const uint16_t face2[] = {0, 1, 1};
  EXPECT_EQ(h->GetMaxBonesPerFace16(face2, 1, &m), Ok);
  EXPECT_EQ(m, 2u);
}

TEST(SkinInfoFaces, IndexBufferPicksTheWidthAndAlwaysUnlocks) {
  SkinHolder h;
  MakeSkin(h, 5, PositionNormalDeclaration(), 4);
  SetWeights(h.skin, 0, {0, 1}, {1, 1});
  SetWeights(h.skin, 1, {1, 2}, {1, 1});
  SetWeights(h.skin, 2, {3}, {1});
  SetWeights(h.skin, 3, {4}, {1});
  FakeIndexBuffer* ib = New<FakeIndexBuffer>();
  uint32_t m = 0;
  // Face 0 touches bones 0 and 1; face 1 bones 1, 2, 3; face 2 is unused.
  SetIndices<uint16_t>(*ib, {0, 1, 0, 2, 3, 4, 0xFFFF, 0xFFFF, 0xFFFF});
  EXPECT_EQ(h->GetMaxBonesPerFaceFromIndexBuffer(ib, 1, &m), Ok);
  EXPECT_EQ(m, 2u);
  EXPECT_EQ(h->GetMaxBonesPerFaceFromIndexBuffer(ib, 3, &m), Ok);
  EXPECT_EQ(m, 3u);
  EXPECT_EQ(ib->lastFlags & kLockReadOnly, kLockReadOnly);
  // Reading the 16-bit data as 32-bit indices would see other faces.
  SetIndices<uint32_t>(*ib, {0, 1, 0, 2, 3, 4});
  EXPECT_EQ(h->GetMaxBonesPerFaceFromIndexBuffer(ib, 2, &m), Ok);
  EXPECT_EQ(m, 3u);
  // More faces than the buffer holds: refused rather than read past it.
  EXPECT_EQ(h->GetMaxBonesPerFaceFromIndexBuffer(ib, 3, &m), ErrInvalidCall);
  EXPECT_EQ(ib->locks, ib->unlocks);
  ib->lockResult = ErrFail;
  EXPECT_EQ(h->GetMaxBonesPerFaceFromIndexBuffer(ib, 1, &m), ErrFail);
  ib->lockResult = Ok;
  ib->infoResult = ErrNotAvailable;
  EXPECT_EQ(h->GetMaxBonesPerFaceFromIndexBuffer(ib, 1, &m), ErrNotAvailable);
  EXPECT_EQ(h->GetMaxBonesPerFaceFromIndexBuffer(nullptr, 1, &m), ErrInvalidCall);
  EXPECT_EQ(ib->locks, ib->unlocks);
  ib->Release();
}

TEST(SkinInfoCopies, CloneIsEqualAndIndependent) {
  SkinHolder h;
  MakeSkin(h, 6, PositionNormalDeclaration(), 3);
  std::mt19937 rng(5);
  RandomInfluences(h.skin, rng, 3);
  Matrix m{};
  m.m[2][1] = 4.0f;
  ASSERT_EQ(h->SetBoneOffset(2, &m), Ok);
  ASSERT_EQ(h->SetBoneLabel(0, "root"), Ok);
  ASSERT_EQ(h->SetBoneLabel(2, "tip"), Ok);

  SkinHolder c;
  ASSERT_EQ(h->CloneSkin(&c.skin), Ok);
  EXPECT_EQ(c->GetSkinVertexCount(), 6u);
  EXPECT_EQ(c->GetSkinFormatCode(), h->GetSkinFormatCode());
  for (uint32_t b = 0; b < 3; ++b) {
    ASSERT_EQ(c->GetBoneWeightCount(b), h->GetBoneWeightCount(b));
    const BoneRecord& a = h.impl()->bone(b);
    const BoneRecord& z = c.impl()->bone(b);
    if (a.influenceCount) {
      EXPECT_NE(a.vertices, z.vertices);
      EXPECT_EQ(std::memcmp(a.vertices, z.vertices, a.influenceCount * 4), 0);
      EXPECT_EQ(std::memcmp(a.weights, z.weights, a.influenceCount * 4), 0);
    }
    EXPECT_EQ(std::memcmp(&a.offset, &z.offset, sizeof(Matrix)), 0);
  }
  EXPECT_STREQ(c->GetBoneLabel(2), "tip");
  EXPECT_NE(c->GetBoneLabel(2), h->GetBoneLabel(2));
  EXPECT_EQ(c->GetBoneLabel(1), nullptr);

  // Changing the original leaves the clone as it was.
  const uint32_t cloneCount = c->GetBoneWeightCount(0);
  SetWeights(h.skin, 0, {5, 4, 3, 2, 1, 0, 1}, {1, 1, 1, 1, 1, 1, 1});
  ASSERT_EQ(h->SetBoneLabel(2, "other"), Ok);
  h->GetBoneOffset(2)->m[2][1] = -1.0f;
  EXPECT_STREQ(c->GetBoneLabel(2), "tip");
  EXPECT_EQ(c->GetBoneOffset(2)->m[2][1], 4.0f);
  EXPECT_EQ(c->GetBoneWeightCount(0), cloneCount);

  SkinInfo* out = nullptr;
  ForEachAllocationFailure([&] { return h->CloneSkin(&out); },
                           [&](LyrResult r) {
                             if (Succeeded(r))
                               out->Release();
                             else
                               EXPECT_EQ(out, nullptr);
                           });
}

TEST(SkinInfoCopies, RemapDuplicatesAndDropsVertices) {
  SkinHolder h;
  MakeSkin(h, 4, PositionNormalDeclaration(), 3);
  SetWeights(h.skin, 0, {0, 2}, {0.25f, 1.0f});
  SetWeights(h.skin, 1, {0, 3}, {0.75f, 0.5f});
  SetWeights(h.skin, 2, {3}, {0.5f});
  ASSERT_EQ(h->SetBoneLabel(1, "kept"), Ok);
  // Rows (M = 2): v0 (1, .75) (0, .25); v1 empty; v2 (0, 1) pad; v3 (1, .5) (2, .5).
  // New vertices: 0 <- 3, 1 <- 0, 2 <- 0, 3 <- 2; vertex 1 is dropped.
  const uint32_t old[] = {3, 0, 0, 2};
  ASSERT_EQ(h->RemapSkinVertices(4, old), Ok);
  auto influences = [&](uint32_t b) {
    std::vector<std::pair<uint32_t, float>> r(h->GetBoneWeightCount(b));
    std::vector<uint32_t> v(r.size());
    std::vector<float> w(r.size());
    h->GetBoneWeights(b, v.data(), w.data());
    for (size_t i = 0; i < r.size(); ++i) r[i] = {v[i], w[i]};
    return r;
  };
  using R = std::vector<std::pair<uint32_t, float>>;
  EXPECT_EQ(influences(0), (R{{1, 0.25f}, {2, 0.25f}, {3, 1.0f}, {3, 0.0f}}));
  EXPECT_EQ(influences(1), (R{{0, 0.5f}, {1, 0.75f}, {2, 0.75f}}));
  EXPECT_EQ(influences(2), (R{{0, 0.5f}}));
  EXPECT_STREQ(h->GetBoneLabel(1), "kept");
  EXPECT_EQ(h->GetSkinVertexCount(), 4u);

  // Growing the vertex count through duplication.
  const uint32_t grow[] = {0, 1, 2, 3, 0, 0};
  ASSERT_EQ(h->RemapSkinVertices(6, grow), Ok);
  EXPECT_EQ(h->GetSkinVertexCount(), 6u);
  EXPECT_EQ(h->GetBoneWeightCount(2), 3u);

  // Failures leave the object unchanged.
  const uint32_t bad[] = {0, 6};
  EXPECT_EQ(h->RemapSkinVertices(2, bad), ErrInvalidCall);
  EXPECT_EQ(h->RemapSkinVertices(2, nullptr), ErrInvalidCall);
  const uint32_t shrink[] = {5, 1};
  ASSERT_EQ(h.impl()->BuildVertexTables(), Ok);
  ForEachFailingAllocation([&] { return h->RemapSkinVertices(2, shrink); },
                           [&] {
                             EXPECT_EQ(h->GetSkinVertexCount(), 6u);
                             EXPECT_EQ(h->GetBoneWeightCount(2), 3u);
                           });
  EXPECT_EQ(h->GetSkinVertexCount(), 2u);
  ASSERT_EQ(h->RemapSkinVertices(0, nullptr), Ok);
  EXPECT_EQ(h->GetSkinVertexCount(), 0u);
  EXPECT_EQ(h->GetBoneWeightCount(0), 0u);
}

TEST(SkinInfoLayout, FormatCodeAndDeclarationStayInStep) {
  SkinHolder h;
  MakeSkin(h, 2, PositionNormalDeclaration(), 1);
  ASSERT_EQ(h->SetSkinFormatCode(0x2 | 0x10 | 0x100), Ok);
  VertexElement decl[MaxElementEntries];
  ASSERT_EQ(h->GetSkinDeclaration(decl), Ok);
  EXPECT_EQ(CountElements(decl), 3u);
  EXPECT_EQ(decl[2].usage, ElementUsage::TexCoord);
  EXPECT_EQ(h->GetSkinDeclaration(nullptr), ErrInvalidCall);
  // A refused code leaves the layout alone.
  EXPECT_EQ(h->SetSkinFormatCode(0x2001), ErrInvalidCall);
  EXPECT_EQ(h->GetSkinFormatCode(), 0x112u);
  // A declaration with no format code: code 0.
  auto tangent = PackedDeclaration(
      {{ElementType::F32x3, ElementUsage::Position}, {ElementType::F32x3, ElementUsage::Tangent}});
  ASSERT_EQ(h->SetSkinDeclaration(tangent.data()), Ok);
  EXPECT_EQ(h->GetSkinFormatCode(), 0u);
  auto split = tangent;
  split[1].stream = 2;
  EXPECT_EQ(h->SetSkinDeclaration(split.data()), ErrInvalidCall);
  EXPECT_EQ(h->SetSkinDeclaration(nullptr), ErrInvalidCall);
  ASSERT_EQ(h->GetSkinDeclaration(decl), Ok);
  EXPECT_TRUE(ElementsEqual(decl, tangent.data()));
}

}  // namespace
}  // namespace lyr::test
