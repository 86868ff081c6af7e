// The blending forms against one another on hand-built tables: the affine shortcut against the
// general path, and the SSE and AVX forms against the plain one, including inputs that are not
// finite and runs longer than one decoded group.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "skin/skin_blend.h"
#include "skin_test_util.h"

namespace lyr::test {
namespace {

using Form = void (*)(const Matrix*, const Matrix*, const void*, void*, uint32_t, uint32_t,
                      const void* const*, void* const*, uint32_t, uint32_t, const float*, int);

struct Case {
  uint32_t elements;  // transformed elements after the position, three floats each, packed
  uint32_t minInfluences, maxInfluences;
  bool withDirections;
  uint32_t tailFloats;  // copied bytes after the transformed elements
};

// Vertices of a position and `elements` directions followed by tailFloats copied floats, a table
// with runs of minInfluences to maxInfluences values, affine bones (some with -0 in the fourth
// column) and some vertices with infinite or NaN coordinates.
struct Scene {
  uint32_t vertices = 97, bones = 40, stride = 0, leading = 0, elements = 0;
  std::vector<float> src;
  std::vector<float> table;
  std::vector<float> storage;  // bones then directions, 32-byte aligned
  Matrix* boneArray = nullptr;
  Matrix* dirArray = nullptr;
  std::vector<const void*> srcElements;

  Scene(const Case& c, std::mt19937& rng) : elements(c.elements) {
    leading = 12 * (1 + c.elements);
    stride = leading + 4 * c.tailFloats;
    const uint32_t floats = stride / 4;
    std::uniform_real_distribution<float> coord(-2.0f, 2.0f);
    src.resize(size_t(vertices) * floats);
    for (float& f : src) f = coord(rng);
    const float specials[] = {std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), std::nanf("7"),
                              -std::nanf("")};
    for (uint32_t v = 5; v < vertices; v += 11) src[size_t(v) * floats + v % 3] = specials[v % 4];
    for (uint32_t k = 0; k < c.elements; ++k) srcElements.push_back(&src[3 + 3 * k]);

    std::uniform_int_distribution<uint32_t> runLength(c.minInfluences, c.maxInfluences);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    for (uint32_t v = 0; v < vertices; ++v) {
      const uint32_t n = runLength(rng);
      for (uint32_t i = 0; i < n; ++i) {
        float value = 0;
        EncodeSkinInfluence(rng() % bones, weight(rng), &value);
        table.push_back(value);
      }
      table.push_back(-1.0f);
    }

    storage.resize(size_t(bones) * 32 + 8);
    const uintptr_t p = (reinterpret_cast<uintptr_t>(storage.data()) + 31) & ~uintptr_t(31);
    boneArray = reinterpret_cast<Matrix*>(p);
    dirArray = boneArray + bones;
    for (uint32_t b = 0; b < bones; ++b) {
      boneArray[b] = RandomMatrix(rng, false);
      dirArray[b] = RandomMatrix(rng, false);
      if (b % 3 == 0) boneArray[b].m[1][3] = -0.0f;
    }
  }

  std::vector<float> Run(Form form, const Matrix* dirs, int flags) const {
    std::vector<float> dst(src.size(), 0.0f);
    std::vector<void*> dstElements;
    for (uint32_t k = 0; k < elements; ++k) dstElements.push_back(&dst[3 + 3 * k]);
    form(boneArray, dirs, src.data(), dst.data(), vertices, stride, srcElements.data(),
         dstElements.data(), elements, leading, table.data(), flags);
    return dst;
  }

#if defined(LYR_HAVE_AVX_SKINNING)
  std::vector<float> RunAvx(const Matrix* dirs, int flags) const {
    std::vector<float> packedStorage(size_t(bones) * 32 + 8);
    float* packed = reinterpret_cast<float*>(
        (reinterpret_cast<uintptr_t>(packedStorage.data()) + 31) & ~uintptr_t(31));
    avx::PackSkinMatrices(boneArray, dirs, bones, packed);
    std::vector<float> dst(src.size(), 0.0f);
    std::vector<void*> dstElements;
    for (uint32_t k = 0; k < elements; ++k) dstElements.push_back(&dst[3 + 3 * k]);
    size_t spanCount = 0, influenceCount = 0;
    avx::CountSkinSpans(table.data(), vertices, &spanCount, &influenceCount);
    std::vector<avx::SkinSpan> spans(spanCount);
    std::vector<avx::SkinInfluence> influences(influenceCount);
    avx::BuildSkinSpans(table.data(), vertices, spans.data(), influences.data());
    avx::BlendSkinnedVertices(packed, dirs ? dirs : boneArray, src.data(), dst.data(), stride,
                              srcElements.data(), dstElements.data(), elements, leading,
                              spans.data(), spanCount, influences.data(), flags);
    return dst;
  }
#endif
};

// Same bits, NaN payloads and signs of zero included.
void ExpectSameBits(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    uint32_t x, y;
    std::memcpy(&x, &a[i], 4);
    std::memcpy(&y, &b[i], 4);
    ASSERT_EQ(x, y) << what << ": float " << i << " (" << a[i] << " vs " << b[i] << ")";
  }
}

