// Vectors, matrices, quaternions, planes and 16-bit floats.
//
// Every operation takes its output first and returns it (unless noted). Outputs may be the same
// object as any input; array forms may work in place when both strides are equal. Degenerate
// input gives defined zeros or a null return, never an error code, and no operation allocates.
//
// Each operation jumps through one entry of the fast-function table, which fills itself with the
// best forms for the processor on the first call of any operation (see SelectFastFunctions).
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API. The shared
// library does not export these functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lyr {

struct Vector2 {
  float x, y;
};
struct Vector3 {
  float x, y, z;
};
struct Vector4 {
  float x, y, z, w;
};
// (x, y, z) is the vector part, w the scalar part. A rotation by angle t about the unit axis n is
// (n * sin(t/2), cos(t/2)).
struct Quaternion {
  float x, y, z, w;
};
// Row-major: m[r][c] is the element of row r+1 and column c+1 (m[0][1] = m12). Points are row
// vectors multiplied on the left (p' = p * M); row 4 holds the translation.
struct Matrix {
  float m[4][4];
};
// The points p with a*p.x + b*p.y + c*p.z + d = 0; (a, b, c) is the normal.
struct Plane {
  float a, b, c, d;
};
// The platform's viewport record. The integers are read as unsigned values.
struct Viewport {
  uint32_t left, top, width, height;
  float minZ, maxZ;
};
// 16-bit float: sign bit 15, exponent bits 14..10 (bias 15), mantissa bits 9..0. Exponent 31 is
// an ordinary exponent (no infinities, no NaNs): the largest magnitude is 131008 (0x7FFF).
struct Half {
  uint16_t bits;
};

static_assert(sizeof(Vector2) == 8 && sizeof(Vector3) == 12 && sizeof(Vector4) == 16);
static_assert(sizeof(Quaternion) == 16 && offsetof(Quaternion, w) == 12);
static_assert(sizeof(Matrix) == 64 && sizeof(Plane) == 16 && offsetof(Plane, d) == 12);
static_assert(sizeof(Viewport) == 24 && offsetof(Viewport, height) == 12 &&
              offsetof(Viewport, minZ) == 16 && offsetof(Viewport, maxZ) == 20);
static_assert(sizeof(Half) == 2);

// The tolerance of the near-equality tests, 2^-23.
inline constexpr float kNearlyEqualTolerance = 1.1920929e-7f;
// The smallest normal float, 2^-126: the floor below which a length counts as zero.
inline constexpr float FloatMin = 1.17549435e-38f;
// |a - b| <= 2^-23, inclusive.
inline constexpr bool NearlyEqual(float a, float b) {
  float d = a - b;
  return (d < 0 ? -d : d) <= kNearlyEqualTolerance;
}

// ---- Vectors ---------------------------------------------------------------------------------
// Scaled to unit length. A squared length within 2^-23 of 1 copies the input unchanged; a squared
// length not above FloatMin (zero, tiny or NaN) gives zeros.
Vector2* NormalizeVector2(Vector2* out, const Vector2* v);
Vector3* NormalizeVector3(Vector3* out, const Vector3* v);
Vector4* NormalizeVector4(Vector4* out, const Vector4* v);
// Hermite spline through p1 (tangent t1) and p2 (tangent t2) at s.
Vector2* HermiteVector2(Vector2* out, const Vector2* p1, const Vector2* t1, const Vector2* p2,
                        const Vector2* t2, float s);
Vector3* HermiteVector3(Vector3* out, const Vector3* p1, const Vector3* t1, const Vector3* p2,
                        const Vector3* t2, float s);
Vector4* HermiteVector4(Vector4* out, const Vector4* p1, const Vector4* t1, const Vector4* p2,
                        const Vector4* t2, float s);
// Catmull-Rom spline between p1 and p2 at s.
Vector2* CatmullRomVector2(Vector2* out, const Vector2* p0, const Vector2* p1, const Vector2* p2,
                           const Vector2* p3, float s);
Vector3* CatmullRomVector3(Vector3* out, const Vector3* p0, const Vector3* p1, const Vector3* p2,
                           const Vector3* p3, float s);
Vector4* CatmullRomVector4(Vector4* out, const Vector4* p0, const Vector4* p1, const Vector4* p2,
                           const Vector4* p3, float s);
// p1 + f*(p2 - p1) + g*(p3 - p1).
Vector2* BarycentricVector2(Vector2* out, const Vector2* p1, const Vector2* p2, const Vector2* p3,
                            float f, float g);
Vector3* BarycentricVector3(Vector3* out, const Vector3* p1, const Vector3* p2, const Vector3* p3,
                            float f, float g);
Vector4* BarycentricVector4(Vector4* out, const Vector4* p1, const Vector4* p2, const Vector4* p3,
                            float f, float g);
