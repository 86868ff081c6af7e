// A key channel of an interpolator: an owned copy of the keys and a search cache.
#pragma once

#include <cstring>

#include "anim/anim_internal.h"
#include "core/alloc.h"
#include "core/compiler.h"
#include "lyr/anim.h"

namespace lyr {

// Key: VectorKey or RotationKey. Blend: a policy with
//   static void Blend(const Key& a, const Key& b, float f, Value* out);  // a at f=0, b at f=1
//   static void Take(const Key& k, Value* out);                          // the value of one key
template <class Key, class Blend>
class KeyChannel {
 public:
  using Value = decltype(Key::value);

  KeyChannel() = default;
  KeyChannel(const KeyChannel&) = delete;
  KeyChannel& operator=(const KeyChannel&) = delete;
  ~KeyChannel() { Free(keys_); }

  // Copies `count` keys (or the one default key when count is 0). False when the allocation fails.
  bool Init(const Key* keys, uint32_t count, const Key& defaultKey) {
    return InitWith(count ? count : 1, [&](Key* dst) {
      if (count) {
        std::memcpy(dst, keys, size_t{count} * sizeof(Key));
      } else {
        dst[0] = defaultKey;
      }
    });
  }

  // n keys written by fill(Key* keys). False when the allocation fails.
  template <class Fill>
  bool InitWith(uint32_t n, Fill fill) {
    keys_ = static_cast<Key*>(AllocArray(n, sizeof(Key)));
    if (!keys_) return false;
    fill(keys_);
    count_ = n;
    ordered_ = true;
    for (uint32_t i = 1; i < n; ++i) {
      // Written so that a NaN time also counts as out of order.
      if (!(keys_[i].time >= keys_[i - 1].time)) {
        ordered_ = false;
        break;
      }
    }
    return true;
  }

  const Key& KeyAt(uint32_t i) const { return keys_[i]; }
  uint32_t Count() const { return count_; }
  bool Ordered() const { return ordered_; }
  void Copy(Key* dst) const { std::memcpy(dst, keys_, size_t{count_} * sizeof(Key)); }
  void Last(Value* out) const { Blend::Take(keys_[count_ - 1], out); }

  // The value at tick time x: the keys around x blended, the first key's value before the first
  // key (and at a NaN time), the last key's value at or after the last key.
  void Evaluate(double x, Value* out) { EvaluateAt(Search(x), x, out); }

  // The value at tick time x given j = Search(x), or the index a channel with the same key times
  // found for x.
  void EvaluateAt(uint32_t j, double x, Value* out) const {
    const uint32_t n = count_;
    if (j == n) {
      Blend::Take(keys_[n - 1], out);
      return;
    }
    if (j == 0) {
      Blend::Take(keys_[0], out);
      return;
    }
    BlendAt(j, FractionAt(j, x), out);
  }

  // The keys around tick time x for a caller that blends them itself: *a and *b with the fraction
  // f between them, or *a alone (b null) where EvaluateAt takes one key's value.
  void Locate(double x, const Value** a, const Value** b, float* f) {
    const uint32_t j = Search(x);
    if (j == 0 || j == count_) {
      *a = &keys_[j == 0 ? 0 : count_ - 1].value;
      *b = nullptr;
      *f = 0.0f;
      return;
    }
    *a = &keys_[j - 1].value;
    *b = &keys_[j].value;
    *f = FractionAt(j, x);
  }

  // For 0 < j < count: the position of x between keys j - 1 and j, and the blend there.
  float FractionAt(uint32_t j, double x) const {
    return Fraction(keys_[j - 1].time, keys_[j].time, x);
  }
  void BlendAt(uint32_t j, float f, Value* out) const {
    Blend::Blend(keys_[j - 1], keys_[j], f, out);
  }

