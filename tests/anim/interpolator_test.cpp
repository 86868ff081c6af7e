#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "anim/anim_internal.h"
#include "anim_test_util.h"
#include "core/object_impl.h"
#include "fault_injection.h"
#include "lyr/anim.h"

namespace lyr {
namespace {

using test::ExpectQuat;
using test::ExpectVec;
using test::MakeInterpolator;

TEST(Interpolator, EmptyChannelsGetOneDefaultKeyAndTheUnitPeriod) {
  Ref<KeyFrameInterpolator> it(MakeInterpolator("bone", {}, {}, {}, 30.0));
  ASSERT_TRUE(it);
  EXPECT_STREQ(it->Name(), "bone");
  EXPECT_DOUBLE_EQ(it->Period(), 1.0 / 30.0);
  EXPECT_EQ(it->TicksPerSecond(), 30.0);
  EXPECT_EQ(it->ScaleKeyCount(), 1u);
  EXPECT_EQ(it->RotationKeyCount(), 1u);
  EXPECT_EQ(it->TranslationKeyCount(), 1u);
  VectorKey s{}, t{};
  RotationKey r{};
  ASSERT_EQ(it->CopyScaleKeys(&s), Ok);
  ASSERT_EQ(it->CopyRotationKeys(&r), Ok);
  ASSERT_EQ(it->CopyTranslationKeys(&t), Ok);
  EXPECT_EQ(s.time, 0.0f);
  ExpectVec(s.value, {1, 1, 1});
  ExpectQuat(r.value, {0, 0, 0, 1});
  ExpectVec(t.value, {0, 0, 0});
  for (double time : {0.0, 0.01, 0.5, -3.0, 1e6}) {
    Vector3 sv{}, tv{};
    Quaternion rv{};
    ASSERT_EQ(it->Sample(time, &sv, &rv, &tv), Ok);
    ExpectVec(sv, {1, 1, 1});
    ExpectQuat(rv, {0, 0, 0, 1});
    ExpectVec(tv, {0, 0, 0});
  }
  // Null outputs are skipped.
  EXPECT_EQ(it->Sample(0.25, nullptr, nullptr, nullptr), Ok);
  EXPECT_EQ(it->SampleEnd(nullptr, nullptr, nullptr), Ok);
  EXPECT_EQ(it->CopyScaleKeys(nullptr), ErrInvalidCall);
  EXPECT_EQ(it->CopyRotationKeys(nullptr), ErrInvalidCall);
  EXPECT_EQ(it->CopyTranslationKeys(nullptr), ErrInvalidCall);
}

TEST(Interpolator, PeriodIsTheProductOfDifferingEndsNotTheLarger) {
  const std::vector<VectorKey> scale100 = {{0, {1, 1, 1}}, {100, {2, 2, 2}}};
  const std::vector<VectorKey> scale4800 = {{0, {1, 1, 1}}, {4800, {2, 2, 2}}};
  const std::vector<VectorKey> trans50 = {{0, {0, 0, 0}}, {50, {1, 0, 0}}};
  const std::vector<RotationKey> rot4800 = {{0, {0, 0, 0, 1}}, {4800, {0, 0, 1, 0}}};
  struct Case {
    std::vector<VectorKey> s;
    std::vector<RotationKey> r;
    std::vector<VectorKey> t;
    double ticks;
  } cases[] = {
      {scale100, rot4800, {}, 480000.0},        // S != R: S*R
      {scale4800, rot4800, trans50, 240000.0},  // S == R, T != R: S*T
      {scale4800, rot4800, scale4800, 4800.0},  // all equal: S
      {{}, rot4800, {}, 4800.0},                // absent channels count 1.0: S*R = 4800
      {scale100, {}, {}, 100.0},                // S*R with R = 1
      {{}, {}, trans50, 50.0},                  // S == R = 1, T = 50: S*T
  };
  for (const Case& c : cases) {
    Ref<KeyFrameInterpolator> it(MakeInterpolator("x", c.s, c.r, c.t, 4800.0));
    ASSERT_TRUE(it);
    EXPECT_DOUBLE_EQ(it->Period(), c.ticks / 4800.0);
  }
}

TEST(Interpolator, SamplingWrapsByThePeriodWithATruncatingRemainder) {
  // Rotation keys 0..4800 only, 4800 ticks per second: a one-second period.
  Ref<KeyFrameInterpolator> it(MakeInterpolator(
      "r", {}, {{0, {0, 0, 0, 1}}, {2400, {0, 0, 0.7071068f, 0.7071068f}}, {4800, {0, 0, 1, 0}}},
      {}, 4800.0));
  ASSERT_DOUBLE_EQ(it->Period(), 1.0);
  Quaternion a{}, b{};
  it->Sample(0.5, nullptr, &a, nullptr);
  it->Sample(1.5, nullptr, &b, nullptr);
  ExpectQuat(a, b);
  ExpectQuat(a, {0, 0, -0.7071068f, 0.7071068f});
  it->Sample(1.0, nullptr, &a, nullptr);
  it->Sample(0.0, nullptr, &b, nullptr);
  ExpectQuat(a, b);
  ExpectQuat(a, {0, 0, 0, 1});
  // A negative time stays negative: it lies before the first key.
  it->Sample(-0.25, nullptr, &a, nullptr);
  ExpectQuat(a, {0, 0, 0, 1});
}

// The wrapped time must be the exact remainder: times just below and above whole multiples of
// the period (where the rounded quotient is one too large), periods of every size, and the
// values the short cut leaves to the library (negative, huge, infinite, NaN, zero periods).
TEST(Interpolator, WrappedTimeIsTheExactRemainder) {
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  double wraps = 0.0;
  for (int i = 0; i < 100000; ++i) {
    const double p = std::ldexp(0.5 + unit(rng), static_cast<int>(rng() % 40) - 20);
    double x;
    switch (i % 4) {
      case 0:
        x = p * std::ldexp(unit(rng), static_cast<int>(rng() % 50));
        break;
      case 1: {  // a few ulps around a multiple
        double m = p * static_cast<double>(1 + rng() % 100000);
        for (int k = static_cast<int>(rng() % 9) - 4; k != 0; k += k > 0 ? -1 : 1) {
          m = std::nextafter(m, k > 0 ? HUGE_VAL : 0.0);
        }
        x = m;
        break;
      }
      case 2:
        x = static_cast<double>(1 + rng() % 1000) / 60.0;
        break;
      default:
        x = -p * 1000.0 * unit(rng);
        break;
    }
    // Any guess works: none, the last call's, and one period too many or too few.
    const double q = i % 2 ? p : 59.0 / 30.0;
    const double guesses[] = {0.0, wraps, std::trunc(x / q) + 1.0, std::trunc(x / q) - 1.0};
    for (double guess : guesses) {
      double k = guess;
      ASSERT_TRUE(same(TimeRemainder(x, q, &k), std::fmod(x, q))) << x << " " << q << " " << guess;
    }
    TimeRemainder(x, q, &wraps);
  }
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double x : {0.0, -0.0, 1e300, 3.0 * 0x1p52, inf, -inf, nan, 5e-324}) {
    for (double q : {1.0, 0.1, 0.0, -3.0, inf, 5e-324, 1e300}) {
      double k = 3.0;
      const double a = TimeRemainder(x, q, &k), b = std::fmod(x, q);
      EXPECT_TRUE(same(a, b) || (std::isnan(a) && std::isnan(b))) << x << " " << q;
    }
  }
}

TEST(Interpolator, ZeroPeriodGivesTheFirstKeysAtEveryTime) {
  Ref<KeyFrameInterpolator> it(MakeInterpolator("z", {{0, {5, 5, 5}}},
                                                {{0, {0, 0, 0, 1}}, {4800, {0, 1, 0, 0}}},
                                                {{0, {1, 2, 3}}, {4800, {9, 9, 9}}}, 4800.0));
  EXPECT_EQ(it->Period(), 0.0);
  for (double time : {0.0, 0.3, 0.9, 5.0, -1.0}) {
    Vector3 s{}, t{};
    Quaternion r{};
    it->Sample(time, &s, &r, &t);
    ExpectVec(s, {5, 5, 5});
    ExpectQuat(r, {0, 0, 0, 1});
    ExpectVec(t, {1, 2, 3});
  }
}

TEST(Interpolator, BlendsBetweenKeysAndHoldsTheEnds) {
  Ref<KeyFrameInterpolator> it(
      MakeInterpolator("t", {}, {}, {{0, {0, 0, 0}}, {100, {10, -20, 4}}}, 100.0));
  // Period: S == R == 1, T = 100: 100 ticks = 1 s.
  Vector3 v{};
  it->Sample(0.5, nullptr, nullptr, &v);
  ExpectVec(v, {5, -10, 2});
  it->Sample(0.999999, nullptr, nullptr, &v);
  EXPECT_NEAR(v.x, 10.0f, 1e-3f);
  Vector3 end{};
  it->SampleEnd(nullptr, nullptr, &end);
  ExpectVec(end, {10, -20, 4});
  // At or past the last key inside the period (keys ending before the period's end).
  Ref<KeyFrameInterpolator> shortKeys(MakeInterpolator(
      "s", {{0, {1, 1, 1}}, {100, {3, 3, 3}}}, {{0, {0, 0, 0, 1}}, {200, {0, 0, 0, 1}}}, {}, 1.0));
  Vector3 s{};
  shortKeys->Sample(150.0, &s, nullptr, nullptr);  // period 20000 s
  ExpectVec(s, {3, 3, 3});
  shortKeys->Sample(100.0, &s, nullptr, nullptr);
  ExpectVec(s, {3, 3, 3});
  shortKeys->Sample(-5.0, &s, nullptr, nullptr);
  ExpectVec(s, {1, 1, 1});

  // Rotations blend spherically between the conjugated keys.
  Ref<KeyFrameInterpolator> rot(MakeInterpolator(
      "q", {}, {{0, {0, 0, 0, 1}}, {10, {0, 0, 0.7071068f, 0.7071068f}}}, {}, 10.0));
  Quaternion q{};
  rot->Sample(0.5, nullptr, &q, nullptr);
  ExpectQuat(q, {0, 0, -0.3826834f, 0.9238795f});
}

TEST(Interpolator, EqualKeyTimesUseTheEarlierKeyUpToThatTimeWhateverTheHistory) {
  const std::vector<VectorKey> keys = {
      {0, {0, 0, 0}}, {10, {10, 0, 0}}, {10, {50, 0, 0}}, {20, {60, 0, 0}}};
  auto at = [&](std::initializer_list<double> history, double ticks) {
    Ref<KeyFrameInterpolator> it(MakeInterpolator("e", {}, {}, keys, 1.0));
    Vector3 v{};
    for (double h : history) it->Sample(h, nullptr, nullptr, &v);
    it->Sample(ticks, nullptr, nullptr, &v);
    return v.x;
  };
  EXPECT_FLOAT_EQ(at({}, 5), 5.0f);
  EXPECT_FLOAT_EQ(at({}, 9.999), 9.999f);
  EXPECT_FLOAT_EQ(at({}, 15), 55.0f);
  // Exactly at the shared time the later of the two keys starts the next segment, no matter
  // where the previous search ended.
  EXPECT_FLOAT_EQ(at({}, 10), 50.0f);
  EXPECT_FLOAT_EQ(at({5}, 10), 50.0f);
  EXPECT_FLOAT_EQ(at({15}, 10), 50.0f);
  EXPECT_FLOAT_EQ(at({19, 0}, 10), 50.0f);
  // Two keys at the same time as the only keys: the earlier one before it, the later one after.
  Ref<KeyFrameInterpolator> two(
      MakeInterpolator("two", {}, {}, {{5, {1, 0, 0}}, {5, {2, 0, 0}}}, 1.0));
  Vector3 v{};
  two->Sample(4.0, nullptr, nullptr, &v);
  EXPECT_EQ(v.x, 1.0f);
}

TEST(Interpolator, RotationsAreConjugatedOnTheWayOutButNotWhenCopied) {
  const RotationKey key{0, {0, 0, 0.7071068f, 0.7071068f}};
  Ref<KeyFrameInterpolator> it(MakeInterpolator("c", {}, {key, {10, {0, 0, 0, 1}}}, {}, 1.0));
  RotationKey copied[2];
  ASSERT_EQ(it->CopyRotationKeys(copied), Ok);
  EXPECT_EQ(std::memcmp(&copied[0], &key, sizeof key), 0);
  Quaternion q{};
  it->Sample(0.0, nullptr, &q, nullptr);
  ExpectQuat(q, {0, 0, -0.7071068f, 0.7071068f});
  it->SampleEnd(nullptr, &q, nullptr);
  ExpectQuat(q, {0, 0, 0, 1});
  Ref<KeyFrameInterpolator> last(MakeInterpolator("l", {}, {key}, {}, 1.0));
  last->SampleEnd(nullptr, &q, nullptr);
  ExpectQuat(q, {0, 0, -0.7071068f, 0.7071068f});
}

// The value a fresh search gives: the first key whose time is greater than x, blended with the
// key before it, written out plainly.
template <class Key, class Value, class BlendFn>
Value ReferenceEvaluate(const std::vector<Key>& keys, double x, BlendFn blend) {
  size_t j = 0;
  while (j < keys.size() && !(keys[j].time > x)) ++j;
  auto take = [&](const Key& k) {
    Key tmp = k;
    return blend(tmp, tmp, 0.0f, true);
  };
  if (j == keys.size()) return take(keys.back());
  if (j == 0) return take(keys.front());
  const double d = double(keys[j].time) - double(keys[j - 1].time);
  const float f = d >= 1e-8 ? float((x - double(keys[j - 1].time)) / d) : 0.0f;
  return blend(keys[j - 1], keys[j], f, false);
}

TEST(Interpolator, CachedSearchMatchesAPlainSearchInAnyOrderOfTimes) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 60; ++round) {
    const int n = 1 + static_cast<int>(rng() % 40);
    std::vector<float> times;
    float t = static_cast<float>(1 + rng() % 3);
    for (int i = 0; i < n; ++i) {
      times.push_back(t);
      t += (rng() % 4 == 0) ? 0.0f : static_cast<float>(1 + rng() % 7);  // some equal times
    }
    std::uniform_real_distribution<float> val(-5.0f, 5.0f);
    std::vector<VectorKey> vk;
    std::vector<RotationKey> rk;
    for (float kt : times) {
      vk.push_back({kt, {val(rng), val(rng), val(rng)}});
      Quaternion q{val(rng), val(rng), val(rng), val(rng)};
      const float len = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
      rk.push_back({kt, {q.x / len, q.y / len, q.z / len, q.w / len}});
    }
    // A far last key in both channels gives a period longer than any sample time.
    vk.push_back({1000, {val(rng), val(rng), val(rng)}});
    rk.push_back({1000, rk.back().value});
    // Sample times: every key time, midpoints, and points outside the keys, in three orders.
    std::vector<double> xs;
    for (float kt : times) {
      xs.push_back(kt);
      xs.push_back(kt + 0.5);
    }
    xs.push_back(times.front() - 1.0);
    xs.push_back(times.back() + 3.0);
    std::vector<std::vector<double>> orders;
    std::sort(xs.begin(), xs.end());
    orders.push_back(xs);
    orders.emplace_back(xs.rbegin(), xs.rend());
    std::shuffle(xs.begin(), xs.end(), rng);
    orders.push_back(xs);

    // One tick per second. The scale channel has keys of its own in the first interpolator and
    // the translation keys in the second, where all three channels share their key times.
    const std::vector<VectorKey> longScale = {{0, {1, 1, 1}}, {1000, {1, 1, 1}}};
    for (const auto& order : orders) {
      Ref<KeyFrameInterpolator> it(MakeInterpolator("p", longScale, rk, vk, 1.0));
      Ref<KeyFrameInterpolator> shared(MakeInterpolator("s", vk, rk, vk, 1.0));
      ASSERT_GT(it->Period(), times.back() + 10.0);
      ASSERT_EQ(shared->Period(), it->Period());
      int step = 0;
      for (double x : order) {
        Quaternion q{}, sq{};
        Vector3 v{}, ss{}, sv{};
        ASSERT_EQ(it->Sample(x, nullptr, &q, &v), Ok);
        // The shared search must keep its place when some outputs are not asked for.
        const bool all = ++step % 3 != 0;
        ASSERT_EQ(shared->Sample(x, all ? &ss : nullptr, &sq, all ? &sv : nullptr), Ok);
        const Vector3 ev = ReferenceEvaluate<VectorKey, Vector3>(
            vk, x, [](const VectorKey& a, const VectorKey& b, float f, bool) {
              return Vector3{a.value.x + f * (b.value.x - a.value.x),
                             a.value.y + f * (b.value.y - a.value.y),
                             a.value.z + f * (b.value.z - a.value.z)};
            });
        const Quaternion eq = ReferenceEvaluate<RotationKey, Quaternion>(
            rk, x, [](const RotationKey& a, const RotationKey& b, float f, bool single) {
              const Quaternion ca{-a.value.x, -a.value.y, -a.value.z, a.value.w};
              const Quaternion cb{-b.value.x, -b.value.y, -b.value.z, b.value.w};
              if (single) return ca;
              Quaternion r{};
              Slerp(&r, &ca, &cb, f);
              return r;
            });
        ASSERT_EQ(std::memcmp(&v, &ev, sizeof v), 0) << "round " << round << " x " << x;
        ASSERT_EQ(std::memcmp(&q, &eq, sizeof q), 0) << "round " << round << " x " << x;
        ASSERT_EQ(std::memcmp(&sq, &eq, sizeof q), 0) << "round " << round << " x " << x;
        if (all) {
          ASSERT_EQ(std::memcmp(&ss, &ev, sizeof v), 0) << "round " << round << " x " << x;
          ASSERT_EQ(std::memcmp(&sv, &ev, sizeof v), 0) << "round " << round << " x " << x;
        }
      }
    }
  }
}

