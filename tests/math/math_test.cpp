// Behaviour of the math operations: exact results where the operations promise them, agreement
// of every form set with the plain forms elsewhere, aliasing and strided arrays.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "math/lane_ops.h"
#include "math/math_util.h"
#include "math_support.h"

namespace lyr {
namespace {

using mathtest::AllForms;
using mathtest::FloatsClose;
using mathtest::Random;
using mathtest::SameBits;
const FastFunctionSet& P = kPlainFastFunctions;

uint16_t ToHalf(float f) {
  Half h;
  P.FloatToHalfArray(&h, &f, 1);
  return h.bits;
}
float FromHalf(uint16_t bits) {
  Half h = {bits};
  float f;
  P.HalfToFloatArray(&f, &h, 1);
  return f;
}
uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

TEST(HalfConversion, ListedValuesSaturationAndDenormals) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(ToHalf(65504.0f), 0x7BFF);
  EXPECT_EQ(ToHalf(131008.0f), 0x7FFF);
  EXPECT_EQ(ToHalf(131040.0f), 0x7FFF);
  EXPECT_EQ(ToHalf(1e30f), 0x7FFF);
  EXPECT_EQ(ToHalf(inf), 0x7FFF);
  EXPECT_EQ(ToHalf(-inf), 0xFFFF);
  EXPECT_EQ(ToHalf(std::nanf("")), 0x7FFF);
  EXPECT_EQ(ToHalf(1.0f), 0x3C00);
  EXPECT_EQ(ToHalf(-2.0f), 0xC000);
  EXPECT_EQ(ToHalf(std::ldexp(1.0f, -24)), 0x0001);
  EXPECT_EQ(ToHalf(std::ldexp(1.0f, -14)), 0x0400);  // smallest normal
  EXPECT_EQ(ToHalf(1e-20f), 0x0000);
  EXPECT_EQ(ToHalf(-1e-20f), 0x8000);
  EXPECT_EQ(ToHalf(-0.0f), 0x8000);
  EXPECT_EQ(ToHalf(1e-40f), 0x0000);  // float denormal
  // 65536 lies in the ordinary exponent 31 range (no infinities in this format).
  EXPECT_EQ(ToHalf(65536.0f), 0x7C00);
  EXPECT_EQ(FromHalf(0x7C00), 65536.0f);
  EXPECT_EQ(FromHalf(0x7FFF), 131008.0f);
  EXPECT_EQ(FromHalf(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(FromHalf(0x03FF), std::ldexp(1023.0f, -24));
  EXPECT_EQ(Bits(FromHalf(0x8000)), 0x80000000u);
  EXPECT_EQ(FromHalf(0x3C00), 1.0f);
}

TEST(HalfConversion, RoundsToNearestEven) {
  // Halfway between 1 and the next half (1 + 2^-10): ties go to the even mantissa.
  EXPECT_EQ(ToHalf(1.0f + std::ldexp(1.0f, -11)), 0x3C00);
  EXPECT_EQ(ToHalf(1.0f + 3 * std::ldexp(1.0f, -11)), 0x3C02);
  EXPECT_EQ(ToHalf(std::nextafter(1.0f + std::ldexp(1.0f, -11), 2.0f)), 0x3C01);
  // Denormal ties: 1.5 * 2^-24 rounds up to 2 (even), 2.5 * 2^-24 down to 2.
  EXPECT_EQ(ToHalf(1.5f * std::ldexp(1.0f, -24)), 0x0002);
  EXPECT_EQ(ToHalf(2.5f * std::ldexp(1.0f, -24)), 0x0002);
  EXPECT_EQ(ToHalf(0.5f * std::ldexp(1.0f, -24)), 0x0000);
  EXPECT_EQ(ToHalf(0.75f * std::ldexp(1.0f, -24)), 0x0001);
  // Rounding may carry into the next exponent.
  EXPECT_EQ(ToHalf(2047.9f), 0x6800);
}

TEST(HalfConversion, EveryHalfRoundTripsInEveryForm) {
  std::vector<Half> halves(65536), back(65536);
  std::vector<float> floats(65536);
  for (uint32_t i = 0; i < 65536; ++i) halves[i].bits = static_cast<uint16_t>(i);
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    f.set.HalfToFloatArray(floats.data(), halves.data(), 65536);
    f.set.FloatToHalfArray(back.data(), floats.data(), 65536);
    for (uint32_t i = 0; i < 65536; ++i) {
      ASSERT_EQ(back[i].bits, i);
      ASSERT_EQ(Bits(floats[i]), Bits(FromHalf(static_cast<uint16_t>(i))));
    }
    // Odd counts exercise the tails of vectorised forms.
    Random r(7);
    std::vector<float> in(37);
    for (float& x : in) x = r.Uniform(-70000, 70000) * (r.Uniform(0, 1) < 0.3f ? 1e-6f : 1.0f);
    std::vector<Half> a(37), b(37);
    P.FloatToHalfArray(a.data(), in.data(), 37);
    f.set.FloatToHalfArray(b.data(), in.data(), 37);
    for (int i = 0; i < 37; ++i) EXPECT_EQ(a[i].bits, b[i].bits) << in[i];
  }
}

TEST(Normalisation, ThresholdsOfThePlainForms) {
  // Squared length within 2^-23 of 1: returned bit for bit.
  Vector3 nearUnit = {0.6f, 0.8f, 1e-4f};
  Vector3 out;
  P.NormalizeVector3(&out, &nearUnit);
  EXPECT_TRUE(SameBits(out, nearUnit));
  Vector3 longer = {3, 4, 0};
  P.NormalizeVector3(&out, &longer);
  EXPECT_TRUE(FloatsClose(out, Vector3{0.6f, 0.8f, 0}));
  const Vector3 zeros = {0, 0, 0};
  Vector3 tiny = {1e-20f, 0, 0}, nan = {std::nanf(""), 1, 0};
  P.NormalizeVector3(&out, &tiny);
  EXPECT_TRUE(SameBits(out, zeros));
  P.NormalizeVector3(&out, &nan);
  EXPECT_TRUE(SameBits(out, zeros));
  // Just above the floor still scales.
  Vector2 small = {2e-19f, 0}, o2;
  P.NormalizeVector2(&o2, &small);
  EXPECT_FLOAT_EQ(o2.x, 1.0f);
  // A plane is measured on (a, b, c) and scales d as well; a degenerate plane is all zeros.
  Plane p = {0, 0, 2, 8}, po;
  P.NormalizePlane(&po, &p);
  EXPECT_TRUE(FloatsClose(po, Plane{0, 0, 1, 4}));
  Plane flat = {0, 0, 0, 5};
  P.NormalizePlane(&po, &flat);
  EXPECT_TRUE(SameBits(po, Plane{0, 0, 0, 0}));
  Quaternion q = {0, 0, 0, 0}, qo;
  P.NormalizeQuaternion(&qo, &q);
  EXPECT_TRUE(SameBits(qo, Quaternion{0, 0, 0, 0}));
}

TEST(Normalisation, EveryFormAgreesOnOrdinaryInput) {
  Random r;
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    for (int i = 0; i < 200; ++i) {
      Vector3 v = r.V3(), a, b;
      P.NormalizeVector3(&a, &v);
      f.set.NormalizeVector3(&b, &v);
      ASSERT_TRUE(FloatsClose(a, b, 1e-5f, 1e-6f));
      Vector4 w = r.V4(), c, d;
      P.NormalizeVector4(&c, &w);
      f.set.NormalizeVector4(&d, &w);
      ASSERT_TRUE(FloatsClose(c, d, 1e-5f, 1e-6f));
      Plane p = {v.x, v.y, v.z, w.w}, pa, pb;
      P.NormalizePlane(&pa, &p);
      f.set.NormalizePlane(&pb, &p);
      ASSERT_TRUE(FloatsClose(pa, pb, 1e-5f, 1e-6f));
      Quaternion q = {w.x, w.y, w.z, w.w}, qa, qb;
      P.NormalizeQuaternion(&qa, &q);
      f.set.NormalizeQuaternion(&qb, &q);
      ASSERT_TRUE(FloatsClose(qa, qb, 1e-5f, 1e-6f));
    }
  }
}

TEST(PointTransforms, DivideOnlyWhenWIsNotNearlyOne) {
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Matrix m = mathutil::kIdentity;
    m.m[3][0] = 1;
    m.m[3][3] = 1.0000001f;  // w within 2^-23 of 1: undivided
    Vector3 v = {1, 2, 3}, out;
    s.TransformPoint3(&out, &v, &m);
    EXPECT_TRUE(SameBits(out, Vector3{2, 2, 3}));
    Vector3 five[5] = {v, v, v, v, v};  // a four-element block and a tail
    s.TransformPoint3Array(five, 12, five, 12, &m, 5);
    for (const Vector3& e : five) EXPECT_TRUE(SameBits(e, Vector3{2, 2, 3}));
    m.m[3][3] = 2;
    s.TransformPoint3(&out, &v, &m);
    EXPECT_TRUE(FloatsClose(out, Vector3{1, 1, 1.5f}));
    m.m[3][3] = 0;  // no guard against w = 0
    s.TransformPoint3(&out, &v, &m);
    EXPECT_FALSE(std::isfinite(out.x));
    Vector2 v2 = {1, 2}, o2;
    s.TransformPoint2(&o2, &v2, &m);
    EXPECT_FALSE(std::isfinite(o2.y));
    s.TransformPoint2Array(&o2, 8, &v2, 8, &m, 1);
    EXPECT_FALSE(std::isfinite(o2.y));
  }
}

