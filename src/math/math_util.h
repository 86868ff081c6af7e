// Small helpers shared by the plain and processor-specific math forms.
#pragma once

#include <cstdint>
#include <cstring>

#include "lyr/math.h"

namespace lyr::mathutil {

// Strided elements may sit at any byte offset (interleaved vertex records with odd strides), so
// they are moved with memcpy rather than dereferenced in place.
template <class T>
inline T LoadAt(const void* base, uint32_t stride, uint32_t i) {
  T v;
  std::memcpy(&v, static_cast<const char*>(base) + static_cast<size_t>(i) * stride, sizeof(T));
  return v;
}
template <class T>
inline void StoreAt(void* base, uint32_t stride, uint32_t i, const T& v) {
  std::memcpy(static_cast<char*>(base) + static_cast<size_t>(i) * stride, &v, sizeof(T));
}

inline uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
inline float BitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

inline constexpr Matrix kIdentity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

// The combined matrix world * view * projection of those given (the identity when none is).
// Returns false when none is given.
bool CombineProjection(Matrix* out, const Matrix* projection, const Matrix* view,
                       const Matrix* world);
// The viewport mapping as a matrix (x and y scaled and offset into the rectangle, z into
// [minZ, maxZ]), and its inverse.
Matrix ViewportMatrix(const Viewport& vp);
Matrix InverseViewportMatrix(const Viewport& vp);

// The 4x4 adjugate (transposed cofactors) of a and the determinant expanded along the first
// column. Shared by the determinant and the inverse so that both see the same value.
float Adjugate(const Matrix& a, Matrix* adj);

// The weights of q1 and q2 in a spherical blend at t, for the cosine c in [0, 1 - 2^-23) of the
// angle between them: sin((1 - t) theta) / sin theta and sin(t theta) / sin theta, with theta =
// atan2(sqrt(1 - c^2), c), agreeing with a double evaluation to a few ulps.
void SlerpWeights(float c, float t, float* k1, float* k2);

// The constants behind those weights, shared by the scalar and the lane-parallel forms so that
// both evaluate the same expressions. sin x = x (1 + u (kSinPoly[0] + u (... + u kSinPoly[3])))
// with u = x^2 on [0, pi/2]; atan r likewise with kAtanPoly for |r| <= tan(pi/8). pi/4 and pi/2
// are each a float and the remainder of the true value.
inline constexpr float kSinPoly[4] = {-0.166666579478f, 0.00833305017067f, -0.000198090174087f,
                                      2.60510763533e-6f};
inline constexpr float kAtanPoly[5] = {-0.33333306893f, 0.199981830411f, -0.142395326696f,
                                       0.105698288064f, -0.0602630522766f};
inline constexpr float kTanEighthPi = 0.414213562f;
inline constexpr float kQuarterPi = 0.785398163f, kQuarterPiRest = -2.1855695e-8f;
inline constexpr float kHalfPi = 1.57079633f, kHalfPiRest = -4.371139e-8f;

// Several independent spherical blends at once: *out = Slerp(q1, q2, t) for each job, equal bit
// for bit to Slerp (each lane runs the same operations in the same order). A job's output may be
// one of its own inputs, but not an input of another job.
struct SlerpJob {
  Quaternion* out;
  const Quaternion* q1;
  const Quaternion* q2;
  float t;
};
void SlerpJobs(const SlerpJob* jobs, uint32_t count);

// The lanes SlerpJobs may use: it picks the widest this processor runs.
enum class SlerpLanes { kScalar, kSse2, kAvx };
// SlerpJobs with the given lanes, for tests; false (nothing run) when they are not available here.
bool SlerpJobsUsing(SlerpLanes lanes, const SlerpJob* jobs, uint32_t count);

}  // namespace lyr::mathutil
