// The documented special cases of the processor-specific forms and the two kernels that share the
// table (skinned-vertex blend, N-patch evaluation).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "math/kernels.h"
#include "math/math_util.h"
#include "math_support.h"

namespace lyr {
namespace {

using mathtest::AllForms;
using mathtest::FloatsClose;
using mathtest::Random;
using mathtest::SameBits;
const FastFunctionSet& P = kPlainFastFunctions;

FastFunctionSet ScalarSet() {
  FastFunctionSet s = kPlainFastFunctions;
  InstallScalarForms(&s);
  return s;
}

// The SSE-family sets (empty on processors without SSE).
std::vector<mathtest::NamedSet> SseSets() {
  std::vector<mathtest::NamedSet> out;
  for (auto& f : AllForms())
    if (f.name == "sse" || f.name == "sse2") out.push_back(f);
  return out;
}

TEST(ScalarNormalise, TableReciprocalRootAndItsTests) {
  FastFunctionSet s = ScalarSet();
  Vector3 out;
  Vector3 zero = {0, 0, 0}, negZero = {-0.0f, 0, 0};
  s.NormalizeVector3(&out, &zero);
  EXPECT_TRUE(SameBits(out, zero));
  s.NormalizeVector3(&out, &negZero);  // the squared length is +0.0
  EXPECT_TRUE(SameBits(out, zero));
  // Within 1e-5 of unit length (wider than the plain 2^-23): returned unchanged.
  Vector3 near = {std::sqrt(1.000008f), 0, 0};
  s.NormalizeVector3(&out, &near);
  EXPECT_TRUE(SameBits(out, near));
  Vector3 outside = {std::sqrt(1.00003f), 0, 0};
  s.NormalizeVector3(&out, &outside);
  EXPECT_FALSE(SameBits(out, outside));
  EXPECT_NEAR(out.x, 1.0f, 3e-6f);
  // Across magnitudes of both exponent parities and every piece: within 2e-6 of the true length.
  double worst = 0;
  for (int e = -60; e <= 60; e += 7) {
    for (int piece = 0; piece < 512; ++piece) {
      float x = std::ldexp(1.0f + (piece + 0.37f) / 512.0f, e);
      Vector3 v = {x, x * 0.5f, -x * 0.25f};
      s.NormalizeVector3(&v, &v);
      double len = std::sqrt(double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z);
      worst = std::fmax(worst, std::fabs(len - 1.0));
    }
  }
  EXPECT_LT(worst, 2e-6);
}

TEST(SseNormalise, FloorNoNearUnitTestAndRefinedRoot) {
  for (const auto& f : SseSets()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Vector3 out;
    // Below 2^-46 squared length: zeros, where the plain form still normalises.
    Vector3 small = {1e-7f, 0, 0}, larger = {2e-7f, 0, 0};
    s.NormalizeVector3(&out, &small);
    EXPECT_TRUE(SameBits(out, Vector3{0, 0, 0}));
    P.NormalizeVector3(&out, &small);
    EXPECT_FLOAT_EQ(out.x, 1.0f);
    s.NormalizeVector3(&out, &larger);
    EXPECT_NEAR(out.x, 1.0f, 1e-6f);
    Plane tinyPlane = {1e-7f, 0, 0, 3}, po;
    s.NormalizePlane(&po, &tinyPlane);
    EXPECT_TRUE(SameBits(po, Plane{0, 0, 0, 0}));
    // No zero test for four components: a zero input gives non-finite components.
    Vector4 z4 = {0, 0, 0, 0}, o4;
    s.NormalizeVector4(&o4, &z4);
    EXPECT_FALSE(std::isfinite(o4.x));
    Quaternion zq = {0, 0, 0, 0}, oq;
    s.NormalizeQuaternion(&oq, &zq);
    EXPECT_FALSE(std::isfinite(oq.w));
    // One Newton-Raphson step: close to the true reciprocal root over a sweep.
    Random r(11);
    for (int i = 0; i < 500; ++i) {
      float k = std::ldexp(1.0f, static_cast<int>(r.Uniform(-20, 20)));
      Vector4 v = r.V4(k);
      s.NormalizeVector4(&o4, &v);
      double len = std::sqrt(double(o4.x) * o4.x + double(o4.y) * o4.y + double(o4.z) * o4.z +
                             double(o4.w) * o4.w);
      ASSERT_NEAR(len, 1.0, 2e-6);
    }
  }
}

TEST(SseForms, PointArraysWithAffineMatricesGiveTheBitsOfTheSingleForm) {
  // An affine matrix lets the array forms skip w; blocks holding an infinite or NaN coordinate
  // must still come out as the divide makes them (all NaN), like the single form.
  const float inf = INFINITY, nan = std::nanf("3");
  Random r(5);
  for (const auto& f : SseSets()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    for (int kind = 0; kind < 4; ++kind) {
      Matrix m = r.M();
      m.m[0][3] = m.m[2][3] = 0.0f;
      m.m[1][3] = kind == 1 ? -0.0f : 0.0f;
      m.m[3][3] = kind == 2 ? 1.0000001f : 1.0f;  // within the undivided band, not affine
      if (kind == 3) m.m[2][3] = 0.25f;           // projective
      std::vector<Vector3> in(23);
      for (auto& v : in) v = r.V3();
      in[1].x = inf;
      in[6].y = -inf;
      in[9].z = nan;
      in[16] = {1e30f, 1e30f, 1e30f};  // finite, but x' overflows
      for (uint32_t stride : {12u, 16u}) {
        std::vector<uint8_t> src(in.size() * stride), dst(src.size());
        for (size_t i = 0; i < in.size(); ++i) std::memcpy(&src[i * stride], &in[i], 12);
        s.TransformPoint3Array(reinterpret_cast<Vector3*>(dst.data()), stride,
                               reinterpret_cast<const Vector3*>(src.data()), stride, &m,
                               static_cast<uint32_t>(in.size()));
        for (size_t i = 0; i < in.size(); ++i) {
          Vector3 one, got;
          s.TransformPoint3(&one, &in[i], &m);
          std::memcpy(&got, &dst[i * stride], 12);
          ASSERT_TRUE(SameBits(got, one)) << "kind " << kind << " stride " << stride << " at " << i;
        }
        std::vector<Vector2> in2(in.size()), out2(in.size());
        for (size_t i = 0; i < in.size(); ++i) in2[i] = {in[i].x, in[i].z};
        s.TransformPoint2Array(out2.data(), 8, in2.data(), 8, &m,
                               static_cast<uint32_t>(in2.size()));
        for (size_t i = 0; i < in2.size(); ++i) {
          Vector2 one;
          s.TransformPoint2(&one, &in2[i], &m);
          ASSERT_TRUE(SameBits(out2[i], one)) << "kind " << kind << " 2D at " << i;
        }
      }
    }
  }
}

TEST(SseForms, HalfToFloatTailsAndSpecialPatterns) {
  const uint16_t patterns[] = {0x0000, 0x8000, 0x0001, 0x83FF, 0x0400, 0x3C00,
                               0x7BFF, 0x7C00, 0x7FFF, 0xFFFF, 0x03FF, 0x8001};
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    for (uint32_t n = 1; n <= 12; ++n) {  // every tail length of a four-wide loop
      std::vector<Half> in(n);
      std::vector<float> a(n + 1, 7.0f), b(n + 1, 7.0f);
      for (uint32_t i = 0; i < n; ++i) in[i].bits = patterns[(i * 5 + n) % 12];
      P.HalfToFloatArray(a.data(), in.data(), n);
      EXPECT_EQ(f.set.HalfToFloatArray(b.data(), in.data(), n), b.data());
      EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * (n + 1)), 0);
      EXPECT_EQ(b[n], 7.0f);  // nothing written past the count
    }
  }
}