TEST(Inversion, SingularMatricesLeaveTheOutputUntouched) {
  Random r;
  const Matrix sentinel = r.M();
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    Matrix a = r.M();
    for (float& e : a.m[2]) e = 0;  // a zero row
    Matrix out = sentinel;
    float det = 99;
    EXPECT_EQ(f.set.InvertMatrix(&out, &det, &a), nullptr);
    EXPECT_EQ(det, 0.0f);
    EXPECT_TRUE(SameBits(out, sentinel));
    // A non-zero determinant whose reciprocal overflows is refused too, and still reported.
    Matrix tiny = mathutil::kIdentity;
    tiny.m[0][0] = tiny.m[1][1] = tiny.m[2][2] = 1e-13f;
    tiny.m[3][3] = 1e-1f;
    det = 0;
    EXPECT_EQ(f.set.InvertMatrix(&out, &det, &tiny), nullptr);
    EXPECT_GT(det, 0.0f);
    EXPECT_TRUE(SameBits(out, sentinel));
    EXPECT_EQ(f.set.InvertMatrix(&out, nullptr, &a), nullptr);
  }
}

TEST(Inversion, InverseAndDeterminantAgreeWithThePlainForm) {
  Random r;
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    for (int i = 0; i < 100; ++i) {
      Matrix a = r.M(), inv, prod;
      float det = 0;
      ASSERT_EQ(f.set.InvertMatrix(&inv, &det, &a), &inv);
      EXPECT_TRUE(mathtest::Close(det, P.Determinant4x4(&a), 1e-4f, 1e-3f));
      EXPECT_TRUE(mathtest::Close(f.set.Determinant4x4(&a), det, 1e-4f, 1e-3f));
      if (std::fabs(det) < 1.0f) continue;  // ill-conditioned: skip the product check
      P.MultiplyMatrix(&prod, &a, &inv);
      EXPECT_TRUE(FloatsClose(prod, mathutil::kIdentity, 1e-3f, 1e-3f));
    }
  }
}

// Calls op(out, in) with out separate and with out being the input, and compares the results.
template <class T, class Op>
void ExpectAliasSafe(const T& input, Op op) {
  T separate, same = input;
  op(&separate, &input);
  op(&same, &same);
  EXPECT_TRUE(SameBits(separate, same));
}

