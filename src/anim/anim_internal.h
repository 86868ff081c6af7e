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

LyrResult CreateAnimationSet(const char* name, KeyFrameInterpolator* const* interpolators,
                             uint32_t count, AnimationSet** out);

LyrResult CreateAnimationController(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks,
                                    uint32_t maxEvents, AnimationController** out);

}  // namespace lyr