// ---- N-patch kernel ----------------------------------------------------------------------------

TEST(NPatch, CornersFlatTrianglesAndLinearComponents) {
  // Corners with one extra component each (a texture coordinate pair).
  const float v0[5] = {0, 0, 0, 0.1f, 0.2f}, v1[5] = {1, 0, 0, 0.3f, 0.4f},
              v2[5] = {0, 1, 0, 0.5f, 0.6f};
  const Vector3 flat[3] = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
  const Vector3 bent[3] = {{-0.5f, -0.5f, 0.7f}, {0.6f, 0, 0.8f}, {0, 0.6f, 0.8f}};
  const float corners[6] = {0, 1, 1, 0, 0, 0};  // (a, b) -> V0, V2, V1
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    float out[3 * 5];
    f.set.EvaluateNPatchPoints(bent, corners, 3, out, v0, v1, v2, 5);
    EXPECT_EQ(std::memcmp(out, v0, sizeof v0), 0);
    EXPECT_EQ(std::memcmp(out + 5, v2, sizeof v2), 0);
    EXPECT_EQ(std::memcmp(out + 10, v1, sizeof v1), 0);
    // Normals perpendicular to the triangle: every point stays in its plane.
    const float grid[8] = {0.25f, 0.25f, 0.1f, 0.7f, 0.5f, 0.5f, 0.3f, 0.3f};
    float pts[4 * 5];
    f.set.EvaluateNPatchPoints(flat, grid, 4, pts, v0, v1, v2, 5);
    for (int i = 0; i < 4; ++i) {
      EXPECT_NEAR(pts[5 * i + 2], 0.0f, 1e-6f);
      float a = grid[2 * i], b = grid[2 * i + 1], c = 1 - a - b;
      EXPECT_NEAR(pts[5 * i + 3], a * v2[3] + b * v0[3] + c * v1[3], 1e-6f);
    }
    // Bent normals lift the interior off the plane; positions only with three floats.
    float three[3 + 1] = {0, 0, 0, 42.0f};
    const float centre[2] = {1.0f / 3, 1.0f / 3};
    f.set.EvaluateNPatchPoints(bent, centre, 1, three, v0, v1, v2, 3);
    EXPECT_GT(std::fabs(three[2]), 1e-3f);
    EXPECT_EQ(three[3], 42.0f);
  }
  // The edge control point: a third of the way along the edge, projected into the tangent plane.
  Vector3 e = EdgeControlPoint({3, 0, 3}, {0, 0, 0}, {0, 0, 1}, 1.0f / 3);
  EXPECT_TRUE(FloatsClose(e, Vector3{1, 0, 0}));
}

