// Moving between levels: the full level against an independent model, every level reached going
// up equal to the same level reached going down, targets between levels, and no allocation.
#include <gtest/gtest.h>

#include "fault_injection.h"
#include "pm_test_util.h"

namespace lyr::test {
namespace {

struct LevelCase {
  const char* name;
  PMGridOptions grid;
  uint32_t options;
};

constexpr uint32_t kSys = MeshOptions::IndexSystemMemory | MeshOptions::VertexSystemMemory;

class Levels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(Levels, FullLevelMatchesTheModelAndEveryLevelIsTheSameBothWays) {
  const LevelCase& tc = GetParam();
  GridPM g(tc.grid, tc.options);
  ASSERT_TRUE(g.pm);
  ProgressiveMesh* pm = g.pm.get();
  const PMGrid& grid = g.grid;
  EXPECT_EQ(pm->GetMinFaceCount(), grid.BaseFaces());
  EXPECT_EQ(pm->GetMaxFaceCount(), grid.FullFaces());
  EXPECT_EQ(pm->GetMaxVertexCount(), grid.FullVertices());
  EXPECT_EQ(pm->GetFaceCount(), pm->GetMinFaceCount());

  // Up one split at a time (SetVertexCount by the vertices each split adds).
  std::vector<LevelShot> up{Capture(pm)};
  for (uint32_t k = 0; k < grid.splits.size(); ++k) {
    const uint32_t before = pm->GetVertexCount();
    const auto nv = ::lyr::pm::CountNewVertices(grid.splits[k].code, grid.splits[k].vlrOffset != 0);
    ASSERT_EQ(pm->SetVertexCount(before + nv.left + nv.right), Ok) << k;
    up.push_back(Capture(pm));
    ASSERT_EQ(up.back().applied, k + 1);
    PMSnapshot s;
    ReadProgressiveSnapshot(pm, &s);
    ASSERT_EQ(s.mispredictPosition, MispredictsUsed(s));
  }

  // The full level: every slot as the model has it.
  EXPECT_EQ(pm->GetFaceCount(), grid.FullFaces());
  EXPECT_EQ(pm->GetVertexCount(), grid.FullVertices());
  LevelShot full = up.back();
  std::vector<uint32_t> adj(size_t(grid.FullFaces()) * 3);
  pm->GetAdjacency(adj.data());
  EXPECT_EQ(adj, grid.fullAdj);
  std::vector<uint32_t> idx;
  for (const AttributeRange& e : full.table)
    idx.insert(idx.end(), grid.fullIdx.begin() + e.firstFace * 3,
               grid.fullIdx.begin() + (e.firstFace + e.faceCount) * 3);
  EXPECT_EQ(full.idx, idx);
  for (uint32_t k = 0; k < full.table.size(); ++k) {
    EXPECT_EQ(full.table[k].faceCount, grid.ranges[k].facesMax);
    EXPECT_EQ(full.table[k].vertexCount, grid.ranges[k].verticesMax);
  }

