// The optimiser core's reorder on inputs the hand-worked orders do not reach: kept tables with
// faces outside every range, faces sharing several edges, widely spread vertex numbers, and
// malformed input met only while the faces are being placed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core_case.h"
#include "grid_mesh.h"
#include "mesh/optimize_core.h"

namespace lyr::meshopt {
namespace {

namespace OF = OptimizeFlags;
constexpr uint32_t N = kNone;

// Reordered for a cache of 16 entries with the magic number 7 when the vertex-cache order is asked.
struct Mesh : CoreCase {
  CoreInput Input(uint32_t flags) const {
    CoreInput in = CoreCase::Input(flags);
    in.cacheSize = 16;
    in.cacheMagic = 7;
    return in;
  }
};

Mesh Grid(uint32_t w, uint32_t h, uint32_t ids, uint32_t seed) {
  test::TestGrid g = test::ShuffledGrid(w, h, ids, seed);
  return Mesh{{g.idx, g.attr, g.adj, g.vertices, {}}};
}

// Every kept face's corners, attribute and links come back through the remaps.
void ExpectSameMesh(const Mesh& m, const CoreOutput& out) {
  const uint32_t F = static_cast<uint32_t>(m.attr.size());
  ASSERT_EQ(out.faceOldToNew.size(), F);
  for (uint32_t f = 0; f < F; ++f) {
    const uint32_t p = out.faceOldToNew[f];
    ASSERT_LT(p, out.faceCount);
    ASSERT_EQ(out.faceNewToOld[p], f);
    EXPECT_EQ(out.attributes[p], m.attr[f]);
    for (uint32_t k = 0; k < 3; ++k) {
      if (m.idx[3 * f] != N) {
        EXPECT_EQ(out.vertexNewToOld[out.indices[3 * p + k]], m.idx[3 * f + k]);
      }
      const uint32_t n = m.adj[3 * f + k];
      EXPECT_EQ(out.adjacency[3 * p + k], n == N ? N : out.faceOldToNew[n]) << f << " " << k;
    }
  }
}

TEST(OptimizeCoreLinks, KeptTableWithGapsKeepsTheFacesOutsideAndAllLinks) {
  // Faces grouped by id, the table listing the groups backwards and leaving one out; a few
  // faces unused and a few links one-sided, so that some links never count for the walk.
  Mesh m = Grid(9, 7, 3, 5);
  const uint32_t F = static_cast<uint32_t>(m.attr.size());
  std::vector<uint32_t> byId(F);
  for (uint32_t f = 0; f < F; ++f) byId[f] = f;
  std::stable_sort(byId.begin(), byId.end(),
                   [&](uint32_t a, uint32_t b) { return m.attr[a] < m.attr[b]; });
  std::vector<uint32_t> at(F);
  for (uint32_t p = 0; p < F; ++p) at[byId[p]] = p;
  Mesh sorted = m;
  for (uint32_t p = 0; p < F; ++p) {
    sorted.attr[p] = m.attr[byId[p]];
    for (uint32_t k = 0; k < 3; ++k) {
      sorted.idx[3 * p + k] = m.idx[3 * byId[p] + k];
      const uint32_t n = m.adj[3 * byId[p] + k];
      sorted.adj[3 * p + k] = n == N ? N : at[n];
    }
  }
  for (uint32_t p = 0; p < F; p += 17)
    sorted.idx[3 * p] = sorted.idx[3 * p + 1] = sorted.idx[3 * p + 2] = N;
  for (uint32_t i = 5; i < 3 * F; i += 23) sorted.adj[i] = N;
  for (uint32_t first = 0, p = 1; p <= F; ++p)
    if (p == F || sorted.attr[p] != sorted.attr[first]) {
      sorted.table.push_back({sorted.attr[first], first, p - first, 0, N});
      first = p;
    }
  ASSERT_EQ(sorted.table.size(), 3u);
  const AttributeRange left = sorted.table[1];
  sorted.table.erase(sorted.table.begin() + 1);
  std::reverse(sorted.table.begin(), sorted.table.end());
  for (uint32_t flags :
       {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent, OF::VertexCache}) {
    SCOPED_TRACE(flags);
    CoreOutput out;
    ASSERT_EQ(OptimizeCore(sorted.Input(OF::KeepAll | flags), out), Ok);
    ExpectSameMesh(sorted, out);
    for (uint32_t p = left.firstFace; p < left.firstFace + left.faceCount; ++p)
      EXPECT_EQ(out.faceNewToOld[p], p);
    for (const AttributeRange& r : sorted.table)
      for (uint32_t p = r.firstFace; p < r.firstFace + r.faceCount; ++p) {
        EXPECT_GE(out.faceNewToOld[p], r.firstFace);
        EXPECT_LT(out.faceNewToOld[p], r.firstFace + r.faceCount);
      }
  }
}

TEST(OptimizeCoreLinks, FacesSharingSeveralEdgesNameEachOtherOnEveryEdge) {
  // Two faces over the same three vertices, then a third hanging off one edge of the first.
  Mesh m;
  m.idx = {0, 1, 2, 2, 1, 0, 1, 0, 3};
  m.adj = {1, 1, 1, 0, 0, 0, N, N, N};
  m.attr = {0, 0, 0};
  m.vertices = 4;
  for (uint32_t flags : {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent}) {
    CoreOutput out;
    ASSERT_EQ(OptimizeCore(m.Input(flags), out), Ok);
    ExpectSameMesh(m, out);
  }
}

TEST(OptimizeCoreLinks, WidelySpreadVertexNumbersGiveTheSameOrder) {
  // Far more vertex numbers than faces: faces are then laid out by groups of numbers, which
  // must change nothing in the result.
  for (uint32_t ids : {1u, 4u}) {
    const Mesh m = Grid(14, 10, ids, 11);
    Mesh spread = m;
    spread.vertices = m.vertices * 4099 + 3;
    for (uint32_t& v : spread.idx) v = v * 4099 + 2;
    for (uint32_t flags : {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent}) {
      CoreOutput a, b;
      ASSERT_EQ(OptimizeCore(m.Input(flags), a), Ok);
      ASSERT_EQ(OptimizeCore(spread.Input(flags), b), Ok);
      EXPECT_EQ(a.faceNewToOld, b.faceNewToOld);
      EXPECT_EQ(a.indices, b.indices);
      EXPECT_TRUE(std::equal(a.adjacency.begin(), a.adjacency.end(), b.adjacency.begin(),
                             b.adjacency.end()));
      ExpectSameMesh(spread, b);
    }
  }
}

TEST(OptimizeCoreChecks, MalformedInputIsRefusedWhereverItLies) {
  const Mesh good = Grid(5, 4, 1, 2);
  const uint32_t F = static_cast<uint32_t>(good.attr.size());
  const uint32_t reorders[] = {OF::StripReorder, OF::VertexCache | OF::DeviceIndependent,
                               OF::StripReorder | OF::KeepAll};
  for (uint32_t flags : reorders) {
    SCOPED_TRACE(flags);
    Mesh m = good;
    if (flags & OF::KeepAll) m.table = {{0, 0, F, 0, N}};
    CoreOutput out;
    // A link naming a missing face on a face that is dropped as unused.
    m.idx[3 * 6] = N;
    m.adj[3 * 6 + 1] = F;
    EXPECT_EQ(OptimizeCore(m.Input(flags), out), ErrInvalidCall);
    // The same on every face unused.
    for (uint32_t f = 0; f < F; ++f) m.idx[3 * f] = N;
    EXPECT_EQ(OptimizeCore(m.Input(flags), out), ErrInvalidCall);
    // An index past the vertices on the last face, and no vertices at all.
    m = good;
    if (flags & OF::KeepAll) m.table = {{0, 0, F, 0, N}};
    m.idx[3 * F - 1] = m.vertices;
    EXPECT_EQ(OptimizeCore(m.Input(flags), out), ErrInvalidCall);
    m.idx = good.idx;
    m.vertices = 0;
    EXPECT_EQ(OptimizeCore(m.Input(flags), out), ErrInvalidCall);
  }
  // Several ids: vertices are split (by index) before the reorder.
  Mesh m = Grid(5, 4, 3, 2);
  m.idx[7] = m.vertices + 5;
  CoreOutput out;
  EXPECT_EQ(OptimizeCore(m.Input(OF::StripReorder), out), ErrInvalidCall);
}

}  // namespace
}  // namespace lyr::meshopt
