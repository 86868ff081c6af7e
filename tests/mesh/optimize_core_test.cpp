// The optimiser core on plain arrays: hand-worked face orders and invariants on random meshes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "core_case.h"
#include "grid_mesh.h"
#include "mesh/optimize_core.h"

namespace lyr::meshopt {
namespace {

namespace OF = OptimizeFlags;
constexpr uint32_t N = kNone;

using Case = CoreCase;

// A tree of nine faces around face A = 3: S (8) across A's edge 0, B (4) across edge 1, C (5)
// across edge 2; B leads to D (6) which has two leaves G1 (0) and G2 (1); C leads to E (7) and
// its leaf H (2). Every face has attribute 0. Adjacency written out by hand.
Case TreeCase() {
  Case c;
  c.idx = {5, 1, 6, 4, 5, 7, 9, 2, 10, 0, 1, 2, 2, 1, 4, 0, 2, 8, 4, 1, 5, 8, 2, 9, 1, 0, 3};
  c.adj = {6, N, N, 6, N, N, 7, N, N, 8, 4, 5, 3, 6, N, 3, 7, N, 4, 0, 1, 5, 2, N, 3, N, N};
  c.attr.assign(9, 0);
  c.vertices = 11;
  return c;
}

TEST(OptimizeCoreOrder, StripOrderFollowsFewestNeighboursThenTheirNeighbours) {
  Case c = TreeCase();
  CoreOutput out;
  ASSERT_EQ(OptimizeCore(c.Input(OF::StripReorder), out), Ok);
  // From S to A; at A both B and C have one open neighbour left, but C's neighbour E has fewer
  // open neighbours (2) than B's neighbour D (3), so C wins although its edge comes later.
  EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{8, 3, 5, 7, 2, 4, 6, 0, 1}));
  // Vertices renumbered by first use in the new face order.
  EXPECT_EQ(out.vertexNewToOld, (Vector<uint32_t>{1, 0, 3, 2, 8, 9, 10, 4, 5, 6, 7}));
  EXPECT_EQ(out.indices[0], 0u);
  EXPECT_EQ(out.indices[1], 1u);
  EXPECT_EQ(out.indices[2], 2u);
}

TEST(OptimizeCoreOrder, VertexCacheOrderWithRoomyCacheFollowsTheStrip) {
  Case c = TreeCase();
  CoreOutput out;
  CoreInput in = c.Input(OF::VertexCache | OF::DeviceIndependent);
  ASSERT_EQ(OptimizeCore(in, out), Ok);
  // At D both continuations are open: G2 (preferred, across edge 2) is taken and G1 is the
  // restart point taken when the strip ends.
  EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{8, 3, 5, 7, 2, 4, 6, 1, 0}));
}

TEST(OptimizeCoreOrder, VertexCacheOrderJumpsToRestartWhenTheTurnCostsTooMuch) {
  Case c = TreeCase();
  CoreOutput out;
  CoreInput in = c.Input(OF::VertexCache);
  in.cacheSize = 4;
  in.cacheMagic = 3;  // L = 1
  ASSERT_EQ(OptimizeCore(in, out), Ok);
  // After E two misses have been counted since the restart point B was set, so the turn to H
  // (k = 1) is dropped: 1 + 2 - 1 > 1; H is picked up last as a new start face.
  EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{8, 3, 5, 7, 4, 6, 1, 0, 2}));
}

TEST(OptimizeCoreOrder, VertexCacheWithoutDetectedCacheFallsBackToStrips) {
  Case c = TreeCase();
  CoreOutput strip, cache;
  ASSERT_EQ(OptimizeCore(c.Input(OF::StripReorder), strip), Ok);
  ASSERT_EQ(OptimizeCore(c.Input(OF::VertexCache), cache), Ok);  // cache size 0
  EXPECT_EQ(cache.faceNewToOld, strip.faceNewToOld);
}

