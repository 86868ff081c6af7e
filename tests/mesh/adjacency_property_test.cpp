// Properties of adjacency and point representatives on generated closed and open meshes and on
// random triangle soups, checked against brute-force references.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "adjacency_meshes.h"
#include "mesh/adjacency.h"

namespace lyr {
namespace {

using test::TestMesh;
constexpr uint32_t N = kNoFace;

bool SameSpot(const TestMesh& m, uint32_t a, uint32_t b) {
  for (int c = 0; c < 3; ++c)
    if (!(m.xyz[a * 3 + c] == m.xyz[b * 3 + c])) return false;
  return true;
}

bool ShareFace(const TestMesh& m, uint32_t a, uint32_t b) {
  for (uint32_t f = 0; f < m.Faces(); ++f) {
    const uint32_t* i = &m.idx[f * 3];
    if (i[0] == 0xFFFFFFFFu || i[0] >= m.Vertices() || i[1] >= m.Vertices() || i[2] >= m.Vertices())
      continue;
    if ((i[0] == a || i[1] == a || i[2] == a) && (i[0] == b || i[1] == b || i[2] == b)) return true;
  }
  return false;
}

// Representatives by the plain definitions, quadratic in the vertex count.
std::vector<uint32_t> BruteReps(const TestMesh& m, float eps) {
  const uint32_t nv = m.Vertices();
  std::vector<uint32_t> rep(nv, N);
  if (eps == 0.0f) {
    for (uint32_t v = 0; v < nv; ++v) {
      rep[v] = v;
      for (uint32_t u = 0; u < v; ++u) {
        if (rep[u] == u && SameSpot(m, u, v) && !ShareFace(m, u, v)) {
          rep[v] = u;
          break;
        }
      }
    }
    return rep;
  }
  std::vector<uint32_t> order;
  for (uint32_t v = 0; v < nv; ++v) {
    const float* p = &m.xyz[v * 3];
    if (std::isnan(p[0]) || std::isnan(p[1]) || std::isnan(p[2])) {
      rep[v] = v;
    } else {
      order.push_back(v);
    }
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return m.xyz[a * 3] < m.xyz[b * 3]; });
  for (size_t i = 0; i < order.size(); ++i) {
    const uint32_t v = order[i];
    if (rep[v] != N) continue;
    rep[v] = v;
    for (size_t j = i + 1; j < order.size(); ++j) {
      const uint32_t w = order[j];
      if (rep[w] != N) continue;
      const float* p = &m.xyz[v * 3];
      const float* q = &m.xyz[w * 3];
      const float dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
      if (dx <= eps && dx * dx + dy * dy + dz * dz < eps * eps && !ShareFace(m, v, w)) rep[w] = v;
    }
  }
  return rep;
}

// Checks that the adjacency pairs up exactly the half-edges that meet the other way round at
// the same places within one run: symmetric, unique where the match is unique, and never
// joining edges that do not meet. Returns the number of matched entries.
uint32_t CheckAdjacency(const TestMesh& m, const std::vector<uint32_t>& rep,
                        const std::vector<uint32_t>& adj) {
  const uint32_t nf = m.Faces();
  std::vector<uint32_t> runOf(nf, N);
  if (m.runs.empty()) {
    std::fill(runOf.begin(), runOf.end(), 0u);
  } else {
    for (uint32_t r = 0; r < m.runs.size(); ++r)
      for (uint32_t f = m.runs[r].firstFace; f < m.runs[r].firstFace + m.runs[r].faceCount; ++f)
        runOf[f] = r;
  }
  auto places = [&](uint32_t f, uint32_t p[3]) {
    const uint32_t* i = &m.idx[f * 3];
    if (runOf[f] == N || i[0] == 0xFFFFFFFFu) return false;
    for (int k = 0; k < 3; ++k) {
      if (i[k] >= m.Vertices()) return false;
      p[k] = rep[i[k]];
    }
    return p[0] != p[1] && p[1] != p[2] && p[0] != p[2];
  };
  // Half-edges by (run, from, to).
  std::map<std::tuple<uint32_t, uint32_t, uint32_t>, std::vector<std::pair<uint32_t, uint32_t>>>
      half;
  for (uint32_t f = 0; f < nf; ++f) {
    uint32_t p[3];
    if (places(f, p))
      for (uint32_t k = 0; k < 3; ++k) half[{runOf[f], p[k], p[(k + 1) % 3]}].push_back({f, k});
  }
  uint32_t matched = 0;
  for (uint32_t f = 0; f < nf; ++f) {
    uint32_t p[3];
    const bool takesPart = places(f, p);
    for (uint32_t k = 0; k < 3; ++k) {
      const uint32_t g = adj[f * 3 + k];
      if (!takesPart) {
        EXPECT_EQ(g, N) << "face " << f;
        continue;
      }
      const auto opp = half.find({runOf[f], p[(k + 1) % 3], p[k]});
      const auto& same = half[{runOf[f], p[k], p[(k + 1) % 3]}];
      if (opp == half.end()) {
        EXPECT_EQ(g, N) << "face " << f << " edge " << k;
        continue;
      }
      if (opp->second.size() == 1 && same.size() == 1) {
        EXPECT_EQ(g, opp->second[0].first) << "face " << f << " edge " << k;
      }
      if (g == N) continue;
      ++matched;
      // g must be one of the faces running the other way, and name f back on that edge.
      bool found = false;
      for (auto [h, c] : opp->second) {
        if (h == g && adj[h * 3 + c] == f) found = true;
      }
      EXPECT_TRUE(found) << "face " << f << " edge " << k << " -> " << g;
    }
  }
  return matched;
}

// Checks that the representatives group exactly the vertices joined, across matched edges, at
// one place (for meshes where every place's faces form one fan).
void CheckRepsGroupFans(const TestMesh& m, const std::vector<uint32_t>& adj,
                        const std::vector<uint32_t>& reps) {
  test::Groups g(m.Vertices());
  for (uint32_t f = 0; f < m.Faces(); ++f) {
    for (uint32_t k = 0; k < 3; ++k) {
      const uint32_t h = adj[f * 3 + k];
      if (h == N) continue;
      for (uint32_t c = 0; c < 3; ++c) {
        if (adj[h * 3 + c] != f) continue;
        g.Join(m.idx[f * 3 + k], m.idx[h * 3 + (c + 1) % 3]);
        g.Join(m.idx[f * 3 + (k + 1) % 3], m.idx[h * 3 + c]);
      }
    }
  }
  std::map<uint32_t, uint32_t> repOfGroup;
  std::map<uint32_t, uint32_t> groupOfRep;
  for (uint32_t v = 0; v < m.Vertices(); ++v) {
    ASSERT_EQ(reps[reps[v]], reps[v]);
    const uint32_t root = g.Find(v);
    auto [it, fresh] = repOfGroup.insert({root, reps[v]});
    EXPECT_EQ(it->second, reps[v]) << "vertex " << v;
    auto [jt, fresh2] = groupOfRep.insert({reps[v], root});
    EXPECT_EQ(jt->second, root) << "vertex " << v;
  }
}

struct Case {
  const char* name;
  TestMesh mesh;
  bool fans;  // every place's faces form one fan
  bool closed;
};

std::vector<Case> Cases() {
  std::mt19937 rng(11);
  std::vector<Case> cases;
  cases.push_back({"grid", test::Grid(9, 7), true, false});
  cases.push_back({"sphere welded", test::Sphere(12, 8, true), true, true});
  cases.push_back({"sphere unwelded", test::Sphere(12, 8, false), true, true});
  Case shuffled{"sphere unwelded shuffled", test::Sphere(10, 9, false), true, true};
  test::ShuffleFaces(shuffled.mesh, rng);
  cases.push_back(shuffled);
  Case grid{"grid shuffled", test::Grid(13, 4), true, false};
  test::ShuffleFaces(grid.mesh, rng);
  cases.push_back(grid);
  for (int i = 0; i < 4; ++i) {
    Case soup{"soup", test::Soup(rng, 150, 4, false), false, false};
    if (i % 2) soup.mesh.runs = {{0, 40}, {40, 70}, {110, 40}};
    cases.push_back(soup);
  }
  return cases;
}

TEST(AdjacencyProperties, BuildPairsSharedEdgesAndRepsGroupFans) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const TestMesh& m = c.mesh;
    std::vector<uint32_t> reps(m.Vertices());
    ASSERT_EQ(PointRepsFromPositions(m.Arrays(), 0.0f, reps.data()), Ok);
    EXPECT_EQ(reps, BruteReps(m, 0.0f));
    std::vector<uint32_t> adj(m.idx.size());
    ASSERT_EQ(BuildAdjacency(m.Arrays(), 0.0f, adj.data()), Ok);
    const uint32_t matched = CheckAdjacency(m, reps, adj);
    if (c.closed) {
      EXPECT_EQ(matched, m.idx.size());
    }
    // The 16-bit form agrees.
    const std::vector<uint16_t> i16 = m.Indices16();
    std::vector<uint32_t> adj16(m.idx.size());
    ASSERT_EQ(BuildAdjacency(m.Arrays<uint16_t>(i16), 0.0f, adj16.data()), Ok);
    EXPECT_EQ(adj16, adj);