// The four-dimensional cross product: orthogonal to u, v and w.
Vector4* CrossVector4(Vector4* out, const Vector4* u, const Vector4* v, const Vector4* w);

// (x, y, 0, 1) * M.
Vector4* TransformVector2(Vector4* out, const Vector2* v, const Matrix* m);
// (x, y, 0, 1) * M divided by w, unless w is within 2^-23 of 1. No test for w = 0.
Vector2* TransformPoint2(Vector2* out, const Vector2* v, const Matrix* m);
// (x, y, 0, 0) * M: the translation is ignored.
Vector2* TransformDirection2(Vector2* out, const Vector2* v, const Matrix* m);
Vector4* TransformVector3(Vector4* out, const Vector3* v, const Matrix* m);
Vector3* TransformPoint3(Vector3* out, const Vector3* v, const Matrix* m);
Vector3* TransformDirection3(Vector3* out, const Vector3* v, const Matrix* m);
Vector4* TransformVector4(Vector4* out, const Vector4* v, const Matrix* m);
// Object space to viewport space through world * view * projection (each optional; none means
// the identity). Without a viewport the result is the transformed point itself.
Vector3* ProjectPoint3(Vector3* out, const Vector3* v, const Viewport* viewport,
                       const Matrix* projection, const Matrix* view, const Matrix* world);
// The inverse of ProjectPoint3. When the combined matrix cannot be inverted the point is mapped
// back from the viewport (if given) and otherwise left untransformed.
Vector3* UnprojectPoint3(Vector3* out, const Vector3* v, const Viewport* viewport,
                         const Matrix* projection, const Matrix* view, const Matrix* world);

// Strided array forms: element i of out (at out + i*outStride bytes) is the single form of element
// i of in (at in + i*inStride bytes). They return out.
Vector4* TransformVector2Array(Vector4* out, uint32_t outStride, const Vector2* in,
                               uint32_t inStride, const Matrix* m, uint32_t count);
Vector2* TransformPoint2Array(Vector2* out, uint32_t outStride, const Vector2* in,
                              uint32_t inStride, const Matrix* m, uint32_t count);
Vector2* TransformDirection2Array(Vector2* out, uint32_t outStride, const Vector2* in,
                                  uint32_t inStride, const Matrix* m, uint32_t count);
Vector4* TransformVector3Array(Vector4* out, uint32_t outStride, const Vector3* in,
                               uint32_t inStride, const Matrix* m, uint32_t count);
Vector3* TransformPoint3Array(Vector3* out, uint32_t outStride, const Vector3* in,
                              uint32_t inStride, const Matrix* m, uint32_t count);
Vector3* TransformDirection3Array(Vector3* out, uint32_t outStride, const Vector3* in,
                                  uint32_t inStride, const Matrix* m, uint32_t count);
Vector4* TransformVector4Array(Vector4* out, uint32_t outStride, const Vector4* in,
                               uint32_t inStride, const Matrix* m, uint32_t count);
Vector3* ProjectPoint3Array(Vector3* out, uint32_t outStride, const Vector3* in, uint32_t inStride,
                            const Viewport* viewport, const Matrix* projection, const Matrix* view,
                            const Matrix* world, uint32_t count);
Vector3* UnprojectPoint3Array(Vector3* out, uint32_t outStride, const Vector3* in,
                              uint32_t inStride, const Viewport* viewport, const Matrix* projection,
                              const Matrix* view, const Matrix* world, uint32_t count);

// ---- Matrices ----------------------------------------------------------------------------------
// a * b: apply a, then b.
Matrix* MultiplyMatrix(Matrix* out, const Matrix* a, const Matrix* b);
// transpose(a * b).
Matrix* MultiplyMatrixTransposed(Matrix* out, const Matrix* a, const Matrix* b);
Matrix* TransposeMatrix(Matrix* out, const Matrix* a);
float Determinant4x4(const Matrix* a);
// The inverse of a, or null (output untouched) when the determinant is 0 or its reciprocal is not
// finite. The determinant is stored through `determinant` (optional) in every case.
Matrix* InvertMatrix(Matrix* out, float* determinant, const Matrix* a);
Matrix* BuildScaling(Matrix* out, float sx, float sy, float sz);
Matrix* BuildTranslation(Matrix* out, float tx, float ty, float tz);
Matrix* BuildRotationX(Matrix* out, float angle);
Matrix* BuildRotationY(Matrix* out, float angle);
Matrix* BuildRotationZ(Matrix* out, float angle);
// Rotation by angle about the axis (normalised first).
Matrix* BuildRotationAxis(Matrix* out, const Vector3* axis, float angle);
// The rotation of q, which is not normalised first.
Matrix* MatrixFromQuaternion(Matrix* out, const Quaternion* q);
// Roll about z, then pitch about x, then yaw about y.
Matrix* BuildRotationYawPitchRoll(Matrix* out, float yaw, float pitch, float roll);
// Scaling (about scalingCentre, along the axes of scalingRotation), then rotation (about
// rotationCentre), then translation. Every argument is optional; without scaling the scaling
// centre and scaling rotation are ignored.
Matrix* BuildTransformation(Matrix* out, const Vector3* scalingCentre,
                            const Quaternion* scalingRotation, const Vector3* scaling,
                            const Vector3* rotationCentre, const Quaternion* rotation,
                            const Vector3* translation);
