// The group mix in lanes (mix_lanes.inc) and the choice of its form.
#include "anim/interpolator_impl.h"
#include "anim/mix.h"
#include "math/lane_ops.h"

namespace lyr {
namespace {

#if LYR_SSE2_LANES
// The value read for a lane without a sample; never used.
constexpr FrameValue kNoValue{};

namespace sse2 {
using namespace mathutil::lanes::sse2;
#define LYR_LANE_FN LYR_SSE2_LANE_FN
#define LYR_LANE_ENTRY static
#include "anim/mix_lanes.inc"
#undef LYR_LANE_ENTRY
#undef LYR_LANE_FN
}  // namespace sse2
#endif

#if LYR_AVX_LANES
namespace avx {
using namespace mathutil::lanes::avx;
#define LYR_LANE_FN LYR_AVX_LANE_FN
#define LYR_LANE_ENTRY static __attribute__((target("avx")))
#include "anim/mix_lanes.inc"
#undef LYR_LANE_ENTRY
#undef LYR_LANE_FN
}  // namespace avx
#endif

// The mixer of the given lanes; null when this build or processor lacks them.
OwnGroupMixer MixerFor(mathutil::SlerpLanes lanes) {
  switch (lanes) {
#if LYR_AVX_LANES
    case mathutil::SlerpLanes::kAvx:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx") ? avx::MixOwnGroup : nullptr;
#endif
#if LYR_SSE2_LANES
    case mathutil::SlerpLanes::kSse2:
      return sse2::MixOwnGroup;
#endif
    default:
      return nullptr;
  }
}

OwnGroupMixer& Active() {
  static OwnGroupMixer active = [] {
    const OwnGroupMixer m = MixerFor(mathutil::SlerpLanes::kAvx);
    return m ? m : MixerFor(mathutil::SlerpLanes::kSse2);
  }();
  return active;
}

}  // namespace

OwnGroupMixer ActiveOwnGroupMixer() {
  return Active();
}

bool SelectOwnGroupMixer(mathutil::SlerpLanes lanes) {
  const OwnGroupMixer m = MixerFor(lanes);
  if (!m && lanes != mathutil::SlerpLanes::kScalar) return false;
  Active() = m;
  return true;
}

}  // namespace lyr
