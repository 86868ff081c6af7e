// Patch adjacency: rectangle edges by rows and columns with the mirror test of derivative
// elements, N-patch edges through point representatives, and malformed index data.
#include "patch_test_util.h"

namespace lyr::test {
namespace {

constexpr uint32_t N = kNoNeighbour;
using T = ElementType;
using M = ElementMethod;
using U = ElementUsage;

constexpr VertexElement kWithUv[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                     {0, 12, T::F32x2, M::UV, U::TexCoord, 0},
                                     kEndElement};
constexpr VertexElement kWithCrossNormal[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                              {0, 0, T::F32x3, M::CrossUV, U::Normal, 0},
                                              kEndElement};

class PatchAdjacencyTest : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();
};

TEST_F(PatchAdjacencyTest, BilinearPatchesMeetOnSharedRowsAndColumns) {
  // Patch 0 is the unit square (rows y = 0 and y = 1); patch 1 is given by its four corners.
  const std::vector<float> square = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
  struct Case {
    const char* name;
    std::vector<float> second;
    std::vector<uint32_t> ids;
    const VertexElement* decl;
    std::vector<uint32_t> expected;
  };
  const std::vector<float> above = {0, 1, 0, 1, 1, 0, 0, 2, 0, 1, 2, 0};
  const Case cases[] = {
      {"above", above, {0, 0}, kPositionOnly, {N, N, 1, N, 0, N, N, N}},
      {"right",
       {1, 0, 0, 2, 0, 0, 1, 1, 0, 2, 1, 0},
       {0, 0},
       kPositionOnly,
       {N, 1, N, N, N, N, N, 0}},
      {"left",
       {-1, 0, 0, 0, 0, 0, -1, 1, 0, 0, 1, 0},
       {4, 4},
       kPositionOnly,
       {N, N, N, 1, N, 0, N, N}},
      {"below",
       {0, -1, 0, 1, -1, 0, 0, 0, 0, 1, 0, 0},
       {0, 0},
       kPositionOnly,
       {1, N, N, N, N, N, 0, N}},
      {"within 0.0001",
       {0, 1.00005f, 0, 1, 1, 0, 0, 2, 0, 1, 2, 0},
       {0, 0},
       kPositionOnly,
       {N, N, 1, N, 0, N, N, N}},
      {"0.0002 apart",
       {0, 1.0002f, 0, 1, 1, 0, 0, 2, 0, 1, 2, 0},
       {0, 0},
       kPositionOnly,
       {N, N, N, N, N, N, N, N}},
      {"row reversed",
       {1, 1, 0, 0, 1, 0, 1, 2, 0, 0, 2, 0},
       {0, 0},
       kPositionOnly,
       {N, N, N, N, N, N, N, N}},
      {"other attribute id", above, {0, 1}, kPositionOnly, {N, N, N, N, N, N, N, N}},
      {"generated parameters", above, {0, 0}, kWithUv, {N, N, N, N, N, N, N, N}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> positions = square;
    positions.insert(positions.end(), c.second.begin(), c.second.end());
    Ref<PatchMesh> mesh =
        MakePatchMesh(device.get(), {1, 1, 0}, positions, {0, 1, 2, 3, 4, 5, 6, 7}, c.decl);
    SetAttributes(mesh.get(), c.ids);
    ASSERT_EQ(mesh->BuildPatchAdjacency(0.0f), Ok);
    EXPECT_EQ(AdjacencyOf(mesh.get()), c.expected);
  }
}

// Two cubic patches stacked along y, each a 4 x 4 grid with its rows at the given heights.
std::vector<float> StackedGrids(const std::vector<float>& rowsA, const std::vector<float>& rowsB) {
  std::vector<float> out;
  for (const auto* rows : {&rowsA, &rowsB})
    for (float y : *rows)
      for (int x = 0; x < 4; ++x) out.insert(out.end(), {float(x), y, 0});
  return out;
}

TEST_F(PatchAdjacencyTest, CubicEdgesNeedMirroredInnerRowsOnlyForBezierDerivatives) {
  std::vector<uint16_t> indices(32);
  for (uint16_t i = 0; i < 32; ++i) indices[i] = i;
  struct Case {
    const char* name;
    uint32_t basis;
    std::vector<float> rowsB;
    const VertexElement* decl;
    float tolerance;
    bool linked;
  };
  const std::vector<float> rowsA = {0, 1, 2, 3};
  const Case cases[] = {
      {"mirrored", 0, {3, 4, 5, 6}, kWithCrossNormal, 0.0f, true},
      {"kinked", 0, {3, 4.5f, 5, 6}, kWithCrossNormal, 0.1f, false},
      {"kinked within tolerance", 0, {3, 4.5f, 5, 6}, kWithCrossNormal, 1.0f, true},
      {"kinked, no derivative element", 0, {3, 4.5f, 5, 6}, kPositionOnly, 0.0f, true},
      {"B-spline sharing three rows", 1, {1, 2, 3, 7}, kWithCrossNormal, 0.0f, true},
      {"B-spline sharing one row", 1, {3, 4, 5, 6}, kWithCrossNormal, 0.0f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<PatchMesh> mesh =
        MakePatchMesh(device.get(), {1, 3, c.basis}, StackedGrids(rowsA, c.rowsB), indices, c.decl);
    ASSERT_EQ(mesh->BuildPatchAdjacency(c.tolerance), Ok);
    const std::vector<uint32_t> linked = {N, N, 1, N, 0, N, N, N};
    EXPECT_EQ(AdjacencyOf(mesh.get()), c.linked ? linked : std::vector<uint32_t>(8, N));
  }
}

TEST_F(PatchAdjacencyTest, NPatchEdgesPairThroughRepresentatives) {
  struct Case {
    const char* name;
    std::vector<float> positions;
    std::vector<uint16_t> indices;
    float tolerance;
    std::vector<uint32_t> expected;
  };
  // a = (0,0,0), b = (1,0,0), c = (0,1,0), d = (0,-1,0), e = (0,0,1).
  const Case cases[] = {
      {"copies of a shared edge",
       {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, -1, 0},
       {0, 1, 2, 3, 4, 5},
       0.0f,
       {1, N, N, 0, N, N}},
      {"negative zero is another bit pattern",
       {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, -0.0f, 0, 0, 0, -1, 0},
       {0, 1, 2, 3, 4, 5},
       0.0f,
       {N, N, N, N, N, N}},
      {"within the tolerance",
       {0, 0, 0, 1, 0, 0, 0, 1, 0, 1.001f, 0, 0, -0.0f, 0.001f, 0, 0, -1, 0},
       {0, 1, 2, 3, 4, 5},
       0.01f,
       {1, N, N, 0, N, N}},
      {"the closest normal wins",
       {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1},
       {0, 1, 2, 1, 0, 4, 1, 0, 3},
       0.0f,
       {2, N, N, N, N, N, 0, N, N}},
      {"repeated corner",
       {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, -1, 0},
       {0, 1, 1, 1, 0, 3},
       0.0f,
       {N, N, N, N, N, N}},
      {"corners of one triangle stay apart",
       {0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0},
       {0, 1, 2, 4, 3, 5},
       0.0f,
       {N, N, N, N, N, N}},
      {"two vertices", {0, 0, 0, 1, 0, 0}, {0, 1, 1}, 0.0f, {N, N, N}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<PatchMesh> mesh = MakePatchMesh(device.get(), {3, 3, 0}, c.positions, c.indices);
    ASSERT_EQ(mesh->BuildPatchAdjacency(c.tolerance), Ok);
    EXPECT_EQ(AdjacencyOf(mesh.get()), c.expected);
  }
}

TEST_F(PatchAdjacencyTest, TrianglePatchesHaveNoneAndIndicesPastTheVerticesAreRefused) {
  const std::vector<float> positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
  Ref<PatchMesh> tri = MakePatchMesh(device.get(), {2, 1, 0}, positions, {0, 1, 2, 1, 3, 2});
  EXPECT_EQ(tri->BuildPatchAdjacency(0.0f), Ok);
  EXPECT_TRUE(AdjacencyOf(tri.get()).empty());
  struct Case {
    PatchInfo info;
    std::vector<uint16_t> bad, good;
  };
  const Case cases[] = {{{1, 1, 0}, {0, 1, 2, 4}, {0, 1, 2, 3}}, {{3, 1, 0}, {0, 1, 4}, {0, 1, 3}}};
  for (const Case& c : cases) {
    Ref<PatchMesh> mesh = MakePatchMesh(device.get(), c.info, positions, c.good);
    ASSERT_EQ(mesh->BuildPatchAdjacency(0.0f), Ok);
    const std::vector<uint32_t> before = AdjacencyOf(mesh.get());
    void* p = nullptr;
    ASSERT_EQ(mesh->LockIndices(0, &p), Ok);
    std::memcpy(p, c.bad.data(), c.bad.size() * 2);
    mesh->UnlockIndices();
    // The failed build keeps the adjacency it had.
    EXPECT_EQ(mesh->BuildPatchAdjacency(0.0f), ErrInvalidCall);
    EXPECT_EQ(AdjacencyOf(mesh.get()), before);
  }
}

}  // namespace
}  // namespace lyr::test
