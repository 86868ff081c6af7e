#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "anim/mix.h"
#include "anim_test_util.h"
#include "core/object_impl.h"
#include "fault_injection.h"
#include "lyr/anim.h"

namespace lyr {
namespace {

using test::MakeInterpolator;

// An interpolator that returns the same scale, rotation (as sampled) and translation at any time.
KeyFrameInterpolator* Constant(const char* name, Vector3 s, Quaternion sampledRotation, Vector3 t) {
  const Quaternion stored{-sampledRotation.x, -sampledRotation.y, -sampledRotation.z,
                          sampledRotation.w};
  return MakeInterpolator(name, {{0, s}}, {{0, stored}}, {{0, t}}, 1.0);
}

AnimationSet* MakeSet(const char* name, const std::vector<KeyFrameInterpolator*>& items) {
  AnimationSet* set = nullptr;
  EXPECT_EQ(LyrCreateAnimationSet(name, items.data(), static_cast<uint32_t>(items.size()), &set),
            Ok);
  for (KeyFrameInterpolator* it : items) it->Release();
  return set;
}

AnimationController* MakeController(uint32_t outputs, uint32_t sets, uint32_t tracks,
                                    uint32_t events) {
  AnimationController* c = nullptr;
  EXPECT_EQ(LyrCreateAnimationController(outputs, sets, tracks, events, &c), Ok);
  return c;
}

Matrix Compose(const Vector3& s, const Quaternion& r, const Vector3& t) {
  Matrix ms, mr, mt, a, out;
  BuildScaling(&ms, s.x, s.y, s.z);
  MatrixFromQuaternion(&mr, &r);
  BuildTranslation(&mt, t.x, t.y, t.z);
  MultiplyMatrix(&a, &ms, &mr);
  MultiplyMatrix(&out, &a, &mt);
  return out;
}

void ExpectMatrix(const Matrix& a, const Matrix& b, float tol = 1e-5f) {
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(a.m[r][c], b.m[r][c], tol) << r << "," << c;
  }
}

Matrix Poison() {
  Matrix m;
  for (auto& row : m.m) {
    for (float& v : row) v = 777.0f;
  }
  return m;
}

bool IsPoison(const Matrix& m) {
  const Matrix p = Poison();
  return std::memcmp(&m, &p, sizeof m) == 0;
}

void Play(AnimationController* c, uint32_t track, AnimationSet* set, float weight,
          uint32_t priority = PriorityLow, float speed = 1.0f) {
  ASSERT_EQ(c->SetTrackSet(track, set), Ok);
  const TrackState ts{priority, weight, speed, 1, 0.0};
  ASSERT_EQ(c->SetTrackState(track, &ts), Ok);
}

const Quaternion kIdentity{0, 0, 0, 1};
const Quaternion kQuarterZ{0, 0, 0.7071068f, 0.7071068f};

TEST(Controller, CreationChecksArgumentsAndFreesEverythingOnFailure) {
  auto* sentinel = reinterpret_cast<AnimationController*>(uintptr_t{0x77});
  AnimationController* out = sentinel;
  EXPECT_EQ(test::CountAllocations([&] {
              EXPECT_EQ(LyrCreateAnimationController(0, 1, 1, 1, &out), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationController(1, 0, 1, 1, &out), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationController(1, 1, 0, 1, &out), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationController(1, 1, 1, 0, &out), ErrInvalidCall);
              EXPECT_EQ(LyrCreateAnimationController(1, 1, 1, 1, nullptr), ErrInvalidCall);
            }),
            0u);
  EXPECT_EQ(out, sentinel);
  test::ForEachAllocationFailure(
      [&] {
        out = sentinel;
        const LyrResult r = LyrCreateAnimationController(4, 3, 2, 5, &out);
        if (Failed(r)) {
          EXPECT_EQ(out, sentinel);
        }
        return r;
      },
      [&](LyrResult r) {
        if (Succeeded(r)) out->Release();
      });
  // Capacities whose tables cannot exist fail cleanly.
  EXPECT_EQ(LyrCreateAnimationController(0xFFFFFFFFu, 0xFFFFFFFFu, 1, 1, &out), ErrOutOfMemory);

  Ref<AnimationController> c(MakeController(4, 3, 2, 5));
  EXPECT_EQ(c->MaxOutputs(), 4u);
  EXPECT_EQ(c->MaxSets(), 3u);
  EXPECT_EQ(c->MaxTracks(), 2u);
  EXPECT_EQ(c->MaxEvents(), 5u);
  EXPECT_EQ(c->SetCount(), 0u);
  EXPECT_EQ(c->Time(), 0.0);
  EXPECT_EQ(c->PriorityBlend(), 0.0f);
  TrackState ts{1, 1, 1, 1, 1};
  ASSERT_EQ(c->GetTrackState(1, &ts), Ok);
  const TrackState zero{};
  EXPECT_EQ(std::memcmp(&ts, &zero, sizeof ts), 0);
  AnimationSet* none = reinterpret_cast<AnimationSet*>(uintptr_t{0x55});
  ASSERT_EQ(c->GetTrackSet(1, &none), Ok);
  EXPECT_EQ(none, nullptr);
  void* q = nullptr;
  EXPECT_EQ(c->QueryInterface(AnimationController::kIid, &q), Ok);
  c->Release();
}

TEST(Controller, TrackOperationsCheckIndexesAndCopyRecordsWhole) {
  Ref<AnimationController> c(MakeController(2, 2, 3, 2));
  const TrackState in{0xFFFFFFF1u, -2.5f, 3.0f, 7, -11.25};
  EXPECT_EQ(c->SetTrackState(3, &in), ErrInvalidCall);
  EXPECT_EQ(c->SetTrackState(0, nullptr), ErrInvalidCall);
  ASSERT_EQ(c->SetTrackState(2, &in), Ok);
  TrackState out{};
  EXPECT_EQ(c->GetTrackState(3, &out), ErrInvalidCall);
  EXPECT_EQ(c->GetTrackState(2, nullptr), ErrInvalidCall);
  ASSERT_EQ(c->GetTrackState(2, &out), Ok);
  EXPECT_EQ(std::memcmp(&in, &out, sizeof in), 0);
  EXPECT_EQ(c->SetTrackSpeed(3, 1), ErrInvalidCall);
  EXPECT_EQ(c->SetTrackWeight(3, 1), ErrInvalidCall);
  EXPECT_EQ(c->SetTrackPosition(3, 1), ErrInvalidCall);
  EXPECT_EQ(c->SetTrackEnabled(3, 1), ErrInvalidCall);
  ASSERT_EQ(c->SetTrackSpeed(1, 2.0f), Ok);
  ASSERT_EQ(c->SetTrackWeight(1, 0.5f), Ok);
  ASSERT_EQ(c->SetTrackPosition(1, 9.0), Ok);
  ASSERT_EQ(c->SetTrackEnabled(1, 1), Ok);
  ASSERT_EQ(c->GetTrackState(1, &out), Ok);
  EXPECT_EQ(out.speed, 2.0f);
  EXPECT_EQ(out.weight, 0.5f);
  EXPECT_EQ(out.position, 9.0);
  EXPECT_EQ(out.enabled, 1u);

  Ref<AnimationSet> set(MakeSet("s", {Constant("a", {1, 1, 1}, kIdentity, {})}));
  EXPECT_EQ(c->SetTrackSet(0, set.get()), ErrInvalidCall);  // not registered
  ASSERT_EQ(c->RegisterSet(set.get()), Ok);
  EXPECT_EQ(c->SetTrackSet(0, nullptr), ErrInvalidCall);
  EXPECT_EQ(c->SetTrackSet(3, set.get()), ErrInvalidCall);
  ASSERT_EQ(c->SetTrackSet(2, set.get()), Ok);
  AnimationSet* got = nullptr;
  EXPECT_EQ(c->GetTrackSet(3, &got), ErrInvalidCall);
  EXPECT_EQ(c->GetTrackSet(2, nullptr), ErrInvalidCall);
  ASSERT_EQ(c->GetTrackSet(2, &got), Ok);
  EXPECT_EQ(got, set.get());
  got->Release();
  ASSERT_EQ(c->SetAt(0, &got), Ok);
  got->Release();
  EXPECT_EQ(c->SetAt(1, &got), ErrInvalidCall);
  EXPECT_EQ(c->SetAt(0, nullptr), ErrInvalidCall);

  EXPECT_EQ(c->SetPriorityBlend(0.25f), Ok);
  EXPECT_EQ(c->SetPriorityBlend(1.5f), ErrInvalidCall);
  EXPECT_EQ(c->SetPriorityBlend(-0.01f), ErrInvalidCall);
  EXPECT_EQ(c->SetPriorityBlend(std::numeric_limits<float>::quiet_NaN()), ErrInvalidCall);
  EXPECT_EQ(c->PriorityBlend(), 0.25f);
}

TEST(Controller, OneTrackWritesScaleRotationTranslationAtTheTrackPosition) {
  std::vector<VectorKey> s = {{0, {1, 1, 1}}, {30, {2, 3, 4}}};
  std::vector<RotationKey> r = {{0, {0, 0, 0, 1}}, {30, {0, 0.7071068f, 0, 0.7071068f}}};
  std::vector<VectorKey> t = {{0, {0, 0, 0}}, {30, {5, -5, 1}}};
  KeyFrameInterpolator* it = MakeInterpolator("bone", s, r, t, 30.0);  // a one-second period
  Ref<KeyFrameInterpolator> probe(MakeInterpolator("bone", s, r, t, 30.0));
  Ref<AnimationSet> set(MakeSet("walk", {it}));
  Ref<AnimationController> c(MakeController(2, 1, 1, 1));
  Matrix target = Poison();
  ASSERT_EQ(c->RegisterOutput("bone", &target), Ok);
  ASSERT_EQ(c->RegisterSet(set.get()), Ok);
  for (float speed : {1.0f, 0.5f, -2.0f}) {
    Play(c.get(), 0, set.get(), 1.0f, PriorityLow, speed);
    ASSERT_EQ(c->SetTrackPosition(0, 0.0), Ok);
    const double t0 = c->Time();
    ASSERT_EQ(c->SetTime(t0 + 0.4), Ok);
    TrackState ts{};
    c->GetTrackState(0, &ts);
    EXPECT_NEAR(ts.position, 0.4 * speed, 1e-12);
    Vector3 ss, tt;
    Quaternion rr;
    probe->Sample(ts.position, &ss, &rr, &tt);
    ExpectMatrix(target, Compose(ss, rr, tt));
  }
}

TEST(Controller, WeightsBlendWithinAClassAndTheFactorBlendsTheClasses) {
  const Quaternion low1{0, 0, 0, 1}, low2 = kQuarterZ;
  Ref<AnimationSet> a(MakeSet("a", {Constant("bone", {1, 1, 1}, low1, {0, 0, 0})}));
  Ref<AnimationSet> b(MakeSet("b", {Constant("bone", {3, 3, 3}, low2, {4, 0, 0})}));
  Ref<AnimationController> c(MakeController(1, 2, 2, 1));
  Matrix target = Poison();
  ASSERT_EQ(c->RegisterOutput("bone", &target), Ok);
  ASSERT_EQ(c->RegisterSet(a.get()), Ok);
  ASSERT_EQ(c->RegisterSet(b.get()), Ok);

  // Two low tracks with weights 1 and 3.
  Play(c.get(), 0, a.get(), 1.0f);
  Play(c.get(), 1, b.get(), 3.0f);
  ASSERT_EQ(c->SetTime(0.1), Ok);
  Quaternion rot;
  Slerp(&rot, &low1, &low2, 0.75f);
  ExpectMatrix(target, Compose({2.5f, 2.5f, 2.5f}, rot, {3, 0, 0}));

  // A low and a high track: the factor picks between them.
  Play(c.get(), 1, b.get(), 1.0f, PriorityHigh);
  const struct {
    float blend;
    Vector3 s, t;
    float f;
  } cases[] = {{0.0f, {1, 1, 1}, {0, 0, 0}, 0.0f},
               {1.0f, {3, 3, 3}, {4, 0, 0}, 1.0f},
               {0.25f, {1.5f, 1.5f, 1.5f}, {1, 0, 0}, 0.25f}};
  for (const auto& k : cases) {
    ASSERT_EQ(c->SetPriorityBlend(k.blend), Ok);
    ASSERT_EQ(c->SetTime(0.2), Ok);
    Slerp(&rot, &low1, &low2, k.f);
    ExpectMatrix(target, k.blend == 1.0f ? Compose(k.s, low2, k.t) : Compose(k.s, rot, k.t));
  }
  // Without the low track the high one shows fully at any factor.
  ASSERT_EQ(c->SetTrackEnabled(0, 0), Ok);
  for (float blend : {0.0f, 0.3f}) {
    ASSERT_EQ(c->SetPriorityBlend(blend), Ok);
    ASSERT_EQ(c->SetTime(0.3), Ok);
    ExpectMatrix(target, Compose({3, 3, 3}, low2, {4, 0, 0}));
  }
  // Disabled tracks and tracks with weight +0.0 leave the target alone.
  ASSERT_EQ(c->SetTrackWeight(1, 0.0f), Ok);
  target = Poison();
  ASSERT_EQ(c->SetTime(0.4), Ok);
  EXPECT_TRUE(IsPoison(target));
  ASSERT_EQ(c->SetTrackWeight(1, 2.0f), Ok);
  ASSERT_EQ(c->SetTrackEnabled(1, 0), Ok);
  ASSERT_EQ(c->SetTime(0.5), Ok);
  EXPECT_TRUE(IsPoison(target));
}

TEST(Controller, OutputsAreRegisteredMovedRemovedAndLookedUp) {
  Ref<AnimationSet> ab(MakeSet("ab", {Constant("a", {1, 1, 1}, kIdentity, {1, 0, 0}),
                                      Constant("b", {1, 1, 1}, kIdentity, {2, 0, 0})}));
  Ref<AnimationSet> bOnly(MakeSet("b", {Constant("b", {1, 1, 1}, kIdentity, {7, 0, 0})}));
  Ref<AnimationController> c(MakeController(2, 2, 2, 1));
  Matrix m1 = Poison(), m2 = Poison(), m3 = Poison();
  EXPECT_EQ(c->RegisterOutput(nullptr, &m1), ErrInvalidCall);
  EXPECT_EQ(c->RegisterOutput("a", nullptr), Ok);  // unknown name, no target: nothing
  ASSERT_EQ(c->RegisterSet(ab.get()), Ok);
  // The result is the index of the interpolator found by the last lookup.
  EXPECT_EQ(c->RegisterOutput("b", &m2), 1);
  EXPECT_EQ(c->RegisterOutput("a", &m1), 0);
  EXPECT_EQ(c->RegisterOutput("c", &m3), ErrInvalidCall);  // full
  Play(c.get(), 0, ab.get(), 1.0f);
  ASSERT_EQ(c->SetTime(0.1), Ok);
  EXPECT_EQ(m1.m[3][0], 1.0f);
  EXPECT_EQ(m2.m[3][0], 2.0f);

  // An existing name only moves the target.
  ASSERT_EQ(c->RegisterOutput("a", &m3), Ok);
  m1 = Poison();
  ASSERT_EQ(c->SetTime(0.2), Ok);
  EXPECT_TRUE(IsPoison(m1));
  EXPECT_EQ(m3.m[3][0], 1.0f);

  // A null target removes the output; its slot is reused.
  ASSERT_EQ(c->RegisterOutput("a", nullptr), Ok);
  m3 = Poison();
  ASSERT_EQ(c->SetTime(0.3), Ok);
  EXPECT_TRUE(IsPoison(m3));
  EXPECT_EQ(c->RegisterOutput("z", &m1), ErrFail);  // registered, but the set has no "z"
  EXPECT_EQ(c->RegisterOutput("y", &m3), ErrInvalidCall);
  ASSERT_EQ(c->RegisterOutput("z", nullptr), Ok);
  // Removing the last used slot shrinks the used range down to the empty slot below it.
  ASSERT_EQ(c->RegisterOutput("b", nullptr), Ok);
  EXPECT_EQ(c->RegisterOutput("y", &m3), ErrFail);
  EXPECT_EQ(c->RegisterOutput("b", &m2), 1);
  EXPECT_EQ(c->RegisterOutput("x", &m1), ErrInvalidCall);

  // A second set missing an interpolator: registering it is no error, the track shows nothing.
  ASSERT_EQ(c->RegisterSet(bOnly.get()), Ok);
  ASSERT_EQ(c->RegisterOutput("y", nullptr), Ok);
  EXPECT_EQ(c->RegisterOutput("a", &m1), ErrFail);  // "ab" found it, "b" did not
  Play(c.get(), 0, bOnly.get(), 1.0f);
  m1 = Poison();
  ASSERT_EQ(c->SetTime(0.4), Ok);
  EXPECT_TRUE(IsPoison(m1));
  EXPECT_EQ(m2.m[3][0], 7.0f);
  EXPECT_EQ(c->RegisterSet(ab.get()), ErrInvalidCall);  // full
}

// A set without the output's interpolator makes the registration report the miss, but the sets
// after it still get their entries: playing one of them animates the output.
TEST(Controller, AMissingInterpolatorDoesNotHideTheOutputFromLaterSets) {
  Ref<AnimationSet> bOnly(MakeSet("b", {Constant("b", {1, 1, 1}, kIdentity, {7, 0, 0})}));
  Ref<AnimationSet> ab(MakeSet("ab", {Constant("a", {1, 1, 1}, kIdentity, {1, 0, 0}),
                                      Constant("b", {1, 1, 1}, kIdentity, {2, 0, 0})}));
  Ref<AnimationController> c(MakeController(2, 2, 1, 1));
  ASSERT_EQ(c->RegisterSet(bOnly.get()), Ok);
  ASSERT_EQ(c->RegisterSet(ab.get()), Ok);
  Matrix m = Poison();
  EXPECT_EQ(c->RegisterOutput("a", &m), ErrFail);
  Play(c.get(), 0, ab.get(), 1.0f);
  ASSERT_EQ(c->SetTime(0.1), Ok);
  EXPECT_EQ(m.m[3][0], 1.0f);
}

TEST(Controller, UnregisteringTheFirstOfThreeSetsMovesTheLastIntoItsPlace) {
  Ref<AnimationSet> s0(MakeSet("0", {Constant("bone", {1, 1, 1}, kIdentity, {10, 0, 0})}));
  Ref<AnimationSet> s1(MakeSet("1", {Constant("bone", {1, 1, 1}, kIdentity, {20, 0, 0})}));
  Ref<AnimationSet> s2(MakeSet("2", {Constant("bone", {1, 1, 1}, kIdentity, {30, 0, 0})}));
  Ref<AnimationController> c(MakeController(1, 3, 3, 1));
  Matrix m = Poison();
  ASSERT_EQ(c->RegisterOutput("bone", &m), Ok);
  for (auto* s : {s0.get(), s1.get(), s2.get()}) ASSERT_EQ(c->RegisterSet(s), Ok);
  Play(c.get(), 0, s0.get(), 1.0f);
  Play(c.get(), 2, s2.get(), 1.0f);
  EXPECT_EQ(c->UnregisterSet(nullptr), ErrInvalidCall);
  ASSERT_EQ(c->UnregisterSet(s0.get()), Ok);
  EXPECT_EQ(c->UnregisterSet(s0.get()), ErrInvalidCall);
  EXPECT_EQ(c->SetCount(), 2u);
  Ref<AnimationSet> at;
  ASSERT_EQ(c->SetAt(0, at.put()), Ok);
  EXPECT_EQ(at.get(), s2.get());
  ASSERT_EQ(c->SetAt(1, at.put()), Ok);
  EXPECT_EQ(at.get(), s1.get());
  Ref<AnimationSet> track0, track2;
  ASSERT_EQ(c->GetTrackSet(0, track0.put()), Ok);
  ASSERT_EQ(c->GetTrackSet(2, track2.put()), Ok);
  EXPECT_EQ(track0.get(), nullptr);
  EXPECT_EQ(track2.get(), s2.get());
  ASSERT_EQ(c->SetTime(1.0), Ok);
  EXPECT_EQ(m.m[3][0], 30.0f);  // track 2 still plays set "2", through its new index
  // Track 5 of a larger controller brings tracks 0 to 5 into the mix.
  Ref<AnimationController> wide(MakeController(1, 1, 8, 1));
  ASSERT_EQ(wide->RegisterOutput("bone", &m), Ok);
  ASSERT_EQ(wide->RegisterSet(s1.get()), Ok);
  Play(wide.get(), 5, s1.get(), 1.0f);
  ASSERT_EQ(wide->SetTime(1.0), Ok);
  EXPECT_EQ(m.m[3][0], 20.0f);
  // The set holds the controller's references until it goes.
  wide = Ref<AnimationController>();
  c = Ref<AnimationController>();
  s0->AddRef();
  EXPECT_EQ(s0->Release(), 1u);
}

// The mix written out plainly, for comparison.
Matrix ReferenceMix(const std::vector<TrackState>& tracks, const std::vector<int>& present,
                    const std::vector<Vector3>& s, const std::vector<Quaternion>& r,
                    const std::vector<Vector3>& t, float blend, bool* written) {
  float w[2] = {0, 0};
  Vector3 ss[2] = {}, ts[2] = {};
  Quaternion rs[2] = {};
  bool has[2] = {false, false};
  for (size_t i = 0; i < tracks.size(); ++i) {
    const TrackState& k = tracks[i];
    if (!k.enabled || !present[i] || (k.weight == 0.0f && !std::signbit(k.weight))) continue;
    const int p = k.priority & 1;
    w[p] += k.weight;
    ss[p] = {ss[p].x + k.weight * s[i].x, ss[p].y + k.weight * s[i].y, ss[p].z + k.weight * s[i].z};
    ts[p] = {ts[p].x + k.weight * t[i].x, ts[p].y + k.weight * t[i].y, ts[p].z + k.weight * t[i].z};
    if (!has[p]) {
      rs[p] = r[i];
      has[p] = true;
    } else {
      Quaternion q;
      Slerp(&q, &rs[p], &r[i], k.weight / w[p]);
      rs[p] = q;
    }
  }
  *written = w[0] != 0 || w[1] != 0;
  auto norm = [&](int p) {
    return std::pair<Vector3, Vector3>{{ss[p].x / w[p], ss[p].y / w[p], ss[p].z / w[p]},
                                       {ts[p].x / w[p], ts[p].y / w[p], ts[p].z / w[p]}};
  };
  if (!*written) return {};
  if (w[1] == 0) return Compose(norm(0).first, rs[0], norm(0).second);
  if (w[0] == 0 || blend == 1) return Compose(norm(1).first, rs[1], norm(1).second);
  auto [s0, t0] = norm(0);
  auto [s1, t1] = norm(1);
  Quaternion q;
  Slerp(&q, &rs[0], &rs[1], blend);
  return Compose(
      {s0.x + blend * (s1.x - s0.x), s0.y + blend * (s1.y - s0.y), s0.z + blend * (s1.z - s0.z)}, q,
      {t0.x + blend * (t1.x - t0.x), t0.y + blend * (t1.y - t0.y), t0.z + blend * (t1.z - t0.z)});
}

TEST(Controller, MixingMatchesAPlainRecomputationForRandomTracks) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int round = 0; round < 150; ++round) {
    const uint32_t nTracks = 1 + rng() % 6;
    Ref<AnimationController> c(MakeController(1, nTracks, nTracks, 1));
    Matrix target = Poison();
    ASSERT_EQ(c->RegisterOutput("bone", &target), Ok);
    std::vector<TrackState> tracks;
    std::vector<int> present;
    std::vector<Vector3> s, t;
    std::vector<Quaternion> r;
    std::vector<Ref<AnimationSet>> sets;
    for (uint32_t i = 0; i < nTracks; ++i) {
      Quaternion q{u(rng), u(rng), u(rng), u(rng)};
      const float len = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
      q = {q.x / len, q.y / len, q.z / len, q.w / len};
      s.push_back({1 + u(rng), 1 + u(rng), 1 + u(rng)});
      r.push_back(q);
      t.push_back({10 * u(rng), 10 * u(rng), 10 * u(rng)});
      present.push_back(rng() % 5 != 0);
      const char* name = present.back() ? "bone" : "other";
      sets.emplace_back(MakeSet("s", {Constant(name, s.back(), q, t.back())}));
      ASSERT_EQ(c->RegisterSet(sets.back().get()), Ok);
      ASSERT_EQ(c->SetTrackSet(i, sets.back().get()), Ok);
      const int kind = rng() % 6;
      const float weight = kind == 0 ? 0.0f : kind == 1 ? 1.0f : 0.1f + 2.0f * (u(rng) + 1.0f);
      tracks.push_back({static_cast<uint32_t>(rng() % 4), weight, 1.0f,
                        static_cast<uint32_t>(rng() % 4 != 0), 0.0});
      ASSERT_EQ(c->SetTrackState(i, &tracks.back()), Ok);
    }
    const float blends[] = {0.0f, 1.0f, 0.5f, 0.37f};
    const float blend = blends[rng() % 4];
    ASSERT_EQ(c->SetPriorityBlend(blend), Ok);
    ASSERT_EQ(c->SetTime(0.5), Ok);
    bool written = false;
    const Matrix expected = ReferenceMix(tracks, present, s, r, t, blend, &written);
    if (!written) {
      EXPECT_TRUE(IsPoison(target)) << "round " << round;
    } else {
      ExpectMatrix(target, expected, 1e-4f);
    }
    if (HasFailure()) break;
  }
}

