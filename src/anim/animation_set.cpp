// The animation set object and its creation.
#include <algorithm>

#include "anim/anim_internal.h"
#include "anim/names.h"
#include "core/object_impl.h"

namespace lyr {
namespace {

class AnimationSetImpl final : public Object<AnimationSetImpl, AnimationSet> {
 public:
  // Adopts `name` and `sorted` (library blocks) and takes one reference on every interpolator.
  AnimationSetImpl(char* name, KeyFrameInterpolator** sorted, uint32_t count, double period)
      : name_(name), items_(sorted), count_(count), period_(period) {
    for (uint32_t i = 0; i < count_; ++i) items_[i]->AddRef();
  }
  ~AnimationSetImpl() {
    for (uint32_t i = 0; i < count_; ++i) items_[i]->Release();
    Free(items_);
    Free(name_);
  }

  const char* LYR_CALL Name() override { return name_; }
  double LYR_CALL Period() override { return period_; }
  uint32_t LYR_CALL InterpolatorCount() override { return count_; }

  LyrResult LYR_CALL InterpolatorAt(uint32_t index, KeyFrameInterpolator** out) override {
    if (index >= count_ || !out) return ErrInvalidCall;
    items_[index]->AddRef();
    *out = items_[index];
    return Ok;
  }

  LyrResult LYR_CALL FindInterpolator(const char* name, KeyFrameInterpolator** out) override {
    if (!name || !out) return ErrInvalidCall;
    return Guard([&]() -> LyrResult {
      uint32_t lo = 0, hi = count_;
      while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const int order = CompareNames(items_[mid]->Name(), name);
        if (order == 0) {
          items_[mid]->AddRef();
          *out = items_[mid];
          return static_cast<LyrResult>(mid);
        }
        if (order < 0) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      *out = nullptr;
      return ErrFail;
    });
  }

 private:
  char* name_;
  KeyFrameInterpolator** items_;
  uint32_t count_;
  double period_;
};

}  // namespace

LyrResult CreateAnimationSet(const char* name, KeyFrameInterpolator* const* interpolators,
                             uint32_t count, AnimationSet** out) {
  if (!interpolators || count == 0 || !out) return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    for (uint32_t i = 0; i < count; ++i) {
      if (!interpolators[i] || !interpolators[i]->Name()) return ErrInvalidCall;
    }
    Block<char> nameCopy(CopyName(name));
    Block<KeyFrameInterpolator*> sorted;
    if ((name && !nameCopy) || !sorted.allocate(count)) {
      *out = nullptr;
      return ErrOutOfMemory;
    }
    std::copy(interpolators, interpolators + count, sorted.get());
    const double period = interpolators[0]->Period();
    std::sort(sorted.get(), sorted.get() + count,
              [](KeyFrameInterpolator* a, KeyFrameInterpolator* b) {
                return CompareNames(a->Name(), b->Name()) < 0;
              });
    auto* set = New<AnimationSetImpl>(nameCopy.get(), sorted.get(), count, period);
    if (!set) {
      *out = nullptr;
      return ErrOutOfMemory;
    }
    nameCopy.release();
    sorted.release();
    *out = set;
    return Ok;
  });
}

}  // namespace lyr