// The SSE form against the plain one: random triangles, bent or flat normals (not normalised),
// every vertex length up to 19 floats and every tail of the four-point groups. Where single
// precision is all the plain form uses the two agree bit for bit; elsewhere (x87 sums) each
// float is within 4 ulp of the size of its terms. Corners and points live in blocks of exactly
// their size and the output is fenced, so a read or a write past one shows.
TEST(NPatch, SseFormAgreesWithThePlainForm) {
  const auto sets = SseSets();
  if (sets.empty()) GTEST_SKIP() << "no SSE on this processor";
  Random r(70);
  constexpr float kFence = 12345.0f;
  double worst = 0;  // in units of 2^-23 times the size of the terms
  for (int trial = 0; trial < 400; ++trial) {
    const uint32_t n = 3 + trial % 17, count = 1 + (trial * 7) % 13;
    const float scale = std::ldexp(1.0f, trial % 9 - 4);
    std::vector<float> v[3];
    for (auto& corner : v) {
      corner.resize(n);
      for (float& x : corner) x = r.Uniform(-10, 10) * scale;
    }
    Vector3 normals[3];
    for (auto& m : normals) m = trial % 5 == 0 ? Vector3{0, 0, 1} : r.V3(1.5f);
    std::vector<float> points(2 * count);
    for (uint32_t i = 0; i < count; ++i) {
      // Inside the triangle, on its edges and at its corners.
      float a = r.Uniform(0, 1), b = r.Uniform(0, 1);
      if (a + b > 1) a = 1 - a, b = 1 - b;
      if (i % 4 == 1) a = 0;
      if (i % 6 == 2) a = 1, b = 0;
      points[2 * i] = a;
      points[2 * i + 1] = b;
    }
    Vector3 cp[10];
    NPatchControlPoints(normals, v[0].data(), v[1].data(), v[2].data(), cp);
    std::vector<float> want(size_t(count) * n + 1, kFence);
    P.EvaluateNPatchPoints(normals, points.data(), count, want.data(), v[0].data(), v[1].data(),
                           v[2].data(), n);
    for (const auto& f : sets) {
      SCOPED_TRACE(testing::Message() << f.name << ", trial " << trial << ", " << n << " floats, "
                                      << count << " points");
      std::vector<float> got(want.size(), kFence);
      f.set.EvaluateNPatchPoints(normals, points.data(), count, got.data(), v[0].data(),
                                 v[1].data(), v[2].data(), n);
      ASSERT_EQ(got.back(), kFence);
      for (uint32_t i = 0; i < count; ++i) {
        const double a = points[2 * i], b = points[2 * i + 1], c = 1 - a - b;
        const double w[10] = {b * b * b,     3 * b * b * c, 3 * b * b * a, 3 * b * c * c,
                              6 * a * b * c, 3 * a * a * b, c * c * c,     3 * a * c * c,
                              3 * a * a * c, a * a * a};
        for (uint32_t k = 0; k < n; ++k) {
          const float x = got[size_t(i) * n + k], y = want[size_t(i) * n + k];
          ASSERT_FALSE(std::isnan(x)) << "point " << i << " float " << k;
          // The size of the terms summed for this float.
          double terms = 0;
          if (k < 3)
            for (int t = 0; t < 10; ++t) terms += std::fabs(w[t] * (&cp[t].x)[k]);
          else
            terms = std::fabs(a * v[2][k]) + std::fabs(b * v[0][k]) + std::fabs(c * v[1][k]);
#if FLT_EVAL_METHOD == 0
          ASSERT_TRUE(SameBits(x, y))
              << "point " << i << " float " << k << ": " << x << " vs " << y;
#endif
          ASSERT_LE(std::fabs(double(x) - y), 4 * std::ldexp(terms, -23) + 1e-30)
              << "point " << i << " float " << k << ": " << x << " vs " << y;
          if (terms > 0) worst = std::max(worst, std::fabs(double(x) - y) / std::ldexp(terms, -23));
        }
      }
    }
  }
  RecordProperty("largest_difference_in_term_ulps", std::to_string(worst));
}

