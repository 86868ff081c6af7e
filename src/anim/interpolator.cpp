// The key-frame interpolator object and its creation.
#include <cmath>

#include "anim/anim_internal.h"
#include "anim/key_channel.h"
#include "anim/names.h"
#include "core/object_impl.h"

namespace lyr {
namespace {

class KeyFrameInterpolatorImpl final
    : public Object<KeyFrameInterpolatorImpl, KeyFrameInterpolator> {
 public:
  static bool AnswersTo(const Guid& iid) { return iid == kIidInterpolator; }

  KeyFrameInterpolatorImpl(double period, double ticksPerSecond)
      : period_(period), ticksPerSecond_(ticksPerSecond) {}
  ~KeyFrameInterpolatorImpl() { Free(name_); }

  bool Init(const char* name, const VectorKey* s, uint32_t sn, const RotationKey* r, uint32_t rn,
            const VectorKey* t, uint32_t tn) {
    if (name && !(name_ = CopyName(name))) return false;
    if (!scale_.Init(s, sn, VectorKey{0.0f, {1.0f, 1.0f, 1.0f}}) ||
        !rotation_.Init(r, rn, RotationKey{0.0f, {0.0f, 0.0f, 0.0f, 1.0f}}) ||
        !translation_.Init(t, tn, VectorKey{0.0f, {0.0f, 0.0f, 0.0f}})) {
      return false;
    }
    if (!SameTimes(rotation_, scale_) || !SameTimes(rotation_, translation_)) return true;
    if (!frames_.InitWith(rotation_.Count(), [&](FrameKey* f) {
          for (uint32_t i = 0; i < rotation_.Count(); ++i) {
            f[i] = {rotation_.KeyAt(i).time,
                    {scale_.KeyAt(i).value, rotation_.KeyAt(i).value, translation_.KeyAt(i).value}};
          }
        })) {
      return false;
    }
    sharedTimes_ = true;
    return true;
  }

  const char* LYR_CALL Name() override { return name_; }
  double LYR_CALL Period() override { return period_; }

  LyrResult LYR_CALL Sample(double time, Vector3* scale, Quaternion* rotation,
                            Vector3* translation) override {
    // The remainder is exact, so the common case of a time inside the first period skips the
    // division. A zero period gives NaN, which the channels answer with their first keys.
    const double local =
        (time >= 0.0 && time < period_) ? time : TimeRemainder(time, period_, &wraps_);
    const double ticks = local * ticksPerSecond_;
    if (sharedTimes_) {
      const uint32_t j = frames_.Search(ticks);
      const uint32_t n = frames_.Count();
      if (j == 0 || j == n) {
        const auto& v = frames_.KeyAt(j == 0 ? 0 : n - 1).value;
        if (scale) *scale = v.scale;
        if (rotation) *rotation = ConjugateSlerpBlend::Conjugate(v.rotation);
        if (translation) *translation = v.translation;
        return Ok;
      }
      const auto& a = frames_.KeyAt(j - 1).value;
      const auto& b = frames_.KeyAt(j).value;
      const float f = frames_.FractionAt(j, ticks);
      if (scale) LinearBlend::Mix(a.scale, b.scale, f, scale);
      if (rotation) ConjugateSlerpBlend::Mix(a.rotation, b.rotation, f, rotation);
      if (translation) LinearBlend::Mix(a.translation, b.translation, f, translation);
      return Ok;
    }
    if (scale) scale_.Evaluate(ticks, scale);
    if (rotation) rotation_.Evaluate(ticks, rotation);
    if (translation) translation_.Evaluate(ticks, translation);
    return Ok;
  }

  LyrResult LYR_CALL SampleEnd(Vector3* scale, Quaternion* rotation,
                               Vector3* translation) override {
    if (scale) scale_.Last(scale);
    if (rotation) rotation_.Last(rotation);
    if (translation) translation_.Last(translation);
    return Ok;
  }

  uint32_t LYR_CALL ScaleKeyCount() override { return scale_.Count(); }
  LyrResult LYR_CALL CopyScaleKeys(VectorKey* dst) override { return CopyKeys(scale_, dst); }
  uint32_t LYR_CALL RotationKeyCount() override { return rotation_.Count(); }
  LyrResult LYR_CALL CopyRotationKeys(RotationKey* dst) override {
    return CopyKeys(rotation_, dst);
  }
  uint32_t LYR_CALL TranslationKeyCount() override { return translation_.Count(); }
  LyrResult LYR_CALL CopyTranslationKeys(VectorKey* dst) override {
    return CopyKeys(translation_, dst);
  }
  double LYR_CALL TicksPerSecond() override { return ticksPerSecond_; }

 private:
  // True when both channels have the same number of keys at the same times, all in order.
  template <class A, class B>
  static bool SameTimes(const A& a, const B& b) {
    if (a.Count() != b.Count() || !a.Ordered() || !b.Ordered()) return false;
    for (uint32_t i = 0; i < a.Count(); ++i) {
      if (a.KeyAt(i).time != b.KeyAt(i).time) return false;
    }
    return true;
  }

  template <class Channel, class Key>
  static LyrResult CopyKeys(const Channel& channel, Key* dst) {
    if (!dst) return ErrInvalidCall;
    channel.Copy(dst);
    return Ok;
  }

  // What sampling reads first, next to the object's table pointer: a sample then touches one or
  // two lines of the object.
  const double period_;
  const double ticksPerSecond_;
  double wraps_ = 0.0;        // the whole periods in the last wrapped time, tried first next time
  bool sharedTimes_ = false;  // the three channels have the same key times, in order
  FrameChannel frames_;       // the three channels together, when sharedTimes_
  VectorKeyChannel scale_;
  RotationKeyChannel rotation_;
  VectorKeyChannel translation_;
  char* name_ = nullptr;
};

// The last key time of a channel as given, or 1.0 for a channel given without keys.
template <class Key>
double LastTime(const Key* keys, uint32_t count) {
  return count ? static_cast<double>(keys[count - 1].time) : 1.0;
}

}  // namespace

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
