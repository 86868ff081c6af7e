// lyr render end to end: pictures and contact sheets written, bad command lines refused, golden
// images of a skinned tube and the patch teapot, and the sample generator's committed output.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli_test_util.h"
#include "patch/patch_test_util.h"

#if LYR_TEST_PNG
#include <png.h>
#endif

namespace lyr::test {
namespace {

// Width and height from a PNG file's header, or {0, 0} when it is not a PNG file.
std::pair<uint32_t, uint32_t> PngSize(const std::string& path) {
  const std::string bytes = ReadText(path);
  if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
      bytes.compare(12, 4, "IHDR") != 0)
    return {0, 0};
  auto be32 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  return {be32(16), be32(20)};
}

#if LYR_TEST_PNG
constexpr bool kPictures = true;
#else
constexpr bool kPictures = false;  // the tool cannot write PNG files in this build
#endif

#define LYR_REQUIRE_PICTURES() \
  LYR_REQUIRE_TOOL();          \
  if (!kPictures) GTEST_SKIP() << "no PNG library in this build"

std::string MakeSample(const char* what, const ScratchDir& dir) {
#ifdef LYR_MAKE_SAMPLE_PATH
  const ToolRun run = RunProgram(LYR_MAKE_SAMPLE_PATH, std::string(what) + " sample.vek", dir);
  EXPECT_EQ(run.exitCode, 0) << run.err;
#else
  (void)what;
  ADD_FAILURE() << "the sample generator is not built";
#endif
  return dir / "sample.vek";
}

TEST(ToolRender, WritesPicturesFramesAndSheetsOfTheAskedSize) {
  LYR_REQUIRE_PICTURES();
  ScratchDir dir;
  MakeSample("creature", dir);
  struct Case {
    const char* args;
    std::vector<std::pair<const char*, std::pair<uint32_t, uint32_t>>> files;
    const char* inOutput;
  } cases[] = {
      {"--time 0.3 --size 64x48 -o one.png", {{"one.png", {64, 48}}}, "'crawl' at 0.3 s"},
      {"--set look --camera top --size 40x40 -o sub/dir/top.png --sheet",
       {{"sub/dir/top.png", {40, 40}}, {"sub/dir/top_sheet.png", {48, 48}}},
       "'look' at 0 s"},
      // Three frames: a 2 x 2 grid with 4-pixel gaps.
      {"--frames 0:1:0.5 --size 64x48 --camera side -o frames --sheet",
       {{"frames/frame_0000.png", {64, 48}},
        {"frames/frame_0002.png", {64, 48}},
        {"frames/sheet.png", {2 * 64 + 12, 2 * 48 + 12}}},
       "3 frames from 0 s to 1 s"},
  };
  for (const Case& c : cases) {
    const ToolRun run = RunLyr(std::string("render sample.vek ") + c.args, dir);
    ASSERT_EQ(run.exitCode, 0) << c.args << "\n" << run.err;
    EXPECT_NE(run.out.find(c.inOutput), std::string::npos) << run.out;
    for (const auto& [file, size] : c.files) EXPECT_EQ(PngSize(dir / file), size) << file;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "frames/frame_0003.png"));
}

TEST(ToolRender, RefusesBadInputWithOneMessage) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  MakeSample("tube", dir);
  std::ofstream(dir / "not_vek.txt") << "hello\n";
  struct Case {
    const char* args;
    int exitCode;
    const char* message;
  } cases[] = {
      {"sample.vek --set nope -o x.png", 1, "no animation set named 'nope' (the scene has 'bend')"},
      {"sample.vek --size 0x10 -o x.png", 1, "bad --size '0x10'"},
      {"sample.vek --size 64 -o x.png", 1, "bad --size '64'"},
      {"sample.vek --size 9000x9000 -o x.png", 1, "bad --size"},
      {"sample.vek --size 12xab -o x.png", 1, "bad --size"},
      {"sample.vek --frames 1:0:1 -o f", 1, "END is before START"},
      {"sample.vek --frames 0:1:0 -o f", 1, "STEP must be above 0"},
      {"sample.vek --frames 0:1 -o f", 1, "expected START:END:STEP"},
      {"sample.vek --frames a:b:c -o f", 1, "expected START:END:STEP"},
      {"sample.vek --frames 0:1e6:1e-3 -o f", 1, "at most 10000"},
      {"sample.vek --frames -1:1:1 -o f", 1, "times start at 0"},
      {"sample.vek --time -2 -o x.png", 1, "bad --time"},
      {"sample.vek --time 1 --frames 0:1:1 -o f", 2, "excludes"},
      {"sample.vek --camera sideways -o x.png", 2, "sideways"},
      {"sample.vek", 2, "--output"},
      {"missing.vek -o x.png", 1, "cannot open 'missing.vek'"},
      {"not_vek.txt -o x.png", 1, "not a Vek file"},
      {"sample.vek -o not_vek.txt/x.png", 1, "cannot make the folder 'not_vek.txt'"},
  };
  for (const Case& c : cases) {
    const ToolRun run = RunLyr(std::string("render ") + c.args, dir);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.args << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << ":\n" << run.err;
    if (c.exitCode == 1) {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.args << ":\n" << run.err;
    }
  }
}

