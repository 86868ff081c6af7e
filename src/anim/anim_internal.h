// Creation functions of the animation objects, behind the exported functions.
#pragma once

#include "lyr/anim.h"

namespace lyr {

// The period in ticks from the last key times of the scale, rotation and translation channels.
double InterpolatorPeriodTicks(double s, double r, double t);

// std::fmod(x, p), bit for bit, without its long division for x from one to 2^52 periods.
// *wraps: a guess at the whole periods in x (0 at first), replaced when it is wrong.
double TimeRemainder(double x, double p, double* wraps);

LyrResult CreateKeyFrameInterpolator(const char* name, const VectorKey* scaleKeys,
                                     uint32_t scaleKeyCount, const RotationKey* rotationKeys,
                                     uint32_t rotationKeyCount, const VectorKey* translationKeys,
                                     uint32_t translationKeyCount, double ticksPerSecond,
                                     KeyFrameInterpolator** out);

// A sample of one of this library's own interpolators with the rotation blend left to the caller,
// who may run many at once: rotation = conj(Slerp(*r0, *r1, f)) when r1 is set, conj(*r0)
// otherwise. The pointers name the interpolator's keys and stay valid while it lives.
struct DeferredSample {
  Vector3 scale;
  Vector3 translation;
  const Quaternion* r0;
  const Quaternion* r1;
  float f;
};

// True when `it` is one of this library's key-frame interpolators. Asks through a private
// identifier, so any host object answers false.
bool IsOwnInterpolator(KeyFrameInterpolator* it);

// conj(q): rotations leave an interpolator conjugated.
inline Quaternion Conjugated(const Quaternion& q) {
  return {-q.x, -q.y, -q.z, q.w};
}

LyrResult CreateAnimationSet(const char* name, KeyFrameInterpolator* const* interpolators,
                             uint32_t count, AnimationSet** out);

LyrResult CreateAnimationController(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks,
                                    uint32_t maxEvents, AnimationController** out);

}  // namespace lyr
