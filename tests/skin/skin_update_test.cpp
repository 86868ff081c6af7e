#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "fault_injection.h"
#include "math/fast_functions.h"
#include "skin/skin_blend.h"
#include "skin_test_util.h"

namespace lyr::test {
namespace {

bool Transformed(const VertexElement& e) {
  return (e.usage == ElementUsage::Normal || e.usage == ElementUsage::Tangent ||
          e.usage == ElementUsage::Binormal) &&
         e.method != ElementMethod::UV;
}

float ReadF(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}

// Straight from the bone records, one vertex at a time: every influence above the threshold, in
// bone order, with the weight the 2*b + w encoding keeps.
std::vector<uint8_t> ReferenceSkinning(SkinInfo* skin, const Matrix* bones, const Matrix* dirs,
                                       const std::vector<uint8_t>& src) {
  VertexElement decl[MaxElementEntries];
  skin->GetSkinDeclaration(decl);
  const uint32_t stride = StreamVertexSize(decl, 0);
  const uint32_t n = skin->GetSkinVertexCount();
  if (!dirs) dirs = bones;
  std::vector<uint8_t> out(src);
  for (uint32_t v = 0; v < n; ++v) {
    const uint8_t* s = src.data() + size_t(v) * stride;
    uint8_t* d = out.data() + size_t(v) * stride;
    float p[3] = {0, 0, 0};
    std::vector<std::array<float, 3>> sums;
    std::vector<const VertexElement*> elements;
    for (uint32_t i = 0; i < CountElements(decl); ++i)
      if (Transformed(decl[i])) elements.push_back(&decl[i]);
    sums.assign(elements.size(), {0, 0, 0});
    for (uint32_t b = 0; b < skin->GetBoneCount(); ++b) {
      std::vector<uint32_t> vi(skin->GetBoneWeightCount(b));
      std::vector<float> wi(vi.size());
      skin->GetBoneWeights(b, vi.data(), wi.data());
      for (size_t i = 0; i < vi.size(); ++i) {
        if (vi[i] != v || !(wi[i] > skin->GetWeightThreshold())) continue;
        const float base = static_cast<float>(2 * b);
        const float w = (base + wi[i]) - base;
        const auto& m = bones[b].m;
        const float x = ReadF(s), y = ReadF(s + 4), z = ReadF(s + 8);
        float t[4];
        for (int c = 0; c < 4; ++c) t[c] = x * m[0][c] + y * m[1][c] + z * m[2][c] + m[3][c];
        if (std::fabs(t[3] - 1.0f) > 1.1920929e-7f) {
          const float r = 1.0f / t[3];
          for (int c = 0; c < 3; ++c) t[c] *= r;
        }
        for (int c = 0; c < 3; ++c) p[c] += t[c] * w;
        const auto& dm = dirs[b].m;
        for (size_t k = 0; k < elements.size(); ++k) {
          const uint8_t* e = s + elements[k]->offset;
          const float ex = ReadF(e), ey = ReadF(e + 4), ez = ReadF(e + 8);
          for (int c = 0; c < 3; ++c)
            sums[k][c] += (ex * dm[0][c] + ey * dm[1][c] + ez * dm[2][c]) * w;
        }
      }
    }
    std::memcpy(d, p, 12);
    for (size_t k = 0; k < elements.size(); ++k)
      std::memcpy(d + elements[k]->offset, sums[k].data(), 12);
  }
  return out;
}

// Floats of the two vertex arrays agree (bit for bit where the processor's scalar arithmetic is
// single precision, within rounding of wider intermediates elsewhere); other bytes are equal.
void ExpectSameVertices(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                        const VertexElement* decl, uint32_t n, bool bitExact) {
  const uint32_t stride = StreamVertexSize(decl, 0);
  std::vector<bool> isFloat(stride, false);
  for (uint32_t i = 0; i < CountElements(decl); ++i) {
    const VertexElement& e = decl[i];
    if (e.method == ElementMethod::UV) continue;
    if (e.usage == ElementUsage::Position || Transformed(e))
      for (uint32_t k = 0; k < 12; ++k) isFloat[e.offset + k] = true;
  }
  ASSERT_EQ(a.size(), b.size());
  for (uint32_t v = 0; v < n; ++v) {
    for (uint32_t o = 0; o < stride; o += isFloat[o] ? 4 : 1) {
      const size_t at = size_t(v) * stride + o;
      if (!isFloat[o]) {
        ASSERT_EQ(a[at], b[at]) << "vertex " << v << " byte " << o;
        continue;
      }
      const float fa = ReadF(&a[at]), fb = ReadF(&b[at]);
      if (bitExact) {
        ASSERT_EQ(UlpDistance(fa, fb), 0u)
            << "vertex " << v << " offset " << o << ": " << fa << " vs " << fb;
      } else {
        ASSERT_NEAR(fa, fb, 2e-5f * std::max(1.0f, std::fabs(fa)))
            << "vertex " << v << " offset " << o;
      }
    }
  }
}

#if defined(__x86_64__)
constexpr bool kSinglePrecisionScalars = true;
#else
constexpr bool kSinglePrecisionScalars = false;
#endif

// Matrices at a chosen alignment inside a larger block.
struct MatrixArray {
  std::vector<float> storage;
  Matrix* data = nullptr;
  MatrixArray(const std::vector<Matrix>& m, bool aligned) {
    storage.resize(m.size() * 16 + 8);
    uintptr_t p = reinterpret_cast<uintptr_t>(storage.data());
    p = (p + 15) & ~uintptr_t(15);
    if (!aligned) p += 4;
    data = reinterpret_cast<Matrix*>(p);
    std::memcpy(data, m.data(), m.size() * sizeof(Matrix));
  }
};

std::vector<uint8_t> RandomVertices(const VertexElement* decl, uint32_t n, std::mt19937& rng) {
  const uint32_t stride = StreamVertexSize(decl, 0);
  std::vector<uint8_t> bytes(size_t(stride) * n);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : bytes) b = static_cast<uint8_t>(byte(rng));
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  for (uint32_t v = 0; v < n; ++v) {
    for (uint32_t i = 0; i < CountElements(decl); ++i) {
      const VertexElement& e = decl[i];
      if (e.method == ElementMethod::UV) continue;
      if (e.usage != ElementUsage::Position && !Transformed(e)) continue;
      for (uint32_t c = 0; c < ElementTypeSize(e.type) / 4; ++c) {
        const float f = coord(rng);
        std::memcpy(&bytes[size_t(v) * stride + e.offset + 4 * c], &f, 4);
      }
    }
  }
  return bytes;
}

// A layout with the position first in memory and, in random order of memory and of listing,
// normals, tangents, binormals (three or four floats) and other elements.
std::vector<VertexElement> RandomLayout(std::mt19937& rng) {
  struct Part {
    ElementType type;
    ElementUsage usage;
  };
  const Part choices[] = {
      {ElementType::F32x3, ElementUsage::Normal},   {ElementType::F32x4, ElementUsage::Normal},
      {ElementType::F32x3, ElementUsage::Tangent},  {ElementType::F32x4, ElementUsage::Binormal},
      {ElementType::F32x2, ElementUsage::TexCoord}, {ElementType::ColorArgb8, ElementUsage::Color},
      {ElementType::F32x1, ElementUsage::PointSize}};
  std::vector<VertexElement> decl = {Element(0, ElementType::F32x3, ElementUsage::Position)};
  uint16_t offset = 12;
  const int parts = std::uniform_int_distribution<int>(0, 5)(rng);
  uint8_t index[16] = {};
  for (int i = 0; i < parts; ++i) {
    const Part& p = choices[std::uniform_int_distribution<int>(0, 6)(rng)];
    uint8_t& next = index[static_cast<int>(p.usage)];
    decl.push_back(Element(offset, p.type, p.usage, next++));
    offset = static_cast<uint16_t>(offset + ElementTypeSize(p.type));
  }
  if (std::uniform_int_distribution<int>(0, 2)(rng) == 0)
    std::shuffle(decl.begin(), decl.end(), rng);
  decl.push_back(kEndElement);
  return decl;
}

TEST(SkinnedUpdate, RandomLayoutsInfluencesAndThresholdsMatchTheReference) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const auto decl = RandomLayout(rng);
    const uint32_t bones = std::uniform_int_distribution<uint32_t>(1, 40)(rng);
    const uint32_t n = std::uniform_int_distribution<uint32_t>(1, 60)(rng);
    SkinHolder h;
    MakeSkin(h, n, decl, bones);
    RandomInfluences(h.skin, rng, 6);
    const float thresholds[] = {0.0f, 0.2f, 0.5f, -0.0f};
    ASSERT_EQ(h->SetWeightThreshold(thresholds[round % 4]), Ok);
    std::vector<Matrix> m(bones), d(bones);
    for (auto& x : m) x = RandomMatrix(rng, round % 3 == 0);
    for (auto& x : d) x = RandomMatrix(rng, false);
    const bool aligned = round % 2 == 0, withDirections = round % 5 < 3;
    MatrixArray ma(m, aligned), da(d, aligned);
    const Matrix* dirs = withDirections ? da.data : nullptr;

