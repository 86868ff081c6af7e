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

}  // namespace lyr::mathutil
