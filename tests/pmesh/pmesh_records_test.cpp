// Split records worked out by hand on a fan of six triangles, malformed records, random records,
// and the construction checks.
#include <gtest/gtest.h>

#include <array>

#include "fault_injection.h"
#include "pm_test_util.h"

namespace lyr::test {
namespace {

namespace S = SplitCode;
constexpr uint32_t N = 0xFFFFFFFFu;
constexpr uint32_t kSys = MeshOptions::IndexSystemMemory | MeshOptions::VertexSystemMemory;

using Tri = std::array<uint32_t, 3>;

// Faces round vertex 0: (0, i, i+1) for i = 1..6 (closed) or 1..5 (open, vertex 0 on the
// boundary). Slot s holds face i = s + 1.
std::vector<Tri> Fan(bool closed) {
  std::vector<Tri> t;
  for (uint32_t i = 1; i <= (closed ? 6u : 5u); ++i) t.push_back({0, i, i % 6 + 1});
  return t;
}

std::vector<uint32_t> Adjacency(const std::vector<Tri>& t) {
  std::vector<uint32_t> adj(t.size() * 3, N);
  for (size_t f = 0; f < t.size(); ++f)
    for (int k = 0; k < 3; ++k)
      for (size_t g = 0; g < t.size(); ++g)
        for (int j = 0; j < 3; ++j)
          if (g != f && t[g][j] == t[f][(k + 1) % 3] && t[g][(j + 1) % 3] == t[f][k])
            adj[f * 3 + k] = uint32_t(g);
  return adj;
}

struct Hand {
  std::vector<Tri> base;
  std::vector<PMRange> ranges;
  std::vector<VSplitRecord> splits;
  std::vector<uint16_t> mispredicts = {};
  uint32_t valence = 8;
};

LyrResult MakeHand(const Hand& h, GraphicsDevice* device, uint32_t options, ProgressiveMesh** out) {
  uint32_t vertices = 0;
  for (const PMRange& r : h.ranges) vertices += r.verticesMax;
  Mesh* base = nullptr;
  LyrResult r =
      CreateMeshFromFormatCode(uint32_t(h.base.size()), vertices, options, 0x2, device, &base);
  if (Failed(r)) return r;
  Ref<Mesh> holder(base);
  void* p = nullptr;
  base->LockIndices(0, &p);
  for (size_t f = 0; f < h.base.size(); ++f)
    for (int k = 0; k < 3; ++k) {
      if (options & MeshOptions::Index32)
        static_cast<uint32_t*>(p)[f * 3 + k] = h.base[f][k];
      else
        static_cast<uint16_t*>(p)[f * 3 + k] = uint16_t(h.base[f][k]);
    }
  base->UnlockIndices();
  PMContents c;
  c.ranges = h.ranges.data();
  c.rangeCount = uint32_t(h.ranges.size());
  c.maxValence = h.valence;
  c.minLogicalVertices = 7;
  c.maxLogicalVertices = 7 + uint32_t(h.splits.size());
  c.splits = h.splits.data();
  c.splitCount = uint32_t(h.splits.size());
  c.mispredicts = h.mispredicts.data();
  c.mispredictCount = uint32_t(h.mispredicts.size());
  const std::vector<uint32_t> adj = Adjacency(h.base);
  return CreateProgressiveMeshFromBase(base, options, adj.data(), c, out);
}

struct HandCase {
  const char* name;
  Hand hand;
  std::vector<uint32_t> idx, adj;  // every slot at the full level
  std::vector<uint32_t> history;   // every vertex
};

// The worked cases. Closed fan: face a = slot 0 = (0,1,2), corner 0; b = slot 1; walking round
// vertex 0 from a meets slots 0, 5, 4, 3, ...
std::vector<HandCase> HandCases() {
  std::vector<HandCase> v;
  // Three faces move to vt = 7; L = (0,7,2) between a and b, R = (0,5,7) between slots 4 and 3.
  v.push_back({"twoFaces",
               {Fan(true),
                {{0, 6, 8, 0, 7, 8}},
                {{0, 3, S::LeftKeepsVs | S::RightSameAsLeft | S::RightThirdIsVt}}},
               {7, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 5, 7, 5, 6, 7, 6, 1, 0, 7, 2, 0, 5, 7},
               {5, N, 6, 6, N, 2, 1, N, 3, 2, N, 7, 7, N, 5, 4, N, 0, 7, 0, 1, 3, 4, 6},
               {0, 1, 2, 3, 4, 5, 6, 0}});
  // The same split with L in a second range, named by a mispredict: L and R change slots.
  v.push_back(
      {"leftMispredicted",
       {Fan(true),
        {{0, 6, 7, 0, 7, 7}, {7, 0, 1, 7, 0, 1}},
        {{0, 3, S::LeftKeepsVs | S::RightSameAsLeft | S::RightThirdIsVt | S::LeftMispredict}},
        {1}},
       {7, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 5, 7, 5, 6, 7, 6, 1, 0, 5, 7, 0, 7, 2},
       {5, N, 7, 7, N, 2, 1, N, 3, 2, N, 6, 6, N, 5, 4, N, 0, 3, 4, 7, 6, 0, 1},
       {0, 1, 2, 3, 4, 5, 6, 0}});
  // Wedges: L.k0 from face b, R.k2 = vt, R.k0 new (8), R.k1 from the far right face. Every
  // moved corner becomes vt.
  v.push_back({"wedges",
               {Fan(true),
                {{0, 6, 8, 0, 7, 9}},
                {{0, 3, S::LeftFromB | S::RightThirdIsVt | S::RightSecondFar}}},
               {7, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 5, 7, 5, 6, 7, 6, 1, 0, 7, 2, 8, 5, 7},
               {5, N, 6, 6, N, 2, 1, N, 3, 2, N, 7, 7, N, 5, 4, N, 0, 7, 0, 1, 3, 4, 6},
               {0, 1, 2, 3, 4, 5, 6, 0, 0}});
  // Open fan, one face: from a = slot 2 = (0,3,4) the walk meets slots 2, 1, 0 and the
  // boundary; L = (0, 7, 8) with a new third corner, which merges into a's corner 4.
  v.push_back({"oneFace",
               {Fan(false), {{0, 5, 6, 0, 7, 9}}, {{2, 0, S::LeftKeepsVs | S::LeftThirdNew}}},
               {7, 1, 2, 7, 2, 3, 7, 3, 4, 0, 4, 5, 0, 5, 6, 0, 7, 8},
               {N, N, 1, 0, N, 2, 1, N, 5, 5, N, 4, 3, N, N, N, 2, 3},
               {0, 1, 2, 3, 4, 5, 6, 0, 4}});
  return v;
}

class HandSplits : public ::testing::TestWithParam<std::tuple<int, uint32_t>> {};

TEST_P(HandSplits, FullLevelHistoryAndBackToBase) {
  const HandCase tc = HandCases()[std::get<0>(GetParam())];
  const uint32_t options = std::get<1>(GetParam());
  SCOPED_TRACE(tc.name);
  auto device = MakeRefDevice();
  Ref<ProgressiveMesh> pm;
  ASSERT_EQ(MakeHand(tc.hand, device.get(), options, pm.put()), Ok);
  const LevelShot base = Capture(pm.get());
  ASSERT_EQ(pm->SetFaceCount(100), Ok);
  const uint32_t slots = pm->GetMaxFaceCount();
  std::vector<uint32_t> adj(slots * 3), history(pm->GetMaxVertexCount());
  pm->GetAdjacency(adj.data());
  EXPECT_EQ(adj, tc.adj);
  void* p = nullptr;
  ASSERT_EQ(pm->LockIndices(kLockReadOnly, &p), Ok);
  std::vector<uint32_t> idx(slots * 3);
  for (size_t i = 0; i < idx.size(); ++i)
    idx[i] = (options & MeshOptions::Index32) ? static_cast<uint32_t*>(p)[i]
                                              : static_cast<uint16_t*>(p)[i];
  pm->UnlockIndices();
  EXPECT_EQ(idx, tc.idx);
  EXPECT_EQ(pm->GetFaceCount(), slots);
  ASSERT_EQ(pm->BuildVertexHistory(history.data()), Ok);
  EXPECT_EQ(history, tc.history);
  EXPECT_EQ(pm->GetFaceCount(), slots);  // the level is kept
  ASSERT_EQ(pm->SetFaceCount(0), Ok);
  EXPECT_EQ(Capture(pm.get()), base);
}

INSTANTIATE_TEST_SUITE_P(Cases, HandSplits,
                         ::testing::Combine(::testing::Range(0, 4),
                                            ::testing::Values(kSys, kSys | MeshOptions::Index32)));

// Each last record is malformed in one way: the sweep stops before it, and stays there.
TEST(PMeshRecords, MalformedRecordsLeaveTheLevel) {
  const uint16_t plain = S::LeftKeepsVs | S::RightSameAsLeft | S::RightThirdIsVt;
  const VSplitRecord good = {0, 3, plain};
  struct Bad {
    const char* name;
    bool closed;
    std::vector<VSplitRecord> splits;
    std::vector<uint16_t> mispredicts;
    PMRange range;
  };
  const PMRange roomy = {0, 6, 12, 0, 7, 14}, roomyOpen = {0, 5, 11, 0, 7, 14};
  const std::vector<Bad> cases = {
      {"face past the slots", true, {{100, 3, plain}}, {}, roomy},
      {"face past the level", true, {{7, 3, plain}}, {}, roomy},
      {"corner 3", true, {{0, 3, plain | 3}}, {}, roomy},
      {"walk back at face a", true, {{0, 6, plain}}, {}, roomy},
      {"walk longer than the fan", true, {{0, 9, plain}}, {}, roomy},
      {"no mispredict left", true, {{0, 3, plain | S::LeftMispredict}}, {}, roomy},
      {"mispredict names no range", true, {{0, 3, plain | S::RightMispredict}}, {5}, roomy},
      {"no face room", true, {{0, 3, plain}}, {}, {0, 6, 7, 0, 7, 14}},
      {"no vertex room", true, {{0, 3, plain}}, {}, {0, 6, 12, 0, 7, 7}},
      {"far face needed at the boundary",
       false,
       {{2, 3, S::LeftKeepsVs | S::RightFromFar}},
       {},
       roomyOpen},
      {"face b needed at the boundary",
       false,
       {{4, 0, S::LeftKeepsVs | S::LeftThirdFromB}},
       {},
       roomyOpen},
      {"a walk past the boundary", false, {{2, 4, plain}}, {}, roomyOpen},
      {"second record bad", true, {good, {6, 2, plain | 3}}, {}, roomy},
  };
  auto device = MakeRefDevice();
  for (uint32_t options : {kSys, kSys | MeshOptions::Index32})
    for (const Bad& b : cases) {
      SCOPED_TRACE(b.name);
      Hand h{Fan(b.closed), {b.range}, b.splits, b.mispredicts};
      Ref<ProgressiveMesh> pm;
      ASSERT_EQ(MakeHand(h, device.get(), options, pm.put()), Ok);
      const LevelShot before = Capture(pm.get());
      EXPECT_EQ(pm->SetFaceCount(0xFFFFFFFFu), ErrInvalidCall);
      const LevelShot after = Capture(pm.get());
      EXPECT_EQ(after.applied, b.splits.size() - 1);  // stopped before the bad record
      if (b.splits.size() == 1) {
        EXPECT_EQ(after, before);
      }
      // Again: the bad record is met at once and nothing moves.
      EXPECT_EQ(pm->SetFaceCount(0xFFFFFFFFu), ErrInvalidCall);
      EXPECT_EQ(Capture(pm.get()), after);
      // (Without vertex room there is no vertex level above the base to go to.)
      EXPECT_EQ(pm->SetVertexCount(0xFFFFFFFFu),
                pm->GetMaxVertexCount() > after.vertices ? ErrInvalidCall : Ok);
      EXPECT_EQ(Capture(pm.get()), after);
      EXPECT_EQ(pm->SetFaceCount(0), Ok);
      EXPECT_EQ(Capture(pm.get()), before);
    }
}

// Records of random bits on a refined grid: any sweep ends in Ok or ErrInvalidCall, a failing
// call repeated changes nothing, the table always adds up, and no access leaves the arrays (the
// sanitiser build checks that).
TEST(PMeshRecords, RandomRecordsNeverEscape) {
  auto device = MakeRefDevice();
  std::mt19937 rng(21);
  for (int round = 0; round < 40; ++round) {
    PMGrid grid = BuildPMGrid({3, 3, 30, 2, uint32_t(round + 1), true});
    for (VSplitRecord& s : grid.splits) {
      if (rng() % 3) continue;
      const uint32_t what = rng() % 4;
      if (what == 0) s.code = uint16_t(rng());
      if (what == 1) s.faceClw = rng() % (grid.FullFaces() + 4);
      if (what == 2) s.vlrOffset = uint16_t(rng() % 12);
      if (what == 3) s.code ^= uint16_t(1u << (rng() % 16));
    }
    for (uint16_t& m : grid.mispredicts)
      if (rng() % 4 == 0) m = uint16_t(rng() % 4);
    Ref<ProgressiveMesh> pm;
    const uint32_t options = round % 2 ? kSys : kSys | MeshOptions::Index32;
    ASSERT_EQ(MakeGridPM(grid, device.get(), options, pm.put()), Ok);
    for (int step = 0; step < 30; ++step) {
      const uint32_t target = rng() % (pm->GetMaxFaceCount() + 3);
      const LyrResult r = pm->SetFaceCount(target);
      ASSERT_TRUE(r == Ok || r == ErrInvalidCall);
      const LevelShot after = Capture(pm.get());
      if (r != Ok) {
        ASSERT_EQ(pm->SetFaceCount(target), r);
        ASSERT_EQ(Capture(pm.get()), after);
      }
      uint32_t faces = 0;
      for (const AttributeRange& e : after.table) faces += e.faceCount;
      ASSERT_EQ(faces, after.faces);
    }
  }
}

TEST(PMeshRecords, ConstructionChecksTheDescription) {
  const Hand ok{Fan(true),
                {{0, 6, 8, 0, 7, 8}},
                {{0, 3, S::LeftKeepsVs | S::RightSameAsLeft | S::RightThirdIsVt}}};
  struct Bad {
    const char* name;
    std::vector<PMRange> ranges;
  };
  const std::vector<Bad> cases = {
      {"min above max", {{0, 6, 5, 0, 7, 8}}},
      {"base faces differ", {{0, 5, 8, 0, 7, 8}}},
      {"overlapping faces", {{0, 6, 8, 0, 7, 8}, {4, 0, 2, 8, 0, 1}}},
      {"overlapping vertices", {{0, 6, 8, 0, 7, 8}, {8, 0, 2, 3, 0, 1}}},
      {"face slots past the total", {{3, 6, 8, 0, 7, 8}}},
      {"no ranges", {}},
  };
  auto device = MakeRefDevice();
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.name);
    Hand h = ok;
    h.ranges = b.ranges;
    Ref<ProgressiveMesh> pm;
    EXPECT_EQ(MakeHand(h, device.get(), kSys, pm.put()), ErrInvalidCall);
    EXPECT_FALSE(pm);
  }
  // Too few base vertices, more logical vertices than records, adjacency naming no base face,
  // an index width other than the base Mesh's.
  Ref<Mesh> base;
  ASSERT_EQ(CreateMeshFromFormatCode(6, 7, kSys, 0x2, device.get(), base.put()), Ok);
  const std::vector<uint32_t> adj = Adjacency(ok.base);
  PMContents c;
  c.ranges = ok.ranges.data();
  c.rangeCount = 1;
  c.maxValence = 8;
  c.splits = ok.splits.data();
  c.splitCount = 1;
  c.minLogicalVertices = 7;
  c.maxLogicalVertices = 8;
  ProgressiveMesh* out = nullptr;
  EXPECT_EQ(CreateProgressiveMeshFromBase(base.get(), kSys, adj.data(), c, &out), ErrInvalidCall);
  ASSERT_EQ(CreateMeshFromFormatCode(6, 8, kSys, 0x2, device.get(), base.put()), Ok);
  c.maxLogicalVertices = 9;
  EXPECT_EQ(CreateProgressiveMeshFromBase(base.get(), kSys, adj.data(), c, &out), ErrInvalidCall);
  c.maxLogicalVertices = 8;
  std::vector<uint32_t> wrong = adj;
  wrong[4] = 6;
  EXPECT_EQ(CreateProgressiveMeshFromBase(base.get(), kSys, wrong.data(), c, &out), ErrInvalidCall);
  EXPECT_EQ(
      CreateProgressiveMeshFromBase(base.get(), kSys | MeshOptions::Index32, adj.data(), c, &out),
      ErrInvalidCall);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CreateProgressiveMeshFromBase(base.get(), kSys, adj.data(), c, &out), Ok);
  SafeRelease(out);

  // Every allocation of the construction failing in turn.
  ForEachAllocationFailure(
      [&] { return CreateProgressiveMeshFromBase(base.get(), kSys, adj.data(), c, &out); },
      [&](LyrResult) { SafeRelease(out); });
}

}  // namespace
}  // namespace lyr::test
