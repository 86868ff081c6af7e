// Key-frame animation: interpolators that turn a time into scale, rotation and translation,
// named groups of them (animation sets), and the controller that plays sets on tracks and writes
// the blended transformations into the host's matrices.
//
// Provided by: the shared library libLyr9abAnim.so (CMake target Lyr9abAnim::Lyr9abAnim), whose
// exported Lyr... functions with C linkage are declared here; the static library has them too.
#pragma once

#include "lyr/math.h"
#include "lyr/object.h"

namespace lyr {

// One key of a scale or translation channel. Times are in ticks. Packed: 16 bytes.
struct VectorKey {
  float time;
  Vector3 value;
};
// One key of a rotation channel, the quaternion exactly as the caller gave it. Packed: 20 bytes.
struct RotationKey {
  float time;
  Quaternion value;
};
static_assert(sizeof(VectorKey) == 16 && offsetof(VectorKey, value) == 4);
static_assert(sizeof(RotationKey) == 20 && offsetof(RotationKey, value) == 4);

// The identifier every interpolator answers to, whatever its kind.
inline constexpr Guid kIidInterpolator = {
    0x6C0E71A2, 0x4B3D, 0x4E57, {0x9A, 0x1F, 0x52, 0x83, 0xC4, 0x0D, 0x7E, 0x11}};

// Animates one named frame from three key channels (scale, rotation, translation).
//
// Sampling wraps the time by the period, converts it to ticks and, per channel, blends the two
// keys around that tick time: linearly for scale and translation, spherically for rotation. Every
// rotation handed out (by Sample and SampleEnd) is the conjugate (-x, -y, -z, w) of the stored key
// or blend; CopyRotationKeys returns the stored keys unchanged.
//
// Each channel remembers where its last key search ended, so sampling at steadily increasing
// times costs O(1) per call and a jump backwards rescans from the first key. Sampling therefore
// writes to the object: one interpolator must not be sampled from two threads at once.
struct KeyFrameInterpolator : Unknown {
  static constexpr Guid kIid = {
      0x6C0E71A3, 0x4B3D, 0x4E57, {0x9A, 0x1F, 0x52, 0x83, 0xC4, 0x0D, 0x7E, 0x11}};

  // The name given at creation, or null.
  virtual const char* LYR_CALL Name() = 0;
  // The period in seconds (see LyrCreateKeyFrameInterpolator).
  virtual double LYR_CALL Period() = 0;
  // Values at `time` seconds. Each output is optional. The time is wrapped by the period with a
  // truncating remainder (a negative time stays negative and so lies before the first key), then
  // multiplied by the tick rate. Returns Ok.
  virtual LyrResult LYR_CALL Sample(double time, Vector3* scale, Quaternion* rotation,
                                    Vector3* translation) = 0;
  // The last key of each channel (rotation conjugated). Each output is optional. Returns Ok.
  virtual LyrResult LYR_CALL SampleEnd(Vector3* scale, Quaternion* rotation,
                                       Vector3* translation) = 0;
  virtual uint32_t LYR_CALL ScaleKeyCount() = 0;
  // Copies ScaleKeyCount() keys into dst; a null dst gives ErrInvalidCall.
  virtual LyrResult LYR_CALL CopyScaleKeys(VectorKey* dst) = 0;
  virtual uint32_t LYR_CALL RotationKeyCount() = 0;
  // Copies the stored rotation keys, not conjugated; a null dst gives ErrInvalidCall.
  virtual LyrResult LYR_CALL CopyRotationKeys(RotationKey* dst) = 0;
  virtual uint32_t LYR_CALL TranslationKeyCount() = 0;
  virtual LyrResult LYR_CALL CopyTranslationKeys(VectorKey* dst) = 0;
  // The tick rate given at creation.
  virtual double LYR_CALL TicksPerSecond() = 0;

 protected:
  ~KeyFrameInterpolator() = default;
};

// A named, immutable group of interpolators (one animation clip), sorted by interpolator name.
struct AnimationSet : Unknown {
  static constexpr Guid kIid = {
      0x6C0E71A4, 0x4B3D, 0x4E57, {0x9A, 0x1F, 0x52, 0x83, 0xC4, 0x0D, 0x7E, 0x11}};

  // The name given at creation, or null.
  virtual const char* LYR_CALL Name() = 0;
  // The period of the first interpolator given at creation (before sorting).
  virtual double LYR_CALL Period() = 0;
  virtual uint32_t LYR_CALL InterpolatorCount() = 0;
  // The interpolator at `index` of the name-sorted array, with one added reference. An index out
  // of range or a null out gives ErrInvalidCall.
  virtual LyrResult LYR_CALL InterpolatorAt(uint32_t index, KeyFrameInterpolator** out) = 0;
  // Binary search by name (bytes compared as unsigned values). Found: *out = the interpolator with
  // one added reference and the result is its index (any non-negative result is success). Not
  // found: *out = null and ErrFail. A null name or out gives ErrInvalidCall.
  virtual LyrResult LYR_CALL FindInterpolator(const char* name, KeyFrameInterpolator** out) = 0;