    std::vector<uint32_t> back(m.Vertices());
    ASSERT_EQ(PointRepsFromAdjacency(m.Arrays(), adj.data(), back.data()), Ok);
    if (c.fans) CheckRepsGroupFans(m, adj, back);
    for (uint32_t v = 0; v < m.Vertices(); ++v) ASSERT_EQ(back[back[v]], back[v]);
    // Converting back gives the same adjacency on meshes of fans.
    if (c.fans) {
      std::vector<uint32_t> again(m.idx.size());
      ASSERT_EQ(AdjacencyFromPointReps(m.Arrays(), back.data(), again.data()), Ok);
      EXPECT_EQ(again, adj);
    }
  }
}

TEST(AdjacencyProperties, SeamsWeldToTheSameAdjacency) {
  const TestMesh welded = test::Sphere(16, 10, true), open = test::Sphere(16, 10, false);
  std::vector<uint32_t> a(welded.idx.size()), b(open.idx.size()), c(open.idx.size());
  ASSERT_EQ(BuildAdjacency(welded.Arrays(), 0.0f, a.data()), Ok);
  ASSERT_EQ(BuildAdjacency(open.Arrays(), 0.0f, b.data()), Ok);
  ASSERT_EQ(BuildAdjacency(open.Arrays(), 1e-5f, c.data()), Ok);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  // Identity representatives leave the seam and the poles open.
  ASSERT_EQ(AdjacencyFromPointReps(open.Arrays(), nullptr, b.data()), Ok);
  EXPECT_EQ(std::count(b.begin(), b.end(), N), 2 * 8 + 4 * 16);  // 8 seam edges, 2 per pole face
}

