// SSE form of the N-patch evaluation kernel (fast-function entry 70). The control points come
// from NPatchControlPoints, as in the plain form; the points are then evaluated four at a time,
// one point per lane, with every weight and every sum formed exactly as the plain form forms it
// (same operands, same order, single precision), so on processors that evaluate the plain form
// in single precision too the two agree bit for bit. Compiled with a per-function target
// attribute: the 32-bit build runs on any x86 and enters this form only when the selection has
// found SSE.
#include <cstring>

#include "math/kernels.h"

#if defined(LYR_HAVE_SSE_NPATCH)
#include <immintrin.h>

#define LYR_TARGET_SSE __attribute__((target("sse")))
#define LYR_TARGET_SSE_INLINE static inline __attribute__((always_inline, target("sse")))

namespace lyr {
namespace {

// Lanes k.. of the linear part w2 * V2 + w0 * V0 + w1 * V1, in the plain form's order.
LYR_TARGET_SSE_INLINE __m128 Linear(__m128 w2, __m128 w0, __m128 w1, __m128 a2, __m128 a0,
                                    __m128 a1) {
  return _mm_add_ps(_mm_add_ps(_mm_mul_ps(w2, a2), _mm_mul_ps(w0, a0)), _mm_mul_ps(w1, a1));
}

LYR_TARGET_SSE_INLINE __m128 Load2(const float* p) {
  return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p));
}

// Writes one point: the position (lanes x, y, z of pos) and the linear components 3..n-1,
// read straight from the corners four, two and one at a time so nothing past a corner is read.
LYR_TARGET_SSE_INLINE void WritePoint(float* o, __m128 pos, float a, float b, float c,
                                      const float* v0, const float* v1, const float* v2,
                                      uint32_t n) {
  _mm_storel_pi(reinterpret_cast<__m64*>(o), pos);
  _mm_store_ss(o + 2, _mm_movehl_ps(pos, pos));
  const __m128 w2 = _mm_set1_ps(a), w0 = _mm_set1_ps(b), w1 = _mm_set1_ps(c);
  uint32_t k = 3;
  for (; k + 4 <= n; k += 4)
    _mm_storeu_ps(o + k, Linear(w2, w0, w1, _mm_loadu_ps(v2 + k), _mm_loadu_ps(v0 + k),
                                _mm_loadu_ps(v1 + k)));
  if (k + 2 <= n) {
    _mm_storel_pi(reinterpret_cast<__m64*>(o + k),
                  Linear(w2, w0, w1, Load2(v2 + k), Load2(v0 + k), Load2(v1 + k)));
    k += 2;
  }
  if (k < n)
    _mm_store_ss(o + k,
                 Linear(w2, w0, w1, _mm_load_ss(v2 + k), _mm_load_ss(v0 + k), _mm_load_ss(v1 + k)));
}

}  // namespace

namespace sse {

LYR_TARGET_SSE void EvaluateNPatchPoints(const Vector3* normals, const float* points,
                                         uint32_t pointCount, float* out, const float* v0,
                                         const float* v1, const float* v2,
                                         uint32_t floatsPerVertex) {
  Vector3 cp[10];
  NPatchControlPoints(normals, v0, v1, v2, cp);
  __m128 cx[10], cy[10], cz[10];
  for (int c = 0; c < 10; ++c) {
    cx[c] = _mm_set1_ps(cp[c].x);
    cy[c] = _mm_set1_ps(cp[c].y);
    cz[c] = _mm_set1_ps(cp[c].z);
  }
  const __m128 one = _mm_set1_ps(1.0f), three = _mm_set1_ps(3.0f), six = _mm_set1_ps(6.0f);
  const uint32_t n = floatsPerVertex;
  for (uint32_t i = 0; i < pointCount; i += 4) {
    // Four pairs (a, b); a last group of fewer is padded with (0, 0) and its padding not written.
    const uint32_t lanes = pointCount - i < 4 ? pointCount - i : 4;
    const float* pairs = points + size_t(i) * 2;
    alignas(16) float padded[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (lanes < 4) pairs = static_cast<const float*>(std::memcpy(padded, pairs, 8 * lanes));
    const __m128 p01 = _mm_loadu_ps(pairs), p23 = _mm_loadu_ps(pairs + 4);
    const __m128 w2 = _mm_shuffle_ps(p01, p23, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 w0 = _mm_shuffle_ps(p01, p23, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 w1 = _mm_sub_ps(_mm_sub_ps(one, w2), w0);
    const __m128 w00 = _mm_mul_ps(w0, w0), t0 = _mm_mul_ps(three, w0), t2 = _mm_mul_ps(three, w2);
    const __m128 weight[10] = {
        _mm_mul_ps(w00, w0),
        _mm_mul_ps(_mm_mul_ps(t0, w0), w1),
        _mm_mul_ps(_mm_mul_ps(t0, w0), w2),
        _mm_mul_ps(_mm_mul_ps(t0, w1), w1),
        _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(six, w2), w0), w1),
        _mm_mul_ps(_mm_mul_ps(t2, w2), w0),
        _mm_mul_ps(_mm_mul_ps(w1, w1), w1),
        _mm_mul_ps(_mm_mul_ps(t2, w1), w1),
        _mm_mul_ps(_mm_mul_ps(t2, w2), w1),
        _mm_mul_ps(_mm_mul_ps(w2, w2), w2),
    };
    __m128 x = _mm_setzero_ps(), y = _mm_setzero_ps(), z = _mm_setzero_ps();
    for (int c = 0; c < 10; ++c) {
      x = _mm_add_ps(x, _mm_mul_ps(weight[c], cx[c]));
      y = _mm_add_ps(y, _mm_mul_ps(weight[c], cy[c]));
      z = _mm_add_ps(z, _mm_mul_ps(weight[c], cz[c]));
    }
    // One row (x, y, z, 0) per point.
    __m128 r0 = x, r1 = y, r2 = z, r3 = _mm_setzero_ps();
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    const __m128 rows[4] = {r0, r1, r2, r3};
    alignas(16) float a[4], b[4], c[4];
    _mm_store_ps(a, w2);
    _mm_store_ps(b, w0);
    _mm_store_ps(c, w1);
    float* o = out + size_t(i) * n;
    for (uint32_t j = 0; j < lanes; ++j, o += n)
      WritePoint(o, rows[j], a[j], b[j], c[j], v0, v1, v2, n);
  }
}

}  // namespace sse
}  // namespace lyr

#endif  // LYR_HAVE_SSE_NPATCH