TEST(Interpolator, SamplingOutOfOrderEqualsFreshSampling) {
  const std::vector<VectorKey> keys = {
      {0, {0, 0, 0}}, {8, {8, 1, 0}}, {16, {0, 2, 0}}, {24, {4, 3, 0}}, {32, {2, 4, 0}}};
  Ref<KeyFrameInterpolator> used(MakeInterpolator("u", {}, {}, keys, 1.0));
  for (double ticks : {10.0, 20.0, 30.0, 5.0, 31.0, 0.5}) {
    Ref<KeyFrameInterpolator> fresh(MakeInterpolator("f", {}, {}, keys, 1.0));
    Vector3 a{}, b{};
    used->Sample(ticks, nullptr, nullptr, &a);
    fresh->Sample(ticks, nullptr, nullptr, &b);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << ticks;
  }
}

TEST(Interpolator, KeysOutOfOrderGiveAValueThatDependsOnTheTimeAlone) {
  const std::vector<VectorKey> keys = {{0, {0, 0, 0}},
                                       {20, {20, 0, 0}},
                                       {10, {10, 0, 0}},
                                       {30, {30, 0, 0}},
                                       {std::numeric_limits<float>::quiet_NaN(), {99, 0, 0}}};
  const std::vector<VectorKey> longScale = {{0, {1, 1, 1}}, {1000, {1, 1, 1}}};
  Ref<KeyFrameInterpolator> it(MakeInterpolator("o", longScale, {}, keys, 1.0));
  std::vector<double> xs = {-1, 0, 5, 10, 15, 20, 25, 30, 35, 12, 3};
  std::vector<float> first;
  for (double x : xs) {
    Vector3 v{};
    ASSERT_EQ(it->Sample(x, nullptr, nullptr, &v), Ok);
    first.push_back(v.x);
  }
  std::reverse(xs.begin(), xs.end());
  std::reverse(first.begin(), first.end());
  for (size_t i = 0; i < xs.size(); ++i) {
    Vector3 v{};
    it->Sample(xs[i], nullptr, nullptr, &v);
    EXPECT_EQ(v.x, first[i]) << xs[i];
  }
  // Keys 0 and 20 bracket 5.
  EXPECT_FLOAT_EQ(first[xs.size() - 3], 5.0f);
}