TEST(OptimizeCoreOrder, RowOfQuadsStartsAtTheLastLeafAndRunsBack) {
  Case c;
  c.idx = {0, 1, 2, 2, 1, 3, 2, 3, 4, 4, 3, 5};
  c.adj = {N, 1, N, 0, N, 2, 1, 3, N, 2, N, N};
  c.attr = {0, 0, 0, 0};
  c.vertices = 6;
  for (uint32_t flags : {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent}) {
    CoreOutput out;
    ASSERT_EQ(OptimizeCore(c.Input(flags), out), Ok);
    EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{3, 2, 1, 0}));
    EXPECT_EQ(out.vertexNewToOld, (Vector<uint32_t>{4, 3, 5, 2, 1, 0}));
  }
}

TEST(OptimizeCoreOrder, NeighboursAcrossAttributesOrMismatchedEdgesDoNotCount) {
  // The row of quads with the middle link claiming a neighbour whose edge does not match, and
  // the last face in another attribute group: every face becomes its own strip.
  Case c;
  c.idx = {0, 1, 2, 2, 1, 3, 2, 3, 4, 4, 3, 5};
  c.adj = {N, 1, N, 0, N, 2, 1, 3, N, 2, N, N};
  c.attr = {0, 0, 0, 1};
  c.vertices = 6;
  c.idx[6] = 3;  // face 2 becomes (3, 3, 4): its edge towards face 1 no longer matches
  c.idx[7] = 2;
  CoreOutput out;
  ASSERT_EQ(OptimizeCore(c.Input(OF::StripReorder | OF::DoNotSplit), out), Ok);
  // Group 0: faces 0 and 1 remain linked; face 2 is alone (count 0) and starts first.
  EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{2, 1, 0, 3}));
  ASSERT_EQ(out.table.size(), 2u);
  EXPECT_EQ(out.table[1].firstFace, 3u);
}

TEST(OptimizeCoreSort, SplitsSharedVerticesAndRenumbersGroupByGroup) {
  Case c;
  c.idx = {0, 1, 2, 2, 1, 3};
  c.attr = {1, 0};
  c.vertices = 4;
  CoreOutput out;
  ASSERT_EQ(OptimizeCore(c.Input(OF::AttributeSort), out), Ok);
  EXPECT_TRUE(out.split);
  EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{1, 0}));
  EXPECT_EQ(out.vertexNewToOld, (Vector<uint32_t>{3, 2, 1, 0, 1, 2}));
  EXPECT_EQ(out.indices, (Vector<uint32_t>{1, 2, 0, 3, 4, 5}));
  ASSERT_EQ(out.table.size(), 2u);
  const AttributeRange a0{0, 0, 1, 0, 3}, a1{1, 1, 1, 3, 3};
  EXPECT_EQ(0, memcmp(&out.table[0], &a0, sizeof a0));
  EXPECT_EQ(0, memcmp(&out.table[1], &a1, sizeof a1));

  CoreOutput kept;
  ASSERT_EQ(OptimizeCore(c.Input(OF::AttributeSort | OF::DoNotSplit), kept), Ok);
  EXPECT_FALSE(kept.split);
  EXPECT_EQ(kept.vertexNewToOld, (Vector<uint32_t>{1, 2, 3, 0}));
  EXPECT_EQ(kept.indices, (Vector<uint32_t>{1, 0, 2, 3, 0, 1}));
  EXPECT_EQ(kept.table[1].firstVertex, 0u);
  EXPECT_EQ(kept.table[1].vertexCount, 4u);

  CoreOutput refused;
  EXPECT_EQ(OptimizeCore(c.Input(OF::AttributeSort | OF::KeepVertices), refused),
            ErrVertexSplitForbidden);
}

TEST(OptimizeCoreSort, CompactionDropsUnusedFacesAndVertices) {
  Case c;
  c.idx = {N, N, N, 4, 2, 3, 3, 2, 5};
  c.attr = {7, 7, 7};
  c.vertices = 6;
  CoreOutput out;
  ASSERT_EQ(OptimizeCore(c.Input(OF::Compact), out), Ok);
  EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{1, 2}));
  EXPECT_EQ(out.faceOldToNew, (Vector<uint32_t>{N, 0, 1}));
  EXPECT_EQ(out.vertexNewToOld, (Vector<uint32_t>{2, 3, 4, 5}));
  EXPECT_EQ(out.indices, (Vector<uint32_t>{2, 0, 1, 1, 0, 3}));

  Case empty;
  empty.idx = {N, N, N};
  empty.attr = {0};
  empty.vertices = 3;
  EXPECT_EQ(OptimizeCore(empty.Input(OF::Compact), out), ErrMeshWithoutData);
}