  // The index of the first key whose time is greater than x (count when there is none), found
  // from where the last search ended: a forward scan when x is at or past the cached key, no scan
  // when x lies between the key before the cache and the cached key, otherwise a rescan of the
  // keys below the cache. A cache equal to the count stands for "past the last key". For keys out
  // of order the cache is not used, so the result depends on x alone.
  //
  // The scans give the same index a key-by-key scan would, but a long one (a jump of more than a
  // few keys) finishes by bisection, so random access costs O(log n) and steady advance O(1).
  LYR_ALWAYS_INLINE uint32_t Search(double x) {
    // Steady advance mostly stays between the two keys of the last search or moves on by one.
    const uint32_t c = cache_;
    if (ordered_ && c < count_) {
      if (keys_[c].time <= x) {
        if (c + 1 == count_ || keys_[c + 1].time > x) return cache_ = c + 1;
      } else if (c != 0 && keys_[c - 1].time <= x) {
        return c;
      }
    }
    return SearchFromCache(x);
  }

 private:
  uint32_t SearchFromCache(double x) {
    const uint32_t n = count_;
    const uint32_t c = ordered_ ? cache_ : 0;
    uint32_t j;
    if (c < n && keys_[c].time <= x) {
      j = ordered_ ? FirstAfter(c + 1, n, x) : LinearFirstAfter(c + 1, n, x);
    } else {
      if (c != 0 && keys_[c - 1].time <= x) return c;
      // Nothing below the cache is greater than a NaN time, yet a NaN is before every key.
      j = (c == 0 || x != x) ? 0 : FirstAfter(0, c, x);
    }
    cache_ = j;
    return j;
  }

  static float Fraction(float prevTime, float nextTime, double x) {
    const double d = static_cast<double>(nextTime) - static_cast<double>(prevTime);
    return d >= 1e-8 ? static_cast<float>((x - static_cast<double>(prevTime)) / d) : 0.0f;
  }

  uint32_t LinearFirstAfter(uint32_t j, uint32_t end, double x) const {
    while (j < end && keys_[j].time <= x) ++j;
    return j;
  }
  // For ascending keys: a few steps key by key, then bisection over what is left.
  uint32_t FirstAfter(uint32_t j, uint32_t end, double x) const {
    for (uint32_t steps = 0; steps < 4; ++steps, ++j) {
      if (j == end || keys_[j].time > x) return j;
    }
    while (j < end) {
      const uint32_t mid = j + (end - j) / 2;
      if (keys_[mid].time <= x) {
        j = mid + 1;
      } else {
        end = mid;
      }
    }
    return j;
  }

  Key* keys_ = nullptr;
  uint32_t count_ = 0;
  uint32_t cache_ = 0;
  bool ordered_ = true;
};

struct LinearBlend {
  static void Mix(const Vector3& a, const Vector3& b, float f, Vector3* out) {
    out->x = a.x + f * (b.x - a.x);
    out->y = a.y + f * (b.y - a.y);
    out->z = a.z + f * (b.z - a.z);
  }
  static void Blend(const VectorKey& a, const VectorKey& b, float f, Vector3* out) {
    Mix(a.value, b.value, f, out);
  }
  static void Take(const VectorKey& k, Vector3* out) { *out = k.value; }
};

// Rotations leave the channel conjugated: the blend runs on the conjugated keys.
struct ConjugateSlerpBlend {
  // The blend of the conjugates is the conjugate of the blend: the dot product sees the same
  // products and negation commutes with rounding, so only the sign of an exact zero may differ.
  static void Mix(const Quaternion& a, const Quaternion& b, float f, Quaternion* out) {
    Quaternion q;
    Slerp(&q, &a, &b, f);
    *out = Conjugated(q);
  }
  static void Blend(const RotationKey& a, const RotationKey& b, float f, Quaternion* out) {
    Mix(a.value, b.value, f, out);
  }
  static void Take(const RotationKey& k, Quaternion* out) { *out = Conjugated(k.value); }
};

// The keys of all three channels at one time, for channels that share their key times: one search
// and one fraction then serve all three, and the keys around a time share a cache line or two.
struct FrameValue {
  Vector3 scale;
  Quaternion rotation;
  Vector3 translation;
};
struct FrameKey {
  float time;
  FrameValue value;
};

using VectorKeyChannel = KeyChannel<VectorKey, LinearBlend>;
using RotationKeyChannel = KeyChannel<RotationKey, ConjugateSlerpBlend>;
using FrameChannel = KeyChannel<FrameKey, void>;  // searched, blended by the interpolator

}  // namespace lyr
