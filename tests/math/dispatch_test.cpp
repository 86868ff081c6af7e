// The fast-function table: selection branches under stand-in processors and registry values,
// one-time selection (also under concurrent first calls), reset, and the debug-mute switch.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "math/fast_functions.h"
#include "platform/platform.h"

namespace lyr {
namespace {

using platform::RegistryValueKind;

constexpr uint32_t kMmx = 1u << 23, kSse = 1u << 25, kSse2 = 1u << 26;
constexpr uint32_t k3DNow = 1u << 31, k3DNowExt = 1u << 30, kMmxExt = 1u << 22;

ProcessorInfo Processor(uint32_t leaf1Edx, uint32_t ext1Edx, bool os3DNow) {
  ProcessorInfo p;
  p.cpuid = true;
  p.maxLeaf = 1;
  p.leaf1Edx = leaf1Edx;
  p.maxExtLeaf = 0x80000001u;
  p.ext1Edx = ext1Edx;
  p.osSse = (leaf1Edx & kSse) != 0;
  p.os3DNow = os3DNow;
  return p;
}

bool SameSet(const FastFunctionSet& a, const FastFunctionSet& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class Selection : public ::testing::Test {
 protected:
  void TearDown() override {
    dispatch_test::SetProcessorInfo(nullptr);
    platform::ClearRegistryOverride("DisablePSGP");
    platform::ClearRegistryOverride("DisableLyrPSGP");
    dispatch_test::RestoreLazyStubs();
  }
  // Sets both switches (kMissing hides any real value) and selects afresh.
  static uint32_t Select(const ProcessorInfo& p, RegistryValueKind k1, uint32_t v1,
                         RegistryValueKind k2, uint32_t v2) {
    dispatch_test::SetProcessorInfo(&p);
    platform::SetRegistryOverride("DisablePSGP", k1, v1);
    platform::SetRegistryOverride("DisableLyrPSGP", k2, v2);
    SelectFastFunctions(0);
    return SelectFastFunctions(1);
  }
  static FastFunctionSet Scalar() {
    FastFunctionSet s = kPlainFastFunctions;
    InstallScalarForms(&s);
    return s;
  }
};

TEST_F(Selection, FeatureWordFromCpuidLeaves) {
  ProcessorInfo all = Processor(kMmx | kSse | kSse2, k3DNow | k3DNowExt | kMmxExt, true);
  EXPECT_EQ(FeatureWord(all), 0x3E7u);
  ProcessorInfo noExt = all;
  noExt.maxExtLeaf = 0x80000000u;  // not above: no extended leaves
  EXPECT_EQ(FeatureWord(noExt), 0x63u);
  ProcessorInfo noLeaves = all;
  noLeaves.maxLeaf = 0;
  EXPECT_EQ(FeatureWord(noLeaves), 0x385u);  // the extended leaves still count
  EXPECT_FALSE(HasSse2(noLeaves));
  EXPECT_EQ(FeatureWord(ProcessorInfo()), 0x01u);
  EXPECT_TRUE(HasSse2(all));
  // The real processor: whatever it reports, the words are consistent.
  ProcessorInfo real = QueryProcessor();
#if defined(__x86_64__)
  EXPECT_TRUE(real.cpuid);
  EXPECT_TRUE(HasSse2(real));
#endif
  EXPECT_EQ(real.osSse, (FeatureWord(real) & kFeatureSse) != 0);
}

TEST_F(Selection, EveryBranchUnderStandInProcessorsAndSwitches) {
  const RegistryValueKind kNone = RegistryValueKind::kMissing, kDw = RegistryValueKind::kDword,
                          kStr = RegistryValueKind::kOther;
  const ProcessorInfo all = Processor(kMmx | kSse | kSse2, k3DNow | k3DNowExt | kMmxExt, true);
  const ProcessorInfo sse2 = Processor(kMmx | kSse | kSse2, 0, false);
  const ProcessorInfo sseOnly = Processor(kMmx | kSse, 0, false);
  const ProcessorInfo osOnly3DNow = Processor(kMmx | kSse | kSse2, 0, true);
  const ProcessorInfo noSse3DNow = Processor(kMmx, k3DNow, true);
  const ProcessorInfo none;

  FastFunctionSet scalar = Scalar(), tuned = scalar, withSse = scalar, withSse2 = scalar;
  InstallTunedSseArrayForms(&tuned);
  InstallSseForms(&withSse);
  InstallSse2Forms(&withSse2);

  struct Case {
    const char* name;
    ProcessorInfo cpu;
    RegistryValueKind k1;
    uint32_t v1;
    RegistryValueKind k2;
    uint32_t v2;
    uint32_t state;
    const FastFunctionSet* set;
  } cases[] = {
      {"everything, no switches", all, kNone, 0, kNone, 0, kSelection3DNow, &tuned},
      {"DisablePSGP=1", all, kDw, 1, kNone, 0, kSelectionPlain, &scalar},
      {"DisableLyrPSGP=0 overrides DisablePSGP=1", all, kDw, 1, kDw, 0, kSelection3DNow, &tuned},
      {"DisableLyrPSGP=1 overrides DisablePSGP=0", all, kDw, 0, kDw, 1, kSelectionPlain, &scalar},
      {"DisableLyrPSGP=2 skips 3DNow!", all, kNone, 0, kDw, 2, kSelectionSse2, &withSse2},
      {"DisablePSGP=2, string DisableLyrPSGP", all, kDw, 2, kStr, 0, kSelectionSse2, &withSse2},
      {"string DisablePSGP counts as missing", all, kStr, 1, kNone, 0, kSelection3DNow, &tuned},
      {"other values enable everything", all, kDw, 7, kNone, 0, kSelection3DNow, &tuned},
      {"SSE2 processor", sse2, kNone, 0, kNone, 0, kSelectionSse2, &withSse2},
      {"SSE only", sseOnly, kNone, 0, kNone, 0, kSelectionSse, &withSse},
      {"3DNow! by the system only", osOnly3DNow, kNone, 0, kNone, 0, kSelection3DNow, &tuned},
      {"3DNow! without SSE", noSse3DNow, kNone, 0, kNone, 0, kSelection3DNow, &scalar},
      {"no cpuid", none, kNone, 0, kNone, 0, kSelectionPlain, &scalar},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Select(c.cpu, c.k1, c.v1, c.k2, c.v2), c.state);
    EXPECT_TRUE(SameSet(CurrentFastFunctions(), *c.set));
  }
#if defined(__i386__) || defined(__x86_64__)
  // What the overlays put where: scalar forms everywhere, SSE2 keeps InvertQuaternion plain and
  // has its own array forms; the 3DNow! path brings only the SSE array forms.
  EXPECT_NE(scalar.NormalizeVector3, kPlainFastFunctions.NormalizeVector3);
  EXPECT_NE(scalar.TransformPlane, kPlainFastFunctions.TransformPlane);
  EXPECT_EQ(scalar.Slerp, kPlainFastFunctions.Slerp);
  EXPECT_EQ(withSse2.InvertQuaternion, kPlainFastFunctions.InvertQuaternion);
  EXPECT_NE(withSse.InvertQuaternion, kPlainFastFunctions.InvertQuaternion);
  EXPECT_NE(withSse2.TransformPoint3Array, withSse.TransformPoint3Array);
  EXPECT_EQ(withSse2.NormalizeVector4, withSse.NormalizeVector4);
  EXPECT_EQ(withSse2.BlendSkinnedVertices, withSse.BlendSkinnedVertices);
  EXPECT_EQ(withSse.FloatToHalfArray, kPlainFastFunctions.FloatToHalfArray);
  EXPECT_NE(withSse.EvaluateNPatchPoints, kPlainFastFunctions.EvaluateNPatchPoints);
  EXPECT_EQ(withSse2.EvaluateNPatchPoints, withSse.EvaluateNPatchPoints);
  EXPECT_EQ(tuned.EvaluateNPatchPoints, kPlainFastFunctions.EvaluateNPatchPoints);
  EXPECT_EQ(tuned.TransformPlaneArray, withSse.TransformPlaneArray);
  EXPECT_EQ(tuned.TransformVector3, scalar.TransformVector3);
#endif
}

TEST_F(Selection, FirstCallSelectsOnceAndResetInstallsPlainForms) {
  const ProcessorInfo sse2 = Processor(kMmx | kSse | kSse2, 0, false);
  dispatch_test::SetProcessorInfo(&sse2);
  platform::SetRegistryOverride("DisablePSGP", RegistryValueKind::kMissing, 0);
  platform::SetRegistryOverride("DisableLyrPSGP", RegistryValueKind::kMissing, 0);
  dispatch_test::RestoreLazyStubs();
  uint32_t before = dispatch_test::SelectionCount();
  Quaternion a = {0, 0, 0, 1}, b = {0, 0, 1, 0}, out;
  Slerp(&out, &a, &b, 0.5f);  // the first call selects and completes
  EXPECT_NEAR(out.z, 0.70710677f, 1e-6f);
  EXPECT_EQ(dispatch_test::SelectionCount(), before + 1);
  FastFunctionSet expected = Scalar();
  InstallSse2Forms(&expected);
  EXPECT_TRUE(SameSet(CurrentFastFunctions(), expected));
  Slerp(&out, &a, &b, 0.25f);
  Matrix m;
  BuildRotationZ(&m, 1.0f);
  EXPECT_EQ(SelectFastFunctions(1), kSelectionSse2);
  EXPECT_EQ(dispatch_test::SelectionCount(), before + 1);
  // Reset: every entry plain, state pending; the next select runs again.
  EXPECT_EQ(SelectFastFunctions(0), kSelectionPending);
  EXPECT_TRUE(SameSet(CurrentFastFunctions(), kPlainFastFunctions));
  Slerp(&out, &a, &b, 0.5f);  // plain forms need no selection
  EXPECT_EQ(dispatch_test::SelectionCount(), before + 1);
  EXPECT_EQ(SelectFastFunctions(1), kSelectionSse2);
  EXPECT_EQ(dispatch_test::SelectionCount(), before + 2);
}

TEST_F(Selection, ConcurrentFirstCallsSelectOnce) {
  for (int round = 0; round < 20; ++round) {
    dispatch_test::RestoreLazyStubs();
    uint32_t before = dispatch_test::SelectionCount();
    std::atomic<int> ready{0};
    std::atomic<bool> wrong{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < 4) {
        }
        Matrix m, r;
        BuildTranslation(&m, static_cast<float>(t), 0, 0);
        Vector3 v = {1, 2, 3}, o;
        TransformPoint3(&o, &v, &m);
        MultiplyMatrix(&r, &m, &m);
        if (o.x != 1.0f + static_cast<float>(t) || r.m[3][0] != 2.0f * static_cast<float>(t))
          wrong = true;
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(wrong.load());
    EXPECT_EQ(dispatch_test::SelectionCount(), before + 1);
  }
}

// ---- Debug mute --------------------------------------------------------------------------------

class DebugQuiet : public ::testing::Test {
 protected:
  void SetUp() override { dispatch_test::ResetDebugQuiet("lyrmute1.dll", "lyrmute2.dll"); }
  void TearDown() override {
    platform::ClearRegistryOverride("LyrDoNotMute");
    dispatch_test::ResetDebugQuiet(nullptr, nullptr);
  }
  using Counter = int (*)();
  static Counter Get(platform::ModuleHandle m, const char* name) {
    return reinterpret_cast<Counter>(platform::FindProcedure(m, name));
  }
};

TEST_F(DebugQuiet, MutesLoadedPlatformLibrariesUnlessForbidden) {
  platform::SetRegistryOverride("LyrDoNotMute", RegistryValueKind::kMissing, 0);
  // Neither library loaded: nothing happens, and nothing gets loaded.
  SetPlatformDebugQuiet(1);
  EXPECT_EQ(platform::FindLoadedModule("lyrmute1.dll"), nullptr);
  // Loaded later: the lookup is retried and the entry point used.
  platform::ModuleHandle second = platform::LoadModule("lyrmute2.dll");
  ASSERT_NE(second, nullptr);
  SetPlatformDebugQuiet(1);
  EXPECT_EQ(Get(second, "MuteTestCalls")(), 1);
  EXPECT_EQ(Get(second, "MuteTestLast")(), 1);
  SetPlatformDebugQuiet(0);
  EXPECT_EQ(Get(second, "MuteTestCalls")(), 2);
  EXPECT_EQ(Get(second, "MuteTestLast")(), 0);
  // Once one entry point is known no further lookup runs: the first library loaded now stays
  // unused until the state is reset.
  platform::ModuleHandle first = platform::LoadModule("lyrmute1.dll");
  ASSERT_NE(first, nullptr);
  SetPlatformDebugQuiet(1);
  EXPECT_EQ(Get(first, "MuteTestCalls")(), 0);
  dispatch_test::ResetDebugQuiet("lyrmute1.dll", "lyrmute2.dll");
  SetPlatformDebugQuiet(1);
  EXPECT_EQ(Get(first, "MuteTestCalls")(), 1);
  EXPECT_EQ(Get(second, "MuteTestCalls")(), 4);
  // "LyrDoNotMute" non-zero: the platform is never called; the switch is read once.
  dispatch_test::ResetDebugQuiet("lyrmute1.dll", "lyrmute2.dll");
  platform::SetRegistryOverride("LyrDoNotMute", RegistryValueKind::kDword, 1);
  SetPlatformDebugQuiet(1);
  platform::SetRegistryOverride("LyrDoNotMute", RegistryValueKind::kDword, 0);
  SetPlatformDebugQuiet(1);
  EXPECT_EQ(Get(first, "MuteTestCalls")(), 1);
  // A value of another type counts as missing: muting allowed.
  dispatch_test::ResetDebugQuiet("lyrmute1.dll", "lyrmute2.dll");
  platform::SetRegistryOverride("LyrDoNotMute", RegistryValueKind::kOther, 1);
  SetPlatformDebugQuiet(0);
  EXPECT_EQ(Get(first, "MuteTestCalls")(), 2);
  EXPECT_EQ(Get(first, "MuteTestLast")(), 0);
}

}  // namespace
}  // namespace lyr