TEST(Controller, TimeAdvanceMovesEnabledTracksBySpeed) {
  Ref<AnimationController> c(MakeController(1, 1, 2, 1));
  ASSERT_EQ(c->SetTrackSpeed(0, 2.0f), Ok);
  ASSERT_EQ(c->SetTrackEnabled(0, 1), Ok);
  ASSERT_EQ(c->SetTrackSpeed(1, 2.0f), Ok);
  ASSERT_EQ(c->SetTime(0.5), Ok);
  TrackState a{}, b{};
  c->GetTrackState(0, &a);
  c->GetTrackState(1, &b);
  EXPECT_EQ(a.position, 1.0);
  EXPECT_EQ(b.position, 0.0);
  EXPECT_EQ(c->Time(), 0.5);
  ASSERT_EQ(c->SetTime(0.25), Ok);  // backwards
  c->GetTrackState(0, &a);
  EXPECT_EQ(a.position, 0.5);
  EXPECT_EQ(c->SetTime(std::numeric_limits<double>::quiet_NaN()), ErrInvalidCall);
  EXPECT_EQ(c->Time(), 0.25);
  // Times beyond every finite value end the advance too.
  ASSERT_EQ(c->KeySpeed(0, 1.0f, 1.0, 1.0, TransitionLinear), Ok);
  ASSERT_EQ(c->SetTime(1e39), Ok);
  ASSERT_EQ(c->SetTime(std::numeric_limits<double>::infinity()), Ok);
  EXPECT_EQ(c->Time(), std::numeric_limits<double>::infinity());
}

