// 16-byte identifiers of interfaces and Vek templates, stored as the platform stores them: a
// 32-bit field, two 16-bit fields (all little-endian in memory on the supported hosts) and eight
// bytes, written as "3D82AB44-62DA-11CF-AB39-0020AF71E433".
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API. The shared
// library does not export these functions.
#pragma once

#include "lyr/config.h"

namespace lyr {

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];

  friend constexpr bool operator==(const Guid& a, const Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.data4[i] != b.data4[i]) return false;
    return true;
  }
};
static_assert(sizeof(Guid) == 16 && alignof(Guid) == 4);

// Parses the 36-character text form (hex digits of either case, no braces) into *out. Returns
// false, leaving *out untouched, for any other text.
bool ParseGuid(const char* text, Guid* out);

// Writes the 36-character upper-case text form and a terminating zero into out[37].
void FormatGuid(const Guid& id, char out[37]);

// The identifier every object answers to in query-interface.
inline constexpr Guid kIidUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace lyr
