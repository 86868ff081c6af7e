// Loading animation sets: Vek text files under tests/data/animload, read by the real component,
// each AnimationSet of a file being one case.
#include <cmath>

#include "support/fault_injection.h"
#include "vek_test_util.h"
#include "vekio/anim_load.h"

namespace lyr::test {
namespace {

using vekio::LoadAnimation;
using vekio::LoadAnimationSet;

// The bytes of one file, its top-level objects enumerated afresh for every request so that each
// object's children are walked from the first.
struct AnimFile {
  std::string bytes;
  Ref<VekFile> file = NewVekFile();

  // The top-level object named `name` ("" for the first unnamed one).
  Ref<VekDataObject> Top(const std::string& name) const {
    Ref<VekEnumeration> e;
    EXPECT_EQ(OpenBytes(file.get(), bytes, e.put()), Ok);
    for (auto& o : e ? TopLevel(e.get()) : std::vector<Ref<VekDataObject>>{}) {
      if (NameOf(o.get()) == name) return o;
    }
    ADD_FAILURE() << "no object " << name;
    return {};
  }
  // The first Animation of the set named `set`.
  Ref<VekDataObject> FirstAnimation(const std::string& set) const {
    Ref<VekDataObject> s = Top(set);
    auto children = s ? DataChildren(s.get()) : std::vector<Ref<VekDataObject>>{};
    if (children.empty()) ADD_FAILURE() << set << " has no Animation";
    return children.empty() ? Ref<VekDataObject>() : children[0];
  }
};

AnimFile DataFile(const std::string& name) {
  AnimFile f{ReadBytes(std::string(LYR_TEST_DATA_DIR) + "/animload/" + name)};
  EXPECT_FALSE(f.bytes.empty()) << name;
  return f;
}

struct Key {
  float time;
  float v[4];
};
using Keys = std::vector<Key>;

const float kHalfRoot2 = std::sqrt(0.5f);
const float kSin95 = 0.9961947f, kCos95 = 0.0871557f;
const Keys kNoScale = {{0, {1, 1, 1}}};
const Keys kNoRotation = {{0, {0, 0, 0, 1}}};
const Keys kNoTranslation = {{0, {0, 0, 0}}};

template <class K>
void ExpectKeys(const std::vector<K>& got, const Keys& want, int width, const char* channel) {
  ASSERT_EQ(got.size(), want.size()) << channel;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].time, want[i].time) << channel << " key " << i;
    const float* value = &got[i].value.x;
    for (int c = 0; c < width; ++c) {
      EXPECT_NEAR(value[c], want[i].v[c], 1e-6f) << channel << " key " << i << " component " << c;
    }
  }
}

struct KeyCase {
  const char* set;
  const char* frame;  // null: the interpolator has no name
  Keys scale, rotation, translation;
};

