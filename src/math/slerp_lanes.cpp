// Spherical blends run side by side. A single blend is a long chain of dependent operations (a
// square root, two divisions and three polynomials); running eight in the lanes of one AVX
// register, or of two interleaved SSE registers, turns that latency into throughput. Each lane
// follows the scalar Slerp operation for operation, with its branches turned into selects, so the
// results are the same bits.
//
// Lanes are used on x86-64 only: 32-bit x86 code computes the scalar form in x87 registers, whose
// rounding the lanes would not reproduce.
#include "core/compiler.h"
#include "math/fast_table.h"
#include "math/math_util.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define LYR_SSE2_LANES 1
#if defined(__GNUC__)
#define LYR_AVX_LANES 1
#endif
#endif

namespace lyr::mathutil {
namespace {

using Batch = bool (*)(const SlerpJob* jobs, uint32_t count);

#if LYR_SSE2_LANES
namespace sse2 {

#if defined(__GNUC__)
#define LYR_LANE_FN static inline __attribute__((always_inline))
#else
#define LYR_LANE_FN static __forceinline
#endif
#define LYR_LANE_ENTRY static

// Eight lanes in two registers whose operations alternate, so that the two dependency chains
// overlap in the processor.
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
LYR_LANE_OP(Greater, _mm_cmpgt_ps)
LYR_LANE_OP(GreaterEqual, _mm_cmpge_ps)
LYR_LANE_OP(LessEqual, _mm_cmple_ps)
#undef LYR_LANE_OP
LYR_LANE_FN V Sqrt(V x) {
  return {_mm_sqrt_ps(x.a), _mm_sqrt_ps(x.b)};
}
LYR_LANE_FN int Mask(V x) {
  return _mm_movemask_ps(x.a) | _mm_movemask_ps(x.b) << 4;
}

// Jobs 0-3 in the first register, 4-7 in the second: x, y, z and w of each job in its lane.
LYR_LANE_FN void LoadQuaternions(const SlerpJob* const* j, const Quaternion* const SlerpJob::*q,
                                 V* x, V* y, V* z, V* w) {
  for (int h = 0; h < 2; ++h) {
    __m128 r0 = _mm_loadu_ps(&(j[4 * h]->*q)->x), r1 = _mm_loadu_ps(&(j[4 * h + 1]->*q)->x);
    __m128 r2 = _mm_loadu_ps(&(j[4 * h + 2]->*q)->x), r3 = _mm_loadu_ps(&(j[4 * h + 3]->*q)->x);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    (h ? x->b : x->a) = r0;
    (h ? y->b : y->a) = r1;
    (h ? z->b : z->a) = r2;
    (h ? w->b : w->a) = r3;
  }
}
LYR_LANE_FN V LoadWeights(const SlerpJob* const* j) {
  return {_mm_setr_ps(j[0]->t, j[1]->t, j[2]->t, j[3]->t),
          _mm_setr_ps(j[4]->t, j[5]->t, j[6]->t, j[7]->t)};
}
LYR_LANE_FN void StoreQuaternions(const SlerpJob* jobs, uint32_t count, V x, V y, V z, V w) {
  _MM_TRANSPOSE4_PS(x.a, y.a, z.a, w.a);
  _MM_TRANSPOSE4_PS(x.b, y.b, z.b, w.b);
  const __m128 out[8] = {x.a, y.a, z.a, w.a, x.b, y.b, z.b, w.b};
  for (uint32_t i = 0; i < count; ++i) _mm_storeu_ps(&jobs[i].out->x, out[i]);
}

#include "math/slerp_lanes.inc"
#undef LYR_LANE_FN
#undef LYR_LANE_ENTRY

}  // namespace sse2
#endif

#if LYR_AVX_LANES
namespace avx {

#define LYR_LANE_FN static inline __attribute__((always_inline, target("avx")))
#define LYR_LANE_ENTRY static __attribute__((target("avx")))

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
LYR_LANE_FN V Sqrt(V x) {
  return _mm256_sqrt_ps(x);
}
LYR_LANE_FN int Mask(V x) {
  return _mm256_movemask_ps(x);
}

// Job k in lane k: jobs 0-3 in the low half, 4-7 in the high half, each half transposed in place.
LYR_LANE_FN void LoadQuaternions(const SlerpJob* const* j, const Quaternion* const SlerpJob::*q,
                                 V* x, V* y, V* z, V* w) {
  V r[4];
  for (int k = 0; k < 4; ++k) {
    r[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(&(j[k]->*q)->x)),
                                _mm_loadu_ps(&(j[k + 4]->*q)->x), 1);
  }
  const V t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const V t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  *x = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  *y = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  *z = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  *w = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
}
LYR_LANE_FN V LoadWeights(const SlerpJob* const* j) {
  return _mm256_setr_ps(j[0]->t, j[1]->t, j[2]->t, j[3]->t, j[4]->t, j[5]->t, j[6]->t, j[7]->t);
}
LYR_LANE_FN void StoreQuaternions(const SlerpJob* jobs, uint32_t count, V x, V y, V z, V w) {
  const V t0 = _mm256_unpacklo_ps(x, y), t1 = _mm256_unpackhi_ps(x, y);
  const V t2 = _mm256_unpacklo_ps(z, w), t3 = _mm256_unpackhi_ps(z, w);
  const V r[4] = {_mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0)),
                  _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2)),
                  _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0)),
                  _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2))};
  for (uint32_t i = 0; i < count; ++i) {
    const V& v = r[i & 3];
    _mm_storeu_ps(&jobs[i].out->x, i < 4 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1));
  }
}

#include "math/slerp_lanes.inc"
#undef LYR_LANE_FN
#undef LYR_LANE_ENTRY

}  // namespace avx
#endif

Batch BatchFor(SlerpLanes lanes) {
  switch (lanes) {
#if LYR_AVX_LANES
    case SlerpLanes::kAvx:
      // The check covers the operating system's saving of the wide registers, not only the
      // instructions.
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx") ? avx::SlerpEight : nullptr;
#endif
#if LYR_SSE2_LANES
    case SlerpLanes::kSse2:
      return sse2::SlerpEight;
#endif
    default:
      return nullptr;
  }
}

Batch BestBatch() {
  static const Batch best = [] {
    Batch b = BatchFor(SlerpLanes::kAvx);
    return b ? b : BatchFor(SlerpLanes::kSse2);
  }();
  return best;
}

void RunJobs(Batch batch, const SlerpJob* jobs, uint32_t count) {
  for (uint32_t i = 0; i < count; i += 8) {
    const uint32_t n = count - i < 8 ? count - i : 8;
    if (batch && batch(jobs + i, n)) continue;
    for (uint32_t k = i; k < i + n; ++k) {
      plain::Slerp(jobs[k].out, jobs[k].q1, jobs[k].q2, jobs[k].t);
    }
  }
}

}  // namespace

void SlerpJobs(const SlerpJob* jobs, uint32_t count) {
  RunJobs(BestBatch(), jobs, count);
}

bool SlerpJobsUsing(SlerpLanes lanes, const SlerpJob* jobs, uint32_t count) {
  const Batch batch = BatchFor(lanes);
  if (!batch && lanes != SlerpLanes::kScalar) return false;
  RunJobs(batch, jobs, count);
  return true;
}

}  // namespace lyr::mathutil