TEST(OptimizeCoreSort, KeepTableOrderFollowsTheOldTableAndAppendsMissingIds) {
  Case c;
  c.idx = {0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 2, 1};
  c.attr = {2, 5, 9, 2};
  c.vertices = 9;
  c.table = {{9, 0, 0, 0, 0}, {2, 0, 0, 0, 0}};
  CoreOutput out;
  ASSERT_EQ(OptimizeCore(c.Input(OF::AttributeSort | OF::KeepTableOrder), out), Ok);
  EXPECT_EQ(out.faceNewToOld, (Vector<uint32_t>{2, 0, 3, 1}));
  ASSERT_EQ(out.table.size(), 3u);
  EXPECT_EQ(out.table[0].attributeId, 9u);
  EXPECT_EQ(out.table[1].attributeId, 2u);
  EXPECT_EQ(out.table[1].faceCount, 2u);
  EXPECT_EQ(out.table[2].attributeId, 5u);
}

TEST(OptimizeCoreChecks, MalformedInputIsRefusedBeforeAnythingIsWritten) {
  Case c = TreeCase();
  CoreOutput out;
  c.idx[4] = 11;  // not below the vertex count
  EXPECT_EQ(OptimizeCore(c.Input(OF::StripReorder), out), ErrInvalidCall);
  c = TreeCase();
  c.adj[0] = 9;  // names a face that does not exist
  EXPECT_EQ(OptimizeCore(c.Input(OF::StripReorder), out), ErrInvalidCall);
  c = TreeCase();
  c.table = {{0, 5, 5, 0, 0}};  // runs past the last face
  EXPECT_EQ(OptimizeCore(c.Input(OF::KeepAll | OF::StripReorder), out), ErrInvalidCall);
  c.table = {{0, 0, 5, 0, 0}, {0, 4, 5, 0, 0}};  // overlapping ranges
  EXPECT_EQ(OptimizeCore(c.Input(OF::KeepAll | OF::StripReorder), out), ErrInvalidCall);
  c.adj.clear();
  EXPECT_EQ(OptimizeCore(c.Input(OF::StripReorder), out), ErrInvalidCall);

  EXPECT_EQ(CheckCoreFlags(0, false, false, false), ErrInvalidCall);
  EXPECT_EQ(CheckCoreFlags(OF::Compact | 0x10, false, false, false), ErrInvalidCall);
  EXPECT_EQ(CheckCoreFlags(OF::Compact, false, true, false), ErrInvalidCall);
  EXPECT_EQ(CheckCoreFlags(OF::KeepAll, false, false, false), ErrInvalidCall);
  EXPECT_EQ(CheckCoreFlags(OF::VertexCache | OF::StripReorder, true, false, true), ErrInvalidCall);
  EXPECT_EQ(CheckCoreFlags(OF::VertexCache | 0x1000, true, true, false), Ok);
}

// A shuffled grid with a few unused faces.
Case RandomGrid(uint32_t w, uint32_t h, uint32_t ids, uint32_t seed) {
  test::TestGrid g = test::ShuffledGrid(w, h, ids, seed);
  Case c;
  c.idx = g.idx;
  c.attr = g.attr;
  c.adj = g.adj;
  c.vertices = g.vertices;
  std::mt19937 rng(seed);
  const uint32_t F = static_cast<uint32_t>(c.attr.size());
  for (uint32_t i = 0; i < F / 20; ++i) {
    const uint32_t f = rng() % F;
    c.idx[3 * f] = c.idx[3 * f + 1] = c.idx[3 * f + 2] = N;
  }
  return c;
}