    const auto src = RandomVertices(decl.data(), n, rng);
    const auto expected = ReferenceSkinning(h.skin, ma.data, dirs, src);
    std::vector<uint8_t> dst(src.size(), 0xCD);
    ASSERT_EQ(h->UpdateSkinnedVertices(ma.data, dirs, src.data(), dst.data()), Ok);
    ExpectSameVertices(dst, expected, decl.data(), n, kSinglePrecisionScalars);
    // In place.
    std::vector<uint8_t> same(src);
    ASSERT_EQ(h->UpdateSkinnedVertices(ma.data, dirs, same.data(), same.data()), Ok);
    ExpectSameVertices(same, expected, decl.data(), n, kSinglePrecisionScalars);
  }
}

TEST(SkinnedUpdate, AlignedAndUnalignedMatricesAgree) {
  // Aligned matrices go through the processor-specific form, unaligned ones through the plain
  // form; with single-precision scalars both round alike.
  std::mt19937 rng(99);
  for (int round = 0; round < 20; ++round) {
    const auto decl = RandomLayout(rng);
    const uint32_t bones = 30, n = 200;
    SkinHolder h;
    MakeSkin(h, n, decl, bones);
    RandomInfluences(h.skin, rng, 4);
    std::vector<Matrix> m(bones);
    for (auto& x : m) x = RandomMatrix(rng, round % 2 == 1);
    MatrixArray aligned(m, true), unaligned(m, false);
    const auto src = RandomVertices(decl.data(), n, rng);
    std::vector<uint8_t> a(src.size()), b(src.size());
    ASSERT_EQ(h->UpdateSkinnedVertices(aligned.data, nullptr, src.data(), a.data()), Ok);
    ASSERT_EQ(h->UpdateSkinnedVertices(unaligned.data, nullptr, src.data(), b.data()), Ok);
    ExpectSameVertices(a, b, decl.data(), n, kSinglePrecisionScalars);
  }
}