TEST(AnimLoad, KeyBlocksBecomeTheInterpolatorsKeys) {
  const KeyCase cases[] = {
      // Reordered from w, x, y, z without normalising; q then -q stays so; the largest time
      // rounds to the nearest float.
      {"rotations",
       "hip",
       kNoScale,
       {{0, {0, 0, 0, 1}},
        {10, {0.2f, 0.3f, 0.4f, 0.1f}},
        {20, {0, 0, 0, -1}},
        {4294967296.0f, {0, 1, 0, 0}}},
       kNoTranslation},
      {"vectors",
       "knee",
       {{0, {1, 2, 3}}, {16777216.0f, {0.5f, -0.5f, 8}}},
       kNoRotation,
       {{5, {4, 5, -6}}}},
      // Uniform scale from the first row; rotation conjugated; translation from row 4.
      {"matrices",
       "hip",
       {{0, {2, 2, 2}}, {7, {3, 3, 3}}, {9, {0.5f, 0.5f, 0.5f}}},
       {{0, {0, 0, 0, 1}},
        {7, {0, 0, -kHalfRoot2, kHalfRoot2}},
        {9, {-kHalfRoot2, 0, 0, kHalfRoot2}}},
       {{0, {1, 2, 3}}, {7, {-1, 0, 0.5f}}, {9, {0, 0, 0}}}},
      // Each key flipped to the side of its already flipped predecessor.
      {"continuity",
       "knee",
       {{0, {1, 1, 1}}, {1, {1, 1, 1}}, {2, {1, 1, 1}}},
       {{0, {0, 0, 0, 1}}, {1, {0, 0, kSin95, kCos95}}, {2, {0, 0, kSin95, kCos95}}},
       {{0, {0, 0, 0}}, {1, {0, 0, 0}}, {2, {0, 0, 0}}}},
      {"unbound", nullptr, kNoScale, kNoRotation, {{0, {1, 1, 1}}}},
  };
  AnimFile file = DataFile("keys.vkf");
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.set);
    Ref<VekDataObject> animation = file.FirstAnimation(c.set);
    ASSERT_TRUE(animation);
    Ref<KeyFrameInterpolator> it;
    ASSERT_EQ(LoadAnimation(animation.get(), 30.0, it.put()), Ok);
    if (c.frame) {
      EXPECT_STREQ(it->Name(), c.frame);
    } else {
      EXPECT_EQ(it->Name(), nullptr);
    }
    EXPECT_EQ(it->TicksPerSecond(), 30.0);
    std::vector<VectorKey> scale(it->ScaleKeyCount()), translation(it->TranslationKeyCount());
    std::vector<RotationKey> rotation(it->RotationKeyCount());
    ASSERT_EQ(it->CopyScaleKeys(scale.data()), Ok);
    ASSERT_EQ(it->CopyRotationKeys(rotation.data()), Ok);
    ASSERT_EQ(it->CopyTranslationKeys(translation.data()), Ok);
    ExpectKeys(scale, c.scale, 3, "scale");
    ExpectKeys(rotation, c.rotation, 4, "rotation");
    ExpectKeys(translation, c.translation, 3, "translation");
  }
}

TEST(AnimLoad, MalformedAnimationsAreRefused) {
  const struct {
    const char* set;
    LyrResult code;
  } cases[] = {
      {"secondFrame", ErrInvalidArg},
      {"unnamedFrame", ErrInvalidArg},
      {"inlineFrame", ErrInvalidArg},
      {"rotationThenMatrix", ErrInvalidArg},
      {"matrixThenRotation", ErrInvalidArg},
      {"translationThenMatrix", ErrInvalidArg},
      {"matrixThenScale", ErrInvalidArg},
      {"twoMatrices", ErrInvalidArg},
      {"repeatedScale", ErrInvalidArg},
      {"unknownKeyType", ErrInvalidArg},
      // Entries are fixed-size: a block whose value counts leave it short is never read past.
      {"shortRotation", ErrInvalidArg},
      {"shortMatrix", ErrInvalidArg},
      {"shortTranslation", ErrInvalidArg},
      {"noValues", ErrInvalidArg},
      {"noChildren", ErrFail},
      {"noKeys", ErrFail},
      {"emptyKeyBlock", ErrFail},
  };
  AnimFile file = DataFile("invalid.vkf");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    Ref<VekDataObject> animation = file.FirstAnimation(c.set);
    ASSERT_TRUE(animation);
    auto* it = reinterpret_cast<KeyFrameInterpolator*>(uintptr_t{8});  // must be cleared
    EXPECT_EQ(LoadAnimation(animation.get(), vekio::kDefaultTicksPerSecond, &it), c.code);
    EXPECT_EQ(it, nullptr);
  }
}

