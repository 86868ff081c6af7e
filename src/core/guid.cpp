#include "lyr/guid.h"

namespace lyr {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[pos]; false on a non-digit.
bool ReadHex(const char* text, int pos, int digits, uint32_t* out) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(text[pos + i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(h);
  }
  *out = v;
  return true;
}

}  // namespace

bool ParseGuid(const char* text, Guid* out) {
  if (!text || !out) return false;
  for (int i = 0; i < 36; ++i) {
    if (text[i] == '\0') return false;
  }
  if (text[36] != '\0' || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
    return false;
  Guid g{};
  uint32_t v;
  if (!ReadHex(text, 0, 8, &v)) return false;
  g.data1 = v;
  if (!ReadHex(text, 9, 4, &v)) return false;
  g.data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 14, 4, &v)) return false;
  g.data3 = static_cast<uint16_t>(v);
  static const int kBytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePos[i], 2, &v)) return false;
    g.data4[i] = static_cast<uint8_t>(v);
  }
  *out = g;
  return true;
}

void FormatGuid(const Guid& id, char out[37]) {
  static const char kHex[] = "0123456789ABCDEF";
  int p = 0;
  auto put = [&](uint32_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i) out[p++] = kHex[(v >> (4 * i)) & 0xF];
  };
  put(id.data1, 8);
  out[p++] = '-';
  put(id.data2, 4);
  out[p++] = '-';
  put(id.data3, 4);
  out[p++] = '-';
  put(id.data4[0], 2);
  put(id.data4[1], 2);
  out[p++] = '-';
  for (int i = 2; i < 8; ++i) put(id.data4[i], 2);
  out[p] = '\0';
}

}  // namespace lyr