#if defined(LYR_HAVE_SSE_SKINNING)
TEST(SkinnedUpdate, PlainAndSseFormsAgreeOnAHandMadeTable) {
  // Three vertices of (position, normal): bone 3 with weight 1 is the value 7; vertex 1 has no
  // influence; vertex 2 blends bones 0 and 1 half and half.
  float encoded = 0;
  ASSERT_TRUE(EncodeSkinInfluence(3, 1.0f, &encoded));
  EXPECT_EQ(encoded, 7.0f);
  const float table[] = {7.0f, -1.0f, -1.0f, 0.5f, 2.5f, -1.0f};
  alignas(16) Matrix bones[4] = {};
  for (int b = 0; b < 4; ++b)
    for (int i = 0; i < 4; ++i) bones[b].m[i][i] = static_cast<float>(b + 1);
  bones[3].m[3][0] = 10.0f;
  bones[3].m[3][3] = 1.0f;  // w stays 1: no divide
  bones[1].m[3][3] = 2.0f;  // w = 2: halves bone 1's point
  float src[3][6] = {{1, 2, 3, 0, 1, 0}, {5, 5, 5, 1, 1, 1}, {1, 1, 1, 0, 0, 1}};
  float expect[3][6] = {
      {14, 8, 12, 0, 4, 0},
      {0, 0, 0, 0, 0, 0},
      {0.5f * 1 + 0.5f * 1, 0.5f * 1 + 0.5f * 1, 0.5f * 1 + 0.5f * 1, 0, 0, 0.5f * 1 + 0.5f * 2}};
  for (auto form : {plain::BlendSkinnedVertices, sse::BlendSkinnedVertices}) {
    float dst[3][6];
    std::memset(dst, 0x7F, sizeof dst);
    const void* se[1] = {&src[0][3]};
    void* de[1] = {&dst[0][3]};
    form(bones, nullptr, src, dst, 3, 24, se, de, 1, 24, table, 1);
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 6; ++c) EXPECT_EQ(dst[v][c], expect[v][c]) << v << "," << c;
  }
}
#endif