 protected:
  ~AnimationSet() = default;
};

// The state of one track of a controller, read and written whole. 24 bytes.
struct TrackState {
  // Bit 0 selects the priority class (PriorityLow or PriorityHigh); other bits are ignored.
  uint32_t priority;
  // Blend weight. Exactly +0.0 takes the track out of mixing.
  float weight;
  // Seconds of track position per second of controller time.
  float speed;
  // 0 = disabled; any other value = enabled.
  uint32_t enabled;
  // The track's local time in seconds, handed to the interpolators (which wrap it by their period).
  double position;
};
static_assert(sizeof(TrackState) == 24 && offsetof(TrackState, position) == 16);

inline constexpr uint32_t PriorityLow = 0;
inline constexpr uint32_t PriorityHigh = 1;
// How a scheduled change moves from its start value to its target: straight, or along
// a + (b - a)(3 - 2h)h^2, which starts and ends with zero slope.
inline constexpr uint32_t TransitionLinear = 0;
inline constexpr uint32_t TransitionEaseInOut = 1;

// Plays animation sets on tracks and writes the blended transformation of every registered output
// into the caller's matrix.
//
// Outputs are named matrices owned by the caller (usually frame matrices); the controller keeps
// their addresses, so the caller must remove an output (register its name with a null target) or
// release the controller before the memory goes away. On every SetTime the controller advances
// the tracks and the scheduled changes, then, for every output, samples each enabled track with a
// non-zero weight whose set has an interpolator of the output's name, blends the samples by weight
// within the two priority classes, blends the classes by the priority blend factor and writes
// scale * rotation * translation.
//
// All storage is sized at creation from the four capacities: registering an output allocates only
// the copy of its name; keying, SetTime and mixing allocate nothing.
struct AnimationController : Unknown {
  static constexpr Guid kIid = {
      0x6C0E71A5, 0x4B3D, 0x4E57, {0x9A, 0x1F, 0x52, 0x83, 0xC4, 0x0D, 0x7E, 0x11}};

  // Registers, moves or removes a named output. A null name gives ErrInvalidCall. An existing name
  // takes the new target; a null target removes it. A new name with a null target does nothing.
  // A new name with a target takes the last free slot below the used range (or extends it;
  // ErrInvalidCall when the controller is full) and is looked up in every registered set in
  // order: a set without that interpolator stops the lookups and gives ErrFail, the output
  // staying registered; otherwise the result is the last lookup's (an index, 0 or greater), or Ok
  // without sets. Callers treat any non-negative result as success.
  virtual LyrResult LYR_CALL RegisterOutput(const char* name, Matrix* target) = 0;
  virtual uint32_t LYR_CALL SetCount() = 0;
  // The registered set at `index` with one added reference.
  virtual LyrResult LYR_CALL SetAt(uint32_t index, AnimationSet** out) = 0;
  // Appends a set (one reference held) and looks up its interpolators for every output; a missing
  // interpolator is not an error. The same set may be registered twice.
  virtual LyrResult LYR_CALL RegisterSet(AnimationSet* set) = 0;
  // Removes a set; the last registered set moves into its index and the tracks playing the last
  // set follow it. Tracks that played the removed set have no set afterwards.
  virtual LyrResult LYR_CALL UnregisterSet(AnimationSet* set) = 0;
  virtual uint32_t LYR_CALL MaxTracks() = 0;
  virtual LyrResult LYR_CALL GetTrackState(uint32_t track, TrackState* out) = 0;
  // Copies the whole record in, without validation.
  virtual LyrResult LYR_CALL SetTrackState(uint32_t track, const TrackState* state) = 0;
  // The track's set with one added reference, or null when it has none.
  virtual LyrResult LYR_CALL GetTrackSet(uint32_t track, AnimationSet** out) = 0;
  // Plays a registered set on a track (the track holds no reference of its own). Tracks up to
  // this one take part in mixing from now on.
  virtual LyrResult LYR_CALL SetTrackSet(uint32_t track, AnimationSet* set) = 0;
  virtual LyrResult LYR_CALL SetTrackSpeed(uint32_t track, float speed) = 0;
  virtual LyrResult LYR_CALL SetTrackWeight(uint32_t track, float weight) = 0;
  virtual LyrResult LYR_CALL SetTrackPosition(uint32_t track, double position) = 0;
  virtual LyrResult LYR_CALL SetTrackEnabled(uint32_t track, uint32_t enabled) = 0;
  // The controller's time in seconds.
  virtual double LYR_CALL Time() = 0;
  // Advances to the absolute time `time` (which may go backwards): plays the scheduled changes
  // that fall in between at their own times, moves every enabled track by elapsed time * speed,
  // then mixes into the outputs. A failing sample stops the mix and is returned (outputs done so
  // far stay written). A NaN time gives ErrInvalidCall and changes nothing.
  virtual LyrResult LYR_CALL SetTime(double time) = 0;
  // A new controller with at least the capacities of this one (else ErrInvalidCall), holding the
  // same time, outputs, sets, tracks and pending track changes. Not copied: the priority blend
  // factor (0 in the clone), scheduled blend changes and changes already under way.
  virtual LyrResult LYR_CALL Clone(uint32_t maxOutputs, uint32_t maxSets, uint32_t maxTracks,
                                   uint32_t maxEvents, AnimationController** out) = 0;
  virtual uint32_t LYR_CALL MaxOutputs() = 0;
  virtual uint32_t LYR_CALL MaxEvents() = 0;
  virtual uint32_t LYR_CALL MaxSets() = 0;
  // Scheduled changes. Each takes one event from the pool fixed at creation: an empty pool, a
  // track out of range, a start time that is not finite or a NaN duration gives ErrInvalidCall
  // and changes nothing. A new speed, weight or blend change cancels the change of its kind that
  // is under way (or scheduled no later) and would still be running at the new start.
  virtual LyrResult LYR_CALL KeySpeed(uint32_t track, float speed, double start, double duration,
                                      uint32_t transition) = 0;
  virtual LyrResult LYR_CALL KeyWeight(uint32_t track, float weight, double start, double duration,
                                       uint32_t transition) = 0;
  // Also sets the track's position at once.
  virtual LyrResult LYR_CALL KeyPosition(uint32_t track, double position, double time) = 0;
  virtual LyrResult LYR_CALL KeyEnabled(uint32_t track, uint32_t enabled, double time) = 0;
  // The blend factor between the classes: 0 shows PriorityLow tracks only, 1 PriorityHigh only.
  virtual float LYR_CALL PriorityBlend() = 0;
  // A factor outside [0, 1] gives ErrInvalidCall and keeps the old one.
  virtual LyrResult LYR_CALL SetPriorityBlend(float blend) = 0;
  virtual LyrResult LYR_CALL KeyPriorityBlend(float blend, double start, double duration,
                                              uint32_t transition) = 0;
  // Frees the controller whatever its reference count; the last Release calls it. Hosts release
  // instead.
  virtual void LYR_CALL Destroy() = 0;

