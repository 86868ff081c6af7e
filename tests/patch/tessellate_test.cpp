// Tessellation: sizes and argument checks, every member against the plane of its control points,
// member selection, N-patches, displacement samples, lock and allocation failures.
#include <random>

#include "mesh/mesh_impl.h"
#include "patch/tessellate.h"
#include "patch_test_util.h"
#include "support/fault_injection.h"

namespace lyr::test {
namespace {

using T = ElementType;
using M = ElementMethod;
using U = ElementUsage;

// Writes `count` values of `element` into every control vertex, from value(vertex, out).
void WriteControl(PatchMesh* patches, const VertexElement* decl, const VertexElement* element,
                  uint32_t count, const std::function<void(uint32_t, float*)>& value) {
  void* p = nullptr;
  ASSERT_EQ(patches->LockVertices(0, &p), Ok);
  VertexAccessor acc;
  AttachDeclaration(acc, decl);
  AttachStream(acc, 0, p, 0);
  for (uint32_t v = 0; v < patches->GetVertexCount(); ++v) {
    float x[4] = {0, 0, 0, 1};
    value(v, x);
    WriteElement(acc, element, v, x, count);
  }
  patches->UnlockVertices();
}

// Faces and vertices the output's attribute table covers.
std::pair<uint32_t, uint32_t> Written(Mesh* mesh) {
  uint32_t n = 0;
  EXPECT_EQ(mesh->CopyAttributeTable(nullptr, &n), Ok);
  std::vector<AttributeRange> t(n);
  EXPECT_EQ(mesh->CopyAttributeTable(t.data(), &n), Ok);
  if (t.empty()) return {0, 0};
  return {t.back().firstFace + t.back().faceCount, t.back().vertexCount};
}

// A (d + 1) x (d + 1) grid of control points of one rectangle patch on the unit square, z from f.
std::vector<float> Grid(uint32_t d, float dx, const std::function<float(float, float)>& f) {
  std::vector<float> out;
  for (uint32_t r = 0; r <= d; ++r)
    for (uint32_t c = 0; c <= d; ++c) {
      const float x = float(c) / float(d) + dx, y = float(r) / float(d);
      out.insert(out.end(), {x, y, f(x, y)});
    }
  return out;
}

std::vector<uint16_t> Iota(size_t n, uint16_t from = 0) {
  std::vector<uint16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint16_t>(from + i);
  return v;
}

class TessellateTest : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();
};

TEST_F(TessellateTest, SizesMatchWhatTheTessellationWrites) {
  auto flat = [](float, float) { return 0.0f; };
  // Two bicubic patches side by side sharing a column of control points.
  std::vector<float> two = Grid(3, 0, flat);
  std::vector<uint16_t> twoIdx = Iota(16);
  {
    std::vector<float> right = Grid(3, 1, flat);
    for (uint32_t r = 0; r < 4; ++r)
      for (uint32_t c = 0; c < 4; ++c) {
        if (c == 0) {
          twoIdx.push_back(static_cast<uint16_t>(r * 4 + 3));
          continue;
        }
        twoIdx.push_back(static_cast<uint16_t>(two.size() / 3));
        two.insert(two.end(), &right[(r * 4 + c) * 3], &right[(r * 4 + c) * 3 + 3]);
      }
  }
  struct Case {
    const char* name;
    PatchInfo info;
    std::vector<float> positions;
    std::vector<uint16_t> indices;
    bool adjacency;
    float level;
    bool adaptive;
    uint32_t faces, vertices;
  };
  const std::vector<float> tri = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  const Case cases[] = {
      {"fractional level", {1, 3, 0}, Grid(3, 0, flat), Iota(16), false, 2.5f, false, 18, 16},
      {"shared edge, no adjacency", {1, 3, 0}, two, twoIdx, false, 1, false, 4, 8},
      {"shared edge welded", {1, 3, 0}, two, twoIdx, true, 1, false, 4, 6},
      {"shared edge welded, level 3", {1, 3, 0}, two, twoIdx, true, 3, false, 36, 28},
      {"adaptive counts every patch", {1, 3, 0}, two, twoIdx, true, 1, true, 4, 8},
      {"bilinear", {1, 1, 1}, Grid(1, 0, flat), Iota(4), false, 4, false, 32, 25},
      {"triangle", {2, 1, 0}, tri, Iota(3), false, 3, false, 9, 10},
      {"N-patch", {3, 0, 0}, tri, Iota(3), false, 2.5f, false, 9, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<PatchMesh> patches = MakePatchMesh(device.get(), c.info, c.positions, c.indices);
    if (c.adjacency) {
      ASSERT_EQ(patches->BuildPatchAdjacency(0), Ok);
    }
    uint32_t faces = 0, vertices = 0;
    ASSERT_EQ(patches->TessellatedSize(c.level, c.adaptive, &faces, &vertices), Ok);
    EXPECT_EQ(faces, c.faces);
    EXPECT_EQ(vertices, c.vertices);
    // Level 0 keeps the levels of the call before.
    ASSERT_EQ(patches->TessellatedSize(0, c.adaptive, &faces, &vertices), Ok);
    EXPECT_EQ(vertices, c.vertices);
    if (c.adaptive) continue;
    Ref<Mesh> out = MakeOutput(device.get(), patches.get(), c.level, false);
    ASSERT_EQ(patches->TessellateUniform(c.level, out.get()), Ok);
    EXPECT_EQ(Written(out.get()), std::make_pair(c.faces, c.vertices));
    const Surface s = ReadSurface(out.get());
    EXPECT_EQ(CountCracks(s), 0u);
    // Every triangle faces up (+z) like its patch and no vertex is left out.
    std::vector<bool> used(s.positions.size());
    for (const auto& t : s.triangles) {
      const auto &a = s.positions[t[0]], &b = s.positions[t[1]], &d = s.positions[t[2]];
      EXPECT_GT((b[0] - a[0]) * (d[1] - a[1]) - (b[1] - a[1]) * (d[0] - a[0]), 0);
      for (uint32_t v : t) used[v] = true;
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
  }
}

TEST_F(TessellateTest, ArgumentsLevelsAndLayoutsAreChecked) {
  Ref<PatchMesh> rect = MakePatchMesh(device.get(), {1, 1, 0},
                                      Grid(1, 0, [](float, float) { return 0.0f; }), Iota(4));
  Ref<Mesh> out = MakeOutput(device.get(), rect.get(), 32, false, true);
  uint32_t n = 0;
  EXPECT_EQ(rect->TessellatedSize(1, 0, nullptr, &n), ErrInvalidCall);
  EXPECT_EQ(rect->TessellatedSize(1, 0, &n, nullptr), ErrInvalidCall);
  for (float bad : {33.0f, 0.0f, -1.0f, std::nanf("")})
    EXPECT_EQ(rect->TessellateUniform(bad, out.get()), ErrInvalidCall) << bad;
  EXPECT_EQ(rect->TessellateUniform(32, out.get()), Ok);
  EXPECT_EQ(rect->TessellateUniform(1, nullptr), ErrInvalidCall);
  const Vector4 t{0, 0, 1, 0};
  EXPECT_EQ(rect->TessellateByDistance(&t, 33, 1, out.get()), ErrInvalidCall);
  EXPECT_EQ(rect->TessellateByDistance(&t, 4, 5, out.get()), ErrInvalidCall);
  EXPECT_EQ(rect->TessellateByDistance(nullptr, 4, 1, out.get()), ErrInvalidCall);
  EXPECT_EQ(rect->TessellateByDistance(&t, 32, 1, out.get()), Ok);

  // A Mesh without room for the result is refused instead of written past its end.
  Ref<Mesh> small = MakeOutput(device.get(), rect.get(), 2, false);
  EXPECT_EQ(rect->TessellateUniform(3, small.get()), ErrInvalidCall);
  // So is a control index past the control vertices.
  {
    void* p = nullptr;
    ASSERT_EQ(rect->LockIndices(0, &p), Ok);
    static_cast<uint16_t*>(p)[2] = 4;
    rect->UnlockIndices();
    EXPECT_EQ(rect->TessellateUniform(1, out.get()), ErrInvalidCall);
  }

  struct Case {
    PatchInfo info;
    VertexElement second;
    bool position;
    LyrResult result;
  };
  const Case cases[] = {
      {{2, 1, 0}, {0, 0, T::F32x3, M::PartialU, U::Tangent, 0}, true, ErrInvalidArg},
      {{3, 0, 0}, {0, 0, T::F32x3, M::PartialV, U::Binormal, 0}, true, ErrInvalidArg},
      {{2, 1, 0}, {0, 0, T::F32x3, M::CrossUV, U::Normal, 0}, true, Ok},
      {{1, 1, 0}, {0, 0, T::F32x3, M::PartialU, U::Tangent, 0}, true, Ok},
      {{1, 1, 0}, {0, 12, T::F32x2, M::Lookup, U::TexCoord, 1}, true, ErrInvalidArg},
      {{1, 1, 0}, {0, 12, T::F32x2, M::Default, U::TexCoord, 0}, false, ErrInvalidArg},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.info.type << " " << int(c.second.method));
    const VertexElement decl[] = {
        {0, 0, T::F32x3, M::Default, c.position ? U::Position : U::Color, 0},
        c.second,
        kEndElement};
    const std::vector<float> pts = Grid(1, 0, [](float, float) { return 0.0f; });
    uint32_t cp = 0;
    ASSERT_EQ(ControlPointsPerPatchOf(c.info, &cp), Ok);
    Ref<PatchMesh> patches = MakePatchMesh(device.get(), c.info, pts, Iota(cp), decl);
    Ref<Mesh> o = MakeOutput(device.get(), patches.get(), 2, false);
    EXPECT_EQ(patches->TessellateUniform(2, o.get()), c.result);
    EXPECT_EQ(ControlOf(device.get())->OutstandingLocks(), 0u);
  }
}

// Every member's weights sum to one, so a patch whose control points lie on a plane stays on it,
// with the derivative normal perpendicular to it and the parameters inside [0, 1].
TEST_F(TessellateTest, EveryMemberStaysOnThePlaneOfItsControlPoints) {
  const VertexElement rectDecl[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                    {0, 0, T::F32x3, M::CrossUV, U::Normal, 0},
                                    {0, 0, T::F32x3, M::PartialU, U::Tangent, 0},
                                    {0, 0, T::F32x2, M::UV, U::TexCoord, 0},
                                    kEndElement};
  const VertexElement triDecl[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                   {0, 0, T::F32x3, M::CrossUV, U::Normal, 0},
                                   {0, 0, T::F32x2, M::UV, U::TexCoord, 0},
                                   kEndElement};
  const PatchInfo kinds[] = {{1, 1, 0}, {1, 2, 0}, {1, 3, 0}, {1, 5, 0}, {1, 1, 1},
                             {1, 2, 1}, {1, 3, 1}, {1, 5, 1}, {1, 3, 2}, {2, 1, 0},
                             {2, 2, 0}, {2, 3, 0}, {2, 5, 0}};
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> jitter(-0.1f, 0.1f);
  const double a = 0.3, b = -0.2, c = 1.0;
  double n[3] = {-a, -b, 1};
  const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + 1);
  for (double& x : n) x /= len;
  for (const PatchInfo& info : kinds) {
    SCOPED_TRACE(testing::Message() << info.type << "/" << info.degree << "/" << info.basis);
    uint32_t cp = 0;
    ASSERT_EQ(ControlPointsPerPatchOf(info, &cp), Ok);
    std::vector<float> pts;
    const uint32_t d = info.degree;
    for (uint32_t r = 0, k = 0; r <= d; ++r) {
      const uint32_t across = info.type == 1 ? d + 1 : r + 1;
      for (uint32_t q = 0; q < across; ++q, ++k) {
        // Triangles: row r from corner 0 towards corners 1 (x) and 2 (y).
        const float x = info.type == 1 ? float(q) / d + jitter(rng) : float(r - q) / d;
        const float y = info.type == 1 ? float(r) / d + jitter(rng) : float(q) / d;
        pts.insert(pts.end(), {x, y, float(a * x + b * y + c)});
      }
    }
    Ref<PatchMesh> patches =
        MakePatchMesh(device.get(), info, pts, Iota(cp), info.type == 1 ? rectDecl : triDecl);
    for (float level : {1.0f, 3.0f, 4.5f}) {
      Ref<Mesh> out = MakeOutput(device.get(), patches.get(), level, false);
      ASSERT_EQ(patches->TessellateUniform(level, out.get()), Ok);
      const Surface s = ReadSurface(out.get());
      for (size_t v = 0; v < s.positions.size(); ++v) {
        const auto& p = s.positions[v];
        // The cubic B-spline's weights sum to 6 * 0.16666, not quite one.
        EXPECT_NEAR(p[2], a * p[0] + b * p[1] + c * (info.basis == 1 && d == 3 ? 0.99996 : 1), 2e-4)
            << v;
        float nv[3], uv[2];
        std::memcpy(nv, &s.vertexBytes[v * s.stride + 12], 12);
        std::memcpy(uv, &s.vertexBytes[v * s.stride + (info.type == 1 ? 36 : 24)], 8);
        const double dot = nv[0] * n[0] + nv[1] * n[1] + nv[2] * n[2];
        EXPECT_NEAR(std::fabs(dot), 1.0, 1e-4) << v;
        if (info.type == 1) {
          // The u-derivative lies in the plane and points along +x, the way u runs.
          float tv[3];
          std::memcpy(tv, &s.vertexBytes[v * s.stride + 24], 12);
          EXPECT_NEAR(tv[0] * n[0] + tv[1] * n[1] + tv[2] * n[2], 0, 1e-3) << v;
          EXPECT_GT(tv[0], 0) << v;
        }
        EXPECT_TRUE(uv[0] >= 0 && uv[0] <= 1 && uv[1] >= 0 && uv[1] <= 1) << v;
      }
      EXPECT_EQ(CountCracks(s), 0u);
    }
  }
}

// Corners land where each member puts them: Bézier and bilinear on the corner control points,
// the interpolating cubic on the inner four.
TEST_F(TessellateTest, MembersPutTheCornersOnTheirControlPoints) {
  struct Case {
    PatchInfo info;
    uint32_t corners[4];  // control points at (u, v) = (0, 0), (1, 0), (0, 1), (1, 1)
  };
  const Case cases[] = {{{1, 1, 0}, {0, 1, 2, 3}},   {{1, 1, 1}, {0, 1, 2, 3}},
                        {{1, 2, 0}, {0, 2, 6, 8}},   {{1, 3, 0}, {0, 3, 12, 15}},
                        {{1, 5, 0}, {0, 5, 30, 35}}, {{1, 3, 2}, {5, 6, 9, 10}}};
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> any(-2, 2);
  for (const Case& c : cases) {
    uint32_t cp = 0;
    ASSERT_EQ(ControlPointsPerPatchOf(c.info, &cp), Ok);
    std::vector<float> pts(cp * 3);
    for (float& f : pts) f = any(rng);
    Ref<PatchMesh> patches = MakePatchMesh(device.get(), c.info, pts, Iota(cp));
    Ref<Mesh> out = MakeOutput(device.get(), patches.get(), 1, false);
    ASSERT_EQ(patches->TessellateUniform(1, out.get()), Ok);
    const Surface s = ReadSurface(out.get());
    ASSERT_EQ(s.positions.size(), 4u);
    for (int k = 0; k < 4; ++k)
      for (int q = 0; q < 3; ++q)
        EXPECT_NEAR(s.positions[k][q], pts[c.corners[k] * 3 + q], 1e-5)
            << c.info.degree << "/" << c.info.basis << " corner " << k;
  }
}

// N-patches: a flat mesh with face normals stays flat on both paths (the kernel's all-float
// layout, and the general path a packed colour forces); curved normals bend the surface alike on
// both paths and the corners stay put.
TEST_F(TessellateTest, NPatchesOfAFlatMeshStayFlatOnBothPaths) {
  const VertexElement kernelDecl[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                      {0, 12, T::F32x3, M::Default, U::Normal, 0},
                                      kEndElement};
  const VertexElement generalDecl[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                       {0, 12, T::F32x3, M::Default, U::Normal, 0},
                                       {0, 24, T::ColorArgb8, M::Default, U::Color, 0},
                                       kEndElement};
  // A fan of four triangles around the centre of a square in the plane z = 2.
  const std::vector<float> pts = {0, 0, 2, 1, 0, 2, 1, 1, 2, 0, 1, 2, 0.5f, 0.5f, 2};
  const std::vector<uint16_t> idx = {0, 1, 4, 1, 2, 4, 2, 3, 4, 3, 0, 4};
  std::vector<Surface> results;
  for (bool curved : {false, true}) {
    for (const VertexElement* decl : {kernelDecl, generalDecl}) {
      Ref<PatchMesh> patches = MakePatchMesh(device.get(), {3, 3, 0}, pts, idx, decl);
      WriteControl(patches.get(), decl, &decl[1], 3, [&](uint32_t v, float* normal) {
        normal[2] = 1;
        if (curved) normal[0] = pts[v * 3] - 0.5f, normal[1] = pts[v * 3 + 1] - 0.5f;
      });
      Ref<Mesh> out = MakeOutput(device.get(), patches.get(), 5, false);
      ASSERT_EQ(patches->TessellateUniform(5, out.get()), Ok);
      results.push_back(ReadSurface(out.get()));
      const Surface& s = results.back();
      ASSERT_EQ(s.positions.size(), 4u * 21);
      for (const auto& x : s.positions)
        if (!curved) {
          EXPECT_FLOAT_EQ(x[2], 2.0f);
        }
      // Grid vertex 0 of every triangle is its corner V2, the last one its V0.
      for (uint32_t t = 0; t < 4; ++t)
        for (int q = 0; q < 3; ++q) {
          EXPECT_EQ(s.positions[t * 21][q], pts[idx[t * 3 + 2] * 3 + q]);
          EXPECT_EQ(s.positions[t * 21 + 20][q], pts[idx[t * 3] * 3 + q]);
        }
      EXPECT_EQ(CountCracks(s, 1e-5f), 0u);
    }
    // Kernel and general path agree.
    const Surface &k = results[results.size() - 2], &g = results.back();
    for (size_t v = 0; v < k.positions.size(); ++v)
      for (int q = 0; q < 3; ++q) EXPECT_NEAR(k.positions[v][q], g.positions[v][q], 1e-5);
  }
  // Curved normals lift the inside of the fan off the plane.
  EXPECT_NE(results[2].positions[10][2], 2.0f);
}

// Samples of a 4 x 4 luminance level (texel (x, y) = 10 * (x + 4 y)) and its 2 x 2 next level
// (value 200 everywhere). Every read stays inside the levels whatever the coordinate and wrap.
TEST(DisplacementSample, FiltersWrapsAndLevels) {
  std::vector<uint8_t> level0(16), level1(4, 200);
  for (int i = 0; i < 16; ++i) level0[i] = uint8_t(10 * i);
  const LockedRect levels[2] = {{4, level0.data()}, {2, level1.data()}};
  const TextureLevelDesc descs[2] = {{kFormatL8, 3, 0, 0, 4, 4}, {kFormatL8, 3, 0, 0, 2, 2}};
  struct Case {
    uint32_t minFilter, mipFilter, wrap;
    float s, t, lod, expected;
  };
  const float texel = 0.25f;
  const Case cases[] = {
      {1, 0, 1, 0.5f * texel, 0.5f * texel, 0, 0},
      {1, 0, 1, 2.5f * texel, 1.5f * texel, 0, 10 * (2 + 4)},
      {2, 0, 1, 1.0f * texel, 0.5f * texel, 0, 5},       // halfway between texels 0 and 1
      {3, 0, 1, 0.5f * texel, 0.5f * texel, 0, 0},       // an unknown filter samples 0
      {1, 0, 1, -0.5f * texel, 0.5f * texel, 0, 30},     // repeat: x = -1 is x = 3
      {1, 0, 2, -0.5f * texel, 0.5f * texel, 0, 0},      // mirror: x = -1 is x = 0
      {1, 0, 2, 4.5f * texel, 0.5f * texel, 0, 30},      // mirror: x = 4 is x = 3
      {1, 0, 3, 9.0f, 0.5f * texel, 0, 30},              // clamp
      {1, 0, 5, -1.5f * texel, 0.5f * texel, 0, 20},     // mirrored once about 0: x = -2 is x = 2
      {1, 1, 1, 0.5f * texel, 0.5f * texel, 1, 200},     // mip filter 1: the level at the lod
      {1, 1, 1, 0.5f * texel, 0.5f * texel, 7, 200},     // levels above the highest clamp
      {1, 2, 1, 0.5f * texel, 0.5f * texel, 0.25f, 50},  // mip filter 2 blends 0 and 200
  };
  for (const Case& c : cases) {
    DisplacementRecord r;
    r.minFilter = c.minFilter, r.mipFilter = c.mipFilter, r.wrap = c.wrap, r.maxLevel = 1;
    EXPECT_FLOAT_EQ(tess::SampleDisplacement(r, levels, descs, c.s, c.t, c.lod), c.expected)
        << c.minFilter << " " << c.mipFilter << " " << c.wrap << " " << c.s;
  }
  // Far, infinite and undefined coordinates under every wrap setting read inside the level
  // (the sanitiser build watches the reads).
  const float wild[] = {-1e30f, -7.3f, 1e30f, INFINITY, -INFINITY, std::nanf(""), 123.4f};
  for (uint32_t wrap : {0u, 1u, 2u, 3u, 4u, 5u, 9u})
    for (uint32_t filter : {1u, 2u})
      for (float s : wild)
        for (float t : wild) {
          DisplacementRecord r;
          r.minFilter = filter, r.wrap = wrap, r.mipFilter = 2, r.maxLevel = 1;
          const float v = tess::SampleDisplacement(r, levels, descs, s, t, s);
          EXPECT_TRUE(v >= 0 && v <= 255) << wrap << " " << s << " " << t;
        }
}

TEST_F(TessellateTest, LookupElementsSampleTheDisplacementTexture) {
  const VertexElement decl[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                {0, 12, T::F32x2, M::Lookup, U::TexCoord, 0},
                                kEndElement};
  std::vector<float> pts = Grid(1, 0, [](float, float) { return 0.0f; });
  Ref<PatchMesh> patches = MakePatchMesh(device.get(), {1, 1, 0}, pts, Iota(4), decl);
  // Texture coordinates = the positions' x and y.
  WriteControl(patches.get(), decl, &decl[1], 2,
               [&](uint32_t v, float* st) { st[0] = pts[v * 3], st[1] = pts[v * 3 + 1]; });
  Ref<Texture> texture;
  ASSERT_EQ(ControlOf(device.get())->MakeTexture(4, 4, 1, kFormatL8, texture.put()), Ok);
  LockedRect rect{};
  ASSERT_EQ(texture->LockLevel(0, &rect, nullptr, 0), Ok);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      static_cast<uint8_t*>(rect.bits)[y * rect.pitch + x] = uint8_t(x + 4 * y);
  texture->UnlockLevel(0);
  ASSERT_EQ(patches->SetDisplacement(texture.get(), 1, 1, 0, 3, 0), Ok);
  Ref<Mesh> out = MakeOutput(device.get(), patches.get(), 4, false);
  ASSERT_EQ(patches->TessellateUniform(4, out.get()), Ok);
  EXPECT_EQ(ControlOf(device.get())->OutstandingLocks(), 0u);
  const Surface s = ReadSurface(out.get());
  ASSERT_EQ(s.stride, 16u);
  for (size_t v = 0; v < s.positions.size(); ++v) {
    float sample = 0;
    std::memcpy(&sample, &s.vertexBytes[v * 16 + 12], 4);
    const int x = std::clamp(int(std::floor(s.positions[v][0] * 4)), 0, 3);
    const int y = std::clamp(int(std::floor(s.positions[v][1] * 4)), 0, 3);
    EXPECT_FLOAT_EQ(sample, float(x + 4 * y)) << v;
  }
}

TEST_F(TessellateTest, FailuresReleaseEveryLockAndLeaveNothingBehind) {
  auto flat = [](float, float) { return 0.0f; };
  Ref<PatchMesh> patches = MakePatchMesh(device.get(), {1, 3, 0}, Grid(3, 0, flat), Iota(16));
  Ref<Mesh> out = MakeOutput(device.get(), patches.get(), 8, false);
  ASSERT_EQ(patches->BuildPatchAdjacency(0), Ok);
  // On a fresh copy (its working memory grows within the run and goes with it), and again on a
  // PatchMesh whose working memory has grown: nothing more is allocated but the output's table.
  const Vector4 t{0, 0, 1, 1};
  ASSERT_EQ(patches->TessellateUniform(8, out.get()), Ok);  // the output's table exists
  for (bool adaptive : {false, true}) {
    ForEachAllocationFailure(
        [&] {
          Ref<PatchMesh> copy;
          LyrResult r = patches->ClonePatchMesh(0, kPositionOnly, copy.put());
          if (Failed(r)) return r;
          return adaptive ? copy->TessellateByDistance(&t, 8, 1, out.get())
                          : copy->TessellateUniform(8, out.get());
        },
        // A failure part-way drops the output's table: a whole tessellation gives it back.
        [&](LyrResult) { EXPECT_EQ(patches->TessellateUniform(8, out.get()), Ok); });
  }
  ASSERT_EQ(patches->TessellateUniform(8, out.get()), Ok);
  EXPECT_EQ(CountAllocations([&] { EXPECT_EQ(patches->TessellateUniform(8, out.get()), Ok); }), 1u);
  // Set-up takes two locks; the tessellation five (the attribute table's build, both patch
  // buffers, both output buffers).
  for (uint32_t n = 3; n <= 7; ++n) {
    RefDeviceDesc desc;
    desc.failLock = n;
    Ref<GraphicsDevice> failing = MakeRefDevice(desc);
    Ref<PatchMesh> p2 = MakePatchMesh(failing.get(), {1, 3, 0}, Grid(3, 0, flat), Iota(16));
    Ref<Mesh> o2 = MakeOutput(failing.get(), p2.get(), 2, false);
    const LyrResult r = p2->TessellateUniform(2, o2.get());
    EXPECT_EQ(r, desc.failureCode) << n;
    EXPECT_EQ(ControlOf(failing.get())->OutstandingLocks(), 0u) << n;
  }
}

}  // namespace
}  // namespace lyr::test

