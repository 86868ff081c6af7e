// Eight float lanes, in two instruction sets: namespace lanes::sse2 (two interleaved SSE
// registers, whose operations alternate so that two dependency chains overlap) and lanes::avx (one
// AVX register, for entries built with target("avx") and chosen only after a run-time check). Each
// set gives the type V, the operations the lane-parallel kernels share (slerp_lanes.inc) and moves
// between memory and lanes. Every operation is the IEEE single-precision operation of the scalar
// code, so a kernel that repeats scalar code operation for operation gives the same bits. Neither
// target enables FMA: a fused multiply-add would round once where the scalar code rounds twice.
//
// Defined on x86-64 only (LYR_SSE2_LANES, LYR_AVX_LANES): 32-bit x86 code computes the scalar forms
// in x87 registers, whose rounding the lanes would not reproduce. Library-internal.
#pragma once

#include <cstdint>

#include "lyr/math.h"
#include "math/fast_table.h"
#include "math/math_util.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define LYR_SSE2_LANES 1
#if defined(__GNUC__)
#define LYR_AVX_LANES 1
#endif
#endif

#if LYR_SSE2_LANES
namespace lyr::mathutil::lanes {

// Loops over lanes or over the components of a value are unrolled wherever they stand, so that
// every value stays in a register rather than an array on the stack.
#if defined(__GNUC__)
#define LYR_UNROLL _Pragma("GCC unroll 8")
#else
#define LYR_UNROLL
#endif

// The attributes of the inlined lane helpers of each set, for the kernels built on them.
#if defined(__GNUC__)
#define LYR_SSE2_LANE_FN static inline __attribute__((always_inline))
#define LYR_AVX_LANE_FN static inline __attribute__((always_inline, target("avx")))
#else
#define LYR_SSE2_LANE_FN static __forceinline
#endif

namespace sse2 {

#define LYR_LANE_FN LYR_SSE2_LANE_FN

struct V {
  __m128 a, b;
};

LYR_LANE_FN V Splat(float f) {
  return {_mm_set1_ps(f), _mm_set1_ps(f)};
}
#define LYR_LANE_OP(Name, Intrinsic)                   \
  LYR_LANE_FN V Name(V x, V y) {                       \
    return {Intrinsic(x.a, y.a), Intrinsic(x.b, y.b)}; \
  }
LYR_LANE_OP(Add, _mm_add_ps)
LYR_LANE_OP(Sub, _mm_sub_ps)
LYR_LANE_OP(Mul, _mm_mul_ps)
LYR_LANE_OP(Div, _mm_div_ps)
LYR_LANE_OP(Min, _mm_min_ps)
LYR_LANE_OP(Max, _mm_max_ps)
LYR_LANE_OP(And, _mm_and_ps)
LYR_LANE_OP(AndNot, _mm_andnot_ps)  // ~x & y
LYR_LANE_OP(Or, _mm_or_ps)
LYR_LANE_OP(Xor, _mm_xor_ps)
LYR_LANE_OP(Greater, _mm_cmpgt_ps)
LYR_LANE_OP(GreaterEqual, _mm_cmpge_ps)
LYR_LANE_OP(LessEqual, _mm_cmple_ps)
LYR_LANE_OP(Equal, _mm_cmpeq_ps)
#undef LYR_LANE_OP
LYR_LANE_FN V Sqrt(V x) {
  return {_mm_sqrt_ps(x.a), _mm_sqrt_ps(x.b)};
}
// x where the mask is set, else y.
LYR_LANE_FN V Select(V mask, V x, V y) {
  return Or(And(mask, x), AndNot(mask, y));
}
LYR_LANE_FN int Mask(V x) {
  return _mm_movemask_ps(x.a) | _mm_movemask_ps(x.b) << 4;
}
LYR_LANE_FN V Load(const float* p) {
  return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)};
}
LYR_LANE_FN void Store(float* p, V x) {
  _mm_storeu_ps(p, x.a);
  _mm_storeu_ps(p + 4, x.b);
}
// Lane k set where bit k of `bits` is.
LYR_LANE_FN V MaskOf(int bits) {
  const __m128i b = _mm_set1_epi32(bits);
  const __m128i lo = _mm_setr_epi32(1, 2, 4, 8), hi = _mm_setr_epi32(16, 32, 64, 128);
  return {_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(b, lo), lo)),
          _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(b, hi), hi))};
}