// Runs of equal length make long spans of the AVX form; tails check its overlapping stores.
const Case kCases[] = {{1, 0, 4, false, 0}, {1, 0, 12, true, 0}, {2, 0, 5, true, 1},
                       {3, 0, 9, false, 0}, {0, 0, 6, false, 2}, {5, 0, 17, true, 0},
                       {1, 4, 4, false, 0}, {1, 4, 4, true, 3},  {1, 1, 2, false, 1},
                       {1, 7, 7, false, 0}, {2, 3, 3, false, 0}};

TEST(SkinnedForms, AffineShortcutGivesTheBitsOfTheGeneralPath) {
  std::mt19937 rng(2024);
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.elements << " elements, " << c.minInfluences << " to "
                                    << c.maxInfluences << " influences, tail " << c.tailFloats);
    Scene s(c, rng);
    const Matrix* dirs = c.withDirections ? s.dirArray : nullptr;
    ExpectSameBits(s.Run(plain::BlendSkinnedVertices, dirs, kSkinAffineBones),
                   s.Run(plain::BlendSkinnedVertices, dirs, 0), "plain");
#if defined(LYR_HAVE_SSE_SKINNING)
    ExpectSameBits(s.Run(sse::BlendSkinnedVertices, dirs, kSkinAffineBones),
                   s.Run(sse::BlendSkinnedVertices, dirs, 0), "sse");
#endif
#if defined(LYR_HAVE_AVX_SKINNING)
    if (avx::SkinningAvailable()) {
      ExpectSameBits(s.RunAvx(dirs, kSkinAffineBones), s.RunAvx(dirs, 0), "avx");
    }
#endif
  }
}

TEST(SkinnedForms, ProcessorFormsGiveTheBitsOfThePlainForm) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the plain form sums in wider registers here";
#else
  std::mt19937 rng(77);
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.elements << " elements, " << c.minInfluences << " to "
                                    << c.maxInfluences << " influences, tail " << c.tailFloats);
    Scene s(c, rng);
    // Make some bones projective, so that the divide runs too.
    for (uint32_t b = 1; b < s.bones; b += 4) s.boneArray[b] = RandomMatrix(rng, true);
    const Matrix* dirs = c.withDirections ? s.dirArray : nullptr;
    const auto expected = s.Run(plain::BlendSkinnedVertices, dirs, 0);
    ExpectSameBits(s.Run(sse::BlendSkinnedVertices, dirs, 0), expected, "sse");
#if defined(LYR_HAVE_AVX_SKINNING)
    if (avx::SkinningAvailable()) ExpectSameBits(s.RunAvx(dirs, 0), expected, "avx");
#endif
  }
#endif
}

TEST(SkinnedForms, AffineTestLooksAtTheFourthColumnOnly) {
  std::vector<Matrix> m(3);
  for (auto& x : m) x.m[0][3] = x.m[1][3] = x.m[2][3] = 0.0f, x.m[3][3] = 1.0f;
  m[1].m[3][0] = std::nanf("");  // translation: no matter
  m[2].m[2][3] = -0.0f;
  EXPECT_TRUE(AffineBones(m.data(), 3));
  EXPECT_TRUE(AffineBones(m.data(), 0));
  const float breaks[] = {1e-30f, std::nanf(""), 1.0f};
  for (float f : breaks) {
    auto n = m;
    n[2].m[1][3] = f;
    EXPECT_FALSE(AffineBones(n.data(), 3)) << f;
    EXPECT_TRUE(AffineBones(n.data(), 2)) << "only the first two are looked at";
  }
  auto w = m;
  w[0].m[3][3] = 1.0000001f;
  EXPECT_FALSE(AffineBones(w.data(), 1));
}

}  // namespace
}  // namespace lyr::test
