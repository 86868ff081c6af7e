// The reference device's pixels: coverage, culling, depth, interpolation, lighting, textures and
// PNG output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ref_device.h"

#if LYR_TEST_PNG
#include <png.h>
#endif

namespace lyr {
namespace {

using test::ControlOf;
using test::MakeRefDevice;

// Position (x, y, z) and a colour, drawn from memory.
struct ColouredVertex {
  float x, y, z;
  uint32_t argb;
};

struct Target {
  Ref<GraphicsDevice> device = MakeRefDevice();
  Ref<RefDeviceControl> control = ControlOf(device.get());
  uint32_t width, height;
  Target(uint32_t w, uint32_t h, FormatCode format) : width(w), height(h) {
    EXPECT_EQ(control->SetRenderTarget(w, h), Ok);
    VertexElement d[MaxElementEntries];
    EXPECT_EQ(FormatCodeToElements(format, d), Ok);
    DeclarationObject* decl = nullptr;
    EXPECT_EQ(device->MakeDeclarationObject(d, &decl), Ok);
    EXPECT_EQ(device->BindDeclaration(decl), Ok);
    decl->Release();
  }
  std::vector<uint32_t> Pixels() {
    std::vector<uint32_t> p(size_t{width} * height);
    EXPECT_EQ(control->ReadPixels(p.data(), static_cast<uint32_t>(p.size())), Ok);
    return p;
  }
  template <class V>
  void Draw(const std::vector<V>& v) {
    ASSERT_EQ(device->DrawTrianglesFromMemory(kTriangleList, static_cast<uint32_t>(v.size() / 3),
                                              v.data(), sizeof(V)),
              Ok);
  }
};

// Binds a vertex buffer holding v and a 16-bit index buffer holding indices.
template <class V>
void BindBuffers(GraphicsDevice* device, const std::vector<V>& v,
                 const std::vector<uint16_t>& indices) {
  Ref<VertexBuffer> vb;
  Ref<IndexBuffer> ib;
  const auto vbytes = static_cast<uint32_t>(v.size() * sizeof(V));
  const auto ibytes = static_cast<uint32_t>(indices.size() * 2);
  ASSERT_EQ(device->MakeVertexBuffer(vbytes, 0, 0, kPoolManaged, vb.put(), nullptr), Ok);
  ASSERT_EQ(device->MakeIndexBuffer(ibytes, 0, kIndexFormat16, kPoolManaged, ib.put(), nullptr),
            Ok);
  void* p = nullptr;
  ASSERT_EQ(vb->LockBuffer(0, 0, &p, 0), Ok);
  std::memcpy(p, v.data(), vbytes);
  ASSERT_EQ(vb->UnlockBuffer(), Ok);
  ASSERT_EQ(ib->LockBuffer(0, 0, &p, 0), Ok);
  std::memcpy(p, indices.data(), ibytes);
  ASSERT_EQ(ib->UnlockBuffer(), Ok);
  ASSERT_EQ(device->BindVertexStream(0, vb.get(), 0, sizeof(V)), Ok);
  ASSERT_EQ(device->BindIndexBuffer(ib.get()), Ok);
}

// A jittered grid reaching past every side of the screen, each cell split along a random
// diagonal: every pixel must be covered by exactly one triangle, whatever the winding.
TEST(RefRaster, SharedEdgesNeitherCrackNorOverlap) {
  Target t(37, 29, kFormatPosition | kFormatDiffuse);
  ASSERT_EQ(t.control->SetCullMode(kRefCullNone), Ok);
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> jitter(-0.07f, 0.07f);
    constexpr int kCells = 7;
    float gx[kCells + 1][kCells + 1], gy[kCells + 1][kCells + 1];
    for (int i = 0; i <= kCells; ++i)
      for (int j = 0; j <= kCells; ++j) {
        const bool edge = i == 0 || j == 0 || i == kCells || j == kCells;
        gx[i][j] = -1.2f + 2.4f * i / kCells + (edge ? 0 : jitter(rng));
        gy[i][j] = -1.2f + 2.4f * j / kCells + (edge ? 0 : jitter(rng));
      }
    std::vector<int> count(size_t{t.width} * t.height, 0);
    auto corner = [&](int i, int j) { return ColouredVertex{gx[i][j], gy[i][j], 0.5f, ~0u}; };
    for (int i = 0; i < kCells; ++i)
      for (int j = 0; j < kCells; ++j) {
        ColouredVertex a = corner(i, j), b = corner(i + 1, j), c = corner(i + 1, j + 1),
                       d = corner(i, j + 1);
        std::vector<std::vector<ColouredVertex>> tris =
            rng() & 1 ? std::vector<std::vector<ColouredVertex>>{{a, b, c}, {c, d, a}}
                      : std::vector<std::vector<ColouredVertex>>{{a, b, d}, {d, c, b}};
        if (rng() & 1) std::swap(tris[0][1], tris[0][2]);  // mixed windings
        for (auto& tri : tris) {
          ASSERT_EQ(t.control->Clear(0, 1.0f), Ok);
          t.Draw(tri);
          const auto p = t.Pixels();
          for (size_t k = 0; k < p.size(); ++k) count[k] += p[k] != 0;
        }
      }
    for (size_t k = 0; k < count.size(); ++k)
      ASSERT_EQ(count[k], 1) << "seed " << seed << " pixel " << k % t.width << "," << k / t.width;
  }
}

TEST(RefRaster, CullingDropsOnlyCounterClockwiseFacesWhenOn) {
  struct Case {
    RefCullMode mode;
    bool clockwise;
    bool drawn;
  } cases[] = {{kRefCullNone, true, true},
               {kRefCullNone, false, true},
               {kRefCullBack, true, true},
               {kRefCullBack, false, false}};
  for (const Case& c : cases) {
    Target t(16, 16, kFormatPosition | kFormatDiffuse);
    ASSERT_EQ(t.control->SetCullMode(c.mode), Ok);
    // Clockwise on the screen: top, right, bottom-left (clip y points up).
    std::vector<ColouredVertex> v = {
        {0, 0.9f, 0.5f, ~0u}, {0.9f, -0.9f, 0.5f, ~0u}, {-0.9f, -0.9f, 0.5f, ~0u}};
    if (!c.clockwise) std::swap(v[1], v[2]);
    t.Draw(v);
    EXPECT_EQ(t.Pixels()[8 * 16 + 8] != 0xFF000000u, c.drawn)
        << "cull " << c.mode << " clockwise " << c.clockwise;
  }
}

TEST(RefRaster, TheNearerSurfaceWinsInEitherDrawOrder) {
  const std::vector<ColouredVertex> near = {
      {-1, 1, 0.2f, 0xFFFF0000u}, {1, 1, 0.2f, 0xFFFF0000u}, {-1, -1, 0.2f, 0xFFFF0000u}};
  const std::vector<ColouredVertex> far = {
      {-1, 1, 0.7f, 0xFF00FF00u}, {1, -1, 0.7f, 0xFF00FF00u}, {-1, -1, 0.7f, 0xFF00FF00u}};
  // Beyond the far plane: never drawn.
  const std::vector<ColouredVertex> beyond = {
      {-1, 1, 1.5f, 0xFF0000FFu}, {1, 1, 1.5f, 0xFF0000FFu}, {-1, -1, 1.5f, 0xFF0000FFu}};
  for (int order = 0; order < 2; ++order) {
    Target t(8, 8, kFormatPosition | kFormatDiffuse);
    t.Draw(order ? far : near);
    t.Draw(order ? near : far);
    t.Draw(beyond);
    const auto p = t.Pixels();
    EXPECT_EQ(p[4 * 8 + 1], 0xFFFF0000u) << "order " << order;  // both cover it
    EXPECT_EQ(p[6 * 8 + 2], 0xFF00FF00u);                       // far only
    EXPECT_EQ(p[1 * 8 + 5], 0xFFFF0000u);                       // near only
    EXPECT_EQ(p[5 * 8 + 6], 0xFF000000u);                       // neither
  }
}

// A triangle receding from z = 1 to z = 3 under a projection with w = z: along the screen the
// colour follows 1/w, not the screen distance.
TEST(RefRaster, ColoursArePerspectiveCorrect) {
  Target t(64, 64, kFormatPosition | kFormatDiffuse);
  ASSERT_EQ(t.control->SetCullMode(kRefCullNone), Ok);
  const float projection[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0.5f, 1, 0, 0, 0, 0};
  ASSERT_EQ(t.control->SetTransform(kRefProjection, projection), Ok);
  t.Draw(std::vector<ColouredVertex>{
      {0, 0.5f, 1, 0xFFFF0000u}, {-3, -3, 3, 0xFF000000u}, {3, -3, 3, 0xFF000000u}});
  const auto p = t.Pixels();
  for (int row = 20; row < 60; row += 6) {
    const float ndcY = 1.0f - 2.0f * (row + 0.5f) / 64.0f;
    const float s = (0.5f - ndcY) / 1.5f;  // screen-space share of the far edge
    const float expected = (1 - s) / ((1 - s) + s / 3);
    const float red = static_cast<float>((p[row * 64 + 31] >> 16) & 0xFF) / 255.0f;
    EXPECT_NEAR(red, expected, 0.02f) << "row " << row;
  }
}

// The same triangle reached through different base vertices renders as when drawn from memory.
TEST(RefRaster, IndexedDrawsHonourTheBaseVertex) {
  const std::vector<ColouredVertex> tri = {
      {-0.8f, 0.7f, 0.5f, 0xFF10A0F0u}, {0.9f, 0.1f, 0.5f, 0xFFF0A010u}, {-0.2f, -0.9f, 0.5f, ~0u}};
  Target memory(24, 24, kFormatPosition | kFormatDiffuse);
  memory.Draw(tri);
  const auto expected = memory.Pixels();
  struct Case {
    int32_t base;
    uint16_t first;
  } cases[] = {{3, 0}, {0, 3}, {-2, 5}};
  for (const Case& c : cases) {
    Target t(24, 24, kFormatPosition | kFormatDiffuse);
    std::vector<ColouredVertex> v(3, ColouredVertex{9, 9, 9, 0xFF00FF00u});  // junk before it
    v.insert(v.end(), tri.begin(), tri.end());
    BindBuffers(t.device.get(), v,
                {c.first, static_cast<uint16_t>(c.first + 1), static_cast<uint16_t>(c.first + 2)});
    ASSERT_EQ(t.device->DrawIndexedTriangles(kTriangleList, c.base, c.first, 3, 0, 1), Ok);
    EXPECT_EQ(t.Pixels(), expected) << "base " << c.base;
  }
}

TEST(RefRaster, ControlRefusesBadArguments) {
  auto device = MakeRefDevice();
  auto control = ControlOf(device.get());
  uint32_t pixel = 0;
  const float m[16] = {};
  EXPECT_EQ(control->ReadPixels(&pixel, 1), ErrInvalidCall);  // no target yet
  EXPECT_EQ(control->Clear(0, 1), ErrInvalidCall);
  EXPECT_EQ(control->SetRenderTarget(0, 4), ErrInvalidCall);
  EXPECT_EQ(control->SetRenderTarget(4, 8193), ErrInvalidCall);
  EXPECT_EQ(control->SetTransform(static_cast<RefTransform>(3), m), ErrInvalidCall);
  EXPECT_EQ(control->SetTransform(kRefWorld, nullptr), ErrInvalidCall);
  EXPECT_EQ(control->SetLight(nullptr), ErrInvalidCall);
  EXPECT_EQ(control->SetMaterialColor(nullptr), ErrInvalidCall);
  EXPECT_EQ(control->SetCullMode(static_cast<RefCullMode>(2)), ErrInvalidCall);
  ASSERT_EQ(control->SetRenderTarget(2, 2), Ok);
  EXPECT_EQ(control->ReadPixels(nullptr, 1), ErrInvalidCall);
  uint32_t four[5] = {1, 1, 1, 1, 7};
  EXPECT_EQ(control->ReadPixels(four, 5), Ok);  // copies only what exists
  EXPECT_EQ(four[0], 0xFF000000u);
  EXPECT_EQ(four[4], 7u);
}

// Position, normal and texture coordinates.
struct LitVertex {
  float x, y, z, nx, ny, nz, u, v;
};

std::vector<LitVertex> FullScreenQuad() {
  return {{-1, 1, 0.5f, 0, 0, -1, 0, 0},  {1, 1, 0.5f, 0, 0, -1, 1, 0},
          {-1, -1, 0.5f, 0, 0, -1, 0, 1}, {-1, -1, 0.5f, 0, 0, -1, 0, 1},
          {1, 1, 0.5f, 0, 0, -1, 1, 0},   {1, -1, 0.5f, 0, 0, -1, 1, 1}};
}

constexpr FormatCode kLitFormat = kFormatPosition | kFormatNormal | 0x100;  // one texture set

TEST(RefRaster, AnUnreadableTextureShowsAsAChecker) {
  Target t(64, 64, kLitFormat);
  ASSERT_EQ(t.control->SetTextureFile("/nonexistent/picture.png"), Ok);
  t.Draw(FullScreenQuad());
  const auto p = t.Pixels();
  EXPECT_EQ(p[0], 0xFFFF00FFu);
  EXPECT_EQ(p[8], 0xFF000000u);
  EXPECT_EQ(p[8 * 64 + 8], 0xFFFF00FFu);
  EXPECT_EQ(p[63 * 64 + 0], 0xFF000000u);
  ASSERT_EQ(t.control->SetTextureFile(nullptr), Ok);
  ASSERT_EQ(t.control->Clear(0, 1.0f), Ok);
  t.Draw(FullScreenQuad());
  EXPECT_EQ(t.Pixels()[8], 0xFFFFFFFFu);  // the material's white again
}

// A unit cube turned towards the viewer, lit from the upper left, under a perspective camera.
std::vector<uint32_t> RenderLitCube(RefDeviceControl* control, GraphicsDevice* device) {
  std::vector<LitVertex> v;
  std::vector<uint16_t> indices;
  const float n[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
  for (const auto& f : n) {
    // Two axes spanning the face, ordered so that the face winds clockwise seen from outside.
    float a[3] = {f[1], f[2], f[0]}, b[3] = {f[2], f[0], f[1]};
    const uint16_t base = static_cast<uint16_t>(v.size());
    const float corners[4][2] = {{-1, -1}, {-1, 1}, {1, 1}, {1, -1}};
    for (const auto& c : corners)
      v.push_back({0.5f * (f[0] + c[0] * a[0] + c[1] * b[0]),
                   0.5f * (f[1] + c[0] * a[1] + c[1] * b[1]),
                   0.5f * (f[2] + c[0] * a[2] + c[1] * b[2]), f[0], f[1], f[2], 0, 0});
    for (uint16_t k : {0, 2, 1, 0, 3, 2}) indices.push_back(static_cast<uint16_t>(base + k));
  }
  BindBuffers(device, v, indices);

  // World: turned 35 degrees about y, then 25 about x. View: pushed 3 units away.
  const float cy = std::cos(0.61f), sy = std::sin(0.61f), cx = std::cos(0.44f),
              sx = std::sin(0.44f);
  const float world[16] = {cy, sy * sx,  -sy * cx, 0, 0, cx, sx, 0,
                           sy, -cy * sx, cy * cx,  0, 0, 0,  0,  1};
  const float view[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 3, 1};
  const float zn = 0.5f, zf = 10.0f, q = zf / (zf - zn);
  const float projection[16] = {2.5f, 0, 0, 0, 0, 2.5f, 0, 0, 0, 0, q, 1, 0, 0, -q * zn, 0};
  EXPECT_EQ(control->SetTransform(kRefWorld, world), Ok);
  EXPECT_EQ(control->SetTransform(kRefView, view), Ok);
  EXPECT_EQ(control->SetTransform(kRefProjection, projection), Ok);
  const RefLight light = {{1, -1, 1}, {0.8f, 0.8f, 0.8f, 1}, {0.2f, 0.2f, 0.2f, 1}, 1};
  EXPECT_EQ(control->SetLight(&light), Ok);
  const float orange[4] = {1.0f, 0.6f, 0.2f, 1};
  EXPECT_EQ(control->SetMaterialColor(orange), Ok);
  EXPECT_EQ(control->Clear(0xFF203040u, 1.0f), Ok);
  EXPECT_EQ(device->DrawIndexedTriangles(kTriangleList, 0, 0, static_cast<uint32_t>(v.size()), 0,
                                         static_cast<uint32_t>(indices.size() / 3)),
            Ok);
  std::vector<uint32_t> pixels(48 * 48);
  EXPECT_EQ(control->ReadPixels(pixels.data(), static_cast<uint32_t>(pixels.size())), Ok);
  return pixels;
}

TEST(RefRaster, ALitCubeShowsThreeDistinctlyShadedFaces) {
  Target t(48, 48, kLitFormat);
  RefDeviceControl* control = t.control.get();
  const auto p = RenderLitCube(control, t.device.get());
  std::vector<uint32_t> shades;
  for (uint32_t c : p)
    if (c != 0xFF203040u && std::find(shades.begin(), shades.end(), c) == shades.end())
      shades.push_back(c);
  EXPECT_EQ(shades.size(), 3u);  // flat faces, one colour each
  EXPECT_EQ(p[0], 0xFF203040u);  // corners stay clear
  EXPECT_NE(p[24 * 48 + 24], 0xFF203040u);

#if LYR_TEST_PNG
  // Golden image: within 2 levels per channel of the committed picture.
  const std::string golden = std::string(LYR_TSL9_GOLDEN_DIR) + "/lit_cube.png";
  if (std::getenv("LYR_UPDATE_GOLDEN")) {
    ASSERT_EQ(control->WritePng(golden.c_str()), Ok);
  }
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, golden.c_str())) << golden;
  image.format = PNG_FORMAT_BGRA;
  ASSERT_EQ(image.width, 48u);
  ASSERT_EQ(image.height, 48u);
  std::vector<uint8_t> bytes(48 * 48 * 4);
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr));
  int off = 0;
  for (size_t i = 0; i < p.size(); ++i)
    for (int k = 0; k < 4; ++k)
      off += std::abs(static_cast<int>((p[i] >> (8 * k)) & 0xFF) - bytes[4 * i + k]) > 2;
  EXPECT_LE(off, 4) << "channels differing from the golden image";