  // Down one split at a time: each level as it was on the way up.
  for (uint32_t k = uint32_t(grid.splits.size()); k-- > 0;) {
    ASSERT_EQ(pm->SetFaceCount(pm->GetFaceCount() - 1), Ok);
    ASSERT_EQ(Capture(pm), up[k]) << "level " << k;
  }
  // Targets between two levels give the lower one; out-of-range targets clamp.
  for (uint32_t k = 1; k < up.size(); ++k) {
    if (up[k].faces - up[k - 1].faces < 2) continue;
    ASSERT_EQ(pm->SetFaceCount(up[k - 1].faces + 1), Ok);
    ASSERT_EQ(Capture(pm).faces, up[k - 1].faces);
  }
  EXPECT_EQ(pm->SetFaceCount(0xFFFFFFFFu), Ok);
  EXPECT_EQ(Capture(pm), up.back());
  EXPECT_EQ(pm->SetFaceCount(0), Ok);
  EXPECT_EQ(Capture(pm), up.front());
  EXPECT_EQ(pm->SetVertexCount(0xFFFFFFFFu), Ok);
  EXPECT_EQ(Capture(pm), up.back());
  EXPECT_EQ(pm->SetVertexCount(1), Ok);
  EXPECT_EQ(Capture(pm), up.front());
  // Random jumps land on the recorded levels.
  std::mt19937 rng(7);
  for (int i = 0; i < 40; ++i) {
    const uint32_t k = rng() % uint32_t(up.size());
    ASSERT_EQ(pm->SetVertexCount(up[k].vertices), Ok);
    ASSERT_EQ(Capture(pm), up[k]) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Grids, Levels,
    ::testing::Values(LevelCase{"plain16", {4, 4, 60, 1, 1, false}, kSys},
                      LevelCase{"plain32", {5, 3, 60, 1, 2, false}, kSys | MeshOptions::Index32},
                      LevelCase{"codes16", {4, 4, 80, 1, 3, true}, kSys},
                      LevelCase{"ranges16", {6, 5, 120, 3, 4, true}, kSys},
                      LevelCase{"ranges32", {3, 7, 120, 2, 5, true}, MeshOptions::Index32},
                      LevelCase{"narrow", {1, 1, 30, 2, 6, true}, kSys},
                      LevelCase{"many", {8, 8, 400, 4, 9, true}, MeshOptions::Index32 | kSys}),
    [](const ::testing::TestParamInfo<LevelCase>& i) { return std::string(i.param.name); });

TEST(PMeshLevels, GridRecordsCoverEveryCodeBitAndBothSplitKinds) {
  // The level tests above only mean something if the records they run use every bit.
  const PMGrid grid = BuildPMGrid({8, 8, 400, 4, 9, true});
  uint32_t bits = 0, oneFace = 0, closedAtB = 0;
  for (const VSplitRecord& s : grid.splits) {
    bits |= s.code;
    oneFace += s.vlrOffset == 0;
    closedAtB += (s.code & 3) == 2;
  }
  EXPECT_EQ(bits | 0x000C, 0xFFFFu);
  EXPECT_GT(oneFace, 0u);
  EXPECT_GT(closedAtB, 0u);
  EXPECT_FALSE(grid.mispredicts.empty());
}

TEST(PMeshLevels, SweepsAllocateNothing) {
  GridPM g({6, 6, 200, 2, 11, true});
  ProgressiveMesh* pm = g.pm.get();
  const uint64_t n = CountAllocations([&] {
    for (int i = 0; i < 3; ++i) {
      pm->SetFaceCount(0xFFFFFFFFu);
      pm->SetFaceCount(pm->GetMinFaceCount() + 37);
      pm->SetVertexCount(0);
    }
  });
  EXPECT_EQ(n, 0u);
}

TEST(PMeshLevels, CornerListSizedByTheValence) {
  // One corner fewer than the longest walk: the sweep stops before the first record that needs
  // it, and stays there; the exact valence lets every record through.
  PMGrid grid = BuildPMGrid({5, 5, 150, 1, 12, true});
  auto device = MakeRefDevice();
  for (uint32_t valence : {grid.maxValence - 1, grid.maxValence}) {
    PMContents c = ContentsOf(grid);
    c.maxValence = valence;
    Ref<ProgressiveMesh> pm;
    ASSERT_EQ(MakeGridPM(grid, device.get(), kSys, pm.put(), &c), Ok);
    const LyrResult r = pm->SetFaceCount(0xFFFFFFFFu);
    if (valence < grid.maxValence) {
      EXPECT_EQ(r, ErrInvalidCall);
      const LevelShot stopped = Capture(pm.get());
      const VSplitRecord& next = grid.splits[stopped.applied];
      EXPECT_TRUE(next.vlrOffset == 0 || next.vlrOffset == grid.maxValence);
      EXPECT_EQ(pm->SetFaceCount(0xFFFFFFFFu), ErrInvalidCall);
      EXPECT_EQ(Capture(pm.get()), stopped);
    } else {
      EXPECT_EQ(r, Ok);
      EXPECT_EQ(pm->GetFaceCount(), grid.FullFaces());
    }
  }
}

}  // namespace
}  // namespace lyr::test