void ExpectInvariants(const Case& c, uint32_t flags, const CoreOutput& out) {
  SCOPED_TRACE(testing::Message() << "flags " << std::hex << flags);
  const uint32_t F = static_cast<uint32_t>(c.attr.size());
  const bool keepAll = flags & OF::KeepAll;
  ASSERT_EQ(out.faceNewToOld.size(), out.faceCount);
  ASSERT_EQ(out.faceOldToNew.size(), F);
  uint32_t used = 0;
  for (uint32_t f = 0; f < F; ++f) {
    const uint32_t p = out.faceOldToNew[f];
    if (c.idx[3 * f] == N && !keepAll) {
      EXPECT_EQ(p, N);
      continue;
    }
    ++used;
    ASSERT_LT(p, out.faceCount);
    ASSERT_EQ(out.faceNewToOld[p], f);
    EXPECT_EQ(out.attributes[p], c.attr[f]);
    if (c.idx[3 * f] == N) continue;
    for (int k = 0; k < 3; ++k) {
      ASSERT_LT(out.indices[3 * p + k], out.vertexCount);
      EXPECT_EQ(out.vertexNewToOld[out.indices[3 * p + k]], c.idx[3 * f + k]);
    }
    for (int k = 0; k < 3; ++k) {
      const uint32_t n = c.adj[3 * f + k];
      EXPECT_EQ(out.adjacency[3 * p + k], n == N ? N : out.faceOldToNew[n]);
    }
  }
  EXPECT_EQ(used, out.faceCount);
  if (flags & OF::KeepVertices) {
    EXPECT_EQ(out.vertexCount, c.vertices);
    for (uint32_t v = 0; v < out.vertexCount; ++v) EXPECT_EQ(out.vertexNewToOld[v], v);
  }
  if (!out.tableValid) return;
  // Every face of an entry carries its id and lies in its vertex range; sorted tables cover
  // every face exactly once with distinct ids.
  std::vector<int> covered(out.faceCount, 0);
  std::vector<uint32_t> seen;
  for (const AttributeRange& r : out.table) {
    seen.push_back(r.attributeId);
    for (uint32_t p = r.firstFace; p < r.firstFace + r.faceCount; ++p) {
      ++covered[p];
      EXPECT_EQ(out.attributes[p], r.attributeId);
      if (out.indices[3 * p] == N || (flags & OF::KeepTableOrder)) continue;
      for (int k = 0; k < 3; ++k) {
        EXPECT_GE(out.indices[3 * p + k], r.firstVertex);
        EXPECT_LT(out.indices[3 * p + k], r.firstVertex + r.vertexCount);
      }
    }
  }
  if (keepAll) return;
  for (int n : covered) EXPECT_EQ(n, 1);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

TEST(OptimizeCoreRandom, EveryFlagCombinationKeepsTrianglesAttributesAndAdjacency) {
  const uint32_t reorders[] = {0, OF::StripReorder, OF::VertexCache,
                               OF::VertexCache | OF::DeviceIndependent};
  const uint32_t sorts[] = {OF::Compact, OF::AttributeSort, OF::AttributeSort | OF::KeepTableOrder};
  const uint32_t verts[] = {0, OF::DoNotSplit, OF::KeepVertices, OF::KeepVertices | OF::DoNotSplit};
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    Case c = RandomGrid(7 + seed, 5, seed, seed);
    for (uint32_t r : reorders)
      for (uint32_t s : sorts)
        for (uint32_t v : verts) {
          const uint32_t flags = r | s | v;
          CoreOutput out;
          CoreInput in = c.Input(flags);
          in.cacheSize = 16;
          in.cacheMagic = 4;
          LyrResult rc = OptimizeCore(in, out);
          if ((v & OF::KeepVertices) && !(v & OF::DoNotSplit) && (r || (s & OF::AttributeSort)) &&
              seed > 1) {
            EXPECT_EQ(rc, ErrVertexSplitForbidden);
            continue;
          }
          ASSERT_EQ(rc, Ok) << std::hex << flags;
          ExpectInvariants(c, flags, out);
          if (!r || !(out.tableValid)) continue;
          // Reordering keeps the faces and the table; run it again on the sorted result with
          // the table kept, which must reorder in place.
          Case sorted;
          sorted.idx.assign(out.indices.begin(), out.indices.end());
          sorted.attr.assign(out.attributes.begin(), out.attributes.end());
          sorted.adj.assign(out.adjacency.begin(), out.adjacency.end());
          sorted.table.assign(out.table.begin(), out.table.end());
          sorted.vertices = out.vertexCount;
          CoreOutput again;
          ASSERT_EQ(OptimizeCore(sorted.Input(OF::KeepAll | r), again), Ok);
          ExpectInvariants(sorted, OF::KeepAll | r, again);
        }
  }
}

