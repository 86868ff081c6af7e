// lyr lod: a grid mesh in a text Vek file simplified to a progressive mesh file, whose base level
// the mesh loader reads back; usage errors and unreadable input.
#include <fstream>

#include "cli_test_util.h"
#include "core/object_impl.h"
#include "lyr/lyr.h"
#include "mesh/reference_device.h"

namespace lyr::test {
namespace {

// An n x n grid of quads in the z = 0 plane, two triangles each, as a text Vek file.
std::string GridVek(uint32_t n) {
  std::string s = "vkf 0303txt 0032\nMesh {\n" + std::to_string((n + 1) * (n + 1)) + ";";
  for (uint32_t y = 0; y <= n; ++y)
    for (uint32_t x = 0; x <= n; ++x)
      s += (x || y ? ", " : " ") + std::to_string(x) + ";" + std::to_string(y) + ";0;";
  s += ";\n" + std::to_string(2 * n * n) + ";";
  for (uint32_t y = 0; y < n; ++y)
    for (uint32_t x = 0; x < n; ++x) {
      const uint32_t a = y * (n + 1) + x, b = a + 1, c = a + n + 1, d = c + 1;
      s += (x || y ? ", " : " ") +
           ("3;" + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + ";, 3;" +
            std::to_string(c) + "," + std::to_string(b) + "," + std::to_string(d) + ";");
    }
  return s + ";\n}\n";
}

TEST(ToolLod, SimplifiesAndSaves) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  std::ofstream(dir / "grid.vkf") << GridVek(12);  // 288 faces
  RefDeviceDesc desc;
  Ref<GraphicsDevice> device;
  ASSERT_EQ(LoadReferenceDevice(desc, device.put()), Ok);
  struct Case {
    const char* args;
    int exitCode;
    uint32_t baseFaces;    // the saved base level's faces (exit 0)
    const char* inOutput;  // expected in standard output (exit 0) or standard error
  } cases[] = {
      {"lod grid.vkf a.vkf --faces 40", 0, 40, "288 faces"},
      {"lod grid.vkf b.vkf --ratio 0.5", 0, 144, "base level 144 faces"},
      {"lod grid.vkf c.vkf", 2, 0, "--faces N or --ratio R"},
      {"lod grid.vkf c.vkf --faces 4 --ratio 0.5", 2, 0, "excludes"},
      {"lod grid.vkf c.vkf --ratio 1.5", 2, 0, "ratio"},
      {"lod missing.vkf c.vkf --faces 4", 2, 0, "missing.vkf"},
      {"lod .stdout c.vkf --faces 4", 1, 0, "cannot load a mesh from .stdout"},
      {"lod grid.vkf . --faces 4", 1, 0, "cannot create ."},
  };
  for (const Case& c : cases) {
    const ToolRun run = RunLyr(c.args, dir);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.args << "\n" << run.err;
    const std::string& text = c.exitCode == 0 ? run.out : run.err;
    EXPECT_NE(text.find(c.inOutput), std::string::npos) << c.args << ":\n" << text;
    if (c.exitCode != 0) continue;
    const std::string out = dir / std::string(c.args).substr(13, 5);
    Ref<Mesh> base;
    ASSERT_EQ(LoadMeshFromVekFile(out.c_str(), device.get(), nullptr, nullptr, nullptr, nullptr,
                                  nullptr, base.put()),
              Ok)
        << c.args;
    EXPECT_GE(base->GetFaceCount(), c.baseFaces);
    EXPECT_LE(base->GetFaceCount(), c.baseFaces + 1);
    EXPECT_EQ(base->GetVertexCount(), 169u);  // the base keeps every vertex for the splits
  }
}

}  // namespace
}  // namespace lyr::test
