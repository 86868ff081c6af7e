// The teapot's 32 bicubic Bézier patches written as a PatchMesh9 file, loaded, and their
// adjacency compared with the seams the control points imply.
#include <cmath>
#include <fstream>
#include <set>

#include "patch_test_util.h"

namespace lyr::test {
namespace {

struct Teapot {
  std::vector<float> positions;
  std::vector<std::vector<uint32_t>> patches;
};

Teapot ReadTeapot() {
  Teapot t;
  std::ifstream in(std::string(LYR_SHARED_DATA_DIR) + "/patches/teapot_32patches.txt");
  std::string word;
  while (in >> word) {
    if (word == "patches") {
      size_t n = 0;
      in >> n;
      t.patches.assign(n, std::vector<uint32_t>(16));
      for (auto& p : t.patches)
        for (uint32_t& i : p) in >> i;
    } else if (word == "vertices") {
      size_t n = 0;
      in >> n;
      t.positions.resize(n * 3);
      for (float& f : t.positions) in >> f;
    } else {
      std::getline(in, word);  // a comment line
    }
  }
  return t;
}

// The neighbour of every patch edge that the data implies: edge 0 (first row) of t meets edge 2
// (last row) of u when their control points coincide in the same order, edge 1 (last column)
// meets edge 3 (first column) likewise; with the derivative normal in the layout, the points next
// to the edge must mirror each other within `tolerance`. Computed in double precision.
std::vector<uint32_t> ImpliedAdjacency(const Teapot& t, double tolerance) {
  const size_t n = t.patches.size();
  auto at = [&](size_t p, int row, int column) { return t.patches[p][row * 4 + column]; };
  auto coord = [&](uint32_t v, int k) { return double(t.positions[v * 3 + k]); };
  auto same = [&](uint32_t a, uint32_t b) {
    for (int k = 0; k < 3; ++k)
      if (std::fabs(coord(a, k) - coord(b, k)) > 1e-4) return false;
    return true;
  };
  auto mirrored = [&](uint32_t e, uint32_t a, uint32_t b) {
    for (int k = 0; k < 3; ++k)
      if (std::fabs(2 * coord(e, k) - coord(a, k) - coord(b, k)) > tolerance) return false;
    return true;
  };
  std::vector<uint32_t> adj(n * 4, kNoNeighbour);
  auto link = [&](size_t a, int ea, size_t b, int eb) {
    EXPECT_EQ(adj[a * 4 + ea], kNoNeighbour) << "edge " << a << "." << ea << " has two partners";
    EXPECT_EQ(adj[b * 4 + eb], kNoNeighbour) << "edge " << b << "." << eb << " has two partners";
    adj[a * 4 + ea] = static_cast<uint32_t>(b);
    adj[b * 4 + eb] = static_cast<uint32_t>(a);
  };
  for (size_t a = 0; a < n; ++a) {
    for (size_t b = 0; b < n; ++b) {
      bool rows = true, columns = true;
      for (int i = 0; i < 4; ++i) {
        rows = rows && same(at(a, 0, i), at(b, 3, i)) &&
               mirrored(at(a, 0, i), at(a, 1, i), at(b, 2, i));
        columns = columns && same(at(a, i, 3), at(b, i, 0)) &&
                  mirrored(at(a, i, 3), at(a, i, 2), at(b, i, 1));
      }
      if (rows) link(a, 0, b, 2);
      if (columns) link(a, 1, b, 3);
    }
  }
  return adj;
}

class TeapotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    teapot = ReadTeapot();
    ASSERT_EQ(teapot.patches.size(), 32u);
    ASSERT_EQ(teapot.positions.size(), 290u * 3);
    const std::string path = ::testing::TempDir() + "teapot_patches.vkf";
    std::ofstream(path, std::ios::binary) << PatchText(&kInfo, teapot.positions, teapot.patches);
    Ref<VekFile> file;
    ASSERT_EQ(vekio::CreateVekFileWithTemplates(file.put()), Ok);
    Ref<VekEnumeration> e;
    ASSERT_EQ(file->OpenEnumeration(path.c_str(), kVekSourceFile, e.put()), Ok);
    Ref<VekDataObject> object;
    ASSERT_EQ(e->NextTopLevelObject(object.put()), Ok);
    ASSERT_EQ(LoadObject(device.get(), object.get(), &loaded), Ok);
    ASSERT_EQ(loaded.meshCount, 1u);
    mesh = loaded.meshes[0];
  }