TEST(Interpolator, TickRatesAtOrBelowZeroStayDefined) {
  const std::vector<VectorKey> keys = {{-10, {-1, 0, 0}}, {0, {7, 0, 0}}, {10, {9, 0, 0}}};
  Ref<KeyFrameInterpolator> zero(MakeInterpolator("z", {}, {}, keys, 0.0));
  EXPECT_TRUE(std::isinf(zero->Period()));
  for (double time : {0.0, 3.0, -8.0}) {
    Vector3 v{};
    ASSERT_EQ(zero->Sample(time, nullptr, nullptr, &v), Ok);
    EXPECT_EQ(v.x, 7.0f);  // tick 0
  }
  Ref<KeyFrameInterpolator> negative(MakeInterpolator("n", {}, {}, keys, -1.0));
  EXPECT_DOUBLE_EQ(negative->Period(), -10.0);
  Vector3 v{};
  negative->Sample(5.0, nullptr, nullptr, &v);  // tick -5
  EXPECT_FLOAT_EQ(v.x, 3.0f);
  negative->Sample(-5.0, nullptr, nullptr, &v);  // tick 5
  EXPECT_FLOAT_EQ(v.x, 8.0f);
}

TEST(Interpolator, CreationChecksArgumentsBeforeAllocating) {
  const VectorKey vk{0, {1, 2, 3}};
  const RotationKey rk{0, {0, 0, 0, 1}};
  auto* sentinel = reinterpret_cast<KeyFrameInterpolator*>(uintptr_t{0x1234});
  KeyFrameInterpolator* out = sentinel;
  const uint64_t allocations = test::CountAllocations([&] {
    EXPECT_EQ(LyrCreateKeyFrameInterpolator("a", nullptr, 1, &rk, 1, &vk, 1, 1.0, &out),
              ErrInvalidCall);
    EXPECT_EQ(LyrCreateKeyFrameInterpolator("a", &vk, 1, nullptr, 2, &vk, 1, 1.0, &out),
              ErrInvalidCall);
    EXPECT_EQ(LyrCreateKeyFrameInterpolator("a", &vk, 1, &rk, 1, nullptr, 3, 1.0, &out),
              ErrInvalidCall);
    EXPECT_EQ(LyrCreateKeyFrameInterpolator("a", &vk, 1, &rk, 1, &vk, 1, 1.0, nullptr),
              ErrInvalidCall);
  });
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(out, sentinel);
  // Null key arrays with zero counts and a null name are fine.
  ASSERT_EQ(LyrCreateKeyFrameInterpolator(nullptr, nullptr, 0, nullptr, 0, nullptr, 0, 1.0, &out),
            Ok);
  EXPECT_EQ(out->Name(), nullptr);
  void* asUnknown = nullptr;
  EXPECT_EQ(out->QueryInterface(kIidUnknown, &asUnknown), Ok);
  EXPECT_EQ(asUnknown, out);
  EXPECT_EQ(out->QueryInterface(kIidInterpolator, &asUnknown), Ok);
  EXPECT_EQ(out->QueryInterface(KeyFrameInterpolator::kIid, &asUnknown), Ok);
  EXPECT_EQ(out->QueryInterface(AnimationSet::kIid, &asUnknown), ErrNoInterface);
  EXPECT_EQ(out->Release(), 3u);
  out->Release();
  out->Release();
  out->Release();
}

