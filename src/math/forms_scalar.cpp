// Scalar forms tuned for speed, installed over the plain table by every selection: the
// vector-by-matrix transforms, the matrix products and a table-driven NormalizeVector3.
#include <array>
#include <cstring>

#include "math/fast_functions.h"
#include "math/math_util.h"

namespace lyr {
namespace scalar {
namespace {

using mathutil::BitsFloat;
using mathutil::FloatBits;

// ---- Reciprocal square root by 512 tangent pieces ----------------------------------------------
// The squared length n = m' * 2^(2j) with m' in [0.5, 2): the lowest exponent bit picks the half
// ([0.5, 1) when clear, [1, 2) when set) and the top eight mantissa bits the piece within it.
// Each piece is the tangent of 1/sqrt(m) at the middle of its interval; 1/sqrt(n) is the piece
// evaluated at m', times 2^-j. No refinement follows (relative error below 2e-6).
struct Piece {
  float slope, intercept;
};

constexpr double ConstSqrt(double x) {
  double r = x > 1 ? x : 1;
  for (int i = 0; i < 64; ++i) r = 0.5 * (r + x / r);
  return r;
}

constexpr std::array<Piece, 512> MakePieces() {
  std::array<Piece, 512> t{};
  for (int i = 0; i < 512; ++i) {
    bool upper = i >= 256;
    double width = upper ? 1.0 / 256 : 1.0 / 512;
    double c = (upper ? 1.0 : 0.5) + (static_cast<double>(i & 0xFF) + 0.5) * width;
    double r = 1.0 / ConstSqrt(c);  // c^-1/2
    // Tangent at c: r + (-r / (2c)) * (m - c) = (-r / (2c)) * m + 1.5 r.
    t[i] = {static_cast<float>(-0.5 * r / c), static_cast<float>(1.5 * r)};
  }
  return t;
}

constexpr std::array<Piece, 512> kPieces = MakePieces();

inline float TableReciprocalSqrt(float n) {
  uint32_t bits = FloatBits(n);
  uint32_t e = (bits >> 23) & 0xFF, upper = e & 1;
  const Piece& p = kPieces[(bits >> 15) & 0x1FF];
  float m = BitsFloat((bits & 0x7FFFFFu) | ((126u + upper) << 23));
  int j = (static_cast<int>(e) - 126 - static_cast<int>(upper)) / 2;
  float scale = BitsFloat(static_cast<uint32_t>(127 - j) << 23);
  return (p.slope * m + p.intercept) * scale;
}

inline void Transform4(float* out, float x, float y, float z, float w, const Matrix* pm) {
  const float* m = &pm->m[0][0];
  float r0 = x * m[0] + y * m[4] + z * m[8] + w * m[12];
  float r1 = x * m[1] + y * m[5] + z * m[9] + w * m[13];
  float r2 = x * m[2] + y * m[6] + z * m[10] + w * m[14];
  float r3 = x * m[3] + y * m[7] + z * m[11] + w * m[15];
  out[0] = r0;
  out[1] = r1;
  out[2] = r2;
  out[3] = r3;
}

// Product of a and b into r (r must not be a or b), transposed when asked.
inline void Product(float* r, const float* a, const float* b, bool transposed) {
  for (int i = 0; i < 4; ++i) {
    const float ai0 = a[4 * i], ai1 = a[4 * i + 1], ai2 = a[4 * i + 2], ai3 = a[4 * i + 3];
    for (int j = 0; j < 4; ++j) {
      float v = ai0 * b[j] + ai1 * b[4 + j] + ai2 * b[8 + j] + ai3 * b[12 + j];
      r[transposed ? 4 * j + i : 4 * i + j] = v;
    }
  }
}

inline Matrix* MultiplyInto(Matrix* out, const Matrix* a, const Matrix* b, bool transposed) {
  // A temporary only when the output is one of the inputs.
  if (out == a || out == b) {
    Matrix t;
    Product(&t.m[0][0], &a->m[0][0], &b->m[0][0], transposed);
    *out = t;
  } else {
    Product(&out->m[0][0], &a->m[0][0], &b->m[0][0], transposed);
  }
  return out;
}

}  // namespace

Vector4* TransformVector2(Vector4* out, const Vector2* v, const Matrix* m) {
  Transform4(&out->x, v->x, v->y, 0, 1, m);
  return out;
}
Vector4* TransformVector3(Vector4* out, const Vector3* v, const Matrix* m) {
  Transform4(&out->x, v->x, v->y, v->z, 1, m);
  return out;
}
Vector4* TransformVector4(Vector4* out, const Vector4* v, const Matrix* m) {
  Transform4(&out->x, v->x, v->y, v->z, v->w, m);
  return out;
}
Plane* TransformPlane(Plane* out, const Plane* p, const Matrix* m) {
  Transform4(&out->a, p->a, p->b, p->c, p->d, m);
  return out;
}
Matrix* MultiplyMatrix(Matrix* out, const Matrix* a, const Matrix* b) {
  return MultiplyInto(out, a, b, false);
}
Matrix* MultiplyMatrixTransposed(Matrix* out, const Matrix* a, const Matrix* b) {
  return MultiplyInto(out, a, b, true);
}
Vector2* TransformDirection2(Vector2* out, const Vector2* v, const Matrix* pm) {
  const float* m = &pm->m[0][0];
  float x = v->x, y = v->y;
  out->x = x * m[0] + y * m[4];
  out->y = x * m[1] + y * m[5];
  return out;
}
Vector3* TransformDirection3(Vector3* out, const Vector3* v, const Matrix* pm) {
  const float* m = &pm->m[0][0];
  float x = v->x, y = v->y, z = v->z;
  float r0 = x * m[0] + y * m[4] + z * m[8];
  float r1 = x * m[1] + y * m[5] + z * m[9];
  out->z = x * m[2] + y * m[6] + z * m[10];
  out->x = r0;
  out->y = r1;
  return out;
}

// Zero squared length (bit pattern +0.0) gives zeros; within 1e-5 of 1 the input is returned
// unchanged; otherwise the table's reciprocal square root scales it.
Vector3* NormalizeVector3(Vector3* out, const Vector3* v) {
  float x = v->x, y = v->y, z = v->z;
  float n = x * x + y * y + z * z;
  if (FloatBits(n) == 0) {
    *out = {0, 0, 0};
    return out;
  }
  float d = n - 1.0f;
  if ((d < 0 ? -d : d) <= 1e-5f) {
    if (out != v) *out = {x, y, z};
    return out;
  }
  float r = TableReciprocalSqrt(n);
  *out = {x * r, y * r, z * r};
  return out;
}

}  // namespace scalar

void InstallScalarForms(FastFunctionSet* set) {
  set->TransformVector2 = &scalar::TransformVector2;
  set->TransformVector3 = &scalar::TransformVector3;
  set->TransformVector4 = &scalar::TransformVector4;
  set->MultiplyMatrix = &scalar::MultiplyMatrix;
  set->MultiplyMatrixTransposed = &scalar::MultiplyMatrixTransposed;
  set->TransformDirection2 = &scalar::TransformDirection2;
  set->TransformDirection3 = &scalar::TransformDirection3;
  set->NormalizeVector3 = &scalar::NormalizeVector3;
  set->TransformPlane = &scalar::TransformPlane;
}

}  // namespace lyr
