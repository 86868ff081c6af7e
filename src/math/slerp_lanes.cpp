// Spherical blends run side by side. A single blend is a long chain of dependent operations (a
// square root, two divisions and three polynomials); running eight in the lanes of one AVX
// register, or of two interleaved SSE registers, turns that latency into throughput. Each lane
// follows the scalar Slerp operation for operation, with its branches turned into selects, so the
// results are the same bits.
#include "math/lane_ops.h"

namespace lyr::mathutil {
namespace {

using Batch = bool (*)(const SlerpJob* jobs, uint32_t count);

#if LYR_SSE2_LANES
namespace sse2 {
using namespace lanes::sse2;
#define LYR_LANE_ENTRY static
#include "math/slerp_eight.inc"
#undef LYR_LANE_ENTRY
}  // namespace sse2
#endif

#if LYR_AVX_LANES
namespace avx {
using namespace lanes::avx;
#define LYR_LANE_ENTRY static __attribute__((target("avx")))
#include "math/slerp_eight.inc"
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