 protected:
  ~AnimationController() = default;
};

}  // namespace lyr

extern "C" {

// Creates an interpolator from three key channels (each array copied; a pointer may be null only
// when its count is 0; out must not be null, else ErrInvalidCall and nothing is written). *out is
// cleared first and receives the new object (reference count 1) on success. A channel with no
// keys gets one key at time 0: scale (1, 1, 1), rotation (0, 0, 0, 1), translation (0, 0, 0).
//
// The period is P / ticksPerSecond seconds, where, with S, R and T the last key times of the
// channels as given (1.0 for a channel given without keys): P = S*R when S != R, else S*T when
// T != R, else S. The usual input, every channel ending at the same tick L, gives P = L.
//
// Keys are expected in ascending time order. A channel whose times are not ascending (or hold a
// NaN) is still sampled deterministically: every sample takes the first key whose time is greater
// than the tick time, without the search cache, so the value depends on the time alone. A tick
// rate of 0 or below is stored as given and used in the same formulas: 0 makes every sample read
// tick 0 (or the first keys when P is 0 too), and a negative rate turns positive times into
// negative tick times.
LYR_API LyrResult LYR_CALL LyrCreateKeyFrameInterpolator(
    const char* name, const lyr::VectorKey* scaleKeys, uint32_t scaleKeyCount,
    const lyr::RotationKey* rotationKeys, uint32_t rotationKeyCount,
    const lyr::VectorKey* translationKeys, uint32_t translationKeyCount, double ticksPerSecond,
    lyr::KeyFrameInterpolator** out);

// Creates a set from `count` (at least 1) interpolators, each of which must have a name; out must
// not be null (else ErrInvalidCall, nothing written). The name is optional. The set holds one
// reference on each interpolator; its period is that of interpolators[0]. An allocation failure
// gives ErrOutOfMemory with *out cleared.
LYR_API LyrResult LYR_CALL LyrCreateAnimationSet(const char* name,
                                                 lyr::KeyFrameInterpolator* const* interpolators,
                                                 uint32_t count, lyr::AnimationSet** out);

// Creates a controller with fixed capacities (each at least 1; out not null; else ErrInvalidCall
// and nothing written): no outputs, no sets, every track zero and without a set, time 0. An
// allocation failure gives ErrOutOfMemory with everything freed and *out not written.
LYR_API LyrResult LYR_CALL LyrCreateAnimationController(uint32_t maxOutputs, uint32_t maxSets,
                                                        uint32_t maxTracks, uint32_t maxEvents,
                                                        lyr::AnimationController** out);

}  // extern "C"