TEST(Aliasing, EveryMatrixAndQuaternionOperationMayWorkInPlace) {
  Random r;
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Matrix a = r.M(), b = r.M();
    Quaternion p = r.UnitQ(), q = r.UnitQ(), c = r.UnitQ(), d = r.UnitQ();
    ExpectAliasSafe(a, [&](Matrix* o, const Matrix* i) { s.MultiplyMatrix(o, i, &b); });
    ExpectAliasSafe(b, [&](Matrix* o, const Matrix* i) { s.MultiplyMatrix(o, &a, i); });
    ExpectAliasSafe(a, [&](Matrix* o, const Matrix* i) { s.MultiplyMatrix(o, i, i); });
    ExpectAliasSafe(a, [&](Matrix* o, const Matrix* i) { s.MultiplyMatrixTransposed(o, i, &b); });
    ExpectAliasSafe(b, [&](Matrix* o, const Matrix* i) { s.MultiplyMatrixTransposed(o, &a, i); });
    ExpectAliasSafe(a, [&](Matrix* o, const Matrix* i) { s.TransposeMatrix(o, i); });
    ExpectAliasSafe(a, [&](Matrix* o, const Matrix* i) { s.InvertMatrix(o, nullptr, i); });
    ExpectAliasSafe(p, [&](Quaternion* o, const Quaternion* i) { s.MultiplyQuaternion(o, i, &q); });
    ExpectAliasSafe(q, [&](Quaternion* o, const Quaternion* i) { s.MultiplyQuaternion(o, &p, i); });
    ExpectAliasSafe(p, [&](Quaternion* o, const Quaternion* i) { s.NormalizeQuaternion(o, i); });
    ExpectAliasSafe(p, [&](Quaternion* o, const Quaternion* i) { s.InvertQuaternion(o, i); });
    ExpectAliasSafe(p, [&](Quaternion* o, const Quaternion* i) { s.LogQuaternion(o, i); });
    ExpectAliasSafe(p, [&](Quaternion* o, const Quaternion* i) { s.ExpQuaternion(o, i); });
    ExpectAliasSafe(p, [&](Quaternion* o, const Quaternion* i) { s.Slerp(o, i, &q, 0.3f); });
    ExpectAliasSafe(q, [&](Quaternion* o, const Quaternion* i) { s.Slerp(o, &p, i, 0.3f); });
    ExpectAliasSafe(p,
                    [&](Quaternion* o, const Quaternion* i) { s.Squad(o, i, &q, &c, &d, 0.4f); });
    ExpectAliasSafe(d,
                    [&](Quaternion* o, const Quaternion* i) { s.Squad(o, &p, &q, &c, i, 0.4f); });
    ExpectAliasSafe(p, [&](Quaternion* o, const Quaternion* i) {
      s.BarycentricQuaternion(o, i, &q, &c, 0.2f, 0.3f);
    });
    ExpectAliasSafe(c, [&](Quaternion* o, const Quaternion* i) {
      s.BarycentricQuaternion(o, &p, &q, i, 0.2f, 0.3f);
    });
    // Squad controls written over their own inputs.
    Quaternion ea, eb, ec;
    s.PrepareSquadControls(&ea, &eb, &ec, &p, &q, &c, &d);
    Quaternion x0 = p, x1 = q, x2 = c, x3 = d;
    s.PrepareSquadControls(&x1, &x2, &x0, &x0, &x1, &x2, &x3);
    EXPECT_TRUE(SameBits(x1, ea));
    EXPECT_TRUE(SameBits(x2, eb));
    EXPECT_TRUE(SameBits(x0, ec));
    // Vector and plane transforms in place.
    Vector4 v = r.V4();
    ExpectAliasSafe(v, [&](Vector4* o, const Vector4* i) { s.TransformVector4(o, i, &a); });
    Plane pl = {v.x, v.y, v.z, v.w};
    ExpectAliasSafe(pl, [&](Plane* o, const Plane* i) { s.TransformPlane(o, i, &a); });
    Vector3 v3 = r.V3();
    ExpectAliasSafe(v3, [&](Vector3* o, const Vector3* i) { s.TransformPoint3(o, i, &a); });
    ExpectAliasSafe(v3, [&](Vector3* o, const Vector3* i) { s.TransformDirection3(o, i, &a); });
    ExpectAliasSafe(v3, [&](Vector3* o, const Vector3* i) { s.NormalizeVector3(o, i); });
  }
}

TEST(Products, EveryFormAgreesWithThePlainProducts) {
  Random r;
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    for (int i = 0; i < 50; ++i) {
      Matrix a = r.M(), b = r.M(), x, y;
      P.MultiplyMatrix(&x, &a, &b);
      s.MultiplyMatrix(&y, &a, &b);
      ASSERT_TRUE(FloatsClose(x, y, 1e-5f, 1e-4f));
      P.MultiplyMatrixTransposed(&x, &a, &b);
      s.MultiplyMatrixTransposed(&y, &a, &b);
      ASSERT_TRUE(FloatsClose(x, y, 1e-5f, 1e-4f));
      Vector2 v2 = r.V2();
      Vector3 v3 = r.V3();
      Vector4 v4 = r.V4(), o1, o2;
      P.TransformVector2(&o1, &v2, &a);
      s.TransformVector2(&o2, &v2, &a);
      ASSERT_TRUE(FloatsClose(o1, o2, 1e-5f, 1e-4f));
      P.TransformVector3(&o1, &v3, &a);
      s.TransformVector3(&o2, &v3, &a);
      ASSERT_TRUE(FloatsClose(o1, o2, 1e-5f, 1e-4f));
      P.TransformVector4(&o1, &v4, &a);
      s.TransformVector4(&o2, &v4, &a);
      ASSERT_TRUE(FloatsClose(o1, o2, 1e-5f, 1e-4f));
      Vector2 d1, d2;
      P.TransformDirection2(&d1, &v2, &a);
      s.TransformDirection2(&d2, &v2, &a);
      ASSERT_TRUE(FloatsClose(d1, d2, 1e-5f, 1e-4f));
      P.TransformPoint2(&d1, &v2, &a);
      s.TransformPoint2(&d2, &v2, &a);
      ASSERT_TRUE(FloatsClose(d1, d2, 1e-4f, 1e-4f));
      Vector3 e1, e2;
      P.TransformDirection3(&e1, &v3, &a);
      s.TransformDirection3(&e2, &v3, &a);
      ASSERT_TRUE(FloatsClose(e1, e2, 1e-5f, 1e-4f));
      P.TransformPoint3(&e1, &v3, &a);
      s.TransformPoint3(&e2, &v3, &a);
      ASSERT_TRUE(FloatsClose(e1, e2, 1e-4f, 1e-4f));
      Plane pl = {v4.x, v4.y, v4.z, v4.w}, p1, p2;
      P.TransformPlane(&p1, &pl, &a);
      s.TransformPlane(&p2, &pl, &a);
      ASSERT_TRUE(FloatsClose(p1, p2, 1e-5f, 1e-4f));
      Vector4 u = r.V4(), w = r.V4();
      P.CrossVector4(&o1, &v4, &u, &w);
      s.CrossVector4(&o2, &v4, &u, &w);
      ASSERT_TRUE(FloatsClose(o1, o2, 1e-4f, 1e-2f));
      // The 4-D cross product is orthogonal to its three arguments.
      for (const Vector4* g : {&v4, &u, &w}) {
        float dot = o1.x * g->x + o1.y * g->y + o1.z * g->z + o1.w * g->w;
        EXPECT_NEAR(dot, 0.0f, 0.5f);
      }
    }
  }
}

// Fills `count` elements of T at `stride` bytes (with the gaps filled by a marker) from values.
template <class T>
std::vector<unsigned char> Strided(const std::vector<T>& values, uint32_t stride) {
  std::vector<unsigned char> bytes(values.size() * stride + 3, 0xCD);
  for (size_t i = 0; i < values.size(); ++i)
    std::memcpy(bytes.data() + 1 + i * stride, &values[i], sizeof(T));
  return bytes;
}
template <class T>
T At(const std::vector<unsigned char>& bytes, uint32_t stride, size_t i) {
  T v;
  std::memcpy(&v, bytes.data() + 1 + i * stride, sizeof(T));
  return v;
}