  static constexpr PatchInfo kInfo{kPatchRectangle, kPatchCubic, kPatchBezier};
  Ref<GraphicsDevice> device = MakeRefDevice();
  Teapot teapot;
  LoadedPatches loaded;
  PatchMesh* mesh = nullptr;
};

TEST_F(TeapotTest, LoadsEveryPatchInFileOrder) {
  EXPECT_EQ(mesh->GetPatchCount(), 32u);
  EXPECT_EQ(mesh->GetVertexCount(), 290u);
  const std::vector<uint16_t> indices = IndicesOf(mesh);
  for (size_t p = 0; p < 32; ++p)
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(indices[p * 16 + i], teapot.patches[p][i]);
}

TEST_F(TeapotTest, AdjacencyFindsEachSeamTheControlPointsImplyExactlyOnce) {
  // Mirror tolerances: tight (creases at the rim and at the spout's joint stay open) and loose
  // (every coinciding edge is a seam).
  for (float tolerance : {1e-3f, 1e6f}) {
    SCOPED_TRACE(tolerance);
    ASSERT_EQ(mesh->BuildPatchAdjacency(tolerance), Ok);
    const std::vector<uint32_t> adj = AdjacencyOf(mesh);
    ASSERT_EQ(adj.size(), 32u * 4);
    EXPECT_EQ(adj, ImpliedAdjacency(teapot, tolerance));
    // Every link is mutual across opposite edges, so each inner edge is counted once.
    std::set<std::pair<uint32_t, uint32_t>> seams;
    for (uint32_t p = 0; p < 32; ++p) {
      for (uint32_t e = 0; e < 4; ++e) {
        const uint32_t q = adj[p * 4 + e];
        if (q == kNoNeighbour) continue;
        EXPECT_EQ(adj[q * 4 + (e + 2) % 4], p) << p << "." << e;
        seams.insert(
            {std::min(p * 4 + e, q * 4 + (e + 2) % 4), std::max(p * 4 + e, q * 4 + (e + 2) % 4)});
      }
    }
    const bool loose = tolerance > 1.0f;
    EXPECT_EQ(seams.size(), loose ? 48u : 42u);
    for (uint32_t k = 0; k < 4; ++k) {
      const uint32_t next = (k + 1) % 4;
      // Rings: rim, upper and lower body, lid knob and lid, and bottom close around.
      for (uint32_t ring : {0u, 4u, 8u, 20u, 24u, 28u})
        EXPECT_EQ(adj[(ring + k) * 4 + 1], ring + next);
      // Body: upper meets lower smoothly; the rim meets the upper body only across a crease.
      EXPECT_EQ(adj[(8 + k) * 4 + 0], 4 + k);
      EXPECT_EQ(adj[(4 + k) * 4 + 0], loose ? k : kNoNeighbour);
      // The lid: its knob meets its rim; the lid never touches the body.
      EXPECT_EQ(adj[(24 + k) * 4 + 0], 20 + k);
      EXPECT_EQ(adj[(24 + k) * 4 + 2], kNoNeighbour);
      EXPECT_EQ(adj[k * 4 + 0], kNoNeighbour);
      // The collapsed edges at the lid's top and the bottom's centre meet nothing.
      EXPECT_EQ(adj[(20 + k) * 4 + 0], kNoNeighbour);
      EXPECT_EQ(adj[(28 + k) * 4 + 0], kNoNeighbour);
      // The bottom runs its last row against the body's in the opposite direction: no seam.
      EXPECT_EQ(adj[(28 + k) * 4 + 2], kNoNeighbour);
      EXPECT_EQ(adj[(8 + k) * 4 + 2], kNoNeighbour);
    }
  }
}

}  // namespace
}  // namespace lyr::test
