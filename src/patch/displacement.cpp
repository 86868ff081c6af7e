// Displacement samples of an 8-bit luminance texture for the lookup method. Every texel read
// stays inside its level whatever the wrap setting: the wrap rule runs first, then the
// coordinate is clamped to the level.
#include <cmath>

#include "patch/tessellate.h"

namespace lyr::tess {

namespace {

constexpr uint32_t kFormatLuminance8 = 50;
constexpr uint32_t kWrapRepeat = 1, kWrapMirror = 2, kWrapClamp = 3, kWrapMirrorOnce = 5;

// A float coordinate as a whole number without undefined conversions: NaN is 0 and magnitudes
// are limited far beyond any texture size.
int64_t ToInteger(double x) {
  if (!(x == x)) return 0;
  if (x > 1e12) return int64_t(1e12);
  if (x < -1e12) return -int64_t(1e12);
  return static_cast<int64_t>(std::floor(x));
}

int64_t Wrap(int64_t x, int64_t size, uint32_t wrap) {
  switch (wrap) {
    case kWrapRepeat:
      x %= size;
      if (x < 0) x += size;
      break;
    case kWrapMirror: {
      const int64_t period = 2 * size;
      x %= period;
      if (x < 0) x += period;
      if (x >= size) x = period - 1 - x;
      break;
    }
    case kWrapClamp:
      break;  // the clamp below
    case kWrapMirrorOnce:
      if (x < 0) x = -x;
      break;
    default:
      break;
  }
  return x < 0 ? 0 : x >= size ? size - 1 : x;
}

float Texel(const LockedRect& level, const TextureLevelDesc& desc, int64_t x, int64_t y,
            uint32_t wrap) {
  x = Wrap(x, desc.width, wrap);
  y = Wrap(y, desc.height, wrap);
  const auto* row = static_cast<const uint8_t*>(level.bits) + y * int64_t(level.pitch);
  return row[x];
}

float SampleLevel(const DisplacementRecord& r, const LockedRect& level,
                  const TextureLevelDesc& desc, float s, float t) {
  if (desc.format != kFormatLuminance8 || !desc.width || !desc.height || !level.bits) return 0;
  const double x = double(s) * desc.width - 0.5, y = double(t) * desc.height - 0.5;
  if (r.minFilter == 1) return Texel(level, desc, ToInteger(x + 0.5), ToInteger(y + 0.5), r.wrap);
  if (r.minFilter != 2) return 0;
  // Five fraction bits on each axis.
  const int64_t fx = ToInteger(x * 32), fy = ToInteger(y * 32);
  const int64_t ix = fx >> 5, iy = fy >> 5;
  const float ax = float(fx & 31) / 32, ay = float(fy & 31) / 32;
  const float t00 = Texel(level, desc, ix, iy, r.wrap),
              t10 = Texel(level, desc, ix + 1, iy, r.wrap);
  const float t01 = Texel(level, desc, ix, iy + 1, r.wrap);
  const float t11 = Texel(level, desc, ix + 1, iy + 1, r.wrap);
  const float top = t00 * (1 - ax) + t10 * ax, bottom = t01 * (1 - ax) + t11 * ax;
  return top * (1 - ay) + bottom * ay;
}

}  // namespace

float SampleDisplacement(const DisplacementRecord& record, const LockedRect* levels,
                         const TextureLevelDesc* descs, float s, float t, float lod) {
  const uint32_t top = record.maxLevel;
  auto clampLevel = [&](int64_t l) { return uint32_t(l < 0 ? 0 : l > top ? top : l); };
  if (record.mipFilter == 0) return SampleLevel(record, levels[0], descs[0], s, t);
  const int64_t whole = ToInteger(lod);
  const uint32_t a = clampLevel(whole);
  const float first = SampleLevel(record, levels[a], descs[a], s, t);
  if (record.mipFilter != 2) return first;
  const uint32_t b = clampLevel(whole + 1);
  const float f = (lod == lod) ? lod - float(whole) : 0.0f;
  if (f <= 0 || a == b) return first;
  return first * (1 - f) + SampleLevel(record, levels[b], descs[b], s, t) * f;
}

}  // namespace lyr::tess