// Four floats from each of eight addresses, p[k] + offset: lane k's x, y, z and w.
LYR_LANE_FN void LoadColumns(const float* const* p, int offset, V* x, V* y, V* z, V* w) {
  LYR_UNROLL
  for (int h = 0; h < 2; ++h) {
    __m128 r0 = _mm_loadu_ps(p[4 * h] + offset), r1 = _mm_loadu_ps(p[4 * h + 1] + offset);
    __m128 r2 = _mm_loadu_ps(p[4 * h + 2] + offset), r3 = _mm_loadu_ps(p[4 * h + 3] + offset);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    (h ? x->b : x->a) = r0;
    (h ? y->b : y->a) = r1;
    (h ? z->b : z->a) = r2;
    (h ? w->b : w->a) = r3;
  }
}
// The reverse: rows[k] = lane k's (x, y, z, w).
LYR_LANE_FN void Transpose(V x, V y, V z, V w, __m128* rows) {
  _MM_TRANSPOSE4_PS(x.a, y.a, z.a, w.a);
  _MM_TRANSPOSE4_PS(x.b, y.b, z.b, w.b);
  rows[0] = x.a;
  rows[1] = y.a;
  rows[2] = z.a;
  rows[3] = w.a;
  rows[4] = x.b;
  rows[5] = y.b;
  rows[6] = z.b;
  rows[7] = w.b;
}

// Sixteen values per lane, m[4 * r + c] element (r, c) of lane k's matrix: the matrix of each
// lane set in `lanes` stored at p[k], one lane after the other.
LYR_LANE_FN void StoreMatrices(float* const* p, int lanes, V* m) {
  LYR_UNROLL
  for (int g = 0; g < 4; ++g) {
    _MM_TRANSPOSE4_PS(m[4 * g].a, m[4 * g + 1].a, m[4 * g + 2].a, m[4 * g + 3].a);
    _MM_TRANSPOSE4_PS(m[4 * g].b, m[4 * g + 1].b, m[4 * g + 2].b, m[4 * g + 3].b);
  }
  LYR_UNROLL
  for (int k = 0; k < 8; ++k) {
    if (!(lanes >> k & 1)) continue;
    LYR_UNROLL
    for (int g = 0; g < 4; ++g) {
      _mm_storeu_ps(p[k] + 4 * g, k < 4 ? m[4 * g + k].a : m[4 * g + k - 4].b);
    }
  }
}

#include "math/slerp_lanes.inc"
#undef LYR_LANE_FN

}  // namespace sse2

