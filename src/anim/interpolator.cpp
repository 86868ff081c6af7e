// The key-frame interpolator object and its creation.
#include <cmath>

#include "anim/interpolator_impl.h"

namespace lyr {
namespace {

// The last key time of a channel as given, or 1.0 for a channel given without keys.
template <class Key>
double LastTime(const Key* keys, uint32_t count) {
  return count ? static_cast<double>(keys[count - 1].time) : 1.0;
}

}  // namespace

bool IsOwnInterpolator(KeyFrameInterpolator* it) {
  void* p = nullptr;
  if (Failed(it->QueryInterface(KeyFrameInterpolatorImpl::kIidOwn, &p)) || !p) return false;
  // The reference belongs to what was handed out, which a host's object may make something else.
  static_cast<Unknown*>(p)->Release();
  return p == it;
}

// The remainder x - q p for the true quotient q is representable, so a fused multiply-add gives
// it exactly. Any other whole number k gives x - k p outside [0, p) and, rounded, still outside
// (p is representable, and a nonzero difference of doubles does not round to zero), so a quotient
// is checked by the range of its result: first the caller's last one, which steady playback keeps
// for a whole period, then the rounded x / p, which is q or q + 1 (rounding keeps x / p >= q).
double TimeRemainder(double x, double p, double* wraps) {
  if (p > 0.0 && x >= p && x < p * 0x1p52) {
    double k = *wraps;
    double r = std::fma(-k, p, x);
    if (r >= 0.0 && r < p) return r;
    k = static_cast<double>(static_cast<int64_t>(x / p));
    r = std::fma(-k, p, x);
    if (r < 0.0) {
      k -= 1.0;
      r = std::fma(-k, p, x);
    }
    *wraps = k;
    return r;
  }
  return std::fmod(x, p);
}

double InterpolatorPeriodTicks(double s, double r, double t) {
  if (s != r) return s * r;
  if (t != r) return s * t;
  return s;
}

LyrResult CreateKeyFrameInterpolator(const char* name, const VectorKey* scaleKeys,
                                     uint32_t scaleKeyCount, const RotationKey* rotationKeys,
                                     uint32_t rotationKeyCount, const VectorKey* translationKeys,
                                     uint32_t translationKeyCount, double ticksPerSecond,
                                     KeyFrameInterpolator** out) {
  if (!out || (!scaleKeys && scaleKeyCount) || (!rotationKeys && rotationKeyCount) ||
      (!translationKeys && translationKeyCount)) {
    return ErrInvalidCall;
  }
  *out = nullptr;
  const double ticks = InterpolatorPeriodTicks(LastTime(scaleKeys, scaleKeyCount),
                                               LastTime(rotationKeys, rotationKeyCount),
                                               LastTime(translationKeys, translationKeyCount));
  auto* object = New<KeyFrameInterpolatorImpl>(ticks / ticksPerSecond, ticksPerSecond);
  if (!object) return ErrOutOfMemory;
  if (!object->Init(name, scaleKeys, scaleKeyCount, rotationKeys, rotationKeyCount, translationKeys,
                    translationKeyCount)) {
    object->Release();
    return ErrOutOfMemory;
  }
  *out = object;
  return Ok;
}

}  // namespace lyr
