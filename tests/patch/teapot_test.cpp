// The teapot's 32 bicubic Bézier patches written as a PatchMesh9 file, loaded, and their
// adjacency compared with the seams the control points imply.
#include <cmath>
#include <set>

#include "patch_test_util.h"

namespace lyr::test {
namespace {

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
    // One file per test: CTest runs this fixture's tests side by side.
    const std::string path = ::testing::TempDir() + "teapot_patches_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".vkf";
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

namespace lyr::test {
namespace {

// The teapot's patch p at (u, v) (u across a row, v down the rows), its position and the
// unit cross product of its derivatives, evaluated straight from the Bernstein polynomials.
void Evaluate(const Teapot& t, size_t p, double u, double v, double* x, double* n) {
  auto bern = [](double s, double* b, double* db) {
    const double r = 1 - s;
    b[0] = r * r * r, b[1] = 3 * s * r * r, b[2] = 3 * s * s * r, b[3] = s * s * s;
    db[0] = -3 * r * r, db[1] = 3 * r * r - 6 * s * r, db[2] = 6 * s * r - 3 * s * s;
    db[3] = 3 * s * s;
  };
  double bu[4], dbu[4], bv[4], dbv[4], du[3] = {}, dv[3] = {};
  bern(u, bu, dbu);
  bern(v, bv, dbv);
  for (int k = 0; k < 3; ++k) x[k] = 0;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      for (int k = 0; k < 3; ++k) {
        const double q = t.positions[t.patches[p][r * 4 + c] * 3 + k];
        x[k] += bu[c] * bv[r] * q;
        du[k] += dbu[c] * bv[r] * q;
        dv[k] += bu[c] * dbv[r] * q;
      }
  n[0] = du[1] * dv[2] - du[2] * dv[1];
  n[1] = du[2] * dv[0] - du[0] * dv[2];
  n[2] = du[0] * dv[1] - du[1] * dv[0];
  const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  for (int k = 0; k < 3; ++k) n[k] = len > 1e-5 ? n[k] / len : 0;
}

// Each patch's faces, for a tessellation that wrote `perPatch` faces for every patch.
std::vector<uint32_t> PatchOfFace(size_t faces, size_t perPatch) {
  std::vector<uint32_t> g(faces);
  for (size_t f = 0; f < faces; ++f) g[f] = uint32_t(f / perPatch);
  return g;
}

TEST_F(TeapotTest, UniformTessellationFollowsTheSurfaceWithoutCracks) {
  for (float level : {1.0f, 2.5f, 7.0f, 32.0f}) {
    SCOPED_TRACE(level);
    // (At level 1 the spout tip's opening lies on the chord of the spout's end: a T-junction of
    // the data's folded geometry, not a crack of a seam; the cracks are counted from level 2.)
    const uint32_t s = uint32_t(std::ceil(level));
    Ref<Mesh> out = MakeOutput(device.get(), mesh, level, false, level > 8);
    ASSERT_EQ(mesh->TessellateUniform(level, out.get()), Ok);
    EXPECT_EQ(out->GetVertexCount(), 32 * (s + 1) * (s + 1));
    const Surface surface = ReadSurface(out.get());
    double worst = 0, worstNormal = 0;
    for (size_t p = 0; p < 32; ++p)
      for (uint32_t j = 0; j <= s; ++j)
        for (uint32_t i = 0; i <= s; ++i) {
          const size_t v = p * (s + 1) * (s + 1) + j * (s + 1) + i;
          double x[3], n[3];
          Evaluate(teapot, p, double(i) / s, double(j) / s, x, n);
          float got[3];
          std::memcpy(got, &surface.vertexBytes[v * surface.stride + 12], 12);
          for (int k = 0; k < 3; ++k) {
            worst = std::max(worst, std::fabs(x[k] - surface.positions[v][k]));
            worstNormal = std::max(worstNormal, std::fabs(n[k] - got[k]));
          }
        }
    EXPECT_LT(worst, 2e-6);
    EXPECT_LT(worstNormal, 2e-3);
    const std::vector<uint32_t> groups = PatchOfFace(surface.triangles.size(), 2 * s * s);
    if (s > 1) {
      EXPECT_EQ(CountCracks(surface, 1e-4f, &groups), 0u);
    }
  }
}

TEST_F(TeapotTest, WeldedSeamsShareTheirVertices) {
  ASSERT_EQ(mesh->BuildPatchAdjacency(1e6f), Ok);
  for (float level : {2.0f, 4.0f, 9.5f}) {
    SCOPED_TRACE(level);
    const uint32_t s = uint32_t(std::ceil(level));
    uint32_t faces = 0, vertices = 0;
    ASSERT_EQ(mesh->TessellatedSize(level, 0, &faces, &vertices), Ok);
    // 48 seams, each sharing s + 1 vertices, minus the corners where seams meet.
    EXPECT_LT(vertices, 32 * (s + 1) * (s + 1) - 48 * (s - 1));
    Ref<Mesh> out = MakeOutput(device.get(), mesh, level, false, false);
    ASSERT_EQ(mesh->TessellateUniform(level, out.get()), Ok);
    AttributeRange entry{};
    uint32_t n = 1;
    ASSERT_EQ(out->CopyAttributeTable(&entry, &n), Ok);
    EXPECT_EQ(entry.vertexCount, vertices);
    EXPECT_EQ(entry.faceCount, faces);
    const Surface surface = ReadSurface(out.get());
    const std::vector<uint32_t> groups = PatchOfFace(faces, 2 * s * s);
    EXPECT_EQ(CountCracks(surface, 1e-4f, &groups), 0u);
    // Every vertex written is used, and no two vertices of one seam share a position.
    std::vector<bool> used(vertices);
    for (const auto& t : surface.triangles)
      for (uint32_t v : t) used[v] = true;
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
  }
}

TEST_F(TeapotTest, AdaptiveTessellationSeenFromSeveralDistancesHasNoCracks) {
  std::vector<uint32_t> ids(32);
  for (uint32_t p = 0; p < 32; ++p) ids[p] = p;  // one attribute id per patch marks its faces
  SetAttributes(mesh, ids);
  // Minimum level 2: at level 1 the spout tip's opening lies on the chord of the spout's end,
  // a T-junction of the data's own folded geometry, not of a seam.
  bool varied = false;
  for (float distance : {-1.0f, 0.5f, 2.0f, 6.0f, 30.0f}) {
    SCOPED_TRACE(distance);
    const Vector4 view{0.5f, 0.3f, 1.0f, distance};
    Ref<Mesh> out = MakeOutput(device.get(), mesh, 16, true, false);
    ASSERT_EQ(mesh->TessellateByDistance(&view, 16, 2, out.get()), Ok);
    uint32_t n = 0;
    ASSERT_EQ(out->CopyAttributeTable(nullptr, &n), Ok);
    ASSERT_EQ(n, 32u);
    std::vector<AttributeRange> table(n);
    ASSERT_EQ(out->CopyAttributeTable(table.data(), &n), Ok);
    EXPECT_EQ(out->GetFaceCount(), table.back().firstFace + table.back().faceCount);
    EXPECT_EQ(out->GetVertexCount(), table.back().vertexCount);
    const Surface surface = ReadSurface(out.get());
    EXPECT_EQ(CountCracks(surface), 0u);
    std::set<uint32_t> levels;
    for (const AttributeRange& e : table) levels.insert(e.faceCount);
    varied = varied || levels.size() > 2;
  }
  EXPECT_TRUE(varied) << "no distance gave the patches different levels";
}

}  // namespace
}  // namespace lyr::test
