// Spherical blends run side by side. A single blend is a long chain of dependent operations (a
// square root, two divisions and three polynomials); running four in the lanes of a register, and
// two such registers interleaved, turns that latency into throughput. Each lane follows the scalar
// Slerp operation for operation, with its branches turned into selects, so the results are the
// same bits.
#include "core/compiler.h"
#include "math/fast_table.h"
#include "math/math_util.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LYR_SLERP_LANES 1
#endif

namespace lyr::mathutil {

#if LYR_SLERP_LANES
namespace {

// Eight lanes: two registers whose operations alternate, so that the two dependency chains
// overlap in the processor.
struct V {
  __m128 a, b;
};

LYR_ALWAYS_INLINE V Splat(float f) {
  return {_mm_set1_ps(f), _mm_set1_ps(f)};
}
#define LYR_LANE_OP(Name, Intrinsic)                   \
  LYR_ALWAYS_INLINE V Name(V x, V y) {                 \
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
LYR_ALWAYS_INLINE V Sqrt(V x) {
  return {_mm_sqrt_ps(x.a), _mm_sqrt_ps(x.b)};
}
LYR_ALWAYS_INLINE V Select(V mask, V x, V y) {
  return Or(And(mask, x), AndNot(mask, y));
}
LYR_ALWAYS_INLINE int Mask(V x) {
  return _mm_movemask_ps(x.a) | _mm_movemask_ps(x.b) << 4;
}

LYR_ALWAYS_INLINE V SinQuadrant(V x) {
  const V u = Mul(x, x);
  V p = Add(Splat(kSinPoly[2]), Mul(u, Splat(kSinPoly[3])));
  p = Add(Splat(kSinPoly[1]), Mul(u, p));
  p = Add(Splat(kSinPoly[0]), Mul(u, p));
  p = Add(Splat(1.0f), Mul(u, p));
  return Mul(x, p);
}

LYR_ALWAYS_INLINE V AtanEighth(V r) {
  const V u = Mul(r, r);
  V p = Add(Splat(kAtanPoly[3]), Mul(u, Splat(kAtanPoly[4])));
  p = Add(Splat(kAtanPoly[2]), Mul(u, p));
  p = Add(Splat(kAtanPoly[1]), Mul(u, p));
  p = Add(Splat(kAtanPoly[0]), Mul(u, p));
  p = Add(Splat(1.0f), Mul(u, p));
  return Mul(r, p);
}

// atan2(s, c) for s, c >= 0. Both reductions of the scalar form are chosen per lane before the one
// division, so a lane divides exactly the numbers the scalar form would.
LYR_ALWAYS_INLINE V QuadrantAngle(V s, V c) {
  const V lo = Min(s, c);  // s < c ? s : c
  const V hi = Max(c, s);  // c > s ? c : s, which is s < c ? c : s
  const V near = Greater(lo, Mul(Splat(kTanEighthPi), hi));
  const V num = Select(near, Sub(lo, hi), lo);
  const V den = Select(near, Add(lo, hi), hi);
  V a = AtanEighth(Div(num, den));
  a = Select(near, Add(Splat(kQuarterPi), Add(a, Splat(kQuarterPiRest))), a);
  const V turned = Add(Sub(Splat(kHalfPi), a), Splat(kHalfPiRest));
  return Select(Greater(s, c), turned, a);
}

// Four quaternions, one per job, as the x, y, z and w registers of four lanes.
LYR_ALWAYS_INLINE void LoadFour(const Quaternion* q0, const Quaternion* q1, const Quaternion* q2,
                                const Quaternion* q3, __m128* x, __m128* y, __m128* z, __m128* w) {
  __m128 r0 = _mm_loadu_ps(&q0->x), r1 = _mm_loadu_ps(&q1->x);
  __m128 r2 = _mm_loadu_ps(&q2->x), r3 = _mm_loadu_ps(&q3->x);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  *x = r0;
  *y = r1;
  *z = r2;
  *w = r3;
}

// Up to eight jobs (the unused lanes repeat the first job). Returns false, having written
// nothing, when a lane needs the extrapolating weights, which the scalar form computes with the
// library sine.
bool SlerpEight(const SlerpJob* jobs, uint32_t count) {
  const SlerpJob* j[8];
  for (uint32_t i = 0; i < 8; ++i) j[i] = &jobs[i < count ? i : 0];
  V ax, ay, az, aw, bx, by, bz, bw;
  LoadFour(j[0]->q1, j[1]->q1, j[2]->q1, j[3]->q1, &ax.a, &ay.a, &az.a, &aw.a);
  LoadFour(j[4]->q1, j[5]->q1, j[6]->q1, j[7]->q1, &ax.b, &ay.b, &az.b, &aw.b);
  LoadFour(j[0]->q2, j[1]->q2, j[2]->q2, j[3]->q2, &bx.a, &by.a, &bz.a, &bw.a);
  LoadFour(j[4]->q2, j[5]->q2, j[6]->q2, j[7]->q2, &bx.b, &by.b, &bz.b, &bw.b);
  const V t = {_mm_setr_ps(j[0]->t, j[1]->t, j[2]->t, j[3]->t),
               _mm_setr_ps(j[4]->t, j[5]->t, j[6]->t, j[7]->t)};

  V c = Add(Add(Add(Mul(ax, bx), Mul(ay, by)), Mul(az, bz)), Mul(aw, bw));
  const V sign = Select(GreaterEqual(c, Splat(0.0f)), Splat(1.0f), Splat(-1.0f));
  c = Mul(c, sign);
  const V curved = Greater(Sub(Splat(1.0f), c), Splat(kNearlyEqualTolerance));
  const V inRange = And(GreaterEqual(t, Splat(0.0f)), LessEqual(t, Splat(1.0f)));
  if (Mask(AndNot(inRange, curved)) & ((1 << count) - 1)) return false;

  const V oneMinusT = Sub(Splat(1.0f), t);
  const V s = Sqrt(Mul(Sub(Splat(1.0f), c), Add(Splat(1.0f), c)));
  const V inv = Div(Splat(1.0f), s);
  const V theta = QuadrantAngle(s, c);
  const V k1 = Select(curved, Mul(SinQuadrant(Mul(oneMinusT, theta)), inv), oneMinusT);
  const V k2 = Mul(Select(curved, Mul(SinQuadrant(Mul(t, theta)), inv), t), sign);

  V rx = Add(Mul(ax, k1), Mul(bx, k2));
  V ry = Add(Mul(ay, k1), Mul(by, k2));
  V rz = Add(Mul(az, k1), Mul(bz, k2));
  V rw = Add(Mul(aw, k1), Mul(bw, k2));
  _MM_TRANSPOSE4_PS(rx.a, ry.a, rz.a, rw.a);
  _MM_TRANSPOSE4_PS(rx.b, ry.b, rz.b, rw.b);
  const __m128 out[8] = {rx.a, ry.a, rz.a, rw.a, rx.b, ry.b, rz.b, rw.b};
  for (uint32_t i = 0; i < count; ++i) _mm_storeu_ps(&jobs[i].out->x, out[i]);
  return true;
}

}  // namespace
#endif

void SlerpJobs(const SlerpJob* jobs, uint32_t count) {
  for (uint32_t i = 0; i < count; i += 8) {
    const uint32_t n = count - i < 8 ? count - i : 8;
#if LYR_SLERP_LANES
    if (SlerpEight(jobs + i, n)) continue;
#endif
    for (uint32_t k = i; k < i + n; ++k) {
      plain::Slerp(jobs[k].out, jobs[k].q1, jobs[k].q2, jobs[k].t);
    }
  }
}

}  // namespace lyr::mathutil