// Runs an array form on odd strides and odd offsets, and checks each element against the single
// form and that the bytes between elements are left alone.
template <class In, class Out, class ArrayOp, class SingleOp>
void CheckArrayForm(const std::vector<In>& input, ArrayOp arrayOp, SingleOp singleOp,
                    float rel = 1e-5f) {
  const uint32_t inStride = sizeof(In) + 5, outStride = sizeof(Out) + 3;
  std::vector<unsigned char> in = Strided(input, inStride);
  std::vector<unsigned char> out(input.size() * outStride + 3, 0xAB);
  auto* outFirst = reinterpret_cast<Out*>(out.data() + 1);
  EXPECT_EQ(arrayOp(outFirst, outStride, reinterpret_cast<const In*>(in.data() + 1), inStride,
                    static_cast<uint32_t>(input.size())),
            outFirst);
  for (size_t i = 0; i < input.size(); ++i) {
    Out expected;
    singleOp(&expected, &input[i]);
    ASSERT_TRUE(FloatsClose(At<Out>(out, outStride, i), expected, rel, 1e-4f)) << "element " << i;
    for (uint32_t g = sizeof(Out); g < outStride; ++g) ASSERT_EQ(out[1 + i * outStride + g], 0xAB);
  }
  EXPECT_EQ(out[0], 0xAB);
  // In place with equal strides (input stride wide enough for the output element).
  std::vector<unsigned char> same = Strided(input, inStride + sizeof(Out));
  const uint32_t sameStride = inStride + sizeof(Out);
  arrayOp(reinterpret_cast<Out*>(same.data() + 1), sameStride,
          reinterpret_cast<const In*>(same.data() + 1), sameStride,
          static_cast<uint32_t>(input.size()));
  for (size_t i = 0; i < input.size(); ++i) {
    Out expected;
    singleOp(&expected, &input[i]);
    ASSERT_TRUE(FloatsClose(At<Out>(same, sameStride, i), expected, rel, 1e-4f));
  }
  // Packed records, the stream layout of whole-array loads; the byte after the last element must
  // stay untouched.
  std::vector<unsigned char> packedIn = Strided(input, sizeof(In));
  std::vector<unsigned char> packedOut(input.size() * sizeof(Out) + 3, 0xAB);
  arrayOp(reinterpret_cast<Out*>(packedOut.data() + 1), sizeof(Out),
          reinterpret_cast<const In*>(packedIn.data() + 1), sizeof(In),
          static_cast<uint32_t>(input.size()));
  for (size_t i = 0; i < input.size(); ++i) {
    Out expected;
    singleOp(&expected, &input[i]);
    ASSERT_TRUE(FloatsClose(At<Out>(packedOut, sizeof(Out), i), expected, rel, 1e-4f));
  }
  EXPECT_EQ(packedOut[1 + input.size() * sizeof(Out)], 0xAB);
}

TEST(ArrayForms, MatchTheSingleFormsWithOddStrides) {
  Random r;
  Matrix m = r.M();
  m.m[0][3] = 0.01f;  // make w vary so the point forms divide
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    for (uint32_t n : {0u, 1u, 3u, 4u, 7u, 33u}) {
      std::vector<Vector2> v2(n);
      std::vector<Vector3> v3(n);
      std::vector<Vector4> v4(n);
      std::vector<Plane> pl(n);
      for (uint32_t i = 0; i < n; ++i) {
        v2[i] = r.V2();
        v3[i] = r.V3();
        v4[i] = r.V4();
        pl[i] = {v4[i].x, v4[i].y, v4[i].z, v4[i].w};
      }
      // Each array form against its single plain form.
#define LYR_CHECK_ARRAY(In, Out, values, Name, rel)                    \
  CheckArrayForm<In, Out>(                                             \
      values,                                                          \
      [&](Out* o, uint32_t os, const In* i, uint32_t is, uint32_t c) { \
        return s.Name##Array(o, os, i, is, &m, c);                     \
      },                                                               \
      [&](Out* o, const In* i) { P.Name(o, i, &m); }, rel)
      LYR_CHECK_ARRAY(Vector2, Vector4, v2, TransformVector2, 1e-5f);
      LYR_CHECK_ARRAY(Vector2, Vector2, v2, TransformPoint2, 1e-4f);
      LYR_CHECK_ARRAY(Vector2, Vector2, v2, TransformDirection2, 1e-5f);
      LYR_CHECK_ARRAY(Vector3, Vector4, v3, TransformVector3, 1e-5f);
      LYR_CHECK_ARRAY(Vector3, Vector3, v3, TransformPoint3, 1e-4f);
      LYR_CHECK_ARRAY(Vector3, Vector3, v3, TransformDirection3, 1e-5f);
      LYR_CHECK_ARRAY(Vector4, Vector4, v4, TransformVector4, 1e-5f);
      LYR_CHECK_ARRAY(Plane, Plane, pl, TransformPlane, 1e-5f);
#undef LYR_CHECK_ARRAY
    }
  }
}

TEST(Projection, UnprojectUndoesProjectAndArraysMatch) {
  Random r;
  Viewport vp = {10, 20, 640, 480, 0.1f, 0.9f};
  Matrix world, view, proj;
  P.BuildRotationYawPitchRoll(&world, 0.3f, -0.2f, 0.5f);
  world.m[3][0] = 1;
  P.BuildTranslation(&view, 0, 0, 10);
  proj = {{{1.5f, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 1.01f, 1}, {0, 0, -0.1f, 0}}};
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    std::vector<Vector3> pts(9), projected(9), back(9);
    for (auto& p : pts) p = r.V3(3);
    for (int i = 0; i < 9; ++i) {
      s.ProjectPoint3(&projected[i], &pts[i], &vp, &proj, &view, &world);
      s.UnprojectPoint3(&back[i], &projected[i], &vp, &proj, &view, &world);
      EXPECT_TRUE(FloatsClose(back[i], pts[i], 1e-3f, 1e-3f));
      EXPECT_GE(projected[i].z, vp.minZ - 1e-3f);
    }
    std::vector<Vector3> arr(9), arrBack(9);
    s.ProjectPoint3Array(arr.data(), 12, pts.data(), 12, &vp, &proj, &view, &world, 9);
    s.UnprojectPoint3Array(arrBack.data(), 12, arr.data(), 12, &vp, &proj, &view, &world, 9);
    for (int i = 0; i < 9; ++i) {
      EXPECT_TRUE(FloatsClose(arr[i], projected[i], 1e-4f, 1e-3f));
      EXPECT_TRUE(FloatsClose(arrBack[i], back[i], 1e-3f, 1e-3f));
    }
    // Without matrices or viewport the point passes through; a singular combination leaves the
    // mapped-back point untransformed in both forms.
    Vector3 o;
    s.ProjectPoint3(&o, &pts[0], nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(SameBits(o, pts[0]));
    Matrix zero = {};
    s.UnprojectPoint3(&o, &pts[0], nullptr, &zero, nullptr, nullptr);
    EXPECT_TRUE(SameBits(o, pts[0]));
    s.UnprojectPoint3Array(&o, 12, &pts[0], 12, nullptr, &zero, nullptr, nullptr, 1);
    EXPECT_TRUE(SameBits(o, pts[0]));
  }
}