TEST(Interpolator, EveryAllocationFailureGivesOutOfMemoryANullOutAndNoLeak) {
  const VectorKey vk[2] = {{0, {1, 2, 3}}, {5, {1, 1, 1}}};
  const RotationKey rk[2] = {{0, {0, 0, 0, 1}}, {5, {0, 1, 0, 0}}};
  KeyFrameInterpolator* out = nullptr;
  const int points = test::ForEachAllocationFailure(
      [&] {
        out = reinterpret_cast<KeyFrameInterpolator*>(uintptr_t{0x1234});
        LyrResult r = LyrCreateKeyFrameInterpolator("name", vk, 2, rk, 2, vk, 2, 30.0, &out);
        if (Failed(r)) {
          EXPECT_EQ(out, nullptr);
        }
        return r;
      },
      [&](LyrResult r) {
        if (Succeeded(r)) out->Release();
      });
  // object, name, three key arrays, and the keys together (the channels share their times)
  EXPECT_EQ(points, 6);
}

TEST(Interpolator, SamplingAllocatesNothing) {
  std::vector<VectorKey> vk;
  std::vector<RotationKey> rk;
  for (int i = 0; i < 60; ++i) {
    vk.push_back({float(i), {float(i), 1, 2}});
    rk.push_back({float(i), {0, std::sin(i * 0.1f), 0, std::cos(i * 0.1f)}});
  }
  Ref<KeyFrameInterpolator> it(MakeInterpolator("b", vk, rk, vk, 30.0));
  Vector3 s{}, t{};
  Quaternion r{};
  EXPECT_EQ(test::CountAllocations([&] {
              for (int i = 0; i < 500; ++i) it->Sample(i * 0.013 - 1.0, &s, &r, &t);
              it->SampleEnd(&s, &r, &t);
            }),
            0u);
}

}  // namespace
}  // namespace lyr