TEST(AdjacencyProperties, EpsilonSearchEqualsBruteForce) {
  std::mt19937 rng(3);
  for (int round = 0; round < 8; ++round) {
    TestMesh m = test::Soup(rng, 120, 5, round % 2 == 1);
    // A few NaN and negative-zero coordinates.
    m.xyz[3 * 7] = std::nanf("");
    m.xyz[3 * 9 + 1] = -0.0f;
    for (float eps : {0.0f, 0.004f, 0.02f, 1.5f}) {
      SCOPED_TRACE(testing::Message() << "round " << round << " eps " << eps);
      std::vector<uint32_t> reps(m.Vertices());
      ASSERT_EQ(PointRepsFromPositions(m.Arrays(), eps, reps.data()), Ok);
      EXPECT_EQ(reps, BruteReps(m, eps));
      std::vector<uint32_t> adj(m.idx.size());
      ASSERT_EQ(BuildAdjacency(m.Arrays(), eps, adj.data()), Ok);
      CheckAdjacency(m, reps, adj);
    }
  }
}

TEST(AdjacencyProperties, ArbitraryRepresentativesGiveSymmetricAdjacency) {
  std::mt19937 rng(9);
  for (int round = 0; round < 30; ++round) {
    TestMesh m = test::Soup(rng, 60, 3, false);
    std::vector<uint32_t> reps(m.Vertices());
    for (uint32_t& r : reps) r = rng() % m.Vertices();
    std::vector<uint32_t> adj(m.idx.size());
    ASSERT_EQ(AdjacencyFromPointReps(m.Arrays(), reps.data(), adj.data()), Ok);
    for (uint32_t f = 0; f < m.Faces(); ++f) {
      for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t g = adj[f * 3 + k];
        if (g == N) continue;
        ASSERT_LT(g, m.Faces());
        // As many entries of g name f as entries of f name g.
        EXPECT_EQ(std::count(&adj[g * 3], &adj[g * 3] + 3, f),
                  std::count(&adj[f * 3], &adj[f * 3] + 3, g));
      }
    }
  }
}

}  // namespace
}  // namespace lyr
