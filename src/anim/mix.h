// The controller's mix of one group of outputs, shared between the controller and the lane forms.
#pragma once

#include <cstdint>

#include "lyr/anim.h"
#include "math/math_util.h"

namespace lyr {

// The interpolator of one set for one output. `own` marks this library's interpolators, which the
// mix samples with their rotation blends deferred and runs eight at a time.
struct LookupEntry {
  KeyFrameInterpolator* it;
  bool own;
};

// A track taking part in a mix: its row of the lookup table and the state the mix reads.
struct MixTrack {
  const LookupEntry* interpolators;  // indexed by output
  double position;
  float weight;
  uint32_t priorityClass;  // bit 0 of the priority
  // The last period seen during the mix (NaN at first) and the position within it, which the
  // interpolators of that period share.
  double period;
  double local;
};

// The outputs mixed together: eight, so that their rotation blends fill the lanes.
constexpr uint32_t kMixGroup = 8;

// Mixes `count` (1 to kMixGroup) outputs, each `outputs[l]` written to `targets[l]`, over the
// tracks; every interpolator the tracks have for these outputs is this library's own. Writes
// exactly what the one-output-at-a-time mix writes, bit for bit.
using OwnGroupMixer = void (*)(MixTrack* tracks, uint32_t nTracks, const uint32_t* outputs,
                               Matrix* const* targets, uint32_t count, float priorityBlend);

// The group mixer the controllers use: the widest lanes this processor runs, or null where there
// are none (the controller then mixes through its scalar form).
OwnGroupMixer ActiveOwnGroupMixer();

// For tests: makes the mixer of the given lanes the active one (kScalar: none). False, changing
// nothing, when those lanes are not available here.
bool SelectOwnGroupMixer(mathutil::SlerpLanes lanes);

}  // namespace lyr
