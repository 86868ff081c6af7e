// Face adjacency, point representatives and the vertex walk on hand-made meshes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "adjacency_meshes.h"
#include "fault_injection.h"
#include "mesh/adjacency.h"

namespace lyr {
namespace {

using test::TestMesh;
constexpr uint32_t N = kNoFace;

std::vector<uint32_t> Adjacency(const TestMesh& m, const uint32_t* reps = nullptr) {
  std::vector<uint32_t> adj(m.idx.size(), 7);
  EXPECT_EQ(AdjacencyFromPointReps(m.Arrays(), reps, adj.data()), Ok);
  return adj;
}

std::vector<uint32_t> Build(const TestMesh& m, float eps) {
  std::vector<uint32_t> adj(m.idx.size(), 7);
  EXPECT_EQ(BuildAdjacency(m.Arrays(), eps, adj.data()), Ok);
  return adj;
}

std::vector<uint32_t> RepsFrom(const TestMesh& m, const std::vector<uint32_t>& adj) {
  std::vector<uint32_t> reps(m.Vertices(), 7);
  EXPECT_EQ(PointRepsFromAdjacency(m.Arrays(), adj.data(), reps.data()), Ok);
  return reps;
}

TEST(Adjacency, SharedEdgeAndDuplicatedVertices) {
  const TestMesh shared = test::Square(false);
  EXPECT_EQ(Adjacency(shared), (std::vector<uint32_t>{N, N, 1, 0, N, N}));
  EXPECT_EQ(Build(shared, 0.0f), Adjacency(shared));

  // Through duplicated vertices: joined only once positions are compared.
  const TestMesh dup = test::Square(true);
  EXPECT_EQ(Adjacency(dup), std::vector<uint32_t>(6, N));
  EXPECT_EQ(Build(dup, 0.0f), (std::vector<uint32_t>{N, N, 1, 0, N, N}));
  EXPECT_EQ(Build(dup, 1e-3f), (std::vector<uint32_t>{N, N, 1, 0, N, N}));
  // -0 and +0 are the same place.
  TestMesh neg = dup;
  neg.xyz[4 * 3 + 0] = -0.0f;
  EXPECT_EQ(Build(neg, 0.0f), (std::vector<uint32_t>{N, N, 1, 0, N, N}));
  // Just outside epsilon, or moved by one ulp with epsilon 0: not joined.
  TestMesh apart = dup;
  apart.xyz[5 * 3 + 1] = 1.002f;
  EXPECT_EQ(Build(apart, 1e-3f), std::vector<uint32_t>(6, N));
  EXPECT_EQ(Build(apart, 0.0f), std::vector<uint32_t>(6, N));

  // The representatives of the result group the duplicates.
  const std::vector<uint32_t> reps = RepsFrom(dup, Build(dup, 0.0f));
  EXPECT_EQ(reps, (std::vector<uint32_t>{0, 1, 2, 3, 0, 2}));
  // 16-bit indices give the same.
  const std::vector<uint16_t> i16 = dup.Indices16();
  std::vector<uint32_t> adj16(6);
  ASSERT_EQ(BuildAdjacency(dup.Arrays<uint16_t>(i16), 0.0f, adj16.data()), Ok);
  EXPECT_EQ(adj16, Build(dup, 0.0f));
}

TEST(Adjacency, BestAgreeingNormalAmongSeveral) {
  // Edge 0-1 carries face 0 (in the z = 0 plane) and, running the other way, face 1 (standing
  // upright) and face 2 (nearly in the plane). Face 2 agrees best and is matched; face 1 is left
  // open on that edge whichever order the candidates come in.
  for (bool swap : {false, true}) {
    TestMesh m;
    m.AddVertex(0, 0, 0);
    m.AddVertex(1, 0, 0);
    m.AddVertex(0.5f, 1, 0);
    m.AddVertex(0.5f, 0, 1);       // upright
    m.AddVertex(0.5f, -1, 0.05f);  // nearly flat
    m.AddFace(0, 1, 2);
    m.AddFace(1, 0, swap ? 4 : 3);
    m.AddFace(1, 0, swap ? 3 : 4);
    const uint32_t flat = swap ? 1 : 2, upright = swap ? 2 : 1;
    const std::vector<uint32_t> adj = Adjacency(m);
    EXPECT_EQ(adj[0], flat);
    EXPECT_EQ(adj[flat * 3], 0u);
    EXPECT_EQ(adj[upright * 3], N);
  }
  // Candidates that agree equally (all in the plane): the earliest face is matched.
  TestMesh t;
  t.AddVertex(0, 0, 0);
  t.AddVertex(1, 0, 0);
  t.AddFace(0, 1, t.AddVertex(0.5f, 1, 0));
  for (float x : {0.2f, 0.5f, 0.8f}) t.AddFace(1, 0, t.AddVertex(x, -1, 0));
  const std::vector<uint32_t> adj = Adjacency(t);
  EXPECT_EQ(adj[0], 1u);
  EXPECT_EQ(adj[3], 0u);
  EXPECT_EQ(adj[6], N);
  EXPECT_EQ(adj[9], N);
}

TEST(Adjacency, DegenerateAndUnusedFacesStayAlone) {
  TestMesh m = test::Square(false);
  m.AddFace(0, 2, 2);               // repeats an index
  m.AddFace(2, 0, 1);               // face 0 again: loses the shared edge to it
  m.AddFace(0xFFFFFFFFu, 7, 1234);  // unused: the other indices are never read
  std::vector<uint32_t> adj = Adjacency(m);
  EXPECT_EQ(std::vector<uint32_t>(adj.begin(), adj.begin() + 6),
            (std::vector<uint32_t>{N, N, 1, 0, N, N}));
  for (uint32_t i = 6; i < adj.size(); ++i) EXPECT_EQ(adj[i], N) << i;

  // Degenerate through the representatives: vertex 3 stands at vertex 2's place, so face 1
  // (0, 2, 3) has two corners at one place.
  const TestMesh sq = test::Square(false);
  const std::vector<uint32_t> reps{0, 1, 2, 2};
  EXPECT_EQ(Adjacency(sq, reps.data()), std::vector<uint32_t>(6, N));
}

TEST(Adjacency, MalformedInputIsRefused) {
  // A used face naming a vertex that does not exist, a representative that does not exist, a run
  // past the faces: ErrInvalidCall from every operation that reads them.
  TestMesh bad = test::Square(false);
  bad.AddFace(2, 0, 4);
  std::vector<uint32_t> out(bad.idx.size()), reps(bad.Vertices());
  const std::vector<uint32_t> none(bad.idx.size(), N);
  EXPECT_EQ(AdjacencyFromPointReps(bad.Arrays(), nullptr, out.data()), ErrInvalidCall);
  EXPECT_EQ(BuildAdjacency(bad.Arrays(), 0.0f, out.data()), ErrInvalidCall);
  EXPECT_EQ(PointRepsFromAdjacency(bad.Arrays(), none.data(), reps.data()), ErrInvalidCall);

  const TestMesh sq = test::Square(false);
  const std::vector<uint32_t> wild{0, 1, 4, 3};
  EXPECT_EQ(AdjacencyFromPointReps(sq.Arrays(), wild.data(), out.data()), ErrInvalidCall);
  for (std::vector<FaceRun> runs :
       {std::vector<FaceRun>{{1, 2}}, {{0, 1}, {3, 0}}, {{1, 0xFFFFFFFFu}}}) {
    TestMesh r = sq;
    r.runs = runs;
    EXPECT_EQ(AdjacencyFromPointReps(r.Arrays(), nullptr, out.data()), ErrInvalidCall);
    EXPECT_EQ(BuildAdjacency(r.Arrays(), 0.5f, out.data()), ErrInvalidCall);
  }
  // Adjacency naming a face that does not exist; 0xFFFF is none only with 16-bit indices.
  for (uint32_t entry : {2u, 0xFFFFu, 0x7FFFFFFFu}) {
    std::vector<uint32_t> adj{N, N, 1, 0, N, entry};
    EXPECT_EQ(PointRepsFromAdjacency(sq.Arrays(), adj.data(), reps.data()), ErrInvalidCall);
    const std::vector<uint16_t> i16 = sq.Indices16();
    EXPECT_EQ(PointRepsFromAdjacency(sq.Arrays<uint16_t>(i16), adj.data(), reps.data()),
              entry == 0xFFFFu ? Ok : ErrInvalidCall);
  }
}

TEST(Adjacency, RunsAreNeverJoined) {
  TestMesh m = test::Square(false);
  m.runs = {{0, 1}, {1, 1}};
  EXPECT_EQ(Adjacency(m), std::vector<uint32_t>(6, N));
  EXPECT_EQ(Build(m, 0.0f), std::vector<uint32_t>(6, N));
  m.runs = {{0, 2}};
  EXPECT_EQ(Adjacency(m), (std::vector<uint32_t>{N, N, 1, 0, N, N}));
  // A face outside every run is left alone.
  m.runs = {{1, 1}};
  EXPECT_EQ(Adjacency(m), std::vector<uint32_t>(6, N));

  // Point representatives follow the adjacency within each run only.
  TestMesh dup = test::Square(true);
  dup.runs = {{0, 1}, {1, 1}};
  EXPECT_EQ(RepsFrom(dup, Build(dup, 0.0f)), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
}

// A fan of n triangles around a centre, each with its own copy of the centre; closed or open.
TestMesh Fan(uint32_t n, bool closed) {
  TestMesh m;
  const uint32_t rim = closed ? n : n + 1;
  for (uint32_t i = 0; i < rim; ++i) {
    const float a = 6.2831853f * float(i) / float(closed ? n : n + 2);
    m.AddVertex(std::cos(a), std::sin(a), 0);
  }
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t c = m.AddVertex(0, 0, 0.5f);
    m.AddFace(c, i, (i + 1) % rim);
  }
  return m;
}

TEST(PointReps, FanAroundOneVertex) {
  for (bool closed : {true, false}) {
    const TestMesh m = Fan(12, closed);
    const uint32_t rim = closed ? 12 : 13;
    for (float eps : {0.0f, 1e-4f}) {
      const std::vector<uint32_t> adj = Build(m, eps);
      for (uint32_t f = 0; f < 12; ++f) {
        EXPECT_EQ(adj[f * 3 + 0], (closed || f > 0) ? (f + 11) % 12 : N);
        EXPECT_EQ(adj[f * 3 + 2], (closed || f < 11) ? (f + 1) % 12 : N);
      }
      const std::vector<uint32_t> reps = RepsFrom(m, adj);
      for (uint32_t v = 0; v < rim; ++v) EXPECT_EQ(reps[v], v);
      for (uint32_t v = rim; v < m.Vertices(); ++v) EXPECT_EQ(reps[v], rim) << closed << v;
    }
  }
}

TEST(VertexWalk, ModesDirectionsAndTurn) {
  const TestMesh m = Fan(5, false);  // faces 0..4, centre copies 6..10, open at both ends
  // Give every face the same centre so the walk can be checked by corners.
  TestMesh one = m;
  for (uint32_t f = 0; f < 5; ++f) one.idx[f * 3] = 6;
  const std::vector<uint32_t> adj = Adjacency(one);
  VertexWalk<uint32_t, uint32_t> w(one.idx.data(), adj.data(), 5);
  auto run = [&](uint32_t face, int mode) {
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    w.Start(face, 6, mode);
    do {
      const uint32_t f = w.Step();
      seen.push_back({f, w.VertexCorner()});
    } while (!w.Finished() && seen.size() < 20);
    return seen;
  };
  using V = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(run(2, 1), (V{{2, 0}, {1, 0}, {0, 0}}));
  EXPECT_EQ(run(2, 2), (V{{2, 0}, {3, 0}, {4, 0}}));
  EXPECT_EQ(run(2, 0), (V{{2, 0}, {1, 0}, {0, 0}, {3, 0}, {4, 0}}));
  EXPECT_EQ(run(4, 0), (V{{4, 0}, {3, 0}, {2, 0}, {1, 0}, {0, 0}}));
  EXPECT_EQ(run(0, 0), (V{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}));
  // 16-bit adjacency with 0xFFFF for none.
  std::vector<uint16_t> adj16(adj.begin(), adj.end());
  VertexWalk<uint32_t, uint16_t> w16(one.idx.data(), adj16.data(), 5);
  w16.Start(2, 6, 0);
  uint32_t steps = 0;
  while (true) {
    w16.Step();
    ++steps;
    if (w16.Finished()) break;
  }
  EXPECT_EQ(steps, 5u);

  // A closed fan returns to the start face: each face once.
  const TestMesh closed = Fan(7, true);
  TestMesh c1 = closed;
  for (uint32_t f = 0; f < 7; ++f) c1.idx[f * 3] = 7;
  const std::vector<uint32_t> cadj = Adjacency(c1);
  VertexWalk<uint32_t, uint32_t> cw(c1.idx.data(), cadj.data(), 7);
  cw.Start(3, 7, 0);
  std::vector<uint32_t> faces;
  do faces.push_back(cw.Step());
  while (!cw.Finished());
  EXPECT_EQ(faces, (std::vector<uint32_t>{3, 2, 1, 0, 6, 5, 4}));
}

TEST(PointReps, WalkLimit) {
  // A closed fan of exactly the step limit is fine; one more face is too long.
  for (uint32_t n : {kMaxVertexWalkSteps, kMaxVertexWalkSteps + 1}) {
    TestMesh m = Fan(n, true);
    for (uint32_t f = 0; f < n; ++f) m.idx[f * 3] = n;
    const std::vector<uint32_t> adj = Adjacency(m);
    std::vector<uint32_t> reps(m.Vertices());
    EXPECT_EQ(PointRepsFromAdjacency(m.Arrays(), adj.data(), reps.data()),
              n == kMaxVertexWalkSteps ? Ok : ErrAdjacencyWalkTooLong);
  }
}

TEST(PointReps, UntrustedAdjacency) {
  // Four faces around one place, each with its own copy (5..8) of the centre.
  TestMesh m;
  for (int i = 0; i < 5; ++i) m.AddVertex(float(i), float(i * i), 0);
  for (uint32_t f = 0; f < 4; ++f) m.AddVertex(0, -1, 0);
  for (uint32_t f = 0; f < 4; ++f) m.AddFace(5 + f, f, f + 1);
  std::vector<uint32_t> reps(9);
  EXPECT_EQ(RepsFrom(m, Build(m, 0.0f)), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 5, 5, 5}));