TEST(Controller, SpeedRampsTravelTheIntegralOfTheSpeed) {
  for (uint32_t transition : {TransitionLinear, TransitionEaseInOut}) {
    Ref<AnimationController> c(MakeController(1, 1, 1, 2));
    ASSERT_EQ(c->SetTrackSpeed(0, 1.0f), Ok);
    ASSERT_EQ(c->SetTrackEnabled(0, 1), Ok);
    ASSERT_EQ(c->KeySpeed(0, 3.0f, 1.0, 2.0, transition), Ok);
    ASSERT_EQ(c->SetTime(3.0), Ok);
    TrackState ts{};
    c->GetTrackState(0, &ts);
    EXPECT_FLOAT_EQ(ts.speed, 3.0f);
    EXPECT_NEAR(ts.position, 1.0 * 1.0 + (1.0 + 3.0) * 2.0 * 0.5, 1e-9);
    // The same ramp crossed in many small steps arrives at the same place.
    Ref<AnimationController> steps(MakeController(1, 1, 1, 2));
    steps->SetTrackSpeed(0, 1.0f);
    steps->SetTrackEnabled(0, 1);
    ASSERT_EQ(steps->KeySpeed(0, 3.0f, 1.0, 2.0, transition), Ok);
    for (int i = 1; i <= 40; ++i) ASSERT_EQ(steps->SetTime(i * 0.1), Ok);
    steps->GetTrackState(0, &ts);
    EXPECT_NEAR(ts.position, 5.0 + 1.0 * 3.0, 1e-6);  // 5 at t = 3, then speed 3 for 1 s
    // Halfway through an ease ramp the speed is halfway too, the distance below the linear one.
    Ref<AnimationController> half(MakeController(1, 1, 1, 2));
    half->SetTrackSpeed(0, 1.0f);
    half->SetTrackEnabled(0, 1);
    ASSERT_EQ(half->KeySpeed(0, 3.0f, 0.0, 2.0, transition), Ok);
    ASSERT_EQ(half->SetTime(0.5), Ok);
    half->GetTrackState(0, &ts);
    if (transition == TransitionLinear) {
      EXPECT_FLOAT_EQ(ts.speed, 1.5f);
      EXPECT_NEAR(ts.position, (1.0 + 1.5) * 0.5 * 0.5, 1e-9);
    } else {
      // h = 0.25: speed 1 + 2 * 2.5 / 16; distance 2 * F(0.25), F(x) = x(1 + 2x^2(1 - x/2)).
      EXPECT_FLOAT_EQ(ts.speed, 1.0f + 2.0f * 2.5f / 16.0f);
      EXPECT_NEAR(ts.position, 2.0 * 0.25 * (1.0 + 2.0 * 0.0625 * 0.875), 1e-9);
    }
  }
}

