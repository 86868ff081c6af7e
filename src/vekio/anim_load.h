// Reading animation sets from Vek data: an AnimationSet data object becomes an AnimationSet of
// KeyFrameInterpolators, one per Animation child, named after the frame each one animates.
#pragma once

#include "lyr/anim.h"
#include "lyr/vekfile.h"

namespace lyr::vekio {

// The tick rate of every interpolator loaded before a file states its own.
inline constexpr double kDefaultTicksPerSecond = 4800.0;

// Entry sizes of the AnimationKey kinds: time, value count, then the values (rotation w, x, y, z;
// scale or translation x, y, z; a whole matrix, rows in order).
inline constexpr uint32_t kKeyTypeRotation = 0;
inline constexpr uint32_t kKeyTypeScale = 1;
inline constexpr uint32_t kKeyTypeTranslation = 2;
inline constexpr uint32_t kKeyTypeMatrix = 4;

// Loads an AnimationSet data object. Its Animation children are loaded in file order; one that
// fails is dropped and the others still make the set, which holds them newest first before the
// set sorts them by name. An Animation that animates no named frame is dropped the same way
// (ErrInvalidArg), since a set can bind only named interpolators. Children of other templates
// are ignored.
//
// *out is cleared first. With at least one interpolator the result is that of creating the set.
// With none, no set is made and the result is that of the last child: its failure code, or Ok
// when it loaded, was of another template or the set has no children. Running out of memory
// anywhere fails the whole set (ErrOutOfMemory), so a short allocation never yields a set that
// silently lacks an animation. A failure to read a child's template ends the load with its code.
LyrResult LoadAnimationSet(VekDataObject* object, double ticksPerSecond, AnimationSet** out);

// Loads one Animation data object into an interpolator with the given tick rate, named after the
// one Frame it references (null without a reference; unresolvable references are skipped).
// Key blocks are converted to the interpolator's records: rotations reordered to x, y, z, w; a
// matrix key split into a uniform scale (the first row's length), the conjugated rotation of the
// normalised rows and the fourth row's translation, its rotations then kept on one hemisphere.
//
// *out is cleared first. ErrFail: no children, or no keys at all. ErrInvalidArg: a second frame
// reference, an unnamed frame, an inline Frame, a repeated key kind (a matrix block counts as
// all three), an unknown key type, or a key block shorter than its nKeys entries. Failures of
// the component end the load with their code.
LyrResult LoadAnimation(VekDataObject* object, double ticksPerSecond, KeyFrameInterpolator** out);

}  // namespace lyr::vekio