  // Entries naming faces that do not name this face back are boundaries.
  std::vector<uint32_t> adj{3, 2, 1, 2, N, N, 3, N, N, N, N, 1};
  ASSERT_EQ(PointRepsFromAdjacency(m.Arrays(), adj.data(), reps.data()), Ok);
  for (uint32_t v = 0; v < 9; ++v) EXPECT_EQ(reps[v], v);

  // Faces 1 and 2 name each other across several edges: the walk from face 0 circles between
  // them without coming back and is stopped.
  std::vector<uint32_t> loop{1, N, N, 2, 2, 0, 1, 1, 1, N, N, N};
  EXPECT_EQ(PointRepsFromAdjacency(m.Arrays(), loop.data(), reps.data()), ErrAdjacencyWalkTooLong);

  // Random garbage never reads outside the arrays, and every representative stands for itself.
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    TestMesh s = test::Soup(rng, 40, 4, false);
    std::vector<uint32_t> junk(s.idx.size());
    for (uint32_t& a : junk) a = rng() % 8 == 0 ? N : (rng() % 40);
    std::vector<uint32_t> r(s.Vertices());
    const LyrResult res = PointRepsFromAdjacency(s.Arrays(), junk.data(), r.data());
    ASSERT_TRUE(res == Ok || res == ErrAdjacencyWalkTooLong);
    if (res != Ok) continue;
    for (uint32_t v = 0; v < s.Vertices(); ++v) ASSERT_EQ(r[r[v]], r[v]);
  }
}