#endif
}

TEST(RefRaster, WrittenPngReadsBackAsATexture) {
  Target t(32, 24, kLitFormat);
  const std::string path = testing::TempDir() + "tsl9_roundtrip.png";
  // A picture with every pixel distinct enough to catch swapped channels or rows.
  {
    Target src(32, 24, kFormatPosition | kFormatDiffuse);
    ASSERT_EQ(src.control->SetCullMode(kRefCullNone), Ok);
    src.Draw(std::vector<ColouredVertex>{{-1, 1, 0.5f, 0xFFFF0000u},
                                         {1, 1, 0.5f, 0xFF00FF00u},
                                         {-1, -1, 0.5f, 0xFF0000FFu},
                                         {-1, -1, 0.5f, 0xFF0000FFu},
                                         {1, 1, 0.5f, 0xFF00FF00u},
                                         {1, -1, 0.5f, 0xFFFFFFFFu}});
    const LyrResult r = src.control->WritePng(path.c_str());
    if (r == ErrNotAvailable) GTEST_SKIP() << "built without PNG support";
    ASSERT_EQ(r, Ok);
    EXPECT_EQ(src.control->WritePng("/nonexistent/dir/x.png"), ErrFileOpenFailed);
    EXPECT_EQ(src.control->WritePng(nullptr), ErrInvalidCall);
    const auto expected = src.Pixels();
    ASSERT_EQ(t.control->SetTextureFile(path.c_str()), Ok);
    t.Draw(FullScreenQuad());
    EXPECT_EQ(t.Pixels(), expected);
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace lyr
