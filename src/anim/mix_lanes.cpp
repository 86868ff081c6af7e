// The group mix in lanes (mix_lanes.inc) and the choice of its form.
#include "anim/interpolator_impl.h"
#include "anim/mix.h"
#include "math/lane_ops.h"

namespace lyr {
namespace {

#if LYR_SSE2_LANES
// The value read for a lane without a sample; never used.
constexpr FrameValue kNoValue{};

// A value's ten floats: scale 0-2, rotation 3-6, translation 7-9.
const float* Floats(const FrameValue* v) {
  return &v->scale.x;
}

// One track located for the eight lanes of a group, output by output: per lane the two key values
// blended by the fraction, or one value (a = b) where the sample is a single key. Where an
// interpolator's channels have separate key times, its sample's scale and translation go to
// `separate` with the two rotations, and only the rotation is blended.
struct TrackKeys {
  const float* a[8];
  const float* b[8];
  alignas(32) float fraction[8];
  int present, blended, sampled;  // lanes with a sample, two keys, a stand-in pair
  alignas(16) FrameValue separate[8][2];
};

// Out of line and shared by the lane forms: alone, its loop keeps its values in registers.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void LocateTrack(MixTrack& mt, const uint32_t* outputs, uint32_t count, TrackKeys* k) {
  int present = 0, blended = 0, sampled = 0;
  const LookupEntry* row = mt.interpolators;
  // The interpolators of a set mostly share one period, and so the time within it.
  double period = mt.period, local = mt.local;
  for (uint32_t l = 0; l < count; ++l) {
    const int bit = 1 << l;
    KeyFrameInterpolator* it = row[outputs[l]].it;
    if (!it) {
      k->a[l] = k->b[l] = Floats(&kNoValue);
      k->fraction[l] = 0.0f;
      continue;
    }
    present |= bit;
    KeyFrameInterpolatorImpl* own = OwnInterpolator(it);
    if (own->PeriodSeconds() != period) {
      period = own->PeriodSeconds();
      local = own->LocalTime(mt.position);
    }
    const FrameValue *ka, *kb;
    if (own->LocateKeys(local, &ka, &kb, &k->fraction[l])) {
      k->a[l] = Floats(ka);
      k->b[l] = Floats(kb ? kb : ka);
      if (kb) blended |= bit;
      continue;
    }
    DeferredSample d;
    own->SampleDeferredLocal(local, &d);
    sampled |= bit;
    k->separate[l][0] = {d.scale, *d.r0, d.translation};
    k->separate[l][1] = {d.scale, d.r1 ? *d.r1 : *d.r0, d.translation};
    k->a[l] = Floats(&k->separate[l][0]);
    k->b[l] = Floats(&k->separate[l][1]);
    k->fraction[l] = d.f;
    if (d.r1) blended |= bit;
  }
  for (uint32_t l = count; l < 8; ++l) {
    k->a[l] = k->b[l] = Floats(&kNoValue);
    k->fraction[l] = 0.0f;
  }
  mt.period = period;
  mt.local = local;
  k->present = present;
  k->blended = blended;
  k->sampled = sampled;
}

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