namespace lyr::test {
namespace {

// Triangle patches and N-patches over a bumpy grid of squares with random normals: neighbouring
// triangles meet on their edges without cracks, whichever way each walks the edge.
TEST_F(TessellateTest, TriangleMembersMeetTheirNeighboursWithoutCracks) {
  const VertexElement decl[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                {0, 12, T::F32x3, M::Default, U::Normal, 0},
                                kEndElement};
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> bump(-0.3f, 0.3f);
  constexpr uint32_t kSide = 4;
  std::vector<float> pts;
  for (uint32_t y = 0; y <= kSide; ++y)
    for (uint32_t x = 0; x <= kSide; ++x) pts.insert(pts.end(), {float(x), float(y), bump(rng)});
  std::vector<uint16_t> idx;
  for (uint32_t y = 0; y < kSide; ++y)
    for (uint32_t x = 0; x < kSide; ++x) {
      const uint16_t a = uint16_t(y * (kSide + 1) + x), b = uint16_t(a + 1),
                     c = uint16_t(a + kSide + 1), d = uint16_t(c + 1);
      // Alternate diagonals so that shared edges run both ways.
      if ((x + y) % 2)
        idx.insert(idx.end(), {a, b, d, a, d, c});
      else
        idx.insert(idx.end(), {a, b, c, b, d, c});
    }
  Ref<PatchMesh> patches = MakePatchMesh(device.get(), {3, 0, 0}, pts, idx, decl);
  WriteControl(patches.get(), decl, &decl[1], 3,
               [&](uint32_t, float* n) { n[0] = bump(rng), n[1] = bump(rng), n[2] = 1; });
  for (float level : {2.0f, 5.0f, 9.0f}) {
    SCOPED_TRACE(level);
    const uint32_t s = uint32_t(level);
    Ref<Mesh> out = MakeOutput(device.get(), patches.get(), level, false);
    ASSERT_EQ(patches->TessellateUniform(level, out.get()), Ok);
    const Surface surface = ReadSurface(out.get());
    std::vector<uint32_t> groups(surface.triangles.size());
    for (size_t f = 0; f < groups.size(); ++f) groups[f] = uint32_t(f / (s * s));
    EXPECT_EQ(CountCracks(surface, 1e-4f, &groups), 0u);
  }
}

}  // namespace
}  // namespace lyr::test
