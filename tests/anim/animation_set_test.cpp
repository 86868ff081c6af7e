#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "anim_test_util.h"
#include "core/object_impl.h"
#include "fault_injection.h"
#include "lyr/anim.h"

namespace lyr {
namespace {

using test::MakeInterpolator;

// Interpolators named as given, with periods 1, 2, 3, ... seconds in that order.
std::vector<Ref<KeyFrameInterpolator>> Named(const std::vector<std::string>& names) {
  std::vector<Ref<KeyFrameInterpolator>> out;
  for (size_t i = 0; i < names.size(); ++i) {
    out.emplace_back(MakeInterpolator(names[i].c_str(), {{0, {1, 1, 1}}, {float(i + 1), {1, 1, 1}}},
                                      {}, {}, 1.0));
  }
  return out;
}

std::vector<KeyFrameInterpolator*> Raw(const std::vector<Ref<KeyFrameInterpolator>>& v) {
  std::vector<KeyFrameInterpolator*> out;
  for (const auto& r : v) out.push_back(r.get());
  return out;
}

TEST(AnimationSet, SortsByNameKeepsTheFirstPeriodAndHoldsOneReferenceEach) {
  auto items = Named({"b", "a", "c"});
  auto raw = Raw(items);
  AnimationSet* set = nullptr;
  ASSERT_EQ(LyrCreateAnimationSet("walk", raw.data(), 3, &set), Ok);
  EXPECT_STREQ(set->Name(), "walk");
  EXPECT_DOUBLE_EQ(set->Period(), items[0]->Period());  // "b", before sorting
  EXPECT_EQ(set->InterpolatorCount(), 3u);
  KeyFrameInterpolator* at = nullptr;
  ASSERT_EQ(set->InterpolatorAt(0, &at), Ok);
  EXPECT_STREQ(at->Name(), "a");
  EXPECT_EQ(at->Release(), 2u);  // ours and the set's
  EXPECT_EQ(set->InterpolatorAt(3, &at), ErrInvalidCall);
  EXPECT_EQ(set->InterpolatorAt(0, nullptr), ErrInvalidCall);

  KeyFrameInterpolator* found = nullptr;
  EXPECT_EQ(set->FindInterpolator("c", &found), 2);
  EXPECT_EQ(found, items[2].get());
  found->Release();
  found = items[0].get();
  EXPECT_EQ(set->FindInterpolator("d", &found), ErrFail);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(set->FindInterpolator(nullptr, &found), ErrInvalidCall);
  EXPECT_EQ(set->FindInterpolator("a", nullptr), ErrInvalidCall);

  void* q = nullptr;
  EXPECT_EQ(set->QueryInterface(AnimationSet::kIid, &q), Ok);
  EXPECT_EQ(set->QueryInterface(KeyFrameInterpolator::kIid, &q), ErrNoInterface);
  set->Release();
  EXPECT_EQ(set->Release(), 0u);
  // The set's references are gone: ours is the last one.
  for (auto& item : items) {
    item->AddRef();
    EXPECT_EQ(item->Release(), 1u);
  }
}

TEST(AnimationSet, CreationRejectsMissingArgumentsAndUnnamedInterpolators) {
  auto items = Named({"a", "b"});
  Ref<KeyFrameInterpolator> unnamed(MakeInterpolator(nullptr, {}, {}, {}, 1.0));
  auto* sentinel = reinterpret_cast<AnimationSet*>(uintptr_t{0x99});
  AnimationSet* out = sentinel;
  std::vector<KeyFrameInterpolator*> withUnnamed = {items[0].get(), unnamed.get()};
  std::vector<KeyFrameInterpolator*> withNull = {items[0].get(), nullptr};
  auto raw = Raw(items);
  EXPECT_EQ(test::CountAllocations([&] {
              EXPECT_EQ(LyrCreateAnimationSet("s", nullptr, 2, &out), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationSet("s", raw.data(), 0, &out), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationSet("s", raw.data(), 2, nullptr), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationSet("s", withUnnamed.data(), 2, &out), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationSet("s", withNull.data(), 2, &out), ErrInvalidCall);
            }),
            0u);
  EXPECT_EQ(out, sentinel);
  // The set's name is optional.
  ASSERT_EQ(LyrCreateAnimationSet(nullptr, raw.data(), 2, &out), Ok);
  EXPECT_EQ(out->Name(), nullptr);
  out->Release();
}

TEST(AnimationSet, NamesCompareAsUnsignedBytesWithPrefixesFirst) {
  auto items = Named({"\xC3\xA9t\xC3\xA9", "z", "ab", "a", "A", "\x7F"});
  auto raw = Raw(items);
  Ref<AnimationSet> set;
  ASSERT_EQ(LyrCreateAnimationSet("bytes", raw.data(), 6, set.put()), Ok);
  const char* expected[] = {"A", "a", "ab", "z", "\x7F", "\xC3\xA9t\xC3\xA9"};
  for (uint32_t i = 0; i < 6; ++i) {
    Ref<KeyFrameInterpolator> at;
    ASSERT_EQ(set->InterpolatorAt(i, at.put()), Ok);
    EXPECT_STREQ(at->Name(), expected[i]) << i;
    Ref<KeyFrameInterpolator> found;
    EXPECT_EQ(set->FindInterpolator(expected[i], found.put()), static_cast<LyrResult>(i));
    EXPECT_EQ(found.get(), at.get());
  }
}

TEST(AnimationSet, BinarySearchFindsEveryNameAndMissesBetweenThem) {
  for (uint32_t n = 1; n <= 33; ++n) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < n; ++i)
      names.push_back(std::string("n").append(std::to_string(100 + 2 * i)));
    std::vector<std::string> shuffled(names.rbegin(), names.rend());
    auto items = Named(shuffled);
    auto raw = Raw(items);
    Ref<AnimationSet> set;
    ASSERT_EQ(LyrCreateAnimationSet("s", raw.data(), n, set.put()), Ok);
    for (uint32_t i = 0; i < n; ++i) {
      Ref<KeyFrameInterpolator> hit;
      ASSERT_EQ(set->FindInterpolator(names[i].c_str(), hit.put()), static_cast<LyrResult>(i));
      ASSERT_STREQ(hit->Name(), names[i].c_str());
      // Odd numbers fall between the stored names; "n0" before all, "o" after all.
      const std::string miss = std::string("n").append(std::to_string(101 + 2 * i));
      for (const std::string& m :
           {miss, std::string("n0"), std::string("o"), names[i] + "x", names[i].substr(0, 3)}) {
        KeyFrameInterpolator* none = hit.get();
        EXPECT_EQ(set->FindInterpolator(m.c_str(), &none), ErrFail) << m;
        EXPECT_EQ(none, nullptr);
      }
    }
  }
}

TEST(AnimationSet, EveryAllocationFailureGivesOutOfMemoryANullOutAndNoLeak) {
  auto items = Named({"b", "a"});
  auto raw = Raw(items);
  AnimationSet* out = nullptr;
  const int points = test::ForEachAllocationFailure(
      [&] {
        out = reinterpret_cast<AnimationSet*>(uintptr_t{0x99});
        LyrResult r = LyrCreateAnimationSet("set", raw.data(), 2, &out);
        if (Failed(r)) {
          EXPECT_EQ(out, nullptr);
        }
        return r;
      },
      [&](LyrResult r) {
        if (Succeeded(r)) out->Release();
      });
  EXPECT_EQ(points, 3);  // name, pointer array, object
  // No reference is left behind by the failed runs.
  for (auto& item : items) {
    item->AddRef();
    EXPECT_EQ(item->Release(), 1u);
  }
}

}  // namespace
}  // namespace lyr
