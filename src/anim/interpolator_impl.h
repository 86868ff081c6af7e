// The key-frame interpolator object, shared with the controller, which samples it directly.
#pragma once

#include "anim/anim_internal.h"
#include "anim/key_channel.h"
#include "anim/names.h"
#include "core/compiler.h"
#include "core/object_impl.h"

namespace lyr {

class KeyFrameInterpolatorImpl final
    : public Object<KeyFrameInterpolatorImpl, KeyFrameInterpolator> {
 public:
  // Answered only by this class: tells the controller it may sample with the rotation deferred.
  static constexpr Guid kIidOwn = {
      0xE3B4DC41, 0x9FF1, 0x41A2, {0x93, 0xFD, 0x9A, 0x98, 0x3B, 0x4E, 0x82, 0x45}};
  static bool AnswersTo(const Guid& iid) { return iid == kIidInterpolator || iid == kIidOwn; }

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
    DeferredSample d;
    SampleDeferredLocal(LocalTime(time), &d);
    if (scale) *scale = d.scale;
    if (rotation) {
      if (d.r1) {
        ConjugateSlerpBlend::Mix(*d.r0, *d.r1, d.f, rotation);
      } else {
        *rotation = Conjugated(*d.r0);
      }
    }
    if (translation) *translation = d.translation;
    return Ok;
  }

  // The time within the period: a function of the time and the period alone (the remainder is
  // exact), so interpolators with one period may share it. The common case of a time inside the
  // first period skips the division. A zero period gives NaN, which the channels answer with their
  // first keys.
  LYR_ALWAYS_INLINE double LocalTime(double time) {
    return (time >= 0.0 && time < period_) ? time : TimeRemainder(time, period_, &wraps_);
  }
  double PeriodSeconds() const { return period_; }

  // The sample at the time whose LocalTime is `local`, with the rotation blend left to the caller
  // (finishing it gives exactly what Sample gives).
  LYR_ALWAYS_INLINE void SampleDeferredLocal(double local, DeferredSample* out) {
    const FrameValue *a, *b;
    if (LocateKeys(local, &a, &b, &out->f)) {
      out->r0 = &a->rotation;
      out->r1 = b ? &b->rotation : nullptr;
      if (!b) {
        out->scale = a->scale;
        out->translation = a->translation;
        return;
      }
      LinearBlend::Mix(a->scale, b->scale, out->f, &out->scale);
      LinearBlend::Mix(a->translation, b->translation, out->f, &out->translation);
      return;
    }
    const double ticks = local * ticksPerSecond_;
    scale_.Evaluate(ticks, &out->scale);
    translation_.Evaluate(ticks, &out->translation);
    rotation_.Locate(ticks, &out->r0, &out->r1, &out->f);
  }

  // For an interpolator whose three channels share their key times: the keys around the time
  // whose LocalTime is `local`, for a caller that blends them itself. *b and *f are the later key
  // and the fraction between them, or null and 0 where the sample is *a alone. SampleDeferredLocal
  // gives the same sample with the blends of scale and translation done. False, with nothing
  // written, for separate key times.
  LYR_ALWAYS_INLINE bool LocateKeys(double local, const FrameValue** a, const FrameValue** b,
                                    float* f) {
    if (!sharedTimes_) return false;
    const double ticks = local * ticksPerSecond_;
    const uint32_t j = frames_.Search(ticks);
    const uint32_t n = frames_.Count();
    if (j == 0 || j == n) {
      *a = &frames_.KeyAt(j == 0 ? 0 : n - 1).value;
      *b = nullptr;
      *f = 0.0f;
      return true;
    }
    *a = &frames_.KeyAt(j - 1).value;
    *b = &frames_.KeyAt(j).value;
    *f = frames_.FractionAt(j, ticks);
    return true;
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

// `it` as this library's interpolator, for `it` with IsOwnInterpolator.
inline KeyFrameInterpolatorImpl* OwnInterpolator(KeyFrameInterpolator* it) {
  return static_cast<KeyFrameInterpolatorImpl*>(it);
}

}  // namespace lyr