// Uniform scaling, then rotation about rotationCentre, then translation (the last three optional).
Matrix* BuildAffineTransformation(Matrix* out, float scaling, const Vector3* rotationCentre,
                                  const Quaternion* rotation, const Vector3* translation);
// Flattens geometry onto the plane as seen from the light (w = 0: directional light).
Matrix* BuildShadow(Matrix* out, const Vector4* light, const Plane* plane);
// Mirror in the plane.
Matrix* BuildReflection(Matrix* out, const Plane* plane);

// ---- Quaternions -------------------------------------------------------------------------------
// The rotation a followed by b (the Hamilton product b*a).
Quaternion* MultiplyQuaternion(Quaternion* out, const Quaternion* a, const Quaternion* b);
Quaternion* NormalizeQuaternion(Quaternion* out, const Quaternion* q);
// Conjugate over squared length; zeros when the squared length is not above 2^-63.
Quaternion* InvertQuaternion(Quaternion* out, const Quaternion* q);
Quaternion* LogQuaternion(Quaternion* out, const Quaternion* q);
// The exponential of the pure quaternion (x, y, z, 0); the input w is ignored.
Quaternion* ExpQuaternion(Quaternion* out, const Quaternion* q);
Quaternion* QuaternionFromAxisAngle(Quaternion* out, const Vector3* axis, float angle);
// axis (optional) = (x, y, z) unnormalised; angle (optional) = 2*acos(w).
void AxisAngleFromQuaternion(const Quaternion* q, Vector3* axis, float* angle);
Quaternion* QuaternionFromYawPitchRoll(Quaternion* out, float yaw, float pitch, float roll);
// From the upper 3x3 of m.
Quaternion* QuaternionFromMatrix(Quaternion* out, const Matrix* m);
// Spherical interpolation along the shorter arc; linear weights when nearly parallel. The result
// is not renormalised.
Quaternion* Slerp(Quaternion* out, const Quaternion* q1, const Quaternion* q2, float t);
// Slerp(Slerp(q1, c, t), Slerp(a, b, t), 2t(1 - t)).
Quaternion* Squad(Quaternion* out, const Quaternion* q1, const Quaternion* a, const Quaternion* b,
                  const Quaternion* c, float t);
// The control points a, b, c for Squad(q1, a, b, c, t) between q1 and q2 with neighbours q0, q3.
void PrepareSquadControls(Quaternion* a, Quaternion* b, Quaternion* c, const Quaternion* q0,
                          const Quaternion* q1, const Quaternion* q2, const Quaternion* q3);
Quaternion* BarycentricQuaternion(Quaternion* out, const Quaternion* q1, const Quaternion* q2,
                                  const Quaternion* q3, float f, float g);

// ---- Planes ------------------------------------------------------------------------------------
// All four components scaled by 1/|(a, b, c)|.
Plane* NormalizePlane(Plane* out, const Plane* p);
// The point where the line through p1 and p2 meets the plane, or null (output untouched) when the
// line is parallel to it or the parameter is not finite.
Vector3* IntersectPlaneLine(Vector3* out, const Plane* p, const Vector3* p1, const Vector3* p2);
// The normal is used as given (not normalised).
Plane* PlaneThroughPoint(Plane* out, const Vector3* point, const Vector3* normal);
Plane* PlaneThroughPoints(Plane* out, const Vector3* p1, const Vector3* p2, const Vector3* p3);
// (a, b, c, d) * M: pass the inverse transpose of the point transform.
Plane* TransformPlane(Plane* out, const Plane* p, const Matrix* m);
Plane* TransformPlaneArray(Plane* out, uint32_t outStride, const Plane* in, uint32_t inStride,
                           const Matrix* m, uint32_t count);

// ---- 16-bit floats -----------------------------------------------------------------------------
// Rounds to nearest, ties to even; magnitudes from 131040 up (and infinities, NaNs) saturate to
// +-131008; magnitudes below the smallest denormal give signed zero.
Half* FloatToHalfArray(Half* out, const float* in, uint32_t count);
float* HalfToFloatArray(float* out, const Half* in, uint32_t count);

}  // namespace lyr