TEST(AnimLoad, SetsAreMadeFromTheAnimationsThatLoad) {
  const struct {
    const char* file;
    const char* set;
    LyrResult code;
    std::vector<std::string> names;  // sorted; empty: no set
    double periodTicks;
  } cases[] = {
      // The broken middle Animation is dropped; the newest gives the period.
      {"sets.vkf", "walk", Ok, {"ankle", "hip"}, 30},
      {"sets.vkf", "partlyUnbound", Ok, {"knee"}, 0},
      {"sets.vkf", "", Ok, {"hip"}, 0},
      {"sets.vkf", "empty", Ok, {}, 0},
      {"sets.vkf", "withoutKeys", ErrFail, {}, 0},
      {"sets.vkf", "onlyUnbound", ErrInvalidArg, {}, 0},
      {"sets.vkf", "lastFails", ErrInvalidArg, {}, 0},
      {"sets.vkf", "lastIsReference", ErrNoInterface, {}, 0},
      {"open_set.vkf", "otherLast", Ok, {}, 0},
      {"open_set.vkf", "otherFirst", Ok, {"hip"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    AnimFile file = DataFile(c.file);
    Ref<VekDataObject> object = file.Top(c.set);
    ASSERT_TRUE(object);
    Ref<AnimationSet> set;
    EXPECT_EQ(LoadAnimationSet(object.get(), 30.0, set.put()), c.code);
    if (c.names.empty()) {
      EXPECT_FALSE(set);
      continue;
    }
    ASSERT_TRUE(set);
    if (*c.set) {
      EXPECT_STREQ(set->Name(), c.set);
    } else {
      EXPECT_EQ(set->Name(), nullptr);
    }
    EXPECT_DOUBLE_EQ(set->Period(), c.periodTicks / 30.0);
    ASSERT_EQ(set->InterpolatorCount(), c.names.size());
    for (uint32_t i = 0; i < c.names.size(); ++i) {
      Ref<KeyFrameInterpolator> it;
      ASSERT_EQ(set->InterpolatorAt(i, it.put()), Ok);
      EXPECT_EQ(it->Name(), c.names[i]);
      EXPECT_EQ(it->TicksPerSecond(), 30.0);
    }
  }
}

// A set named with n bytes 's', its one Animation animating a frame named with n bytes 'f';
// quoted, so that any length reads.
std::string LongNameFile(size_t n) {
  const std::string set(n, 's'), frame(n, 'f');
  return "vkf 0303txt 0032\nFrame \"" + frame + "\" {}\nAnimationSet \"" + set +
         "\" { Animation { { \"" + frame + "\" } AnimationKey { 1; 1; 0; 3; 1, 1, 1;;; } } }\n";
}

TEST(AnimLoad, NamesOfEveryLengthAreReadWhole) {
  // Around the size kept off the heap (1024 bytes with the terminator).
  for (size_t n : {size_t(1), size_t(1022), size_t(1023), size_t(1024), size_t(5000)}) {
    SCOPED_TRACE(n);
    AnimFile file{LongNameFile(n)};
    Ref<AnimationSet> set;
    ASSERT_EQ(LoadAnimationSet(file.Top(std::string(n, 's')).get(), 1.0, set.put()), Ok);
    ASSERT_TRUE(set);
    EXPECT_EQ(std::string(set->Name()), std::string(n, 's'));
    Ref<KeyFrameInterpolator> it;
    ASSERT_EQ(set->InterpolatorAt(0, it.put()), Ok);
    EXPECT_EQ(std::string(it->Name()), std::string(n, 'f'));
  }
}

TEST(AnimLoad, AllocationFailuresLeaveNothingBehind) {
  AnimFile walk = DataFile("sets.vkf");
  AnimFile keys = DataFile("keys.vkf");
  AnimFile longNames{LongNameFile(3000)};
  const std::string longName(3000, 's');
  const struct {
    const AnimFile* file;
    std::string set;
  } sets[] = {{&walk, "walk"}, {&keys, "matrices"}, {&longNames, longName}};
  for (const auto& c : sets) {
    SCOPED_TRACE(c.set.substr(0, 16));
    Ref<AnimationSet> set;
    int points = ForEachAllocationFailure(
        [&] {
          Ref<VekDataObject> object = c.file->Top(c.set);
          return LoadAnimationSet(object.get(), 4800.0, set.put());
        },
        [&](LyrResult r) {
          if (Failed(r)) {
            EXPECT_FALSE(set);  // no half-made set, however many animations loaded
          }
          set = Ref<AnimationSet>();
        });
    EXPECT_GT(points, 3);
  }
}

}  // namespace
}  // namespace lyr::test
