// The fast-function table: one entry per math operation (and the two heavy kernels), in a fixed
// order. LYR_FAST_FUNCTIONS(X) expands X(index, Name, Return, (parameters), (arguments)) once per
// entry, in table order; everything that has to agree with that order is generated from it.
#pragma once

#include <cstdint>

#include "lyr/math.h"
#include "math/kernels.h"

// clang-format off
#define LYR_FAST_FUNCTIONS(X) \
  X(0, TransformVector2, Vector4*, (Vector4* out, const Vector2* v, const Matrix* m), (out, v, m)) \
  X(1, TransformVector3, Vector4*, (Vector4* out, const Vector3* v, const Matrix* m), (out, v, m)) \
  X(2, TransformVector4, Vector4*, (Vector4* out, const Vector4* v, const Matrix* m), (out, v, m)) \
  X(3, MultiplyMatrix, Matrix*, (Matrix* out, const Matrix* a, const Matrix* b), (out, a, b)) \
  X(4, MultiplyMatrixTransposed, Matrix*, (Matrix* out, const Matrix* a, const Matrix* b), (out, a, b)) \
  X(5, TransformDirection2, Vector2*, (Vector2* out, const Vector2* v, const Matrix* m), (out, v, m)) \
  X(6, TransformDirection3, Vector3*, (Vector3* out, const Vector3* v, const Matrix* m), (out, v, m)) \
  X(7, NormalizeVector3, Vector3*, (Vector3* out, const Vector3* v), (out, v)) \
  X(8, NormalizeVector4, Vector4*, (Vector4* out, const Vector4* v), (out, v)) \
  X(9, TransformPoint2, Vector2*, (Vector2* out, const Vector2* v, const Matrix* m), (out, v, m)) \
  X(10, TransformPoint3, Vector3*, (Vector3* out, const Vector3* v, const Matrix* m), (out, v, m)) \
  X(11, Determinant4x4, float, (const Matrix* a), (a)) \
  X(12, PlaneThroughPoint, Plane*, (Plane* out, const Vector3* point, const Vector3* normal), (out, point, normal)) \
  X(13, PlaneThroughPoints, Plane*, (Plane* out, const Vector3* p1, const Vector3* p2, const Vector3* p3), (out, p1, p2, p3)) \
  X(14, ProjectPoint3, Vector3*, (Vector3* out, const Vector3* v, const Viewport* vp, const Matrix* proj, const Matrix* view, const Matrix* world), (out, v, vp, proj, view, world)) \
  X(15, UnprojectPoint3, Vector3*, (Vector3* out, const Vector3* v, const Viewport* vp, const Matrix* proj, const Matrix* view, const Matrix* world), (out, v, vp, proj, view, world)) \
  X(16, CrossVector4, Vector4*, (Vector4* out, const Vector4* u, const Vector4* v, const Vector4* w), (out, u, v, w)) \
  X(17, HermiteVector2, Vector2*, (Vector2* out, const Vector2* p1, const Vector2* t1, const Vector2* p2, const Vector2* t2, float s), (out, p1, t1, p2, t2, s)) \
  X(18, InvertMatrix, Matrix*, (Matrix* out, float* det, const Matrix* a), (out, det, a)) \
  X(19, MultiplyQuaternion, Quaternion*, (Quaternion* out, const Quaternion* a, const Quaternion* b), (out, a, b)) \
  X(20, NormalizeQuaternion, Quaternion*, (Quaternion* out, const Quaternion* q), (out, q)) \
  X(21, NormalizePlane, Plane*, (Plane* out, const Plane* p), (out, p)) \
  X(22, IntersectPlaneLine, Vector3*, (Vector3* out, const Plane* p, const Vector3* p1, const Vector3* p2), (out, p, p1, p2)) \
  X(23, AxisAngleFromQuaternion, void, (const Quaternion* q, Vector3* axis, float* angle), (q, axis, angle)) \
  X(24, QuaternionFromMatrix, Quaternion*, (Quaternion* out, const Matrix* m), (out, m)) \
  X(25, QuaternionFromYawPitchRoll, Quaternion*, (Quaternion* out, float yaw, float pitch, float roll), (out, yaw, pitch, roll)) \
  X(26, BuildTranslation, Matrix*, (Matrix* out, float x, float y, float z), (out, x, y, z)) \
  X(27, BuildShadow, Matrix*, (Matrix* out, const Vector4* light, const Plane* plane), (out, light, plane)) \
  X(28, BuildReflection, Matrix*, (Matrix* out, const Plane* plane), (out, plane)) \
  X(29, QuaternionFromAxisAngle, Quaternion*, (Quaternion* out, const Vector3* axis, float angle), (out, axis, angle)) \
  X(30, BuildRotationX, Matrix*, (Matrix* out, float angle), (out, angle)) \
  X(31, BuildRotationY, Matrix*, (Matrix* out, float angle), (out, angle)) \
  X(32, BuildRotationZ, Matrix*, (Matrix* out, float angle), (out, angle)) \
  X(33, BuildScaling, Matrix*, (Matrix* out, float x, float y, float z), (out, x, y, z)) \
  X(34, TransformPlane, Plane*, (Plane* out, const Plane* p, const Matrix* m), (out, p, m)) \
  X(35, Slerp, Quaternion*, (Quaternion* out, const Quaternion* q1, const Quaternion* q2, float t), (out, q1, q2, t)) \
  X(36, BarycentricQuaternion, Quaternion*, (Quaternion* out, const Quaternion* q1, const Quaternion* q2, const Quaternion* q3, float f, float g), (out, q1, q2, q3, f, g)) \
  X(37, TransposeMatrix, Matrix*, (Matrix* out, const Matrix* a), (out, a)) \
  X(38, MatrixFromQuaternion, Matrix*, (Matrix* out, const Quaternion* q), (out, q)) \
  X(39, BuildTransformation, Matrix*, (Matrix* out, const Vector3* sc, const Quaternion* sr, const Vector3* s, const Vector3* rc, const Quaternion* r, const Vector3* t), (out, sc, sr, s, rc, r, t)) \
  X(40, BuildRotationYawPitchRoll, Matrix*, (Matrix* out, float yaw, float pitch, float roll), (out, yaw, pitch, roll)) \
  X(41, BuildAffineTransformation, Matrix*, (Matrix* out, float s, const Vector3* rc, const Quaternion* r, const Vector3* t), (out, s, rc, r, t)) \
  X(42, BuildRotationAxis, Matrix*, (Matrix* out, const Vector3* axis, float angle), (out, axis, angle)) \
  X(43, Squad, Quaternion*, (Quaternion* out, const Quaternion* q1, const Quaternion* a, const Quaternion* b, const Quaternion* c, float t), (out, q1, a, b, c, t)) \
  X(44, InvertQuaternion, Quaternion*, (Quaternion* out, const Quaternion* q), (out, q)) \
  X(45, PrepareSquadControls, void, (Quaternion* a, Quaternion* b, Quaternion* c, const Quaternion* q0, const Quaternion* q1, const Quaternion* q2, const Quaternion* q3), (a, b, c, q0, q1, q2, q3)) \
  X(46, NormalizeVector2, Vector2*, (Vector2* out, const Vector2* v), (out, v)) \
  X(47, CatmullRomVector2, Vector2*, (Vector2* out, const Vector2* p0, const Vector2* p1, const Vector2* p2, const Vector2* p3, float s), (out, p0, p1, p2, p3, s)) \
  X(48, BarycentricVector2, Vector2*, (Vector2* out, const Vector2* p1, const Vector2* p2, const Vector2* p3, float f, float g), (out, p1, p2, p3, f, g)) \
  X(49, HermiteVector3, Vector3*, (Vector3* out, const Vector3* p1, const Vector3* t1, const Vector3* p2, const Vector3* t2, float s), (out, p1, t1, p2, t2, s)) \
  X(50, CatmullRomVector3, Vector3*, (Vector3* out, const Vector3* p0, const Vector3* p1, const Vector3* p2, const Vector3* p3, float s), (out, p0, p1, p2, p3, s)) \
  X(51, BarycentricVector3, Vector3*, (Vector3* out, const Vector3* p1, const Vector3* p2, const Vector3* p3, float f, float g), (out, p1, p2, p3, f, g)) \
  X(52, HermiteVector4, Vector4*, (Vector4* out, const Vector4* p1, const Vector4* t1, const Vector4* p2, const Vector4* t2, float s), (out, p1, t1, p2, t2, s)) \
  X(53, CatmullRomVector4, Vector4*, (Vector4* out, const Vector4* p0, const Vector4* p1, const Vector4* p2, const Vector4* p3, float s), (out, p0, p1, p2, p3, s)) \
  X(54, BarycentricVector4, Vector4*, (Vector4* out, const Vector4* p1, const Vector4* p2, const Vector4* p3, float f, float g), (out, p1, p2, p3, f, g)) \
  X(55, LogQuaternion, Quaternion*, (Quaternion* out, const Quaternion* q), (out, q)) \
  X(56, ExpQuaternion, Quaternion*, (Quaternion* out, const Quaternion* q), (out, q)) \
  X(57, FloatToHalfArray, Half*, (Half* out, const float* in, uint32_t n), (out, in, n)) \
  X(58, HalfToFloatArray, float*, (float* out, const Half* in, uint32_t n), (out, in, n)) \
  X(59, TransformVector2Array, Vector4*, (Vector4* out, uint32_t os, const Vector2* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(60, TransformPoint2Array, Vector2*, (Vector2* out, uint32_t os, const Vector2* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(61, TransformDirection2Array, Vector2*, (Vector2* out, uint32_t os, const Vector2* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(62, TransformVector3Array, Vector4*, (Vector4* out, uint32_t os, const Vector3* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(63, TransformPoint3Array, Vector3*, (Vector3* out, uint32_t os, const Vector3* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(64, TransformDirection3Array, Vector3*, (Vector3* out, uint32_t os, const Vector3* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(65, TransformVector4Array, Vector4*, (Vector4* out, uint32_t os, const Vector4* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(66, ProjectPoint3Array, Vector3*, (Vector3* out, uint32_t os, const Vector3* in, uint32_t is, const Viewport* vp, const Matrix* proj, const Matrix* view, const Matrix* world, uint32_t n), (out, os, in, is, vp, proj, view, world, n)) \
  X(67, UnprojectPoint3Array, Vector3*, (Vector3* out, uint32_t os, const Vector3* in, uint32_t is, const Viewport* vp, const Matrix* proj, const Matrix* view, const Matrix* world, uint32_t n), (out, os, in, is, vp, proj, view, world, n)) \
  X(68, TransformPlaneArray, Plane*, (Plane* out, uint32_t os, const Plane* in, uint32_t is, const Matrix* m, uint32_t n), (out, os, in, is, m, n)) \
  X(69, BlendSkinnedVertices, void, (const Matrix* bones, const Matrix* directionBones, const void* src, void* dst, uint32_t vertexCount, uint32_t stride, const void* const* srcElements, void* const* dstElements, uint32_t elementCount, uint32_t leadingBytes, const float* updateTable, int allInLeadingBlock), (bones, directionBones, src, dst, vertexCount, stride, srcElements, dstElements, elementCount, leadingBytes, updateTable, allInLeadingBlock)) \
  X(70, EvaluateNPatchPoints, void, (const Vector3* normals, const float* points, uint32_t pointCount, float* out, const float* v0, const float* v1, const float* v2, uint32_t floatsPerVertex), (normals, points, pointCount, out, v0, v1, v2, floatsPerVertex))
// clang-format on

namespace lyr {

inline constexpr int kFastFunctionCount = 71;

// One complete set of forms: a plain (non-atomic) copy of the table, used to assemble a
// selection before it is published and to describe the plain and processor-specific sets.
struct FastFunctionSet {
#define LYR_X(index, Name, Ret, Params, Args) Ret(*Name) Params;
  LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
};
static_assert(sizeof(FastFunctionSet) == kFastFunctionCount * sizeof(void (*)()));

// The plain forms, the reference for every variant.
namespace plain {
#define LYR_X(index, Name, Ret, Params, Args) Ret Name Params;
LYR_FAST_FUNCTIONS(LYR_X)
#undef LYR_X
}  // namespace plain

extern const FastFunctionSet kPlainFastFunctions;

}  // namespace lyr