TEST(Rotations, ConventionsAgreeOnRandomInputs) {
  Random r(99);
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    for (int i = 0; i < 100; ++i) {
      Vector3 axis = r.V3();
      float angle = r.Uniform(-3, 3);
      Matrix ma, mq, mypr, myq;
      Quaternion q;
      s.BuildRotationAxis(&ma, &axis, angle);
      s.QuaternionFromAxisAngle(&q, &axis, angle);
      s.MatrixFromQuaternion(&mq, &q);
      ASSERT_TRUE(FloatsClose(ma, mq, 1e-4f, 1e-4f));
      // Back from the matrix: the same rotation (q or -q).
      Quaternion back;
      s.QuaternionFromMatrix(&back, &mq);
      float dot = back.x * q.x + back.y * q.y + back.z * q.z + back.w * q.w;
      ASSERT_NEAR(std::fabs(dot), 1.0f, 1e-3f);
      // Yaw-pitch-roll: roll about z, then pitch about x, then yaw about y.
      float yaw = r.Uniform(-3, 3), pitch = r.Uniform(-3, 3), roll = r.Uniform(-3, 3);
      Quaternion qypr;
      s.QuaternionFromYawPitchRoll(&qypr, yaw, pitch, roll);
      s.MatrixFromQuaternion(&myq, &qypr);
      s.BuildRotationYawPitchRoll(&mypr, yaw, pitch, roll);
      ASSERT_TRUE(FloatsClose(mypr, myq, 1e-4f, 1e-4f));
      Matrix rz, rx, ry, prod;
      s.BuildRotationZ(&rz, roll);
      s.BuildRotationX(&rx, pitch);
      s.BuildRotationY(&ry, yaw);
      P.MultiplyMatrix(&prod, &rz, &rx);
      P.MultiplyMatrix(&prod, &prod, &ry);
      ASSERT_TRUE(FloatsClose(prod, mypr, 1e-4f, 1e-4f));
      // Quaternion product order matches matrix product order.
      Quaternion qa, qprod;
      Matrix mqa, mprod, mcomp;
      s.QuaternionFromAxisAngle(&qa, &axis, -angle * 0.7f);
      s.MultiplyQuaternion(&qprod, &q, &qa);
      s.MatrixFromQuaternion(&mqa, &qa);
      s.MatrixFromQuaternion(&mprod, &qprod);
      P.MultiplyMatrix(&mcomp, &mq, &mqa);
      ASSERT_TRUE(FloatsClose(mprod, mcomp, 1e-4f, 1e-4f));
    }
    // Single-axis builders rotate the unit vectors the documented way.
    Matrix m;
    Vector3 x = {1, 0, 0}, o;
    s.BuildRotationZ(&m, 1.5707964f);
    P.TransformDirection3(&o, &x, &m);
    EXPECT_TRUE(FloatsClose(o, Vector3{0, 1, 0}, 1e-5f, 1e-6f));
  }
}

TEST(QuaternionFromMatrix, BranchChoiceAndTies) {
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Matrix m;
    Quaternion q;
    // 180 degrees about x: trace -1, the x branch.
    s.BuildRotationX(&m, 3.14159265f);
    s.QuaternionFromMatrix(&q, &m);
    EXPECT_TRUE(FloatsClose(q, Quaternion{1, 0, 0, 0}, 1e-5f, 1e-5f));
    // D0 = D1 (both -1, D2 = -1 too): ties keep x.
    Matrix zero = {};
    s.QuaternionFromMatrix(&q, &zero);
    EXPECT_TRUE(FloatsClose(q, Quaternion{0.5f, 0, 0, 0}));
    // D0 = D1 > D2: x again; D2 strictly largest: z.
    Matrix tie = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, -3, 0}, {0, 0, 0, 1}}};
    s.QuaternionFromMatrix(&q, &tie);
    EXPECT_GT(q.x, 0.0f);
    EXPECT_EQ(q.y, 0.0f);
    s.BuildRotationZ(&m, 3.14159265f);
    s.QuaternionFromMatrix(&q, &m);
    EXPECT_TRUE(FloatsClose(q, Quaternion{0, 0, 1, 0}, 1e-5f, 1e-5f));
    s.BuildRotationY(&m, 3.14159265f);
    s.QuaternionFromMatrix(&q, &m);
    EXPECT_TRUE(FloatsClose(q, Quaternion{0, 1, 0, 0}, 1e-5f, 1e-5f));
  }
}

TEST(Slerp, ShorterArcAndLinearFallback) {
  Random r;
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Quaternion q = r.UnitQ(), neg = {-q.x, -q.y, -q.z, -q.w}, out;
    s.Slerp(&out, &q, &neg, 0.5f);
    EXPECT_TRUE(FloatsClose(out, q, 1e-5f, 1e-6f));
    // Nearly parallel (1 - dot = 2^-23): linear weights, exactly (1-t)q1 + t q2.
    Quaternion a = {0, 0, 0, 1}, b = {0, 0, 0, 0.9999999f};
    s.Slerp(&out, &a, &b, 0.25f);
    EXPECT_FLOAT_EQ(out.w, 0.75f + 0.25f * 0.9999999f);
    // Ordinary case: a quarter of the way between two rotations about z.
    Quaternion z0 = {0, 0, 0, 1}, z90 = {0, 0, std::sin(0.7853982f), std::cos(0.7853982f)};
    s.Slerp(&out, &z0, &z90, 0.5f);
    EXPECT_TRUE(FloatsClose(out, Quaternion{0, 0, std::sin(0.3926991f), std::cos(0.3926991f)},
                            1e-5f, 1e-6f));
    // Squad meets its end points.
    Quaternion c = r.UnitQ(), ea, eb, ec;
    s.PrepareSquadControls(&ea, &eb, &ec, &z0, &q, &c, &z90);
    s.Squad(&out, &q, &ea, &eb, &ec, 0.0f);
    EXPECT_TRUE(FloatsClose(out, q, 1e-4f, 1e-5f));
    s.Squad(&out, &q, &ea, &eb, &ec, 1.0f);
    float dot = out.x * c.x + out.y * c.y + out.z * c.z + out.w * c.w;
    EXPECT_NEAR(std::fabs(dot), 1.0f, 1e-4f);
    // Barycentric: weights near zero return q1; f = 1 gives q2.
    s.BarycentricQuaternion(&out, &q, &c, &z90, 1e-9f, -1e-9f);
    EXPECT_TRUE(SameBits(out, q));
    s.BarycentricQuaternion(&out, &q, &c, &z90, 1.0f, 0.0f);
    dot = out.x * c.x + out.y * c.y + out.z * c.z + out.w * c.w;
    EXPECT_NEAR(std::fabs(dot), 1.0f, 1e-4f);
  }
}

