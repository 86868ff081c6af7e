// Result codes: 32-bit signed values, negative for failure. Failures of the graphics device, of
// the Vek file component and of host callbacks are passed on unchanged.
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API. The shared
// library does not export these functions.
#pragma once

#include "lyr/config.h"

typedef int32_t LyrResult;

namespace lyr {

inline constexpr LyrResult Ok = 0;
inline constexpr LyrResult ErrOutOfMemory = static_cast<LyrResult>(0x8007000Eu);
inline constexpr LyrResult ErrInvalidCall = static_cast<LyrResult>(0x8876086Cu);
inline constexpr LyrResult ErrFail = static_cast<LyrResult>(0x80004005u);
inline constexpr LyrResult ErrInvalidArg = static_cast<LyrResult>(0x80070057u);
inline constexpr LyrResult ErrNoInterface = static_cast<LyrResult>(0x80004002u);
inline constexpr LyrResult ErrIndexBufferReadOnly = static_cast<LyrResult>(0x88760B54u);
inline constexpr LyrResult ErrAdjacencyWalkTooLong = static_cast<LyrResult>(0x88760B55u);
inline constexpr LyrResult ErrVertexSplitForbidden = static_cast<LyrResult>(0x88760B56u);
inline constexpr LyrResult ErrDeviceCannotBlend = static_cast<LyrResult>(0x88760B57u);
inline constexpr LyrResult ErrTooManyFaceBones = static_cast<LyrResult>(0x88760B58u);
inline constexpr LyrResult ErrFileOpenFailed = static_cast<LyrResult>(0x88760B59u);
inline constexpr LyrResult ErrMeshWithoutData = static_cast<LyrResult>(0x88760B5Au);

// True for success codes (zero and positive values).
constexpr bool Succeeded(LyrResult r) { return r >= 0; }
constexpr bool Failed(LyrResult r) { return r < 0; }

// The code for an operating-system error value: 0x80070000 | (e & 0xFFFF) for e > 0, else e.
constexpr LyrResult ResultFromSystemError(int32_t e) {
  return e > 0 ? static_cast<LyrResult>(0x80070000u | (static_cast<uint32_t>(e) & 0xFFFFu)) : e;
}

// The name of a result code the library's headers define ("ErrInvalidCall", including the
// codes of the Vek component and of the graphics device), or null for any other code.
const char* ResultName(LyrResult code) noexcept;

// One sentence saying what the code means; never null. Codes the library does not define get a
// general sentence: an operating-system error, or a code passed on from a graphics device, the
// Vek component or a host callback.
const char* ResultMessage(LyrResult code) noexcept;

}  // namespace lyr
