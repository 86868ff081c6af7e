// The plain forms of every math operation: the reference that each processor-specific form
// reproduces. Complete, allocation-free and stateless; outputs may alias inputs throughout.
#include <cmath>
#include <cstring>

#include "core/compiler.h"
#include "math/fast_table.h"
#include "math/math_util.h"

namespace lyr {
namespace mathutil {

bool CombineProjection(Matrix* out, const Matrix* projection, const Matrix* view,
                       const Matrix* world) {
  const Matrix* parts[3] = {world, view, projection};
  bool any = false;
  for (const Matrix* p : parts) {
    if (!p) continue;
    if (any)
      plain::MultiplyMatrix(out, out, p);
    else
      *out = *p;
    any = true;
  }
  if (!any) *out = kIdentity;
  return any;
}

Matrix ViewportMatrix(const Viewport& vp) {
  float w = static_cast<float>(vp.width), h = static_cast<float>(vp.height);
  Matrix m = kIdentity;
  m.m[0][0] = w * 0.5f;
  m.m[1][1] = -h * 0.5f;
  m.m[2][2] = vp.maxZ - vp.minZ;
  m.m[3][0] = static_cast<float>(vp.left) + w * 0.5f;
  m.m[3][1] = static_cast<float>(vp.top) + h * 0.5f;
  m.m[3][2] = vp.minZ;
  return m;
}

Matrix InverseViewportMatrix(const Viewport& vp) {
  float w = static_cast<float>(vp.width), h = static_cast<float>(vp.height);
  float depth = vp.maxZ - vp.minZ;
  Matrix m = kIdentity;
  m.m[0][0] = 2.0f / w;
  m.m[1][1] = -2.0f / h;
  m.m[2][2] = 1.0f / depth;
  m.m[3][0] = -static_cast<float>(vp.left) * 2.0f / w - 1.0f;
  m.m[3][1] = static_cast<float>(vp.top) * 2.0f / h + 1.0f;
  m.m[3][2] = -vp.minZ / depth;
  return m;
}

float Adjugate(const Matrix& m, Matrix* adj) {
  const auto& a = m.m;
  float s0 = a[0][0] * a[1][1] - a[1][0] * a[0][1];
  float s1 = a[0][0] * a[1][2] - a[1][0] * a[0][2];
  float s2 = a[0][0] * a[1][3] - a[1][0] * a[0][3];
  float s3 = a[0][1] * a[1][2] - a[1][1] * a[0][2];
  float s4 = a[0][1] * a[1][3] - a[1][1] * a[0][3];
  float s5 = a[0][2] * a[1][3] - a[1][2] * a[0][3];
  float c5 = a[2][2] * a[3][3] - a[3][2] * a[2][3];
  float c4 = a[2][1] * a[3][3] - a[3][1] * a[2][3];
  float c3 = a[2][1] * a[3][2] - a[3][1] * a[2][2];
  float c2 = a[2][0] * a[3][3] - a[3][0] * a[2][3];
  float c1 = a[2][0] * a[3][2] - a[3][0] * a[2][2];
  float c0 = a[2][0] * a[3][1] - a[3][0] * a[2][1];
  auto& b = adj->m;
  b[0][0] = a[1][1] * c5 - a[1][2] * c4 + a[1][3] * c3;
  b[0][1] = -a[0][1] * c5 + a[0][2] * c4 - a[0][3] * c3;
  b[0][2] = a[3][1] * s5 - a[3][2] * s4 + a[3][3] * s3;
  b[0][3] = -a[2][1] * s5 + a[2][2] * s4 - a[2][3] * s3;
  b[1][0] = -a[1][0] * c5 + a[1][2] * c2 - a[1][3] * c1;
  b[1][1] = a[0][0] * c5 - a[0][2] * c2 + a[0][3] * c1;
  b[1][2] = -a[3][0] * s5 + a[3][2] * s2 - a[3][3] * s1;
  b[1][3] = a[2][0] * s5 - a[2][2] * s2 + a[2][3] * s1;
  b[2][0] = a[1][0] * c4 - a[1][1] * c2 + a[1][3] * c0;
  b[2][1] = -a[0][0] * c4 + a[0][1] * c2 - a[0][3] * c0;
  b[2][2] = a[3][0] * s4 - a[3][1] * s2 + a[3][3] * s0;
  b[2][3] = -a[2][0] * s4 + a[2][1] * s2 - a[2][3] * s0;
  b[3][0] = -a[1][0] * c3 + a[1][1] * c1 - a[1][2] * c0;
  b[3][1] = a[0][0] * c3 - a[0][1] * c1 + a[0][2] * c0;
  b[3][2] = -a[3][0] * s3 + a[3][1] * s1 - a[3][2] * s0;
  b[3][3] = a[2][0] * s3 - a[2][1] * s1 + a[2][2] * s0;
  // Expansion along the first column: a[r][0] times its cofactor, which sits at adj[0][r].
  return a[0][0] * b[0][0] + a[1][0] * b[0][1] + a[2][0] * b[0][2] + a[3][0] * b[0][3];
}

namespace {

// sin x for x in [0, pi/2]: an odd minimax polynomial, relative error below 5e-9.
inline float SinQuadrant(float x) {
  const float u = x * x;
  return x * (1.0f + u * (kSinPoly[0] + u * (kSinPoly[1] + u * (kSinPoly[2] + u * kSinPoly[3]))));
}

// atan r for |r| <= tan(pi/8): an odd minimax polynomial, relative error below 1e-9.
inline float AtanEighth(float r) {
  const float u = r * r;
  return r * (1.0f + u * (kAtanPoly[0] +
                          u * (kAtanPoly[1] +
                               u * (kAtanPoly[2] + u * (kAtanPoly[3] + u * kAtanPoly[4])))));
}

// atan2(s, c) for s, c >= 0 and not both zero. The ratio of the smaller to the larger argument
// lies in [0, 1]; above tan(pi/8) it is moved next to pi/4 through atan a/b = pi/4 + atan((a - b)
// / (a + b)), so the polynomial sees at most tan(pi/8). The constants pi/4 and pi/2 are added as a
// float part and the remainder, which keeps the angle within an ulp or so where it is large.
inline float QuadrantAngle(float s, float c) {
  const float lo = s < c ? s : c, hi = s < c ? c : s;
  float a;
  if (lo > kTanEighthPi * hi) {
    a = kQuarterPi + (AtanEighth((lo - hi) / (lo + hi)) + kQuarterPiRest);
  } else {
    a = AtanEighth(lo / hi);
  }
  return s > c ? (kHalfPi - a) + kHalfPiRest : a;
}

// SlerpWeights, inlined into Slerp: a call would cost it the quaternions kept in registers.
LYR_ALWAYS_INLINE void SlerpWeightsInline(float c, float t, float* k1, float* k2) {
  // (1 - c)(1 + c) rather than 1 - c*c: the difference is exact for c near 1, where the square
  // would lose most of the digits of the sine.
  const float s = std::sqrt((1.0f - c) * (1.0f + c));
  const float inv = 1.0f / s;
  if (t >= 0.0f && t <= 1.0f) {
    // Both angles lie in [0, pi/2], where the polynomials hold.
    const float theta = QuadrantAngle(s, c);
    *k1 = SinQuadrant((1.0f - t) * theta) * inv;
    *k2 = SinQuadrant(t * theta) * inv;
  } else {
    // Extrapolation (or a NaN weight) takes the angles anywhere.
    const float theta = std::atan2(s, c);
    *k1 = std::sin((1.0f - t) * theta) * inv;
    *k2 = std::sin(t * theta) * inv;
  }
}

}  // namespace

void SlerpWeights(float c, float t, float* k1, float* k2) {
  SlerpWeightsInline(c, t, k1, k2);
}

}  // namespace mathutil

namespace plain {
namespace {

using mathutil::LoadAt;
using mathutil::StoreAt;

// Normalises n floats: copy when the squared length is within 2^-23 of 1, scale by its reciprocal
// root when above FloatMin, zeros otherwise (zero, tiny and NaN lengths). `scaled` floats are
// multiplied (a plane scales d too, but measures a, b, c only).
void NormalizeFloats(float* out, const float* in, int measured, int scaled) {
  float n = 0;
  for (int i = 0; i < measured; ++i) n += in[i] * in[i];
  if (NearlyEqual(n, 1.0f)) {
    if (out != in) std::memmove(out, in, sizeof(float) * scaled);
  } else if (n > FloatMin) {
    float r = 1.0f / std::sqrt(n);
    for (int i = 0; i < scaled; ++i) out[i] = in[i] * r;
  } else {
    for (int i = 0; i < scaled; ++i) out[i] = 0.0f;
  }
}

// Row vector (x, y, z, w) times m.
inline Vector4 Row(float x, float y, float z, float w, const Matrix& m) {
  const auto& a = m.m;
  return {x * a[0][0] + y * a[1][0] + z * a[2][0] + w * a[3][0],
          x * a[0][1] + y * a[1][1] + z * a[2][1] + w * a[3][1],
          x * a[0][2] + y * a[1][2] + z * a[2][2] + w * a[3][2],
          x * a[0][3] + y * a[1][3] + z * a[2][3] + w * a[3][3]};
}

// Divides by w unless w is within 2^-23 of 1.
inline Vector4 Homogenise(Vector4 r) {
  if (!NearlyEqual(r.w, 1.0f)) {
    float inv = 1.0f / r.w;
    r.x *= inv;
    r.y *= inv;
    r.z *= inv;
  }
  return r;
}

inline Vector3 Sub(const Vector3& a, const Vector3& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline float Dot(const Vector3& a, const Vector3& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vector3 Cross(const Vector3& a, const Vector3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float Dot4(const Quaternion& a, const Quaternion& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
}

// Runs the single form `Single` over each (input, output) element pair of two strided arrays.
template <auto Single, class Out, class In>
inline Out* MapArray(Out* out, uint32_t os, const In* in, uint32_t is, const Matrix* m,
                     uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    In v = LoadAt<In>(in, is, i);
    Out r;
    Single(&r, &v, m);
    StoreAt(out, os, i, r);
  }
  return out;
}

// The spline and barycentric families over N consecutive floats.
template <class V>
V* Hermite(V* out, const V* p1, const V* t1, const V* p2, const V* t2, float s) {
  constexpr int kN = sizeof(V) / sizeof(float);
  float s2 = s * s, s3 = s2 * s;
  float h1 = 2 * s3 - 3 * s2 + 1, h2 = s3 - 2 * s2 + s, h3 = -2 * s3 + 3 * s2, h4 = s3 - s2;
  float a[kN], b[kN], c[kN], d[kN], r[kN];
  std::memcpy(a, p1, sizeof(V));
  std::memcpy(b, t1, sizeof(V));
  std::memcpy(c, p2, sizeof(V));
  std::memcpy(d, t2, sizeof(V));
  for (int i = 0; i < kN; ++i) r[i] = h1 * a[i] + h2 * b[i] + h3 * c[i] + h4 * d[i];
  std::memcpy(out, r, sizeof(V));
  return out;
}

template <class V>
V* CatmullRom(V* out, const V* p0, const V* p1, const V* p2, const V* p3, float s) {
  constexpr int kN = sizeof(V) / sizeof(float);
  float s2 = s * s, s3 = s2 * s;
  float k0 = -s3 + 2 * s2 - s, k1 = 3 * s3 - 5 * s2 + 2, k2 = -3 * s3 + 4 * s2 + s, k3 = s3 - s2;
  float a[kN], b[kN], c[kN], d[kN], r[kN];
  std::memcpy(a, p0, sizeof(V));
  std::memcpy(b, p1, sizeof(V));
  std::memcpy(c, p2, sizeof(V));
  std::memcpy(d, p3, sizeof(V));
  for (int i = 0; i < kN; ++i) r[i] = 0.5f * (k0 * a[i] + k1 * b[i] + k2 * c[i] + k3 * d[i]);
  std::memcpy(out, r, sizeof(V));
  return out;
}

template <class V>
V* Barycentric(V* out, const V* p1, const V* p2, const V* p3, float f, float g) {
  constexpr int kN = sizeof(V) / sizeof(float);
  float a[kN], b[kN], c[kN], r[kN];
  std::memcpy(a, p1, sizeof(V));
  std::memcpy(b, p2, sizeof(V));
  std::memcpy(c, p3, sizeof(V));
  for (int i = 0; i < kN; ++i) r[i] = a[i] + f * (b[i] - a[i]) + g * (c[i] - a[i]);
  std::memcpy(out, r, sizeof(V));
  return out;
}

Quaternion Scaled(const Quaternion& q, float s) {
  return {q.x * s, q.y * s, q.z * s, q.w * s};
}
Quaternion Added(const Quaternion& a, const Quaternion& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w};
}
Quaternion Negated(const Quaternion& q) {
  return {-q.x, -q.y, -q.z, -q.w};
}
float SquaredDistance(const Quaternion& a, const Quaternion& b) {
  Quaternion d = {a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w};
  return Dot4(d, d);
}

// The control point between neighbours: q * exp(-(log(inv q * prev) + log(inv q * next)) / 4).
Quaternion SquadControl(const Quaternion& q, const Quaternion& prev, const Quaternion& next) {
  Quaternion inv, a, b;
  plain::InvertQuaternion(&inv, &q);
  plain::MultiplyQuaternion(&a, &inv, &prev);
  plain::MultiplyQuaternion(&b, &inv, &next);
  plain::LogQuaternion(&a, &a);
  plain::LogQuaternion(&b, &b);
  Quaternion e = Scaled(Added(a, b), -0.25f), r;
  plain::ExpQuaternion(&e, &e);
  plain::MultiplyQuaternion(&r, &q, &e);
  return r;
}

}  // namespace

// ---- Vectors -----------------------------------------------------------------------------------

Vector2* NormalizeVector2(Vector2* out, const Vector2* v) {
  NormalizeFloats(&out->x, &v->x, 2, 2);
  return out;
}
Vector3* NormalizeVector3(Vector3* out, const Vector3* v) {
  NormalizeFloats(&out->x, &v->x, 3, 3);
  return out;
}
Vector4* NormalizeVector4(Vector4* out, const Vector4* v) {
  NormalizeFloats(&out->x, &v->x, 4, 4);
  return out;
}

Vector2* HermiteVector2(Vector2* out, const Vector2* p1, const Vector2* t1, const Vector2* p2,
                        const Vector2* t2, float s) {
  return Hermite(out, p1, t1, p2, t2, s);
}
Vector3* HermiteVector3(Vector3* out, const Vector3* p1, const Vector3* t1, const Vector3* p2,
                        const Vector3* t2, float s) {
  return Hermite(out, p1, t1, p2, t2, s);
}
Vector4* HermiteVector4(Vector4* out, const Vector4* p1, const Vector4* t1, const Vector4* p2,
                        const Vector4* t2, float s) {
  return Hermite(out, p1, t1, p2, t2, s);
}
Vector2* CatmullRomVector2(Vector2* out, const Vector2* p0, const Vector2* p1, const Vector2* p2,
                           const Vector2* p3, float s) {
  return CatmullRom(out, p0, p1, p2, p3, s);
}
Vector3* CatmullRomVector3(Vector3* out, const Vector3* p0, const Vector3* p1, const Vector3* p2,
                           const Vector3* p3, float s) {
  return CatmullRom(out, p0, p1, p2, p3, s);
}
Vector4* CatmullRomVector4(Vector4* out, const Vector4* p0, const Vector4* p1, const Vector4* p2,
                           const Vector4* p3, float s) {
  return CatmullRom(out, p0, p1, p2, p3, s);
}
Vector2* BarycentricVector2(Vector2* out, const Vector2* p1, const Vector2* p2, const Vector2* p3,
                            float f, float g) {
  return Barycentric(out, p1, p2, p3, f, g);
}
Vector3* BarycentricVector3(Vector3* out, const Vector3* p1, const Vector3* p2, const Vector3* p3,
                            float f, float g) {
  return Barycentric(out, p1, p2, p3, f, g);
}
Vector4* BarycentricVector4(Vector4* out, const Vector4* p1, const Vector4* p2, const Vector4* p3,
                            float f, float g) {
  return Barycentric(out, p1, p2, p3, f, g);
}

Vector4* CrossVector4(Vector4* out, const Vector4* pu, const Vector4* pv, const Vector4* pw) {
  Vector4 u = *pu, v = *pv, w = *pw;
  float zw = v.z * w.w - v.w * w.z, yw = v.y * w.w - v.w * w.y, yz = v.y * w.z - v.z * w.y;
  float xw = v.x * w.w - v.w * w.x, xz = v.x * w.z - v.z * w.x, xy = v.x * w.y - v.y * w.x;
  out->x = u.y * zw - u.z * yw + u.w * yz;
  out->y = -(u.x * zw - u.z * xw + u.w * xz);
  out->z = u.x * yw - u.y * xw + u.w * xy;
  out->w = -(u.x * yz - u.y * xz + u.z * xy);
  return out;
}

Vector4* TransformVector2(Vector4* out, const Vector2* v, const Matrix* m) {
  *out = Row(v->x, v->y, 0, 1, *m);
  return out;
}
Vector2* TransformPoint2(Vector2* out, const Vector2* v, const Matrix* m) {
  Vector4 r = Homogenise(Row(v->x, v->y, 0, 1, *m));
  *out = {r.x, r.y};
  return out;
}
Vector2* TransformDirection2(Vector2* out, const Vector2* v, const Matrix* m) {
  Vector4 r = Row(v->x, v->y, 0, 0, *m);
  *out = {r.x, r.y};
  return out;
}
Vector4* TransformVector3(Vector4* out, const Vector3* v, const Matrix* m) {
  *out = Row(v->x, v->y, v->z, 1, *m);
  return out;
}
Vector3* TransformPoint3(Vector3* out, const Vector3* v, const Matrix* m) {
  Vector4 r = Homogenise(Row(v->x, v->y, v->z, 1, *m));
  *out = {r.x, r.y, r.z};
  return out;
}
Vector3* TransformDirection3(Vector3* out, const Vector3* v, const Matrix* m) {
  Vector4 r = Row(v->x, v->y, v->z, 0, *m);
  *out = {r.x, r.y, r.z};
  return out;
}
Vector4* TransformVector4(Vector4* out, const Vector4* v, const Matrix* m) {
  *out = Row(v->x, v->y, v->z, v->w, *m);
  return out;
}

Vector3* ProjectPoint3(Vector3* out, const Vector3* v, const Viewport* vp, const Matrix* proj,
                       const Matrix* view, const Matrix* world) {
  Matrix c;
  mathutil::CombineProjection(&c, proj, view, world);
  Vector3 p;
  plain::TransformPoint3(&p, v, &c);
  if (vp) {
    p.x = static_cast<float>(vp->left) + static_cast<float>(vp->width) * (1.0f + p.x) * 0.5f;
    p.y = static_cast<float>(vp->top) + static_cast<float>(vp->height) * (1.0f - p.y) * 0.5f;
    p.z = vp->minZ + p.z * (vp->maxZ - vp->minZ);
  }
  *out = p;
  return out;
}

Vector3* UnprojectPoint3(Vector3* out, const Vector3* v, const Viewport* vp, const Matrix* proj,
                         const Matrix* view, const Matrix* world) {
  Matrix c;
  bool any = mathutil::CombineProjection(&c, proj, view, world);
  // A singular combination leaves the (viewport-mapped) point untransformed.
  if (any && !plain::InvertMatrix(&c, nullptr, &c)) c = mathutil::kIdentity;
  Vector3 p = *v;
  if (vp) {
    p.x = (p.x - static_cast<float>(vp->left)) / static_cast<float>(vp->width) * 2.0f - 1.0f;
    p.y = -((p.y - static_cast<float>(vp->top)) / static_cast<float>(vp->height) * 2.0f - 1.0f);
    p.z = (p.z - vp->minZ) / (vp->maxZ - vp->minZ);
  }
  plain::TransformPoint3(out, &p, &c);
  return out;
}

Vector4* TransformVector2Array(Vector4* out, uint32_t os, const Vector2* in, uint32_t is,
                               const Matrix* m, uint32_t n) {
  return MapArray<plain::TransformVector2>(out, os, in, is, m, n);
}
Vector2* TransformPoint2Array(Vector2* out, uint32_t os, const Vector2* in, uint32_t is,
                              const Matrix* m, uint32_t n) {
  return MapArray<plain::TransformPoint2>(out, os, in, is, m, n);
}
Vector2* TransformDirection2Array(Vector2* out, uint32_t os, const Vector2* in, uint32_t is,
                                  const Matrix* m, uint32_t n) {
  return MapArray<plain::TransformDirection2>(out, os, in, is, m, n);
}
Vector4* TransformVector3Array(Vector4* out, uint32_t os, const Vector3* in, uint32_t is,
                               const Matrix* m, uint32_t n) {
  return MapArray<plain::TransformVector3>(out, os, in, is, m, n);
}
Vector3* TransformPoint3Array(Vector3* out, uint32_t os, const Vector3* in, uint32_t is,
                              const Matrix* m, uint32_t n) {
  return MapArray<plain::TransformPoint3>(out, os, in, is, m, n);
}
Vector3* TransformDirection3Array(Vector3* out, uint32_t os, const Vector3* in, uint32_t is,
                                  const Matrix* m, uint32_t n) {
  return MapArray<plain::TransformDirection3>(out, os, in, is, m, n);
}
Vector4* TransformVector4Array(Vector4* out, uint32_t os, const Vector4* in, uint32_t is,
                               const Matrix* m, uint32_t n) {
  return MapArray<plain::TransformVector4>(out, os, in, is, m, n);
}

// The array forms fold the viewport mapping into the matrix and run the point-transform array
// through the table, so that they stream at the speed of the processor's form.
Vector3* ProjectPoint3Array(Vector3* out, uint32_t os, const Vector3* in, uint32_t is,
                            const Viewport* vp, const Matrix* proj, const Matrix* view,
                            const Matrix* world, uint32_t n) {
  Matrix c;
  mathutil::CombineProjection(&c, proj, view, world);
  if (vp) {
    Matrix v = mathutil::ViewportMatrix(*vp);
    plain::MultiplyMatrix(&c, &c, &v);
  }
  return lyr::TransformPoint3Array(out, os, in, is, &c, n);
}

Vector3* UnprojectPoint3Array(Vector3* out, uint32_t os, const Vector3* in, uint32_t is,
                              const Viewport* vp, const Matrix* proj, const Matrix* view,
                              const Matrix* world, uint32_t n) {
  Matrix c;
  bool any = mathutil::CombineProjection(&c, proj, view, world);
  if (any && !plain::InvertMatrix(&c, nullptr, &c)) c = mathutil::kIdentity;
  if (vp) {
    Matrix v = mathutil::InverseViewportMatrix(*vp);
    plain::MultiplyMatrix(&c, &v, &c);
  }
  return lyr::TransformPoint3Array(out, os, in, is, &c, n);
}

// ---- Matrices ----------------------------------------------------------------------------------

Matrix* MultiplyMatrix(Matrix* out, const Matrix* pa, const Matrix* pb) {
  Matrix r;
  const auto& a = pa->m;
  const auto& b = pb->m;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      r.m[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j] + a[i][3] * b[3][j];
  *out = r;
  return out;
}

Matrix* MultiplyMatrixTransposed(Matrix* out, const Matrix* a, const Matrix* b) {
  Matrix r;
  plain::MultiplyMatrix(&r, a, b);
  return plain::TransposeMatrix(out, &r);
}

Matrix* TransposeMatrix(Matrix* out, const Matrix* a) {
  Matrix r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.m[i][j] = a->m[j][i];
  *out = r;
  return out;
}

float Determinant4x4(const Matrix* a) {
  Matrix adj;
  return mathutil::Adjugate(*a, &adj);
}

Matrix* InvertMatrix(Matrix* out, float* det, const Matrix* a) {
  Matrix adj;
  float d = mathutil::Adjugate(*a, &adj);
  if (det) *det = d;
  if (d == 0.0f) return nullptr;
  float r = 1.0f / d;
  if (!std::isfinite(r)) return nullptr;
  for (auto& row : adj.m)
    for (float& e : row) e *= r;
  *out = adj;
  return out;
}

Matrix* BuildScaling(Matrix* out, float x, float y, float z) {
  *out = {{{x, 0, 0, 0}, {0, y, 0, 0}, {0, 0, z, 0}, {0, 0, 0, 1}}};
  return out;
}

Matrix* BuildTranslation(Matrix* out, float x, float y, float z) {
  *out = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {x, y, z, 1}}};
  return out;
}

Matrix* BuildRotationX(Matrix* out, float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  *out = {{{1, 0, 0, 0}, {0, c, s, 0}, {0, -s, c, 0}, {0, 0, 0, 1}}};
  return out;
}

Matrix* BuildRotationY(Matrix* out, float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  *out = {{{c, 0, -s, 0}, {0, 1, 0, 0}, {s, 0, c, 0}, {0, 0, 0, 1}}};
  return out;
}

Matrix* BuildRotationZ(Matrix* out, float angle) {
  float c = std::cos(angle), s = std::sin(angle);
  *out = {{{c, s, 0, 0}, {-s, c, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
  return out;
}

Matrix* BuildRotationAxis(Matrix* out, const Vector3* axis, float angle) {
  Vector3 n;
  plain::NormalizeVector3(&n, axis);
  float c = std::cos(angle), s = std::sin(angle), t = 1.0f - c;
  float x = n.x, y = n.y, z = n.z;
  *out = {{{t * x * x + c, t * x * y + z * s, t * x * z - y * s, 0},
           {t * x * y - z * s, t * y * y + c, t * y * z + x * s, 0},
           {t * x * z + y * s, t * y * z - x * s, t * z * z + c, 0},
           {0, 0, 0, 1}}};
  return out;
}

Matrix* MatrixFromQuaternion(Matrix* out, const Quaternion* pq) {
  Quaternion q = *pq;
  float xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
  float xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
  float wx = q.w * q.x, wy = q.w * q.y, wz = q.w * q.z;
  *out = {{{1 - 2 * yy - 2 * zz, 2 * xy + 2 * wz, 2 * xz - 2 * wy, 0},
           {2 * xy - 2 * wz, 1 - 2 * xx - 2 * zz, 2 * yz + 2 * wx, 0},
           {2 * xz + 2 * wy, 2 * yz - 2 * wx, 1 - 2 * xx - 2 * yy, 0},
           {0, 0, 0, 1}}};
  return out;
}

Matrix* BuildRotationYawPitchRoll(Matrix* out, float yaw, float pitch, float roll) {
  Quaternion q;
  plain::QuaternionFromYawPitchRoll(&q, yaw, pitch, roll);
  return plain::MatrixFromQuaternion(out, &q);
}

namespace {
void AddToTranslation(Matrix* m, const Vector3& v, float sign) {
  m->m[3][0] += sign * v.x;
  m->m[3][1] += sign * v.y;
  m->m[3][2] += sign * v.z;
}
}  // namespace

Matrix* BuildTransformation(Matrix* out, const Vector3* sc, const Quaternion* sr, const Vector3* s,
                            const Vector3* rc, const Quaternion* r, const Vector3* t) {
  Matrix m = mathutil::kIdentity;
  if (s) {
    Matrix scale;
    plain::BuildScaling(&scale, s->x, s->y, s->z);
    if (sr) {
      Matrix rs, rsT;
      plain::MatrixFromQuaternion(&rs, sr);
      plain::TransposeMatrix(&rsT, &rs);
      if (sc) {
        plain::BuildTranslation(&m, -sc->x, -sc->y, -sc->z);
        plain::MultiplyMatrix(&m, &m, &rsT);
      } else {
        m = rsT;
      }
      plain::MultiplyMatrix(&m, &m, &scale);
      plain::MultiplyMatrix(&m, &m, &rs);
      if (sc) AddToTranslation(&m, *sc, 1.0f);
    } else {
      m = scale;
    }
  }
  if (r) {
    Matrix rot;
    plain::MatrixFromQuaternion(&rot, r);
    if (rc) AddToTranslation(&m, *rc, -1.0f);
    plain::MultiplyMatrix(&m, &m, &rot);
    if (rc) AddToTranslation(&m, *rc, 1.0f);
  }
  if (t) AddToTranslation(&m, *t, 1.0f);
  *out = m;
  return out;
}

Matrix* BuildAffineTransformation(Matrix* out, float s, const Vector3* rc, const Quaternion* r,
                                  const Vector3* t) {
  Vector3 scaling = {s, s, s};
  return plain::BuildTransformation(out, nullptr, nullptr, &scaling, rc, r, t);
}

Matrix* BuildShadow(Matrix* out, const Vector4* light, const Plane* plane) {
  Plane p;
  plain::NormalizePlane(&p, plane);
  Vector4 l = *light;
  float d = p.a * l.x + p.b * l.y + p.c * l.z + p.d * l.w;
  const float pv[4] = {p.a, p.b, p.c, p.d}, lv[4] = {l.x, l.y, l.z, l.w};
  for (int r = 0; r < 4; ++r)
    for (int k = 0; k < 4; ++k) out->m[r][k] = (r == k ? d : 0.0f) - pv[r] * lv[k];
  return out;
}

Matrix* BuildReflection(Matrix* out, const Plane* plane) {
  Plane p;
  plain::NormalizePlane(&p, plane);
  const float pv[4] = {p.a, p.b, p.c, p.d};
  for (int r = 0; r < 4; ++r) {
    for (int k = 0; k < 3; ++k) out->m[r][k] = (r == k ? 1.0f : 0.0f) - 2.0f * pv[r] * pv[k];
    out->m[r][3] = r == 3 ? 1.0f : 0.0f;
  }
  return out;
}

// ---- Quaternions -------------------------------------------------------------------------------

Quaternion* MultiplyQuaternion(Quaternion* out, const Quaternion* pa, const Quaternion* pb) {
  Quaternion a = *pa, b = *pb;
  *out = {
      a.x * b.w + a.w * b.x + a.z * b.y - a.y * b.z, a.y * b.w + a.w * b.y + a.x * b.z - a.z * b.x,
      a.z * b.w + a.w * b.z + a.y * b.x - a.x * b.y, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
  return out;
}

Quaternion* NormalizeQuaternion(Quaternion* out, const Quaternion* q) {
  NormalizeFloats(&out->x, &q->x, 4, 4);
  return out;
}

Quaternion* InvertQuaternion(Quaternion* out, const Quaternion* pq) {
  Quaternion q = *pq;
  float n = Dot4(q, q);
  if (!(n > 1.0842022e-19f)) {
    *out = {0, 0, 0, 0};
    return out;
  }
  Quaternion c = {-q.x, -q.y, -q.z, q.w};
  *out = NearlyEqual(n, 1.0f) ? c : Scaled(c, 1.0f / n);
  return out;
}

Quaternion* LogQuaternion(Quaternion* out, const Quaternion* pq) {
  Quaternion q = *pq;
  if (q.w < 1.0f) {
    float theta = std::acos(q.w), s = std::sin(theta);
    if (!NearlyEqual(s, 0.0f)) {
      float k = theta / s;
      *out = {q.x * k, q.y * k, q.z * k, 0};
      return out;
    }
  }
  *out = {q.x, q.y, q.z, 0};
  return out;
}

Quaternion* ExpQuaternion(Quaternion* out, const Quaternion* pq) {
  Quaternion q = *pq;
  float theta = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z);
  float s = std::sin(theta), c = std::cos(theta);
  if (!NearlyEqual(s, 0.0f)) {
    float k = s / theta;
    *out = {q.x * k, q.y * k, q.z * k, c};
  } else {
    *out = {q.x, q.y, q.z, c};
  }
  return out;
}

Quaternion* QuaternionFromAxisAngle(Quaternion* out, const Vector3* axis, float angle) {
  Vector3 n;
  plain::NormalizeVector3(&n, axis);
  float s = std::sin(angle * 0.5f), c = std::cos(angle * 0.5f);
  *out = {n.x * s, n.y * s, n.z * s, c};
  return out;
}

void AxisAngleFromQuaternion(const Quaternion* q, Vector3* axis, float* angle) {
  Quaternion c = *q;
  if (axis) *axis = {c.x, c.y, c.z};
  if (angle) *angle = 2.0f * std::acos(c.w);
}

Quaternion* QuaternionFromYawPitchRoll(Quaternion* out, float yaw, float pitch, float roll) {
  float cy = std::cos(yaw * 0.5f), sy = std::sin(yaw * 0.5f);
  float cp = std::cos(pitch * 0.5f), sp = std::sin(pitch * 0.5f);
  float cr = std::cos(roll * 0.5f), sr = std::sin(roll * 0.5f);
  *out = {cy * sp * cr + sy * cp * sr, sy * cp * cr - cy * sp * sr, cy * cp * sr - sy * sp * cr,
          cy * cp * cr + sy * sp * sr};
  return out;
}

Quaternion* QuaternionFromMatrix(Quaternion* out, const Matrix* pm) {
  const auto& m = pm->m;
  float tr = m[0][0] + m[1][1] + m[2][2];
  Quaternion r;
  if (tr > 0.0f) {
    float w = std::sqrt(tr + 1.0f) * 0.5f;
    float k = 0.25f / w;
    r = {(m[1][2] - m[2][1]) * k, (m[2][0] - m[0][2]) * k, (m[0][1] - m[1][0]) * k, w};
  } else {
    float d[3] = {m[0][0] - m[1][1] - m[2][2], m[1][1] - m[0][0] - m[2][2],
                  m[2][2] - m[0][0] - m[1][1]};
    int i = d[0] >= d[1] ? 0 : 1;
    if (d[2] > d[i]) i = 2;
    int j = (i + 1) % 3, k = (j + 1) % 3;
    float q[3];
    q[i] = std::sqrt(d[i] + 1.0f) * 0.5f;
    float f = 0.25f / q[i];
    q[j] = (m[i][j] + m[j][i]) * f;
    q[k] = (m[i][k] + m[k][i]) * f;
    r = {q[0], q[1], q[2], (m[j][k] - m[k][j]) * f};
  }
  *out = r;
  return out;
}

Quaternion* Slerp(Quaternion* out, const Quaternion* pq1, const Quaternion* pq2, float t) {
  Quaternion q1 = *pq1, q2 = *pq2;
  float c = Dot4(q1, q2);
  float sign = c >= 0.0f ? 1.0f : -1.0f;
  c *= sign;
  float k1, k2;
  if (1.0f - c > kNearlyEqualTolerance) {
    mathutil::SlerpWeightsInline(c, t, &k1, &k2);
  } else {
    k1 = 1.0f - t;
    k2 = t;
  }
  k2 *= sign;
  *out = Added(Scaled(q1, k1), Scaled(q2, k2));
  return out;
}

Quaternion* Squad(Quaternion* out, const Quaternion* q1, const Quaternion* a, const Quaternion* b,
                  const Quaternion* c, float t) {
  Quaternion u, v;
  plain::Slerp(&u, q1, c, t);
  plain::Slerp(&v, a, b, t);
  return plain::Slerp(out, &u, &v, 2.0f * t * (1.0f - t));
}

void PrepareSquadControls(Quaternion* a, Quaternion* b, Quaternion* c, const Quaternion* pq0,
                          const Quaternion* pq1, const Quaternion* pq2, const Quaternion* pq3) {
  Quaternion q0 = *pq0, q1 = *pq1, q2 = *pq2, q3 = *pq3;
  if (SquaredDistance(q0, q1) > SquaredDistance(q0, Negated(q1))) q0 = Negated(q0);
  if (SquaredDistance(q1, q2) > SquaredDistance(q1, Negated(q2))) q2 = Negated(q2);
  if (SquaredDistance(q2, q3) > SquaredDistance(q2, Negated(q3))) q3 = Negated(q3);
  Quaternion ra = SquadControl(q1, q0, q2);
  Quaternion rb = SquadControl(q2, q1, q3);
  *a = ra;
  *b = rb;
  *c = q2;
}

Quaternion* BarycentricQuaternion(Quaternion* out, const Quaternion* q1, const Quaternion* q2,
                                  const Quaternion* q3, float f, float g) {
  float s = f + g;
  if (NearlyEqual(s, 0.0f)) {
    *out = *q1;
    return out;
  }
  Quaternion u, v;
  plain::Slerp(&u, q1, q2, s);
  plain::Slerp(&v, q1, q3, s);
  return plain::Slerp(out, &u, &v, g / s);
}

// ---- Planes ------------------------------------------------------------------------------------

Plane* NormalizePlane(Plane* out, const Plane* p) {
  NormalizeFloats(&out->a, &p->a, 3, 4);
  return out;
}

Vector3* IntersectPlaneLine(Vector3* out, const Plane* p, const Vector3* pp1, const Vector3* pp2) {
  Vector3 n = {p->a, p->b, p->c}, p1 = *pp1, p2 = *pp2;
  float d1 = Dot(n, p1);
  float e = d1 - Dot(n, p2);
  if (e == 0.0f) return nullptr;
  float t = (d1 + p->d) / e;
  if (!std::isfinite(t)) return nullptr;
  *out = {p1.x + t * (p2.x - p1.x), p1.y + t * (p2.y - p1.y), p1.z + t * (p2.z - p1.z)};
  return out;
}

Plane* PlaneThroughPoint(Plane* out, const Vector3* point, const Vector3* normal) {
  Vector3 n = *normal;
  *out = {n.x, n.y, n.z, -Dot(*point, n)};
  return out;
}

Plane* PlaneThroughPoints(Plane* out, const Vector3* p1, const Vector3* p2, const Vector3* p3) {
  Vector3 n = Cross(Sub(*p1, *p2), Sub(*p1, *p3));
  plain::NormalizeVector3(&n, &n);
  *out = {n.x, n.y, n.z, -Dot(n, *p1)};
  return out;
}

Plane* TransformPlane(Plane* out, const Plane* p, const Matrix* m) {
  Vector4 r = Row(p->a, p->b, p->c, p->d, *m);
  *out = {r.x, r.y, r.z, r.w};
  return out;
}

Plane* TransformPlaneArray(Plane* out, uint32_t os, const Plane* in, uint32_t is, const Matrix* m,
                           uint32_t n) {
  return MapArray<plain::TransformPlane>(out, os, in, is, m, n);
}

// ---- 16-bit floats -----------------------------------------------------------------------------

Half* FloatToHalfArray(Half* out, const float* in, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t v = mathutil::FloatBits(in[i]);
    uint32_t a = v & 0x7FFFFFFFu, sign = (v >> 16) & 0x8000u, h;
    if (a > 0x47FFEFFFu) {
      h = 0x7FFFu;
    } else if (a >= 0x38800000u) {
      h = (a - 0x38000000u + 0xFFFu + ((a >> 13) & 1u)) >> 13;
    } else {
      uint32_t shift = 113u - (a >> 23);
      uint32_t m = shift >= 32 ? 0u : ((a & 0x7FFFFFu) | 0x800000u) >> shift;
      h = (m + 0xFFFu + ((m >> 13) & 1u)) >> 13;
    }
    out[i].bits = static_cast<uint16_t>(sign | h);
  }
  return out;
}

float* HalfToFloatArray(float* out, const Half* in, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t h = in[i].bits;
    uint32_t sign = (h & 0x8000u) << 16, e = (h >> 10) & 0x1Fu, m = h & 0x3FFu, f;
    if (e != 0) {
      f = sign | ((e + 112u) << 23) | (m << 13);
    } else if (m != 0) {
      int exp = -14;
      while (!(m & 0x400u)) {
        m <<= 1;
        --exp;
      }
      f = sign | (static_cast<uint32_t>(exp + 127) << 23) | ((m & 0x3FFu) << 13);
    } else {
      f = sign;
    }
    out[i] = mathutil::BitsFloat(f);
  }
  return out;
}

}  // namespace plain

const FastFunctionSet kPlainFastFunctions = {
#define LYR_X(index, Name, Ret, Params, Args) &plain::Name,
    LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
};

}  // namespace lyr