// The blend weights against the same formula evaluated in double from the same float cosine,
// over random rotation pairs (a quarter of them nearly parallel) and weights inside and outside
// [0, 1]. Inside, the error is measured in ulps of each weight; outside, where a sine may pass
// through zero, in ulps of the larger of the weight and one.
TEST(Slerp, WeightsAgreeWithDoubleEvaluation) {
  Random r(99);
  auto ulps = [](float got, double want, double scale) {
    int e;
    std::frexp(scale, &e);
    return std::fabs(double{got} - want) / std::ldexp(1.0, e - 24);
  };
  double worstInside = 0.0, worstOutside = 0.0, worstOutput = 0.0;
  // A million cases natively; the 32-bit build runs emulated, where an eighth takes as long.
  const int cases = UINTPTR_MAX == 0xFFFFFFFFu ? 1 << 17 : 1 << 20;
  for (int i = 0; i < cases; ++i) {
    const Quaternion a = r.UnitQ();
    Quaternion b = r.UnitQ();
    if (i % 4 == 1) {
      const float d = i % 8 == 1 ? 1e-3f : 2e-4f;
      b = {a.x + r.Uniform(-d, d), a.y + r.Uniform(-d, d), a.z, a.w + r.Uniform(-d, d)};
    }
    const float c = std::fabs(a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w);
    if (!(1.0f - c > kNearlyEqualTolerance)) continue;
    const bool inside = i % 16 != 0;
    float t = inside ? r.Uniform(0.0f, 1.0f) : r.Uniform(-2.0f, 3.0f);
    if (i % 64 == 2) t = static_cast<float>(i / 64 % 3) * 0.5f;  // 0, 0.5 and 1 exactly
    float k1, k2;
    mathutil::SlerpWeights(c, t, &k1, &k2);
    const double s = std::sqrt(1.0 - double{c} * c), theta = std::atan2(s, double{c});
    const double w1 = std::sin((1.0 - t) * theta) / s, w2 = std::sin(t * theta) / s;
    if (inside) {
      worstInside = std::max({worstInside, ulps(k1, w1, w1), ulps(k2, w2, w2)});
    } else {
      worstOutside = std::max({worstOutside, ulps(k1, w1, std::max(std::fabs(w1), 1.0)),
                               ulps(k2, w2, std::max(std::fabs(w2), 1.0))});
    }
    // The blended rotation itself, for rotations given as unit quaternions.
    if (inside && i % 4 == 3) {
      Quaternion out;
      P.Slerp(&out, &a, &b, t);
      const double sign = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w >= 0.0f ? 1.0 : -1.0;
      const float got[4] = {out.x, out.y, out.z, out.w};
      const float qa[4] = {a.x, a.y, a.z, a.w}, qb[4] = {b.x, b.y, b.z, b.w};
      for (int k = 0; k < 4; ++k) {
        worstOutput = std::max(worstOutput, ulps(got[k], w1 * qa[k] + sign * w2 * qb[k], 1.0));
      }
    }
  }
  EXPECT_LE(worstInside, 6.0);
  EXPECT_LE(worstOutside, 8.0);
  EXPECT_LE(worstOutput, 6.0);
  RecordProperty("worst_inside_ulps", std::to_string(worstInside));
  RecordProperty("worst_outside_ulps", std::to_string(worstOutside));
  RecordProperty("worst_output_ulps", std::to_string(worstOutput));
}

// The blends run side by side give the bits of one Slerp at a time, whatever the lane a job lands
// in: ordinary and nearly parallel pairs, opposite hemispheres, unnormalised and NaN inputs, and
// weights at, inside and outside [0, 1] (which send a whole batch to the scalar form). Outputs
// may be one of their own inputs.
TEST(Slerp, BatchedBlendsAreBitIdenticalToSingleOnes) {
  Random r(5);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (uint32_t count = 0; count < 40; ++count) {
    for (int round = 0; round < 60; ++round) {
      std::vector<Quaternion> a(count), b(count), out(count), want(count);
      std::vector<mathutil::SlerpJob> jobs(count);
      for (uint32_t i = 0; i < count; ++i) {
        a[i] = r.UnitQ();
        b[i] = r.UnitQ();
        const int kind = (round * 7 + static_cast<int>(i)) % 11;
        if (kind == 1) b[i] = {a[i].x, a[i].y, a[i].z, a[i].w * 0.9999999f};
        if (kind == 2) b[i] = {-a[i].x, -a[i].y, -a[i].z, -a[i].w};
        if (kind == 3) b[i] = {3 * b[i].x, 0.5f * b[i].y, b[i].z, 2 * b[i].w};
        if (kind == 4 && round % 5 == 0) a[i].y = nan;
        float t = r.Uniform(0.0f, 1.0f);
        if (kind == 5) t = static_cast<float>(round % 3) * 0.5f;
        if (kind == 6 && round % 4 == 0) t = round % 8 ? r.Uniform(-2.0f, -0.01f) : 1.5f;
        if (kind == 7 && round % 9 == 0) t = nan;
        P.Slerp(&want[i], &a[i], &b[i], t);
        const bool inPlace = kind == 8;
        if (inPlace) out[i] = a[i];
        jobs[i] = {&out[i], inPlace ? &out[i] : &a[i], &b[i], t};
      }
      const std::vector<Quaternion> start = out;
      for (auto lanes : {mathutil::SlerpLanes::kScalar, mathutil::SlerpLanes::kSse2,
                         mathutil::SlerpLanes::kAvx}) {
        out = start;
        if (!mathutil::SlerpJobsUsing(lanes, jobs.data(), count)) continue;
        for (uint32_t i = 0; i < count; ++i) {
          ASSERT_TRUE(SameBits(out[i], want[i]))
              << "lanes " << int(lanes) << " count " << count << " round " << round << " job " << i;
        }
      }
      out = start;
      mathutil::SlerpJobs(jobs.data(), count);
      for (uint32_t i = 0; i < count; ++i) ASSERT_TRUE(SameBits(out[i], want[i])) << i;
    }
  }
}