#if LYR_AVX_LANES
namespace avx {

#define LYR_LANE_FN LYR_AVX_LANE_FN

using V = __m256;

LYR_LANE_FN V Splat(float f) {
  return _mm256_set1_ps(f);
}
#define LYR_LANE_OP(Name, Intrinsic) \
  LYR_LANE_FN V Name(V x, V y) {     \
    return Intrinsic(x, y);          \
  }
LYR_LANE_OP(Add, _mm256_add_ps)
LYR_LANE_OP(Sub, _mm256_sub_ps)
LYR_LANE_OP(Mul, _mm256_mul_ps)
LYR_LANE_OP(Div, _mm256_div_ps)
LYR_LANE_OP(Min, _mm256_min_ps)
LYR_LANE_OP(Max, _mm256_max_ps)
LYR_LANE_OP(And, _mm256_and_ps)
LYR_LANE_OP(AndNot, _mm256_andnot_ps)  // ~x & y
LYR_LANE_OP(Or, _mm256_or_ps)
LYR_LANE_OP(Xor, _mm256_xor_ps)
#undef LYR_LANE_OP
// Ordered, signalling-free comparisons: false for NaN, as the scalar comparisons are.
LYR_LANE_FN V Greater(V x, V y) {
  return _mm256_cmp_ps(x, y, _CMP_GT_OQ);
}
LYR_LANE_FN V GreaterEqual(V x, V y) {
  return _mm256_cmp_ps(x, y, _CMP_GE_OQ);
}
LYR_LANE_FN V LessEqual(V x, V y) {
  return _mm256_cmp_ps(x, y, _CMP_LE_OQ);
}
LYR_LANE_FN V Equal(V x, V y) {
  return _mm256_cmp_ps(x, y, _CMP_EQ_OQ);
}
LYR_LANE_FN V Sqrt(V x) {
  return _mm256_sqrt_ps(x);
}
// Not the blend instruction: the compiler turns it into a test of each lane's sign, which it
// cannot do in one register without AVX2.
LYR_LANE_FN V Select(V mask, V x, V y) {
  return Or(And(mask, x), AndNot(mask, y));
}
LYR_LANE_FN int Mask(V x) {
  return _mm256_movemask_ps(x);
}
LYR_LANE_FN V Load(const float* p) {
  return _mm256_loadu_ps(p);
}
LYR_LANE_FN void Store(float* p, V x) {
  _mm256_storeu_ps(p, x);
}
LYR_LANE_FN V MaskOf(int bits) {
  // Lane k holds bit k of `bits` as a float 0 or 1 after the and with a power of two per lane.
  const __m256 b =
      _mm256_and_ps(_mm256_castsi256_ps(_mm256_set1_epi32(bits)),
                    _mm256_castsi256_ps(_mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128)));
  return _mm256_cmp_ps(b, _mm256_setzero_ps(), _CMP_NEQ_UQ);
}

// Record k in lane k: records 0-3 in the low half, 4-7 in the high half, each half transposed in
// place.
LYR_LANE_FN void LoadColumns(const float* const* p, int offset, V* x, V* y, V* z, V* w) {
  V r[4];
  LYR_UNROLL
  for (int k = 0; k < 4; ++k) {
    r[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p[k] + offset)),
                                _mm_loadu_ps(p[k + 4] + offset), 1);
  }
  const V t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const V t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  *x = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  *y = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  *z = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  *w = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
}
LYR_LANE_FN void Transpose(V x, V y, V z, V w, __m128* rows) {
  const V t0 = _mm256_unpacklo_ps(x, y), t1 = _mm256_unpackhi_ps(x, y);
  const V t2 = _mm256_unpacklo_ps(z, w), t3 = _mm256_unpackhi_ps(z, w);
  const V r[4] = {_mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0)),
                  _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2)),
                  _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0)),
                  _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2))};
  LYR_UNROLL
  for (int k = 0; k < 4; ++k) {
    rows[k] = _mm256_castps256_ps128(r[k]);
    rows[k + 4] = _mm256_extractf128_ps(r[k], 1);
  }
}

LYR_LANE_FN void StoreMatrices(float* const* p, int lanes, V* m) {
  V r[4][4];  // r[g][k & 3]: row g of lane k in the low half for k < 4, the high half otherwise
  LYR_UNROLL
  for (int g = 0; g < 4; ++g) {
    const V t0 = _mm256_unpacklo_ps(m[4 * g], m[4 * g + 1]);
    const V t1 = _mm256_unpackhi_ps(m[4 * g], m[4 * g + 1]);
    const V t2 = _mm256_unpacklo_ps(m[4 * g + 2], m[4 * g + 3]);
    const V t3 = _mm256_unpackhi_ps(m[4 * g + 2], m[4 * g + 3]);
    r[g][0] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    r[g][1] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    r[g][2] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    r[g][3] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  }
  LYR_UNROLL
  for (int k = 0; k < 8; ++k) {
    if (!(lanes >> k & 1)) continue;
    LYR_UNROLL
    for (int g = 0; g < 4; ++g) {
      const V& v = r[g][k & 3];
      _mm_storeu_ps(p[k] + 4 * g, k < 4 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1));
    }
  }
}

#include "math/slerp_lanes.inc"
#undef LYR_LANE_FN

}  // namespace avx
#endif

}  // namespace lyr::mathutil::lanes
#endif