// The tests below read pictures back, which needs the PNG library (absent from 32-bit builds).
#if LYR_TEST_PNG
std::vector<uint32_t> ReadPng(const std::string& path, uint32_t* width, uint32_t* height) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_BGRA;
  std::vector<uint32_t> pixels(size_t{image.width} * image.height);
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  *width = image.width;
  *height = image.height;
  return pixels;
}

// Renders `file` with `args` and compares the picture with golden/<name>.png: at most 1% of the
// pixels may differ by more than 8 levels in a channel (rounding may move an edge pixel).
// LYR_UPDATE_GOLDEN=1 rewrites the golden picture instead.
void ExpectGolden(const ScratchDir& dir, const std::string& file, const std::string& args,
                  const std::string& name) {
  SCOPED_TRACE(name);
  const ToolRun run = RunLyr("render '" + file + "' " + args + " -o " + name + ".png", dir);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string golden = std::string(LYR_TOOLS_GOLDEN_DIR) + "/" + name + ".png";
  if (std::getenv("LYR_UPDATE_GOLDEN"))
    std::filesystem::copy_file(dir / (name + ".png"), golden,
                               std::filesystem::copy_options::overwrite_existing);
  uint32_t w = 0, h = 0, gw = 0, gh = 0;
  const std::vector<uint32_t> got = ReadPng(dir / (name + ".png"), &w, &h);
  const std::vector<uint32_t> want = ReadPng(golden, &gw, &gh);
  ASSERT_FALSE(want.empty()) << golden;
  ASSERT_EQ(std::make_pair(w, h), std::make_pair(gw, gh));
  size_t off = 0, background = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    background += want[i] == want[0];
    for (int k = 0; k < 32; k += 8)
      if (std::abs(int((got[i] >> k) & 0xFF) - int((want[i] >> k) & 0xFF)) > 8) {
        ++off;
        break;
      }
  }
  EXPECT_LE(off, got.size() / 100) << "pixels differing from " << golden;
  EXPECT_LT(background, got.size() * 95 / 100) << "the picture shows almost nothing";
}

// Every named camera, about either up axis, shows the scene, and no two cameras about one axis show
// the same picture (about different axes some places coincide: back about z is top about y).
TEST(ToolRender, EveryCameraShowsTheSceneFromItsOwnPlace) {
  LYR_REQUIRE_PICTURES();
  ScratchDir dir;
  MakeSample("tube", dir);
  std::vector<std::pair<std::string, std::vector<uint32_t>>> seen;
  for (const char* up : {"y", "z"}) {
    seen.clear();
    for (const char* camera : {"auto", "front", "back", "side", "top"}) {
      const std::string name = std::string(camera) + "_" + up + ".png";
      const ToolRun run = RunLyr("render sample.vek --time 1 --size 48x48 --camera " +
                                     std::string(camera) + " --up " + up + " -o " + name,
                                 dir);
      ASSERT_EQ(run.exitCode, 0) << run.err;
      uint32_t w = 0, h = 0;
      const std::vector<uint32_t> p = ReadPng(dir / name, &w, &h);
      ASSERT_EQ(p.size(), 48u * 48u) << name;
      const auto covered = std::count_if(p.begin(), p.end(), [&](uint32_t c) { return c != p[0]; });
      EXPECT_GT(covered, 48 * 48 / 30) << name << " shows almost nothing";
      for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_NE(p, seen[i].second) << name << " repeats " << seen[i].first;
      seen.push_back({name, p});
    }
  }
}

// The sheet holds each frame's pixels unchanged in its grid cell, row by row.
TEST(ToolRender, ContactSheetPlacesEveryFrameInItsCell) {
  LYR_REQUIRE_PICTURES();
  ScratchDir dir;
  MakeSample("tube", dir);
  const ToolRun run = RunLyr("render sample.vek --frames 0:2:1 --size 30x20 --sheet -o f", dir);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  uint32_t sw = 0, sh = 0, w = 0, h = 0;
  const std::vector<uint32_t> sheet = ReadPng(dir / "f/sheet.png", &sw, &sh);
  ASSERT_EQ(std::make_pair(sw, sh), std::make_pair(2u * 30 + 12, 2u * 20 + 12));
  for (uint32_t i = 0; i < 3; ++i) {
    const std::vector<uint32_t> frame =
        ReadPng(dir / ("f/frame_000" + std::to_string(i) + ".png"), &w, &h);
    ASSERT_EQ(frame.size(), 30u * 20u);
    const uint32_t x0 = 4 + (i % 2) * 34, y0 = 4 + (i / 2) * 24;
    for (uint32_t y = 0; y < 20; ++y)
      for (uint32_t x = 0; x < 30; ++x)
        ASSERT_EQ(sheet[(y0 + y) * sw + x0 + x], frame[y * 30 + x]) << "frame " << i;
  }
  EXPECT_EQ(sheet[(4 + 24 + 10) * sw + 4 + 34 + 15], sheet[0]) << "the fourth cell stays empty";
}