TEST(SkinnedUpdate, FastFunctionEntryHoldsTheFormOfTheSelection) {
  const uint32_t state = SelectFastFunctions(1);
  const auto entry = CurrentFastFunctions().BlendSkinnedVertices;
#if defined(LYR_HAVE_SSE_SKINNING)
  if (state == kSelectionSse || state == kSelectionSse2) {
    EXPECT_EQ(entry, sse::BlendSkinnedVertices);
    return;
  }
#endif
  EXPECT_EQ(entry, plain::BlendSkinnedVertices) << "selection state " << state;
  EXPECT_EQ(kPlainFastFunctions.BlendSkinnedVertices, plain::BlendSkinnedVertices);
}

TEST(SkinnedUpdate, LeadingBlockCopiesAndSpecialCases) {
  // Position, texture coordinates, normal: the normal lies outside the leading block.
  auto decl = PackedDeclaration({{ElementType::F32x3, ElementUsage::Position},
                                 {ElementType::F32x2, ElementUsage::TexCoord},
                                 {ElementType::F32x3, ElementUsage::Normal}});
  SkinHolder h;
  MakeSkin(h, 3, decl, 2);
  SetWeights(h.skin, 1, {0, 2}, {1.0f, 0.25f});
  SetWeights(h.skin, 0, {2}, {0.5f});
  ASSERT_EQ(h->SetWeightThreshold(0.3f), Ok);  // leaves out vertex 2's 0.25
  alignas(16) Matrix m[2] = {};
  for (int i = 0; i < 4; ++i) {
    m[0].m[i][i] = 1.0f;
    m[1].m[i][i] = 2.0f;
  }
  m[1].m[3][3] = 1.0f;
  m[1].m[3][1] = 3.0f;  // translation: must not touch the normal
  const float src[3][8] = {{1, 1, 1, 0.25f, 0.75f, 0, 0, 1},
                           {4, 5, 6, 0.5f, 0.5f, 1, 0, 0},
                           {2, 2, 2, 0.125f, 1, 0, 1, 0}};
  float dst[3][8];
  ASSERT_EQ(h->UpdateSkinnedVertices(m, nullptr, src, dst), Ok);
  const float expect[3][8] = {{2, 5, 2, 0.25f, 0.75f, 0, 0, 2},
                              {0, 0, 0, 0.5f, 0.5f, 0, 0, 0},  // no influence: zeros, rest copied
                              {1, 1, 1, 0.125f, 1, 0, 0.5f, 0}};  // 0.5 of bone 0, not rescaled
  for (int v = 0; v < 3; ++v)
    for (int c = 0; c < 8; ++c) EXPECT_EQ(dst[v][c], expect[v][c]) << v << "," << c;

  // Separate direction matrices are used for the normal only.
  alignas(16) Matrix d[2] = {};
  d[1].m[0][2] = d[1].m[1][2] = d[1].m[2][2] = 1.0f;
  ASSERT_EQ(h->UpdateSkinnedVertices(m, d, src, dst), Ok);
  EXPECT_EQ(dst[0][0], 2.0f);
  EXPECT_EQ(dst[0][7], 1.0f);
  EXPECT_EQ(dst[0][5], 0.0f);
}

TEST(SkinnedUpdate, LayoutsThatCannotBeSkinned) {
  SkinHolder h;
  MakeSkin(h, 2, PositionNormalDeclaration(), 1);
  alignas(16) Matrix m[1] = {};
  float buf[12] = {};
  auto refuse = [&](std::vector<VertexElement> decl) {
    ASSERT_EQ(h->SetSkinDeclaration(decl.data()), Ok);
    EXPECT_EQ(h->UpdateSkinnedVertices(m, nullptr, buf, buf), ErrInvalidCall);
  };
  refuse(PackedDeclaration({{ElementType::F32x3, ElementUsage::Normal}}));
  refuse(PackedDeclaration({{ElementType::F32x4, ElementUsage::Position}}));
  refuse(PackedDeclaration({{ElementType::F32x1, ElementUsage::PointSize},
                            {ElementType::F32x3, ElementUsage::Position}}));
  refuse(PackedDeclaration(
      {{ElementType::F32x3, ElementUsage::Position}, {ElementType::F16x4, ElementUsage::Normal}}));
  refuse(PackedDeclaration({{ElementType::F32x3, ElementUsage::Position},
                            {ElementType::F32x2, ElementUsage::Binormal}}));
  ASSERT_EQ(h->SetSkinDeclaration(PositionNormalDeclaration().data()), Ok);
  EXPECT_EQ(h->UpdateSkinnedVertices(nullptr, nullptr, buf, buf), ErrInvalidCall);
  EXPECT_EQ(h->UpdateSkinnedVertices(m, nullptr, nullptr, buf), ErrInvalidCall);
  EXPECT_EQ(h->UpdateSkinnedVertices(m, nullptr, buf, nullptr), ErrInvalidCall);

  // A normal that occupies no bytes (generated by tessellation) is neither read nor written:
  // the vertex is only the position.
  auto generated = PackedDeclaration(
      {{ElementType::F32x3, ElementUsage::Position}, {ElementType::F32x3, ElementUsage::Normal}});
  generated[1].method = ElementMethod::UV;
  ASSERT_EQ(h->SetSkinDeclaration(generated.data()), Ok);
  std::vector<float> exact(6, 1.0f);
  EXPECT_EQ(h->UpdateSkinnedVertices(m, nullptr, exact.data(), exact.data()), Ok);
}

