// The Mesh's adjacency operations at both index widths, on the reference device.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adjacency_meshes.h"
#include "grid_mesh.h"
#include "lyr/mesh.h"
#include "ref_device.h"

namespace lyr {
namespace {

using test::TestMesh;
constexpr uint32_t N = kNoFace;

// A Mesh holding m's faces and positions (after a normal, so the position is not at offset 0).
Ref<Mesh> ToMesh(GraphicsDevice* device, const TestMesh& m, uint32_t options,
                 ElementType positionType = ElementType::F32x3) {
  const VertexElement decl[] = {
      {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Normal, 0},
      {0, 12, positionType, ElementMethod::Default, ElementUsage::Position, 0},
      kEndElement};
  Mesh* mesh = nullptr;
  EXPECT_EQ(CreateMesh(m.Faces(), m.Vertices(), options, decl, device, &mesh), Ok);
  if (!mesh) return Ref<Mesh>();
  uint8_t* v = nullptr;
  EXPECT_EQ(mesh->LockVertices(0, reinterpret_cast<void**>(&v)), Ok);
  const uint32_t stride = mesh->GetVertexStride();
  for (uint32_t i = 0; i < m.Vertices(); ++i) {
    std::memset(v + i * stride, 0x5A, 12);
    std::memcpy(v + i * stride + 12, &m.xyz[i * 3], 12);
  }
  EXPECT_EQ(mesh->UnlockVertices(), Ok);
  void* ix = nullptr;
  EXPECT_EQ(mesh->LockIndices(0, &ix), Ok);
  for (size_t i = 0; i < m.idx.size(); ++i) {
    if (options & MeshOptions::Index32) {
      static_cast<uint32_t*>(ix)[i] = m.idx[i];
    } else {
      static_cast<uint16_t*>(ix)[i] = uint16_t(m.idx[i]);
    }
  }
  EXPECT_EQ(mesh->UnlockIndices(), Ok);
  return Ref<Mesh>(mesh);
}

TEST(MeshAdjacency, ThreeOperationsAtBothWidths) {
  Ref<GraphicsDevice> device = test::MakeRefDevice();
  Ref<RefDeviceControl> control = test::ControlOf(device.get());
  for (uint32_t options : {0u, MeshOptions::Index32}) {
    SCOPED_TRACE(options);
    const TestMesh sq = test::Square(true);
    Ref<Mesh> mesh = ToMesh(device.get(), sq, options);
    std::vector<uint32_t> adj(6), reps(6);
    ASSERT_EQ(mesh->AdjacencyFromPointReps(nullptr, adj.data()), Ok);
    EXPECT_EQ(adj, std::vector<uint32_t>(6, N));
    ASSERT_EQ(mesh->BuildAdjacency(0.0f, adj.data()), Ok);
    EXPECT_EQ(adj, (std::vector<uint32_t>{N, N, 1, 0, N, N}));
    ASSERT_EQ(mesh->PointRepsFromAdjacency(adj.data(), reps.data()), Ok);
    EXPECT_EQ(reps, (std::vector<uint32_t>{0, 1, 2, 3, 0, 2}));
    ASSERT_EQ(mesh->AdjacencyFromPointReps(reps.data(), adj.data()), Ok);
    EXPECT_EQ(adj, (std::vector<uint32_t>{N, N, 1, 0, N, N}));

    // An attribute table keeps the two faces apart.
    const AttributeRange table[] = {{0, 0, 1, 0, 3}, {1, 1, 1, 3, 3}};
    ASSERT_EQ(mesh->ReplaceAttributeTable(table, 2), Ok);
    ASSERT_EQ(mesh->BuildAdjacency(0.0f, adj.data()), Ok);
    EXPECT_EQ(adj, std::vector<uint32_t>(6, N));
    ASSERT_EQ(mesh->AdjacencyFromPointReps(reps.data(), adj.data()), Ok);
    EXPECT_EQ(adj, std::vector<uint32_t>(6, N));

    // Caller adjacency naming a face beyond the 16-bit range is refused, not truncated to an
    // existing face.
    const std::vector<uint32_t> wide{0x10001, N, 1, N, N, 0};
    EXPECT_EQ(mesh->PointRepsFromAdjacency(wide.data(), reps.data()), ErrInvalidCall);
    EXPECT_EQ(control->OutstandingLocks(), 0u);
    EXPECT_EQ(control->ReadOnlyViolations(), 0u);
  }
}

TEST(MeshAdjacency, MatchesEdgeMatchingOnAShuffledGrid) {
  Ref<GraphicsDevice> device = test::MakeRefDevice();
  const test::TestGrid g = test::ShuffledGrid(12, 9, 1, 4);
  TestMesh m;
  for (uint32_t v = 0; v < g.vertices; ++v) m.AddVertex(float(v % 13), float(v / 13), 0);
  m.idx = g.idx;
  for (uint32_t options : {0u, MeshOptions::Index32}) {
    Ref<Mesh> mesh = ToMesh(device.get(), m, options);
    std::vector<uint32_t> a(g.adj.size()), b(g.adj.size());
    ASSERT_EQ(mesh->BuildAdjacency(0.0f, a.data()), Ok);
    ASSERT_EQ(mesh->AdjacencyFromPointReps(nullptr, b.data()), Ok);
    EXPECT_EQ(a, g.adj);
    EXPECT_EQ(b, g.adj);
  }
}

TEST(MeshAdjacency, RefusalsAndLockFailures) {
  Ref<GraphicsDevice> device = test::MakeRefDevice();
  const TestMesh sq = test::Square(true);
  std::vector<uint32_t> adj(6), reps(6);
  {
    Ref<Mesh> mesh = ToMesh(device.get(), sq, MeshOptions::Index32);
    EXPECT_EQ(mesh->AdjacencyFromPointReps(nullptr, nullptr), ErrInvalidCall);
    EXPECT_EQ(mesh->PointRepsFromAdjacency(nullptr, reps.data()), ErrInvalidCall);
    EXPECT_EQ(mesh->PointRepsFromAdjacency(adj.data(), nullptr), ErrInvalidCall);
    EXPECT_EQ(mesh->BuildAdjacency(0.0f, nullptr), ErrInvalidCall);
  }
  {
    // Without a three-float position only BuildAdjacency is refused.
    Ref<Mesh> mesh = ToMesh(device.get(), sq, MeshOptions::Index32, ElementType::F32x4);
    EXPECT_EQ(mesh->BuildAdjacency(0.0f, adj.data()), ErrInvalidCall);
    EXPECT_EQ(mesh->AdjacencyFromPointReps(nullptr, adj.data()), Ok);
  }
  {
    // A write-only index buffer refuses all three; a write-only vertex buffer only the search.
    Mesh* ib = nullptr;
    const VertexElement decl[] = {
        {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0}, kEndElement};
    ASSERT_EQ(CreateMesh(2, 6, MeshOptions::IndexWriteOnly, decl, device.get(), &ib), Ok);
    Ref<Mesh> hold(ib);
    EXPECT_EQ(ib->AdjacencyFromPointReps(nullptr, adj.data()), ErrInvalidCall);
    EXPECT_EQ(ib->PointRepsFromAdjacency(adj.data(), reps.data()), ErrInvalidCall);
    EXPECT_EQ(ib->BuildAdjacency(0.0f, adj.data()), ErrInvalidCall);
    Mesh* vb = nullptr;
    ASSERT_EQ(CreateMesh(2, 6, MeshOptions::VertexWriteOnly, decl, device.get(), &vb), Ok);
    Ref<Mesh> hold2(vb);
    EXPECT_EQ(vb->BuildAdjacency(0.0f, adj.data()), ErrInvalidCall);
    EXPECT_EQ(vb->PointRepsFromAdjacency(adj.data(), reps.data()), Ok);
  }
  // Each lock the operations take failing in turn: the device's code comes back and nothing
  // stays locked.
  for (int op = 0; op < 3; ++op) {
    for (uint32_t k = 1; k <= (op == 1 ? 1u : 2u); ++k) {
      SCOPED_TRACE(testing::Message() << "op " << op << " lock " << k);
      Ref<GraphicsDevice> probe = test::MakeRefDevice();
      Ref<Mesh> pm = ToMesh(probe.get(), sq, 0);
      const uint32_t setup = test::ControlOf(probe.get())->CallCount(kRefCallLock);
      RefDeviceDesc desc;
      desc.failLock = setup + k;
      Ref<GraphicsDevice> failing = test::MakeRefDevice(desc);
      Ref<Mesh> mesh = ToMesh(failing.get(), sq, 0);
      LyrResult r = Ok;
      if (op == 0) r = mesh->AdjacencyFromPointReps(nullptr, adj.data());
      if (op == 1) r = mesh->PointRepsFromAdjacency(adj.data(), reps.data());
      if (op == 2) r = mesh->BuildAdjacency(0.0f, adj.data());
      EXPECT_EQ(r, desc.failureCode);
      EXPECT_EQ(test::ControlOf(failing.get())->OutstandingLocks(), 0u);
    }
  }
}

}  // namespace
}  // namespace lyr