// A material's texture file is found beside the scene file, wherever the tool runs; a missing
// one shows as the device's magenta checker.
TEST(ToolRender, TexturesAreFoundBesideTheScene) {
  LYR_REQUIRE_PICTURES();
  ScratchDir dir;
  std::filesystem::create_directories(dir / "scene/tex");
  std::ofstream(dir / "scene/quad.vek") << R"(vkf 0303txt 0032
Frame Quad {
  Mesh {
    4; -1;-1;0;, -1;1;0;, 1;1;0;, 1;-1;0;;
    2; 3; 0,1,2;, 3; 0,2,3;;
    MeshTextureCoords { 4; 0;1;, 0;0;, 1;0;, 1;1;; }
    MeshMaterialList { 1; 2; 0, 0;
      Material { 1;1;1;1;; 1; 0;0;0;; 0;0;0;; TextureFilename { "tex/blue.png"; } }
    }
  }
})";
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = png.height = 2;
  png.format = PNG_FORMAT_BGRA;
  const uint32_t blue[4] = {0xFF0000FFu, 0xFF0000FFu, 0xFF0000FFu, 0xFF0000FFu};
  ASSERT_TRUE(
      png_image_write_to_file(&png, (dir / "scene/tex/blue.png").c_str(), 0, blue, 0, nullptr));
  for (const bool present : {true, false}) {
    if (!present) std::filesystem::remove(dir / "scene/tex/blue.png");
    const ToolRun run = RunLyr("render scene/quad.vek --camera front --size 32x32 -o q.png", dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    uint32_t w = 0, h = 0;
    const std::vector<uint32_t> p = ReadPng(dir / "q.png", &w, &h);
    ASSERT_EQ(p.size(), 32u * 32u);
    // Channels compared loosely: reading a PNG back may adjust them slightly.
    auto looks = [](uint32_t c, bool r, bool g, bool b) {
      return ((c >> 16 & 0xFF) > 150) == r && ((c >> 8 & 0xFF) > 150) == g &&
             ((c & 0xFF) > 150) == b;
    };
    const auto magenta =
        std::count_if(p.begin(), p.end(), [&](uint32_t c) { return looks(c, true, false, true); });
    EXPECT_EQ(looks(p[16 * 32 + 16], false, false, true), present) << std::hex << p[16 * 32 + 16];
    EXPECT_EQ(magenta > 0, !present);
  }
}

TEST(ToolRender, GoldenBendingTubeAtTwoTimes) {
  LYR_REQUIRE_PICTURES();
  ScratchDir dir;
  const std::string tube = MakeSample("tube", dir);
  ExpectGolden(dir, tube, "--time 0 --size 80x80", "tube_straight");
  ExpectGolden(dir, tube, "--time 1 --size 80x80", "tube_bent");
}

TEST(ToolRender, GoldenTessellatedTeapot) {
  LYR_REQUIRE_PICTURES();
  ScratchDir dir;
  const Teapot teapot = ReadTeapot();
  ASSERT_EQ(teapot.patches.size(), 32u);
  const PatchInfo info{kPatchRectangle, kPatchCubic, kPatchBezier};
  // Scenes hold their meshes in frames: the patch mesh goes into one after the file header.
  std::string text = PatchText(&info, teapot.positions, teapot.patches);
  const size_t body = text.find('\n') + 1;
  text = text.substr(0, body) + "Frame teapot {\n" + text.substr(body) + "}\n";
  std::ofstream(dir / "teapot.vek") << text;
  ExpectGolden(dir, dir / "teapot.vek", "--size 96x96 --up z", "teapot");
}

#endif  // LYR_TEST_PNG

// The committed sample is what the generator makes. Numbers are compared to 1e-5 (relative above
// 1), since the math's processor-specific forms and other platforms round the last digits
// differently; everything else must match exactly.
TEST(ToolRender, SampleGeneratorReproducesTheCommittedCreature) {
  ScratchDir dir;
  std::istringstream made(ReadText(MakeSample("creature", dir)));
  std::istringstream committed(ReadText(std::string(LYR_SAMPLE_DIR) + "/creature.vek"));
  std::string a, b;
  size_t tokens = 0;
  while (committed >> b) {
    ASSERT_TRUE(made >> a) << "the generated file ends early, at token " << tokens;
    ++tokens;
    if (a == b) continue;
    char *endA = nullptr, *endB = nullptr;
    const double x = std::strtod(a.c_str(), &endA), y = std::strtod(b.c_str(), &endB);
    ASSERT_TRUE(*endA == *endB && endA != a.c_str() && endB != b.c_str() &&
                std::string(endA) == std::string(endB) &&
                std::fabs(x - y) <= 1e-5 * std::max(1.0, std::fabs(y)))
        << "token " << tokens << ": made '" << a << "', committed '" << b << "'";
  }
  EXPECT_FALSE(made >> a) << "the generated file is longer";
  EXPECT_GT(tokens, 1000u);
}

}  // namespace
}  // namespace lyr::test