#if LYR_SSE2_LANES
// The moves between records and lanes of one lane set: sixteen floats of each of eight records,
// read at any float offset, stored back as matrices for the lanes of a mask; and lane masks made
// from bits and read back.
#define LYR_LANE_MOVES(attributes)                                                     \
  attributes void RoundTrip(const float* const* src, float* const* dst, int lanes) {   \
    V m[16];                                                                           \
    for (int g = 0; g < 4; ++g) {                                                      \
      LoadColumns(src, 4 * g, &m[4 * g], &m[4 * g + 1], &m[4 * g + 2], &m[4 * g + 3]); \
    }                                                                                  \
    StoreMatrices(dst, lanes, m);                                                      \
  }                                                                                    \
  attributes int MaskRoundTrip(int bits) {                                             \
    return Mask(MaskOf(bits));                                                         \
  }
namespace sse2_moves {
using namespace mathutil::lanes::sse2;
LYR_LANE_MOVES(static)
}  // namespace sse2_moves
#if LYR_AVX_LANES
namespace avx_moves {
using namespace mathutil::lanes::avx;
LYR_LANE_MOVES(__attribute__((target("avx"))) static)
}  // namespace avx_moves
#endif
#undef LYR_LANE_MOVES

// Every lane set moves each record to its own lane and back, writes exactly the lanes of the mask
// (output by output, so that two lanes on one matrix leave the later one), and keeps lane k at bit
// k of a mask.
TEST(Lanes, RecordsReachTheirLanesAndOnlyTheMaskedMatricesAreWritten) {
  struct Set {
    void (*roundTrip)(const float* const*, float* const*, int);
    int (*mask)(int);
  };
  std::vector<Set> sets = {{sse2_moves::RoundTrip, sse2_moves::MaskRoundTrip}};
#if LYR_AVX_LANES
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx"))
    sets.push_back({avx_moves::RoundTrip, avx_moves::MaskRoundTrip});
#endif
  Random r(17);
  for (const Set& set : sets) {
    for (int bits = 0; bits < 256; ++bits) {
      ASSERT_EQ(set.mask(bits), bits);
      std::vector<float> in(8 * 21), out(9 * 16, -7.0f), want(out);
      for (float& f : in) f = r.Uniform(-5, 5);
      const float* src[8];
      float* dst[8];
      for (int k = 0; k < 8; ++k) {
        src[k] = &in[21 * k + k % 5];  // any offset, unaligned
        // Sometimes lanes 5 and 6 share one matrix.
        const int slot = k == 6 && bits % 3 == 0 ? 5 : k;
        dst[k] = &out[16 * slot];
        if (bits >> k & 1) std::copy(src[k], src[k] + 16, &want[16 * slot]);
      }
      set.roundTrip(src, dst, bits);
      ASSERT_EQ(out, want) << "lanes " << bits;
    }
  }
}
#endif

TEST(QuaternionAlgebra, InverseLogAndExp) {
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Quaternion q = {1, 2, 3, 4}, inv, prod;
    s.InvertQuaternion(&inv, &q);
    s.MultiplyQuaternion(&prod, &q, &inv);
    EXPECT_TRUE(FloatsClose(prod, Quaternion{0, 0, 0, 1}, 1e-5f, 1e-6f));
    // Below the 2^-63 floor: zeros (the floor is not FloatMin).
    Quaternion tiny = {1e-10f, 0, 0, 0};
    s.InvertQuaternion(&inv, &tiny);
    EXPECT_TRUE(SameBits(inv, Quaternion{0, 0, 0, 0}));
    Quaternion small = {1e-9f, 0, 0, 0};
    s.InvertQuaternion(&inv, &small);
    EXPECT_LT(inv.x, -1e8f);
    // exp(log(q)) = q for unit q with w < 1; the identity logs to zero vector.
    Quaternion u = {0.1f, -0.5f, 0.3f, 0}, l, e;
    u.w = std::sqrt(1 - u.x * u.x - u.y * u.y - u.z * u.z);
    s.LogQuaternion(&l, &u);
    EXPECT_EQ(l.w, 0.0f);
    s.ExpQuaternion(&e, &l);
    EXPECT_TRUE(FloatsClose(e, u, 1e-4f, 1e-5f));
    Quaternion id = {0, 0, 0, 1};
    s.LogQuaternion(&l, &id);
    EXPECT_TRUE(SameBits(l, Quaternion{0, 0, 0, 0}));
    s.ExpQuaternion(&e, &l);
    EXPECT_TRUE(SameBits(e, id));
    Vector3 axis;
    float angle;
    s.AxisAngleFromQuaternion(&u, &axis, &angle);
    EXPECT_TRUE(SameBits(axis, Vector3{u.x, u.y, u.z}));
    EXPECT_FLOAT_EQ(angle, 2 * std::acos(u.w));
    s.AxisAngleFromQuaternion(&u, nullptr, nullptr);
  }
}

TEST(Planes, IntersectionAndConstruction) {
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Plane ground = {0, 1, 0, -2};  // y = 2
    Vector3 a = {1, 0, 1}, b = {1, 4, 1}, out = {7, 7, 7};
    EXPECT_EQ(s.IntersectPlaneLine(&out, &ground, &a, &b), &out);
    EXPECT_TRUE(FloatsClose(out, Vector3{1, 2, 1}));
    Vector3 c = {5, 0, 1}, kept = {7, 7, 7};
    out = kept;
    EXPECT_EQ(s.IntersectPlaneLine(&out, &ground, &a, &c), nullptr);
    EXPECT_TRUE(SameBits(out, kept));
    Plane inf = {0, 1, 0, std::numeric_limits<float>::infinity()};
    EXPECT_EQ(s.IntersectPlaneLine(&out, &inf, &a, &b), nullptr);
    EXPECT_TRUE(SameBits(out, kept));
    Plane p;
    Vector3 n = {0, 2, 0};
    s.PlaneThroughPoint(&p, &a, &n);
    EXPECT_TRUE(SameBits(p, Plane{0, 2, 0, -0.0f}));
    Vector3 p1 = {0, 2, 0}, p2 = {1, 2, 0}, p3 = {0, 2, 1};
    s.PlaneThroughPoints(&p, &p1, &p2, &p3);
    EXPECT_TRUE(FloatsClose(p, Plane{0, -1, 0, 2}));  // (p1 - p2) x (p1 - p3)
  }
}