// Faces are handled in an order that follows their vertex numbers; the face order produced must
// depend on the mesh alone, not on how its vertices happen to be numbered.
TEST(OptimizeCoreRandom, FaceOrderDoesNotDependOnTheVertexNumbering) {
  for (uint32_t ids : {1u, 3u}) {
    const Case c = RandomGrid(12, 9, ids, 4 + ids);
    Case renamed = c;
    std::vector<uint32_t> name(c.vertices);
    for (uint32_t v = 0; v < c.vertices; ++v) name[v] = v;
    std::shuffle(name.begin(), name.end(), std::mt19937(ids));
    for (uint32_t& v : renamed.idx)
      if (v != N) v = name[v];
    for (uint32_t flags : {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent}) {
      CoreOutput a, b;
      ASSERT_EQ(OptimizeCore(c.Input(flags), a), Ok);
      ASSERT_EQ(OptimizeCore(renamed.Input(flags), b), Ok);
      EXPECT_EQ(a.faceNewToOld, b.faceNewToOld) << ids << " ids, flags " << std::hex << flags;
      // Again in place over the sorted result's table, where ranges are kept as they are.
      Case sorted, sortedRenamed;
      for (auto [from, to] : {std::pair{&a, &sorted}, std::pair{&b, &sortedRenamed}}) {
        to->idx.assign(from->indices.begin(), from->indices.end());
        to->attr.assign(from->attributes.begin(), from->attributes.end());
        to->adj.assign(from->adjacency.begin(), from->adjacency.end());
        to->table.assign(from->table.begin(), from->table.end());
        to->vertices = from->vertexCount;
      }
      CoreOutput again, againRenamed;
      ASSERT_EQ(OptimizeCore(sorted.Input(OF::KeepAll | flags), again), Ok);
      ASSERT_EQ(OptimizeCore(sortedRenamed.Input(OF::KeepAll | flags), againRenamed), Ok);
      EXPECT_EQ(again.faceNewToOld, againRenamed.faceNewToOld);
    }
  }
}

TEST(OptimizeCoreRandom, ReorderingCutsCacheMissesOfAShuffledGrid) {
  Case c = RandomGrid(40, 40, 1, 9);
  const uint32_t F = static_cast<uint32_t>(c.attr.size());
  const uint64_t before = CountCacheMisses(c.idx.data(), F, c.vertices, 16);
  for (uint32_t flags : {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent}) {
    CoreOutput out;
    ASSERT_EQ(OptimizeCore(c.Input(flags), out), Ok);
    const uint64_t after = CountCacheMisses(out.indices.data(), out.faceCount, out.vertexCount, 16);
    EXPECT_LT(after * 2, before) << std::hex << flags;
    EXPECT_LT(double(after) / out.faceCount, 1.0);
  }
}

}  // namespace
}  // namespace lyr::meshopt

namespace lyr::meshopt {
namespace {

TEST(OptimizeCoreOrder, FacesSharingSeveralEdgesAreOrderedOnce) {
  // Two faces over the same three vertices, each naming the other across all of its edges: the
  // neighbour counts must not run below zero however often a face is reached.
  Case c;
  c.idx = {0, 1, 2, 2, 1, 0};
  c.adj = {1, 1, 1, 0, 0, 0};
  c.attr = {0, 0};
  c.vertices = 3;
  for (uint32_t flags : {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent}) {
    CoreOutput out;
    ASSERT_EQ(OptimizeCore(c.Input(flags), out), Ok);
    ASSERT_EQ(out.faceCount, 2u);
    std::vector<uint32_t> order(out.faceNewToOld.begin(), out.faceNewToOld.end());
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 1}));
  }
}

}  // namespace
}  // namespace lyr::meshopt