TEST(SkinnedUpdate, WeightsTheTableCannotHoldAreRefused) {
  SkinHolder h;
  MakeSkin(h, 2, PositionNormalDeclaration(), 301);
  std::vector<Matrix> m(301);
  for (auto& x : m) x.m[0][0] = x.m[1][1] = x.m[2][2] = x.m[3][3] = 1.0f;
  float buf[12] = {1, 2, 3, 0, 0, 1, 1, 2, 3, 0, 0, 1};
  // Just below 2 on bone 300: rounds onto 602 unless kept on bone 300.
  SetWeights(h.skin, 300, {0}, {1.99999994f});
  ASSERT_EQ(h->UpdateSkinnedVertices(m.data(), nullptr, buf, buf), Ok);
  EXPECT_NEAR(buf[0], 2.0f, 1e-4f);
  SetWeights(h.skin, 300, {0}, {2.5f});
  EXPECT_EQ(h->UpdateSkinnedVertices(m.data(), nullptr, buf, buf), ErrInvalidCall);
  SetWeights(h.skin, 300, {0}, {-0.5f});
  EXPECT_EQ(h->UpdateSkinnedVertices(m.data(), nullptr, buf, buf), Ok);  // at or below 0: out
  ASSERT_EQ(h->SetWeightThreshold(-1.0f), Ok);
  EXPECT_EQ(h->UpdateSkinnedVertices(m.data(), nullptr, buf, buf), ErrInvalidCall);
  float value = 0;
  EXPECT_FALSE(EncodeSkinInfluence(1u << 22, 0.5f, &value));
  EXPECT_FALSE(EncodeSkinInfluence(0, std::nanf(""), &value));
}

TEST(SkinnedUpdate, TableIsBuiltOnceAndItsStorageReused) {
  SkinHolder h;
  const uint32_t n = 50;
  MakeSkin(h, n, PositionNormalDeclaration(), 8);
  std::mt19937 rng(3);
  RandomInfluences(h.skin, rng, 4);
  std::vector<Matrix> m(8);
  for (auto& x : m) x = RandomMatrix(rng, false);
  std::vector<float> a(n * 6, 1.0f), b(n * 6);
  ASSERT_EQ(h->UpdateSkinnedVertices(m.data(), nullptr, a.data(), b.data()), Ok);
  EXPECT_EQ(
      CountAllocations([&] { h->UpdateSkinnedVertices(m.data(), nullptr, a.data(), b.data()); }),
      0u);
  // A new threshold rebuilds the table in the storage it has (one scratch block only).
  ASSERT_EQ(h->SetWeightThreshold(0.5f), Ok);
  EXPECT_EQ(
      CountAllocations([&] { h->UpdateSkinnedVertices(m.data(), nullptr, a.data(), b.data()); }),
      1u);
  // A changed layout is analysed again without touching the table.
  ASSERT_EQ(h->SetSkinFormatCode(0x12), Ok);
  EXPECT_EQ(
      CountAllocations([&] { h->UpdateSkinnedVertices(m.data(), nullptr, a.data(), b.data()); }),
      1u);
  // Failures to build it are reported and leave nothing behind.
  ASSERT_EQ(h->SetWeightThreshold(0.0f), Ok);
  std::vector<uint32_t> all(n);
  std::vector<float> ones(n, 1.0f);
  for (uint32_t i = 0; i < n; ++i) all[i] = i;
  ASSERT_EQ(h->SetBoneWeights(7, n, all.data(), ones.data()), Ok);
  ForEachFailingAllocation(
      [&] { return h->UpdateSkinnedVertices(m.data(), nullptr, a.data(), b.data()); }, nullptr);
}

}  // namespace
}  // namespace lyr::test