TEST(Composition, TransformationMatchesTheExplicitProduct) {
  Random r(5);
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Vector3 sc = r.V3(), sv = {2, 3, 0.5f}, rc = r.V3(), t = r.V3();
    Quaternion sr = r.UnitQ(), rot = r.UnitQ();
    Matrix out, expected, tmp, rs, rsT, sm, rm;
    s.BuildTransformation(&out, &sc, &sr, &sv, &rc, &rot, &t);
    // T(-sc) Rs^T S Rs T(sc) T(-rc) R T(rc) T(t)
    P.MatrixFromQuaternion(&rs, &sr);
    P.TransposeMatrix(&rsT, &rs);
    P.BuildScaling(&sm, sv.x, sv.y, sv.z);
    P.MatrixFromQuaternion(&rm, &rot);
    P.BuildTranslation(&expected, -sc.x, -sc.y, -sc.z);
    for (const Matrix* m : {&rsT, &sm, &rs}) P.MultiplyMatrix(&expected, &expected, m);
    P.BuildTranslation(&tmp, sc.x - rc.x, sc.y - rc.y, sc.z - rc.z);
    P.MultiplyMatrix(&expected, &expected, &tmp);
    P.MultiplyMatrix(&expected, &expected, &rm);
    P.BuildTranslation(&tmp, rc.x + t.x, rc.y + t.y, rc.z + t.z);
    P.MultiplyMatrix(&expected, &expected, &tmp);
    EXPECT_TRUE(FloatsClose(out, expected, 1e-4f, 1e-4f));
    // Without scaling the scaling centre and rotation are ignored.
    s.BuildTransformation(&out, &sc, &sr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(SameBits(out, mathutil::kIdentity));
    // The affine form is the uniform-scaling special case.
    Matrix aff, full;
    Vector3 uni = {1.5f, 1.5f, 1.5f};
    s.BuildAffineTransformation(&aff, 1.5f, &rc, &rot, &t);
    s.BuildTransformation(&full, nullptr, nullptr, &uni, &rc, &rot, &t);
    EXPECT_TRUE(FloatsClose(aff, full, 1e-6f, 1e-6f));
  }
}

TEST(ShadowAndReflection, FlattenAndMirror) {
  Random r(3);
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Plane plane = {0, 2, 0, -4};  // y = 2, normalised inside
    Vector4 light = {1, 10, 2, 1};
    Matrix shadow, mirror;
    s.BuildShadow(&shadow, &light, &plane);
    s.BuildReflection(&mirror, &plane);
    for (int i = 0; i < 10; ++i) {
      Vector3 p = r.V3(), o;
      P.TransformPoint3(&o, &p, &shadow);
      EXPECT_NEAR(o.y, 2.0f, 1e-3f);
      P.TransformPoint3(&o, &p, &mirror);
      EXPECT_TRUE(FloatsClose(o, Vector3{p.x, 4 - p.y, p.z}, 1e-5f, 1e-4f));
    }
  }
}

TEST(Splines, EndPointsAndTangents) {
  Random r;
  for (const auto& f : AllForms()) {
    SCOPED_TRACE(f.name);
    const FastFunctionSet& s = f.set;
    Vector4 p0 = r.V4(), p1 = r.V4(), p2 = r.V4(), p3 = r.V4(), o, e;
    s.HermiteVector4(&o, &p1, &p0, &p2, &p3, 0.0f);
    EXPECT_TRUE(FloatsClose(o, p1));
    s.HermiteVector4(&o, &p1, &p0, &p2, &p3, 1.0f);
    EXPECT_TRUE(FloatsClose(o, p2));
    s.CatmullRomVector4(&o, &p0, &p1, &p2, &p3, 1.0f);
    EXPECT_TRUE(FloatsClose(o, p2));
    s.BarycentricVector4(&o, &p0, &p1, &p2, 0.0f, 1.0f);
    EXPECT_TRUE(FloatsClose(o, p2));
    // Every dimension agrees with the plain form at interior parameters.
    for (float t : {0.25f, 0.6f}) {
      P.HermiteVector4(&e, &p0, &p1, &p2, &p3, t);
      s.HermiteVector4(&o, &p0, &p1, &p2, &p3, t);
      EXPECT_TRUE(FloatsClose(o, e, 1e-5f, 1e-4f));
      P.CatmullRomVector4(&e, &p0, &p1, &p2, &p3, t);
      s.CatmullRomVector4(&o, &p0, &p1, &p2, &p3, t);
      EXPECT_TRUE(FloatsClose(o, e, 1e-5f, 1e-4f));
      P.BarycentricVector4(&e, &p0, &p1, &p2, t, 1 - t);
      s.BarycentricVector4(&o, &p0, &p1, &p2, t, 1 - t);
      EXPECT_TRUE(FloatsClose(o, e, 1e-5f, 1e-4f));
      Vector3 a = r.V3(), b = r.V3(), c = r.V3(), d = r.V3(), o3, e3;
      P.HermiteVector3(&e3, &a, &b, &c, &d, t);
      s.HermiteVector3(&o3, &a, &b, &c, &d, t);
      EXPECT_TRUE(FloatsClose(o3, e3, 1e-5f, 1e-4f));
      P.CatmullRomVector3(&e3, &a, &b, &c, &d, t);
      s.CatmullRomVector3(&o3, &a, &b, &c, &d, t);
      EXPECT_TRUE(FloatsClose(o3, e3, 1e-5f, 1e-4f));
      P.BarycentricVector3(&e3, &a, &b, &c, t, 0.5f);
      s.BarycentricVector3(&o3, &a, &b, &c, t, 0.5f);
      EXPECT_TRUE(FloatsClose(o3, e3, 1e-5f, 1e-4f));
      Vector2 g = r.V2(), h = r.V2(), k = r.V2(), l = r.V2(), o2, e2;
      P.HermiteVector2(&e2, &g, &h, &k, &l, t);
      s.HermiteVector2(&o2, &g, &h, &k, &l, t);
      EXPECT_TRUE(FloatsClose(o2, e2, 1e-5f, 1e-4f));
      P.CatmullRomVector2(&e2, &g, &h, &k, &l, t);
      s.CatmullRomVector2(&o2, &g, &h, &k, &l, t);
      EXPECT_TRUE(FloatsClose(o2, e2, 1e-5f, 1e-4f));
      P.BarycentricVector2(&e2, &g, &h, &k, t, 0.5f);
      s.BarycentricVector2(&o2, &g, &h, &k, t, 0.5f);
      EXPECT_TRUE(FloatsClose(o2, e2, 1e-5f, 1e-4f));
    }
  }
}

TEST(PublicEntryPoints, CallThroughTheTableAndAllocateNothing) {
  Matrix a, b, out;
  BuildRotationX(&a, 0.5f);
  BuildTranslation(&b, 1, 2, 3);
  uint64_t allocations = test::CountAllocations([&] {
    for (int i = 0; i < 10; ++i) MultiplyMatrix(&out, &a, &b);
  });
  EXPECT_EQ(allocations, 0u);
  Matrix expected;
  P.MultiplyMatrix(&expected, &a, &b);
  EXPECT_TRUE(FloatsClose(out, expected));
  EXPECT_NE(SelectFastFunctions(1), kSelectionPending);
}

}  // namespace
}  // namespace lyr
