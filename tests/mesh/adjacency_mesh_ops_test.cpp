// Adjacency, point representatives and their conversions through the Mesh operations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/object_impl.h"
#include "lyr/mesh.h"
#include "mesh/reference_device.h"

namespace lyr {
namespace {

constexpr uint32_t N = 0xFFFFFFFFu;
namespace MO = MeshOptions;

const VertexElement kPosition[] = {
    {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0}, kEndElement};

struct Built {
  Ref<GraphicsDevice> device;
  Ref<Mesh> mesh;
};

// A Mesh of the given faces and positions (x, y, z per vertex).
Built MakeMesh(const std::vector<uint32_t>& idx, const std::vector<float>& pos,
               uint32_t options = 0) {
  Built b;
  EXPECT_EQ(LoadReferenceDevice({}, b.device.put()), Ok);
  const uint32_t F = static_cast<uint32_t>(idx.size() / 3),
                 V = static_cast<uint32_t>(pos.size() / 3);
  EXPECT_EQ(CreateMesh(F, V, options, kPosition, b.device.get(), b.mesh.put()), Ok);
  void* p = nullptr;
  EXPECT_EQ(b.mesh->LockIndices(0, &p), Ok);
  for (size_t i = 0; i < idx.size(); ++i) {
    if (options & MO::Index32)
      static_cast<uint32_t*>(p)[i] = idx[i];
    else
      static_cast<uint16_t*>(p)[i] = static_cast<uint16_t>(idx[i]);
  }
  b.mesh->UnlockIndices();
  EXPECT_EQ(b.mesh->LockVertices(0, &p), Ok);
  std::memcpy(p, pos.data(), pos.size() * 4);
  b.mesh->UnlockVertices();
  return b;
}

std::vector<uint32_t> Adjacency(Mesh* m, const uint32_t* reps) {
  std::vector<uint32_t> adj(m->GetFaceCount() * 3, 7);
  EXPECT_EQ(m->AdjacencyFromPointReps(reps, adj.data()), Ok);
  return adj;
}

TEST(MeshAdjacency, SharedEdgeNeighboursBothWaysAndOnlyThere) {
  for (uint32_t options : {0u, MO::Index32}) {
    Built b = MakeMesh({0, 1, 2, 2, 1, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0}, options);
    EXPECT_EQ(Adjacency(b.mesh.get(), nullptr), (std::vector<uint32_t>{N, 1, N, 0, N, N}));
  }
}

TEST(MeshAdjacency, DuplicatedVerticesJoinOnlyThroughPositions) {
  // Face 1 uses copies 4 and 5 of vertices 2 and 1.
  Built b = MakeMesh({0, 1, 2, 4, 5, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  EXPECT_EQ(Adjacency(b.mesh.get(), nullptr), (std::vector<uint32_t>{N, N, N, N, N, N}));
  std::vector<uint32_t> adj(6);
  ASSERT_EQ(b.mesh->BuildAdjacency(0.0f, adj.data()), Ok);
  EXPECT_EQ(adj, (std::vector<uint32_t>{N, 1, N, 0, N, N}));
  ASSERT_EQ(b.mesh->BuildAdjacency(0.01f, adj.data()), Ok);
  EXPECT_EQ(adj, (std::vector<uint32_t>{N, 1, N, 0, N, N}));
  // Representatives from that adjacency: the copies stand for the originals.
  std::vector<uint32_t> reps(6);
  ASSERT_EQ(b.mesh->PointRepsFromAdjacency(adj.data(), reps.data()), Ok);
  EXPECT_EQ(reps, (std::vector<uint32_t>{0, 1, 2, 3, 2, 1}));
  // Within a small epsilon only: a copy moved away stays apart.
  Built far =
      MakeMesh({0, 1, 2, 4, 5, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1.5f, 0, 1, 0, 0});
  ASSERT_EQ(far.mesh->BuildAdjacency(0.1f, adj.data()), Ok);
  EXPECT_EQ(adj, (std::vector<uint32_t>{N, N, N, N, N, N}));
}

TEST(MeshAdjacency, ThreeFacesOnOneEdgePairTheBestAgreeingNormals) {
  // Edge 0-1 carries face 0 (in the z = 0 plane, normal +z), face 1 folded steeply and face 2
  // nearly flat across from face 0: faces 0 and 2 pair up.
  Built b = MakeMesh({0, 1, 2, 1, 0, 3, 1, 0, 4},
                     {0, 0, 0, 1, 0, 0, 0.5f, 1, 0, 0.5f, -0.1f, 1, 0.5f, -1, 0.1f});
  const std::vector<uint32_t> adj = Adjacency(b.mesh.get(), nullptr);
  EXPECT_EQ(adj[0], 2u);
  EXPECT_EQ(adj[6], 0u);
  EXPECT_EQ(adj[3], N);
}

TEST(MeshAdjacency, DegenerateFacesAndOtherRangesAreNoNeighbours) {
  Built b = MakeMesh({0, 1, 2, 2, 1, 2, 2, 1, 3}, {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0});
  EXPECT_EQ(Adjacency(b.mesh.get(), nullptr), (std::vector<uint32_t>{N, 2, N, N, N, N, 0, N, N}));
  const AttributeRange table[] = {{0, 0, 2, 0, 4}, {1, 2, 1, 0, 4}};
  ASSERT_EQ(b.mesh->ReplaceAttributeTable(table, 2), Ok);
  EXPECT_EQ(Adjacency(b.mesh.get(), nullptr), (std::vector<uint32_t>(9, N)));
}

TEST(MeshAdjacency, ClosedFanGivesTheCentreOneRepresentative) {
  // Six faces around the centre, each with its own copy of the centre vertex (0..5) and ring
  // vertices 6..11.
  std::vector<uint32_t> idx;
  std::vector<float> pos(36, 0);
  for (uint32_t i = 0; i < 6; ++i) {
    idx.insert(idx.end(), {i, 6 + i, 6 + (i + 1) % 6});
    pos[3 * (6 + i)] = std::cos(i * 1.0471976f);
    pos[3 * (6 + i) + 1] = std::sin(i * 1.0471976f);
  }
  Built b = MakeMesh(idx, pos);
  std::vector<uint32_t> adj(18), reps(12);
  ASSERT_EQ(b.mesh->BuildAdjacency(0.0f, adj.data()), Ok);
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(adj[3 * i], (i + 5) % 6);
    EXPECT_EQ(adj[3 * i + 2], (i + 1) % 6);
  }
  ASSERT_EQ(b.mesh->PointRepsFromAdjacency(adj.data(), reps.data()), Ok);
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(reps[i], 0u);
  for (uint32_t i = 6; i < 12; ++i) EXPECT_EQ(reps[i], i);
}

TEST(MeshAdjacency, LoopsAndBadArgumentsAreRefused) {
  Built b = MakeMesh({0, 1, 2, 3, 4, 5, 6, 7, 8}, std::vector<float>(27, 0));
  // Faces 1 and 2 point at each other forever without coming back to face 0.
  const std::vector<uint32_t> loop = {1, N, N, 0, 2, 2, 1, 1, N};
  std::vector<uint32_t> reps(9), adj(9);
  EXPECT_EQ(b.mesh->PointRepsFromAdjacency(loop.data(), reps.data()), ErrAdjacencyWalkTooLong);
  const std::vector<uint32_t> outside = {3, N, N, N, N, N, N, N, N};
  EXPECT_EQ(b.mesh->PointRepsFromAdjacency(outside.data(), reps.data()), ErrInvalidCall);
  EXPECT_EQ(b.mesh->PointRepsFromAdjacency(nullptr, reps.data()), ErrInvalidCall);
  EXPECT_EQ(b.mesh->AdjacencyFromPointReps(nullptr, nullptr), ErrInvalidCall);
  const std::vector<uint32_t> badReps = {0, 1, 2, 3, 4, 5, 6, 7, 9};
  EXPECT_EQ(b.mesh->AdjacencyFromPointReps(badReps.data(), adj.data()), ErrInvalidCall);
  EXPECT_EQ(b.mesh->BuildAdjacency(0, nullptr), ErrInvalidCall);
  Built w = MakeMesh({0, 1, 2}, std::vector<float>(9, 0), MO::IndexWriteOnly);
  EXPECT_EQ(w.mesh->AdjacencyFromPointReps(nullptr, adj.data()), ErrInvalidCall);
  EXPECT_EQ(w.mesh->BuildAdjacency(0, adj.data()), ErrInvalidCall);
  // An index past the vertices is refused instead of read.
  Built bad = MakeMesh({0, 1, 2}, std::vector<float>(9, 0));
  void* p = nullptr;
  ASSERT_EQ(bad.mesh->LockIndices(0, &p), Ok);
  static_cast<uint16_t*>(p)[2] = 3;
  bad.mesh->UnlockIndices();
  EXPECT_EQ(bad.mesh->BuildAdjacency(0, adj.data()), ErrInvalidCall);
}

}  // namespace
}  // namespace lyr
