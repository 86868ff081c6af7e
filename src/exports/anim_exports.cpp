// Exported functions of the animation subsystem.
#include "anim/anim_internal.h"
#include "core/object_impl.h"

extern "C" {

LYR_API LyrResult LYR_CALL LyrCreateKeyFrameInterpolator(
    const char* name, const lyr::VectorKey* scaleKeys, uint32_t scaleKeyCount,
    const lyr::RotationKey* rotationKeys, uint32_t rotationKeyCount,
    const lyr::VectorKey* translationKeys, uint32_t translationKeyCount, double ticksPerSecond,
    lyr::KeyFrameInterpolator** out) {
  return lyr::Guard([&] {
    return lyr::CreateKeyFrameInterpolator(name, scaleKeys, scaleKeyCount, rotationKeys,
                                           rotationKeyCount, translationKeys, translationKeyCount,
                                           ticksPerSecond, out);
  });
}

LYR_API LyrResult LYR_CALL LyrCreateAnimationSet(const char* name,
                                                 lyr::KeyFrameInterpolator* const* interpolators,
                                                 uint32_t count, lyr::AnimationSet** out) {
  return lyr::Guard([&] { return lyr::CreateAnimationSet(name, interpolators, count, out); });
}

LYR_API LyrResult LYR_CALL LyrCreateAnimationController(uint32_t maxOutputs, uint32_t maxSets,
                                                        uint32_t maxTracks, uint32_t maxEvents,
                                                        lyr::AnimationController** out) {
  return lyr::Guard([&] {
    return lyr::CreateAnimationController(maxOutputs, maxSets, maxTracks, maxEvents, out);
  });
}

}  // extern "C"