// ---- Skinned-vertex blend ----------------------------------------------------------------------

struct SkinVertex {
  Vector3 position;
  Vector2 uv;
  Vector3 normal;
};
static_assert(sizeof(SkinVertex) == 32);

TEST(SkinBlend, RunsWeightsCopiesAndDirections) {
  Random r(21);
  alignas(16) Matrix bones[4], dirs[4];
  for (int b = 0; b < 4; ++b) {
    Vector3 axis = r.V3();
    P.BuildRotationAxis(&bones[b], &axis, r.Uniform(-2, 2));
    bones[b].m[3][0] = static_cast<float>(b);
    bones[b].m[3][2] = 2.0f;
    P.BuildScaling(&dirs[b], 2, 2, 2);
  }
  std::vector<SkinVertex> src(4);
  for (auto& v : src) v = {r.V3(), r.V2(), r.V3()};
  // v0: bone 3 weight 1 (7.0); v1: no influence; v2: bone 0 x 0.25 + bone 1 x 0.75;
  // v3: bone 2 x 0.5 only (weights are not renormalised).
  const float table[] = {7.0f, -1.0f, -1.0f, 0.25f, 2.75f, -1.0f, 4.5f, -1.0f};
  auto expectPoint = [&](const SkinVertex& v, int b, float w) {
    Vector3 t;
    P.TransformPoint3(&t, &v.position, &bones[b]);
    return Vector3{t.x * w, t.y * w, t.z * w};
  };
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    for (bool withDirs : {false, true}) {
      for (bool inPlace : {false, true}) {
        std::vector<SkinVertex> dst(4, SkinVertex{{9, 9, 9}, {9, 9}, {9, 9, 9}});
        std::vector<SkinVertex> work = src;
        SkinVertex* out = inPlace ? work.data() : dst.data();
        const void* srcEl[1] = {&work[0].normal};
        void* dstEl[1] = {&out[0].normal};
        // The normal follows the texture coordinates: outside the 12-byte leading block.
        f.set.BlendSkinnedVertices(bones, withDirs ? dirs : nullptr, work.data(), out, 4, 32, srcEl,
                                   dstEl, 1, 12, table, 0);
        const Matrix* dm = withDirs ? dirs : bones;
        Vector3 n0;
        P.TransformDirection3(&n0, &src[0].normal, &dm[3]);
        EXPECT_TRUE(FloatsClose(out[0].position, expectPoint(src[0], 3, 1.0f), 1e-5f, 1e-5f));
        EXPECT_TRUE(FloatsClose(out[0].normal, n0, 1e-5f, 1e-5f));
        EXPECT_TRUE(SameBits(out[0].uv, src[0].uv));
        EXPECT_TRUE(SameBits(out[1].position, Vector3{0, 0, 0}));
        EXPECT_TRUE(SameBits(out[1].normal, Vector3{0, 0, 0}));
        EXPECT_TRUE(SameBits(out[1].uv, src[1].uv));
        Vector3 a = expectPoint(src[2], 0, 0.25f), b = expectPoint(src[2], 1, 0.75f);
        EXPECT_TRUE(
            FloatsClose(out[2].position, Vector3{a.x + b.x, a.y + b.y, a.z + b.z}, 1e-5f, 1e-5f));
        EXPECT_TRUE(FloatsClose(out[3].position, expectPoint(src[3], 2, 0.5f), 1e-5f, 1e-5f));
      }
    }
  }
}

}  // namespace
}  // namespace lyr