TEST(PointReps, TwoFacesOverSeveralEdges) {
  // Two faces back to back share all three edges; the walk must leave each face across the
  // right one.
  TestMesh m;
  m.AddVertex(0, 0, 0);
  m.AddVertex(1, 0, 0);
  m.AddVertex(0, 1, 0);
  m.AddFace(0, 1, 2);
  m.AddFace(0, 2, 1);
  const std::vector<uint32_t> adj = Adjacency(m);
  EXPECT_EQ(adj, (std::vector<uint32_t>{1, 1, 1, 0, 0, 0}));
  EXPECT_EQ(RepsFrom(m, adj), (std::vector<uint32_t>{0, 1, 2}));
}

TEST(Adjacency, ArgumentsAndAllocationFailures) {
  const TestMesh m = test::Square(true);
  std::vector<uint32_t> out(6), reps(6);
  MeshArrays<uint32_t> noPositions = m.Arrays();
  noPositions.positions = nullptr;
  EXPECT_EQ(BuildAdjacency(noPositions, 0.0f, out.data()), ErrInvalidCall);
  EXPECT_EQ(BuildAdjacency(m.Arrays(), 0.0f, nullptr), ErrInvalidCall);
  EXPECT_EQ(AdjacencyFromPointReps(m.Arrays(), nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(PointRepsFromAdjacency(m.Arrays(), nullptr, reps.data()), ErrInvalidCall);

  for (float eps : {0.0f, 0.5f}) {
    test::ForEachAllocationFailure([&] { return BuildAdjacency(m.Arrays(), eps, out.data()); },
                                   [](LyrResult) {});
  }
}

}  // namespace
}  // namespace lyr