TEST(Controller, PositionAndEnabledEventsReplaceTheStepTheyEnd) {
  Ref<AnimationController> c(MakeController(1, 1, 2, 4));
  for (uint32_t t : {0u, 1u}) {
    c->SetTrackSpeed(t, 1.0f);
    c->SetTrackEnabled(t, 1);
  }
  ASSERT_EQ(c->KeyPosition(0, 10.0, 2.0), Ok);
  TrackState ts{};
  c->GetTrackState(0, &ts);
  EXPECT_EQ(ts.position, 10.0);  // at once
  ASSERT_EQ(c->KeyEnabled(1, 0, 1.0), Ok);
  ASSERT_EQ(c->SetTime(3.0), Ok);
  c->GetTrackState(0, &ts);
  EXPECT_EQ(ts.position, 11.0);
  c->GetTrackState(1, &ts);
  EXPECT_EQ(ts.position, 1.0);
  EXPECT_EQ(ts.enabled, 0u);
  // Both events went back to the pool: four keys fit again.
  for (int i = 0; i < 4; ++i) ASSERT_EQ(c->KeyEnabled(1, 1, 5.0 + i), Ok);
  EXPECT_EQ(c->KeyEnabled(1, 1, 9.0), ErrInvalidCall);
}

TEST(Controller, WeightAndBlendEventsFollowTheirCurves) {
  Ref<AnimationController> c(MakeController(1, 1, 1, 3));
  ASSERT_EQ(c->KeyPriorityBlend(1.0f, 0.0, 2.0, TransitionLinear), Ok);
  ASSERT_EQ(c->KeyWeight(0, 4.0f, 0.0, 2.0, TransitionEaseInOut), Ok);
  ASSERT_EQ(c->SetTime(1.0), Ok);
  EXPECT_FLOAT_EQ(c->PriorityBlend(), 0.5f);
  TrackState ts{};
  c->GetTrackState(0, &ts);
  EXPECT_FLOAT_EQ(ts.weight, 2.0f);  // ease in-out is symmetric about the middle
  ASSERT_EQ(c->SetTime(1.5), Ok);
  c->GetTrackState(0, &ts);
  EXPECT_FLOAT_EQ(ts.weight, 4.0f * (3.0f - 1.5f) * 0.5625f);
  ASSERT_EQ(c->SetTime(5.0), Ok);
  EXPECT_FLOAT_EQ(c->PriorityBlend(), 1.0f);
  c->GetTrackState(0, &ts);
  EXPECT_FLOAT_EQ(ts.weight, 4.0f);
  // Both ended and returned to the pool.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(c->KeyWeight(0, 1.0f, 10.0 + i, 0.5, 0), Ok);
}

