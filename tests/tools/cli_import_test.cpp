// lyr import: glTF and OBJ files into Vek files in each form, warnings once each, and bad input
// reported in one line with a non-zero exit.
#include <fstream>

#include "cli_test_util.h"

namespace lyr::test {
namespace {

#if LYR_TOOL_HAS_IMPORT
const std::string kGltf = std::string(LYR_SHARED_DATA_DIR) + "/gltf/";

// A triangle with a morph target, a camera and an extension: three features the import skips.
const char* const kSkipping =
    R"({"asset":{"version":"2.0"},"extensionsUsed":["KHR_lights_punctual"],"scene":0,)"
    R"("scenes":[{"nodes":[0,1]}],"nodes":[{"name":"tri","mesh":0},{"name":"eye","camera":0}],)"
    R"("cameras":[{"type":"perspective","perspective":{"yfov":1,"znear":0.1}}],)"
    R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"targets":[{"POSITION":0}]}]}],)"
    R"("buffers":[{"byteLength":36,"uri":"data:application/octet-stream;base64,)"
    R"(AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA"}],)"
    R"("bufferViews":[{"buffer":0,"byteLength":36}],"accessors":[{"bufferView":0,)"
    R"("componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,0]}]})";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ToolImport, WritesEachFormAndReportsBadInputInOneLine) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  std::ofstream(dir / "skips.gltf") << kSkipping;
  std::ofstream(dir / "quad.obj") << "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n";
  const std::string fox = ReadText(kGltf + "Fox.glb");
  std::ofstream(dir / "cut.glb") << fox.substr(0, fox.size() / 2);
  std::ofstream(dir / "notes.txt") << "v 0 0 0\n";
  struct Case {
    std::string args;
    int exitCode;
    const char* header;  // of the written file; null when nothing may be written
    const char* err;     // expected on standard error ("" for nothing)
  } cases[] = {
      {"'" + kGltf + "Fox.glb' out.vkf", 0, "vkf 0303bin 0032", ""},
      {"'" + kGltf + "robot.glb' out.vkf --format text", 0, "vkf 0303txt 0032", ""},
      {"'" + kGltf + "SimpleSkin.gltf' out.vkf --format text-zip", 0, "vkf 0303tzip0032", ""},
      {"quad.obj out.vkf --format binary-zip", 0, "vkf 0303bzip0032", ""},
      {"skips.gltf out.vkf", 0, "vkf 0303bin 0032", "lyr import: warning: cameras skipped\n"},
      {"missing.glb out.vkf", 1, nullptr, "lyr import: cannot open 'missing.glb'"},
      {"cut.glb out.vkf", 1, nullptr, "lyr import: cannot import 'cut.glb'"},
      {"notes.txt out.vkf", 1, nullptr, "lyr import: cannot tell the kind of 'notes.txt'"},
      {"'" + kGltf + "Fox.glb' out.vkf --format zip", 2, nullptr, "--format"},
      {"'" + kGltf + "Fox.glb' no/such/dir/out.vkf", 1, nullptr, "cannot write"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::filesystem::remove(dir / "out.vkf");
    const ToolRun run = RunLyr("import " + c.args, dir);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    if (c.exitCode == 1) {
      EXPECT_EQ(Count(run.err, "\n"), 1u) << run.err;  // one line
    }
    if (c.header) {
      EXPECT_EQ(ReadText(dir / "out.vkf").substr(0, 16), c.header);
    } else {
      EXPECT_FALSE(std::filesystem::exists(dir / "out.vkf"));
    }
  }
  // A texture stored inside the file comes out beside the scene as the PNG it is, under the
  // name the scene's material gives.
  ASSERT_EQ(RunLyr("import '" + kGltf + "Fox.glb' out.vkf --format text", dir).exitCode, 0);
  const std::string png = ReadText(dir / "image0.png");
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_NE(ReadText(dir / "out.vkf").find("\"image0.png\""), std::string::npos);

  // Each skipped feature once, however often the file uses it.
  const ToolRun run = RunLyr("import skips.gltf out.vkf", dir);
  for (const char* feature : {"cameras", "morph targets", "extension KHR_lights_punctual"})
    EXPECT_EQ(Count(run.err, std::string("warning: ") + feature + " skipped"), 1u) << run.err;
}
#else
TEST(ToolImport, SaysItIsNotAvailable) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  const ToolRun run = RunLyr("import in.glb out.vkf", dir);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("not available"), std::string::npos) << run.err;
}
#endif

}  // namespace
}  // namespace lyr::test