TEST(Controller, KeyingChecksThePoolTrackAndTimes) {
  Ref<AnimationController> c(MakeController(1, 1, 2, 2));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(c->KeySpeed(2, 1, 0, 1, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeyWeight(2, 1, 0, 1, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeyPosition(2, 1, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeyEnabled(2, 1, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeySpeed(0, 1, nan, 1, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeySpeed(0, 1, inf, 1, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeyWeight(0, 1, 0, nan, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeyPriorityBlend(1, -inf, 1, 0), ErrInvalidCall);
  EXPECT_EQ(c->KeyPosition(0, 5.0, nan), ErrInvalidCall);
  TrackState ts{};
  c->GetTrackState(0, &ts);
  EXPECT_EQ(ts.position, 0.0);  // a refused position key changes nothing

  // A full pool refuses keys until SetTime has used an event up.
  ASSERT_EQ(c->KeyEnabled(0, 1, 1.0), Ok);
  ASSERT_EQ(c->KeyPriorityBlend(0.5f, 2.0, 1.0, 0), Ok);
  EXPECT_EQ(c->KeyEnabled(1, 1, 1.0), ErrInvalidCall);
  EXPECT_EQ(c->KeyPriorityBlend(0.5f, 2.0, 1.0, 0), ErrInvalidCall);
  ASSERT_EQ(c->SetTime(1.5), Ok);
  EXPECT_EQ(c->KeyEnabled(1, 1, 1.0), Ok);
  EXPECT_EQ(c->KeyEnabled(1, 1, 1.0), ErrInvalidCall);
  EXPECT_EQ(test::CountAllocations([&] {
              c->SetTime(4.0);
              c->KeySpeed(0, 2.0f, 5.0, 1.0, 0);
              c->SetTime(7.0);
            }),
            0u);
}

TEST(Controller, ANewRampReplacesTheOneUnderWayAndScheduledOnesThatOverlap) {
  // Under way: the second ramp starts at 2 while the first (1..5) runs; it takes over at once.
  Ref<AnimationController> c(MakeController(1, 1, 1, 2));
  c->SetTrackSpeed(0, 1.0f);
  c->SetTrackEnabled(0, 1);
  ASSERT_EQ(c->KeySpeed(0, 5.0f, 1.0, 4.0, TransitionLinear), Ok);
  ASSERT_EQ(c->SetTime(1.5), Ok);
  ASSERT_EQ(c->KeySpeed(0, 0.0f, 1.5, 1.0, TransitionLinear), Ok);
  ASSERT_EQ(c->SetTime(3.0), Ok);
  TrackState ts{};
  c->GetTrackState(0, &ts);
  EXPECT_FLOAT_EQ(ts.speed, 0.0f);
  // Pool of two: the replaced event went back at once, the other when it ended.
  EXPECT_EQ(c->KeySpeed(0, 1.0f, 10.0, 1.0, 0), Ok);
  EXPECT_EQ(c->KeySpeed(0, 1.0f, 20.0, 1.0, 0), Ok);
  EXPECT_EQ(c->KeySpeed(0, 1.0f, 30.0, 1.0, 0), ErrInvalidCall);

  // Scheduled: a ramp keyed at an earlier start that would still run at the new start is dropped;
  // one that ends before it is kept.
  Ref<AnimationController> d(MakeController(1, 1, 1, 4));
  d->SetTrackSpeed(0, 1.0f);
  d->SetTrackEnabled(0, 1);
  ASSERT_EQ(d->KeySpeed(0, 9.0f, 1.0, 0.5, 0), Ok);   // ends at 1.5: kept
  ASSERT_EQ(d->KeySpeed(0, 7.0f, 2.0, 4.0, 0), Ok);   // would run past 3: dropped
  ASSERT_EQ(d->KeyWeight(0, 2.0f, 2.0, 4.0, 0), Ok);  // another kind: kept
  ASSERT_EQ(d->KeySpeed(0, 2.0f, 3.0, 0.0, 0), Ok);
  ASSERT_EQ(d->SetTime(10.0), Ok);
  d->GetTrackState(0, &ts);
  EXPECT_FLOAT_EQ(ts.speed, 2.0f);
  EXPECT_FLOAT_EQ(ts.weight, 2.0f);
  // 1 s at speed 1, 0.5 s ramp 1 -> 9, 1.5 s at 9, an instant change at 3 to speed 2, 7 s at 2.
  EXPECT_NEAR(ts.position, 1.0 + 2.5 + 13.5 + 14.0, 1e-9);
}

TEST(Controller, CloneCopiesPendingEventsAndStaysIndependent) {
  KeyFrameInterpolator* it =
      MakeInterpolator("bone", {}, {}, {{0, {0, 0, 0}}, {100, {100, 0, 0}}}, 1.0);
  Ref<AnimationSet> set(MakeSet("s", {it}));
  Ref<AnimationController> c(MakeController(2, 1, 2, 3));
  Matrix m1 = Poison(), m2 = Poison();
  ASSERT_EQ(c->RegisterOutput("bone", &m1), Ok);
  ASSERT_EQ(c->RegisterSet(set.get()), Ok);
  Play(c.get(), 1, set.get(), 1.0f);
  ASSERT_EQ(c->SetPriorityBlend(0.5f), Ok);
  ASSERT_EQ(c->SetTime(1.0), Ok);
  ASSERT_EQ(c->KeySpeed(1, 3.0f, 2.0, 2.0, TransitionEaseInOut), Ok);
  ASSERT_EQ(c->KeyPosition(1, 50.0, 6.0), Ok);
  ASSERT_EQ(c->KeyPriorityBlend(1.0f, 1.0, 1.0, 0), Ok);  // not copied

  AnimationController* out = nullptr;
  EXPECT_EQ(c->Clone(2, 1, 1, 3, &out), ErrInvalidCall);  // fewer tracks
  EXPECT_EQ(c->Clone(1, 1, 2, 3, &out), ErrInvalidCall);
  EXPECT_EQ(c->Clone(2, 1, 2, 2, &out), ErrInvalidCall);
  EXPECT_EQ(c->Clone(2, 1, 2, 0, &out), ErrInvalidCall);
  EXPECT_EQ(c->Clone(2, 1, 2, 3, nullptr), ErrInvalidCall);
  test::ForEachAllocationFailure(
      [&] {
        out = nullptr;
        return c->Clone(3, 2, 4, 5, &out);
      },
      [&](LyrResult r) {
        if (Succeeded(r)) out->Release();
      });
  ASSERT_EQ(c->Clone(3, 2, 4, 5, &out), Ok);
  Ref<AnimationController> clone(out);
  EXPECT_EQ(clone->Time(), 1.0);
  EXPECT_EQ(clone->PriorityBlend(), 0.0f);
  EXPECT_EQ(clone->SetCount(), 1u);
  EXPECT_EQ(clone->MaxTracks(), 4u);
  Ref<AnimationSet> track1;
  ASSERT_EQ(clone->GetTrackSet(1, track1.put()), Ok);
  EXPECT_EQ(track1.get(), set.get());
  ASSERT_EQ(clone->GetTrackSet(0, track1.put()), Ok);
  EXPECT_EQ(track1.get(), nullptr);                   // "no set" follows the clone's own capacity
  ASSERT_EQ(clone->RegisterOutput("bone", &m2), Ok);  // moves the clone's target only

  for (double time : {1.5, 3.0, 4.5, 7.0}) {
    ASSERT_EQ(c->SetTime(time), Ok);
    ASSERT_EQ(clone->SetTime(time), Ok);
    TrackState a{}, b{};
    c->GetTrackState(1, &a);
    clone->GetTrackState(1, &b);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << time;
    EXPECT_EQ(std::memcmp(&m1, &m2, sizeof m1), 0) << time;
  }
  EXPECT_EQ(c->PriorityBlend(), 1.0f);
  EXPECT_EQ(clone->PriorityBlend(), 0.0f);
  TrackState ts{};
  clone->GetTrackState(1, &ts);
  EXPECT_DOUBLE_EQ(ts.position, 53.0);  // 50 at 6, then 1 s at speed 3
  // Changing one leaves the other alone; the clone outlives its source.
  ASSERT_EQ(clone->SetTrackSpeed(1, 10.0f), Ok);
  c = Ref<AnimationController>();
  ASSERT_EQ(clone->SetTime(8.0), Ok);
  clone->GetTrackState(1, &ts);
  EXPECT_DOUBLE_EQ(ts.position, 63.0);
  EXPECT_EQ(m2.m[3][0], 63.0f);
}

TEST(Controller, RegistrationAllocatesOnlyTheNameAndFailsCleanly) {
  Ref<AnimationSet> set(MakeSet("s", {Constant("a", {1, 1, 1}, kIdentity, {})}));
  Ref<AnimationController> c(MakeController(2, 1, 1, 1));
  ASSERT_EQ(c->RegisterSet(set.get()), Ok);
  Matrix m;
  const int points = test::ForEachAllocationFailure([&] { return c->RegisterOutput("a", &m); },
                                                    [&](LyrResult r) {
                                                      if (Succeeded(r))
                                                        c->RegisterOutput("a", nullptr);
                                                    });
  EXPECT_EQ(points, 1);
  EXPECT_EQ(test::CountAllocations([&] {
              c->RegisterOutput("a", &m);
              c->SetTime(1.0);
              c->RegisterOutput("a", nullptr);
            }),
            1u);
}

TEST(Controller, RandomKeysAndTimesEndWithEveryEventBackInThePool) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> when(0.0, 10.0);
  std::uniform_real_distribution<double> length(0.0, 3.0);
  for (int round = 0; round < 40; ++round) {
    const uint32_t maxEvents = 1 + rng() % 12;
    Ref<AnimationController> c(MakeController(1, 1, 3, maxEvents));
    for (uint32_t t = 0; t < 3; ++t) {
      c->SetTrackSpeed(t, 1.0f);
      c->SetTrackEnabled(t, 1);
    }
    for (int step = 0; step < 60; ++step) {
      const uint32_t track = rng() % 3;
      const uint32_t transition = rng() % 2;
      switch (rng() % 7) {
        case 0:
          c->KeySpeed(track, float(rng() % 4), when(rng), length(rng), transition);
          break;
        case 1:
          c->KeyWeight(track, float(rng() % 4), when(rng), length(rng), transition);
          break;
        case 2:
          c->KeyPosition(track, when(rng), when(rng));
          break;
        case 3:
          c->KeyEnabled(track, rng() % 2, when(rng));
          break;
        case 4:
          c->KeyPriorityBlend(0.5f, when(rng), length(rng), transition);
          break;
        default:
          ASSERT_EQ(c->SetTime(when(rng)), Ok);
          break;
      }
    }
    ASSERT_EQ(c->SetTime(100.0), Ok);
    for (uint32_t t = 0; t < 3; ++t) {
      TrackState ts{};
      c->GetTrackState(t, &ts);
      EXPECT_TRUE(std::isfinite(ts.position));
    }
    // Nothing is pending or under way any more: the whole pool can be keyed again.
    for (uint32_t i = 0; i < maxEvents; ++i) {
      ASSERT_EQ(c->KeyEnabled(i % 3, 1, 200.0), Ok) << "round " << round << " event " << i;
    }
    EXPECT_EQ(c->KeyEnabled(0, 1, 200.0), ErrInvalidCall);
  }
}

// A set whose interpolator fails to sample stops the mix with that code.
struct FailingInterpolator final : KeyFrameInterpolator {
  LyrResult LYR_CALL QueryInterface(const Guid&, void**) override { return ErrNoInterface; }
  uint32_t LYR_CALL AddRef() override { return ++refs; }
  uint32_t LYR_CALL Release() override { return --refs; }
  const char* LYR_CALL Name() override { return name; }
  double LYR_CALL Period() override { return 1; }
  LyrResult LYR_CALL Sample(double, Vector3*, Quaternion*, Vector3*) override { return ErrFail; }
  LyrResult LYR_CALL SampleEnd(Vector3*, Quaternion*, Vector3*) override { return Ok; }
  uint32_t LYR_CALL ScaleKeyCount() override { return 0; }
  LyrResult LYR_CALL CopyScaleKeys(VectorKey*) override { return Ok; }
  uint32_t LYR_CALL RotationKeyCount() override { return 0; }
  LyrResult LYR_CALL CopyRotationKeys(RotationKey*) override { return Ok; }
  uint32_t LYR_CALL TranslationKeyCount() override { return 0; }
  LyrResult LYR_CALL CopyTranslationKeys(VectorKey*) override { return Ok; }
  double LYR_CALL TicksPerSecond() override { return 1; }
  uint32_t refs = 1;
  const char* name = "bone";
};

TEST(Controller, AFailingSampleStopsTheMixAndIsReturned) {
  FailingInterpolator failing;
  KeyFrameInterpolator* items[] = {&failing};
  Ref<AnimationSet> bad;
  ASSERT_EQ(LyrCreateAnimationSet("bad", items, 1, bad.put()), Ok);
  Ref<AnimationSet> good(MakeSet("good", {Constant("bone", {1, 1, 1}, kIdentity, {5, 0, 0})}));
  Ref<AnimationController> c(MakeController(1, 2, 2, 1));
  Matrix m = Poison();
  ASSERT_EQ(c->RegisterOutput("bone", &m), Ok);
  ASSERT_EQ(c->RegisterSet(good.get()), Ok);
  ASSERT_EQ(c->RegisterSet(bad.get()), Ok);
  Play(c.get(), 0, good.get(), 1.0f);
  Play(c.get(), 1, bad.get(), 1.0f);
  EXPECT_EQ(c->SetTime(1.0), ErrFail);
  EXPECT_TRUE(IsPoison(m));
  EXPECT_EQ(c->Time(), 1.0);  // the advance happened
  c = Ref<AnimationController>();
  bad = Ref<AnimationSet>();
  EXPECT_EQ(failing.refs, 1u);
}

// A host's interpolator that hands every call to one of ours: the controller cannot look inside
// it and must sample it through the table.
struct ForwardingInterpolator final : KeyFrameInterpolator {
  explicit ForwardingInterpolator(KeyFrameInterpolator* it) : inner(it) {}
  LyrResult LYR_CALL QueryInterface(const Guid&, void**) override { return ErrNoInterface; }
  uint32_t LYR_CALL AddRef() override { return ++refs; }
  uint32_t LYR_CALL Release() override {
    if (--refs) return refs;
    inner->Release();
    delete this;
    return 0;
  }
  const char* LYR_CALL Name() override { return inner->Name(); }
  double LYR_CALL Period() override { return inner->Period(); }
  LyrResult LYR_CALL Sample(double t, Vector3* s, Quaternion* r, Vector3* tr) override {
    return inner->Sample(t, s, r, tr);
  }
  LyrResult LYR_CALL SampleEnd(Vector3* s, Quaternion* r, Vector3* t) override {
    return inner->SampleEnd(s, r, t);
  }
  uint32_t LYR_CALL ScaleKeyCount() override { return inner->ScaleKeyCount(); }
  LyrResult LYR_CALL CopyScaleKeys(VectorKey* k) override { return inner->CopyScaleKeys(k); }
  uint32_t LYR_CALL RotationKeyCount() override { return inner->RotationKeyCount(); }
  LyrResult LYR_CALL CopyRotationKeys(RotationKey* k) override {
    return inner->CopyRotationKeys(k);
  }
  uint32_t LYR_CALL TranslationKeyCount() override { return inner->TranslationKeyCount(); }
  LyrResult LYR_CALL CopyTranslationKeys(VectorKey* k) override {
    return inner->CopyTranslationKeys(k);
  }
  double LYR_CALL TicksPerSecond() override { return inner->TicksPerSecond(); }
  KeyFrameInterpolator* inner;
  uint32_t refs = 1;
};

// Outputs are mixed in groups; the result must not depend on how they fall into groups. Three
// controllers play the same three sets: with our interpolators, with some of them hidden behind a
// host's forwarding object (which splits the groups around them), and with all of them hidden
// (one output at a time, every rotation from Sample). Over outputs some sets lack, keys with
// separate and shared times, both priority classes and a class blend, the matrices agree bit for
// bit wherever float arithmetic is carried out in floats.
TEST(Controller, GroupedMixingMatchesSamplingEachInterpolatorThroughItsTable) {
  constexpr uint32_t kOutputs = 21, kSets = 3;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  auto unit = [&] {
    Quaternion q{u(rng), u(rng), u(rng), u(rng)};
    const float n = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    return Quaternion{q.x / n, q.y / n, q.z / n, q.w / n};
  };
  Ref<AnimationController> own(MakeController(kOutputs, kSets, kSets, 1));
  Ref<AnimationController> mixed(MakeController(kOutputs, kSets, kSets, 1));
  Ref<AnimationController> host(MakeController(kOutputs, kSets, kSets, 1));
  std::vector<Matrix> a(kOutputs, Poison()), b(kOutputs, Poison()), h(kOutputs, Poison());
  for (uint32_t o = 0; o < kOutputs; ++o) {
    const std::string name = "bone" + std::to_string(o);
    ASSERT_EQ(own->RegisterOutput(name.c_str(), &a[o]), Ok);
    ASSERT_EQ(mixed->RegisterOutput(name.c_str(), &b[o]), Ok);
    ASSERT_EQ(host->RegisterOutput(name.c_str(), &h[o]), Ok);
  }
  for (uint32_t k = 0; k < kSets; ++k) {
    std::vector<KeyFrameInterpolator*> ours, some, all;
    for (uint32_t o = 0; o < kOutputs; ++o) {
      if ((o + k) % 7 == 3) continue;  // this set does not animate the output
      const std::string name = "bone" + std::to_string(o);
      std::vector<VectorKey> sk, tk;
      std::vector<RotationKey> rk;
      const bool shared = o % 2 == 0;
      for (int i = 0; i < 6; ++i) {
        sk.push_back({float(i), {1 + 0.2f * u(rng), 1 + 0.2f * u(rng), 1 + 0.2f * u(rng)}});
        rk.push_back({shared ? float(i) : 1.5f * float(i), unit()});
        tk.push_back({float(i), {5 * u(rng), 5 * u(rng), 5 * u(rng)}});
      }
      KeyFrameInterpolator* it = MakeInterpolator(name.c_str(), sk, rk, tk, 4.0);
      ASSERT_NE(it, nullptr);
      ours.push_back(it);
      it->AddRef();
      some.push_back(o % 5 == k ? new ForwardingInterpolator(it) : it);
      it->AddRef();
      all.push_back(new ForwardingInterpolator(it));
    }
    Ref<AnimationSet> s1(MakeSet("s", ours)), s2(MakeSet("s", some)), s3(MakeSet("s", all));
    const TrackState ts{k == 1 ? PriorityHigh : PriorityLow, 0.4f + 0.7f * float(k), 1.0f, 1,
                        0.3 * k};
    for (auto [c, set] : {std::pair{own.get(), s1.get()}, std::pair{mixed.get(), s2.get()},
                          std::pair{host.get(), s3.get()}}) {
      ASSERT_EQ(c->RegisterSet(set), Ok);
      ASSERT_EQ(c->SetTrackSet(k, set), Ok);
      ASSERT_EQ(c->SetTrackState(k, &ts), Ok);
      ASSERT_EQ(c->SetPriorityBlend(0.35f), Ok);
    }
  }
  for (double time : {0.1, 0.7, 1.3, 2.9, 0.2}) {
    ASSERT_EQ(own->SetTime(time), Ok);
    ASSERT_EQ(mixed->SetTime(time), Ok);
    ASSERT_EQ(host->SetTime(time), Ok);
    for (uint32_t o = 0; o < kOutputs; ++o) {
      SCOPED_TRACE(testing::Message() << "time " << time << " output " << o);
      ASSERT_FALSE(IsPoison(h[o]));
#if FLT_EVAL_METHOD == 0
      ASSERT_EQ(std::memcmp(&a[o], &h[o], sizeof(Matrix)), 0);
      ASSERT_EQ(std::memcmp(&b[o], &h[o], sizeof(Matrix)), 0);
#else
      // Float arithmetic carried out in wider registers rounds wherever the compiler stores a
      // value, which differs between the two ways of sampling.
      ExpectMatrix(a[o], h[o], 1e-5f);
      ExpectMatrix(b[o], h[o], 1e-5f);
      ASSERT_FALSE(HasFailure());
#endif
    }
  }
  // Mixing, grouped or one output at a time, allocates nothing.
  EXPECT_EQ(test::CountAllocations([&] {
              own->SetTime(3.3);
              mixed->SetTime(3.3);
              host->SetTime(3.3);
            }),
            0u);
}

// A failing sample in the middle of the outputs leaves exactly the outputs before it written.
TEST(Controller, AFailingSampleLeavesTheOutputsBeforeItWritten) {
  constexpr uint32_t kOutputs = 20, kFailing = 11;
  FailingInterpolator failing;
  const std::string failingName = "bone" + std::to_string(kFailing);
  failing.name = failingName.c_str();
  KeyFrameInterpolator* items[] = {&failing};
  Ref<AnimationSet> bad;
  ASSERT_EQ(LyrCreateAnimationSet("bad", items, 1, bad.put()), Ok);
  std::vector<KeyFrameInterpolator*> goodItems;
  std::vector<std::string> names;
  for (uint32_t o = 0; o < kOutputs; ++o) names.push_back("bone" + std::to_string(o));
  for (const std::string& n : names) {
    goodItems.push_back(Constant(n.c_str(), {1, 1, 1}, kIdentity, {5, 0, 0}));
  }
  Ref<AnimationSet> good(MakeSet("good", goodItems));
  Ref<AnimationController> c(MakeController(kOutputs, 2, 2, 1));
  std::vector<Matrix> m(kOutputs, Poison());
  for (uint32_t o = 0; o < kOutputs; ++o) ASSERT_EQ(c->RegisterOutput(names[o].c_str(), &m[o]), Ok);
  ASSERT_EQ(c->RegisterSet(good.get()), Ok);
  ASSERT_EQ(c->RegisterSet(bad.get()), Ok);
  Play(c.get(), 0, good.get(), 1.0f);
  Play(c.get(), 1, bad.get(), 1.0f);
  EXPECT_EQ(c->SetTime(1.0), ErrFail);
  for (uint32_t o = 0; o < kOutputs; ++o) {
    EXPECT_EQ(IsPoison(m[o]), o >= kFailing) << o;
    if (o < kFailing) {
      EXPECT_EQ(m[o].m[3][0], 5.0f) << o;
    }
  }
  c = Ref<AnimationController>();
  bad = Ref<AnimationSet>();
  EXPECT_EQ(failing.refs, 1u);
}

// Every form of the group mix (lanes of each width this processor runs, and the scalar form as the
// reference) plays the same random scene: key counts from one to seven, shared, separate, equal
// and unordered key times, default channels, host interpolators splitting the groups, missing
// interpolators, outputs removed and sets unregistered between steps, two outputs on one matrix,
// weights of either sign and beyond one, both classes and blends outside [0, 1] (which take the
// scalar weights), times jumping both ways, controllers replaced by their clones. The matrices and
// results agree bit for bit.
TEST(Controller, EveryFormOfTheGroupMixWritesTheScalarFormsBits) {
  using mathutil::SlerpLanes;
  std::vector<SlerpLanes> forms = {SlerpLanes::kScalar};
  for (SlerpLanes l : {SlerpLanes::kSse2, SlerpLanes::kAvx}) {
    if (SelectOwnGroupMixer(l)) forms.push_back(l);
  }
  constexpr uint32_t kOutputs = 19, kSets = 4, kTracks = 4;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  for (int scene = 0; scene < 12; ++scene) {
    std::vector<Ref<AnimationSet>> sets;
    for (uint32_t k = 0; k < kSets; ++k) {
      std::vector<KeyFrameInterpolator*> items;
      for (uint32_t o = 0; o < kOutputs; ++o) {
        if (pick(6) == 0) continue;
        const bool shared = pick(2), unordered = pick(10) == 0;
        const uint32_t n = 1 + pick(7);
        std::vector<VectorKey> sk, tk;
        std::vector<RotationKey> rk;
        float time = 0;
        for (uint32_t i = 0; i < n; ++i) {
          time = unordered && i == n / 2 ? time - 1 : time + static_cast<float>(pick(3));
          const float other = shared ? time : time * 1.5f + 0.25f;
          Quaternion q{u(rng), u(rng), u(rng), u(rng)};
          if (pick(4) == 0 && i > 0) q = rk.back().value;  // nearly equal keys
          sk.push_back({time, {1 + u(rng), 1 + u(rng), 1 + u(rng)}});
          rk.push_back({other, q});
          tk.push_back({time, {5 * u(rng), 5 * u(rng), 5 * u(rng)}});
        }
        if (pick(8) == 0) sk.clear();
        const std::string name = "bone" + std::to_string(o);
        KeyFrameInterpolator* it = MakeInterpolator(name.c_str(), sk, rk, tk, 2.0 + pick(3));
        items.push_back(pick(10) == 0 ? new ForwardingInterpolator(it) : it);
      }
      if (items.empty()) items.push_back(Constant("bone0", {1, 2, 3}, kQuarterZ, {4, 5, 6}));
      sets.emplace_back(MakeSet("s", items));
    }
    std::vector<Ref<AnimationController>> cs;
    std::vector<std::vector<Matrix>> ms(forms.size(), std::vector<Matrix>(kOutputs, Poison()));
    for (size_t f = 0; f < forms.size(); ++f) {
      cs.emplace_back(MakeController(kOutputs, kSets, kTracks, 4));
      for (uint32_t o = 0; o < kOutputs; ++o) {
        const std::string name = "bone" + std::to_string(o);
        cs[f]->RegisterOutput(name.c_str(), &ms[f][o == 6 ? 5 : o]);
      }
      for (auto& set : sets) ASSERT_EQ(cs[f]->RegisterSet(set.get()), Ok);
    }
    double time = 0;
    for (int step = 0; step < 16; ++step) {
      // One change of the scene, the same for every controller.
      const uint32_t op = pick(9), a = pick(kTracks), b = pick(kSets), o = pick(kOutputs);
      const float weights[] = {0.0f, -0.0f, 1.0f, 0.5f + u(rng), 2.0f * u(rng), 3.0f};
      const TrackState ts{pick(4), weights[pick(6)], 1 + u(rng), pick(5) != 0, 3.0 * u(rng)};
      const std::string name = "bone" + std::to_string(o);
      const float blend = pick(3) == 0 ? 1.0f : 0.5f + u(rng) * 0.6f;
      time += pick(4) == 0 ? -2.0 : 0.3 * (1 + u(rng));
      for (size_t f = 0; f < forms.size(); ++f) {
        AnimationController* c = cs[f].get();
        if (op <= 2) {
          c->SetTrackState(a, &ts);
          if (b < c->SetCount()) c->SetTrackSet(a, sets[b].get());
        } else if (op == 3) {
          c->KeyPriorityBlend(blend, time - 0.1, 0.0, TransitionLinear);
        } else if (op == 4) {
          c->UnregisterSet(sets[b].get());
        } else if (op == 5 && c->SetCount() < kSets) {
          c->RegisterSet(sets[b].get());
        } else if (op == 6) {
          c->RegisterOutput(name.c_str(), nullptr);
        } else if (op == 7) {
          Ref<AnimationController> clone;
          ASSERT_EQ(c->Clone(kOutputs, kSets, kTracks, 4, clone.put()), Ok);
          cs[f] = clone;
        } else {
          c->RegisterOutput(name.c_str(), &ms[f][o]);
        }
      }
      LyrResult results[3];
      for (size_t f = 0; f < forms.size(); ++f) {
        ASSERT_TRUE(SelectOwnGroupMixer(forms[f]));
        results[f] = cs[f]->SetTime(time);
      }
      for (size_t f = 1; f < forms.size(); ++f) {
        SCOPED_TRACE(testing::Message() << "scene " << scene << " step " << step << " form " << f);
        ASSERT_EQ(results[f], results[0]);
#if FLT_EVAL_METHOD == 0
        ASSERT_EQ(std::memcmp(ms[f].data(), ms[0].data(), kOutputs * sizeof(Matrix)), 0);
#endif
      }
    }
  }
  SelectOwnGroupMixer(forms.back());
}

}  // namespace
}  // namespace lyr
