// The scene subcommands (info, convert, optimize, tessellate) run as a user runs them: their
// failures, the JSON they print, what survives a conversion, and what the optimiser and the
// tessellator write.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "cli_test_util.h"
#include "json.h"
#include "lyr/lyr.h"
#include "ref_device.h"

namespace lyr::test {
namespace {

std::string Data(const std::string& name) {
  return std::string(LYR_TEST_DATA_DIR) + "/" + name;
}

// Accepts exactly one well-formed JSON value (with optional surrounding white space).
class JsonCheck {
 public:
  static bool Valid(const std::string& text) {
    JsonCheck c{text};
    return c.Value() && (c.Space(), c.at_ == text.size());
  }

 private:
  explicit JsonCheck(const std::string& t) : s_(t) {}
  void Space() {
    while (at_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[at_]))) ++at_;
  }
  bool Eat(char c) { return Space(), at_ < s_.size() && s_[at_] == c ? (++at_, true) : false; }
  bool Word(const char* w) {
    const size_t n = std::strlen(w);
    return s_.compare(at_, n, w) == 0 ? (at_ += n, true) : false;
  }
  bool String() {
    if (!Eat('"')) return false;
    while (at_ < s_.size() && s_[at_] != '"') {
      const unsigned char c = s_[at_++];
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (at_ >= s_.size()) return false;
      const char e = s_[at_++];
      if (e == 'u') {
        for (int k = 0; k < 4; ++k)
          if (at_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[at_++])))
            return false;
      } else if (!std::strchr("\"\\/bfnrt", e)) {
        return false;
      }
    }
    return Eat('"');
  }
  template <typename Item>
  bool List(char open, char close, Item item) {
    if (!Eat(open)) return false;
    if (Eat(close)) return true;
    do {
      if (!item()) return false;
    } while (Eat(','));
    return Eat(close);
  }
  bool Value() {
    Space();
    if (at_ >= s_.size()) return false;
    const char c = s_[at_];
    if (c == '{') return List('{', '}', [&] { return String() && Eat(':') && Value(); });
    if (c == '[') return List('[', ']', [&] { return Value(); });
    if (c == '"') return String();
    if (Word("true") || Word("false") || Word("null")) return true;
    size_t used = 0;
    if (c != '-' && !std::isdigit(static_cast<unsigned char>(c))) return false;
    std::stod(s_.substr(at_, 40), &used);
    at_ += used;
    return used > 0;
  }
  const std::string& s_;
  size_t at_ = 0;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The Utah teapot's 32 bicubic Bezier patches as a PatchMesh9 text file.
std::string TeapotFile(const ScratchDir& dir) {
  std::ifstream in(std::string(LYR_SHARED_DATA_DIR) + "/patches/teapot_32patches.txt");
  std::vector<std::string> patches, vertices;
  std::string word;
  while (in >> word) {
    size_t n = 0;
    if (word == "patches" || word == "vertices") in >> n;
    const size_t per = word == "patches" ? 16 : 3;
    std::vector<std::string>& into = word == "patches" ? patches : vertices;
    if (word != "patches" && word != "vertices") std::getline(in, word);
    for (size_t i = 0; i < n; ++i) {
      std::string item = word == "patches" ? "16; " : "";
      for (size_t k = 0; k < per; ++k) {
        std::string v;
        in >> v;
        item += v + (word == "patches" ? (k + 1 < per ? "," : ";") : ";");
      }
      into.push_back(item);
    }
  }
  EXPECT_EQ(patches.size(), 32u);
  std::ostringstream f;
  f << "vkf 0303txt 0032\nFrame Teapot {\n PatchMesh9 Body {\n  1; 3; 0;\n  " << vertices.size()
    << ";\n";
  for (size_t i = 0; i < vertices.size(); ++i)
    f << "  " << vertices[i] << (i + 1 < vertices.size() ? ",\n" : ";\n");
  f << "  " << patches.size() << ";\n";
  for (size_t i = 0; i < patches.size(); ++i)
    f << "  " << patches[i] << (i + 1 < patches.size() ? ",\n" : ";\n");
  f << " }\n}\n";
  const std::string path = dir / "teapot.vkf";
  std::ofstream(path) << f.str();
  return path;
}

// A skinned grid of n x n quads in two materials (left and right half), faces in random order.
// Bone "Left" weighs 1 - x / n at each vertex, bone "Right" x / n, so the weights of any vertex
// follow from its position alone.
std::string SkinnedGridFile(const ScratchDir& dir, int n) {
  std::ostringstream f;
  const int side = n + 1;
  f << "vkf 0303txt 0032\nFrame Grid {\n Mesh Sheet {\n  " << side * side << ";\n";
  for (int v = 0; v < side * side; ++v)
    f << "  " << v % side << ";" << v / side << ";0;" << (v + 1 < side * side ? ",\n" : ";\n");
  std::vector<std::pair<int, int>> quads;  // (first vertex, material)
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) quads.push_back({y * side + x, x < n / 2 ? 0 : 1});
  std::shuffle(quads.begin(), quads.end(), std::mt19937(7));
  f << "  " << quads.size() << ";\n";
  for (size_t i = 0; i < quads.size(); ++i) {
    const int a = quads[i].first;
    f << "  4; " << a << "," << a + 1 << "," << a + 1 + side << "," << a + side
      << (i + 1 < quads.size() ? ";,\n" : ";;\n");
  }
  f << "  MeshMaterialList { 2; " << quads.size() << "; ";
  for (size_t i = 0; i < quads.size(); ++i)
    f << quads[i].second << (i + 1 < quads.size() ? ", " : ";; ");
  f << "Material { 1;0;0;1;; 1; 0;0;0;; 0;0;0;; } Material { 0;0;1;1;; 1; 0;0;0;; 0;0;0;; } }\n";
  f << "  VekSkinMeshHeader { 2; 4; 2; }\n";
  for (int bone = 0; bone < 2; ++bone) {
    std::vector<int> used;
    for (int v = 0; v < side * side; ++v)
      if ((bone == 0 ? n - v % side : v % side) != 0) used.push_back(v);
    f << "  SkinWeights { \"" << (bone ? "Right" : "Left") << "\"; " << used.size() << "; ";
    for (size_t i = 0; i < used.size(); ++i) f << used[i] << (i + 1 < used.size() ? "," : ";");
    for (size_t i = 0; i < used.size(); ++i) {
      const int x = used[i] % side;
      f << float(bone ? x : n - x) / float(n) << (i + 1 < used.size() ? "," : ";");
    }
    f << " 1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1;; }\n";
  }
  f << " }\n}\n";
  const std::string path = dir / "grid.vkf";
  std::ofstream(path) << f.str();
  return path;
}

TEST(ToolScene, FailuresGiveOneMessageAndNoFile) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  std::ofstream(dir / "notvek.txt") << "hello\n";
  const std::string kinds = ReadText(Data("hierload/kinds.vkf"));
  std::ofstream(dir / "truncated.vkf") << kinds.substr(0, kinds.size() / 3);
  const std::map<std::string, std::string> files = {
      {"{kinds}", Data("hierload/kinds.vkf")},  {"{cube}", Data("meshload/cube.vkf")},
      {"{patches}", Data("patch/bicubic.vkf")}, {"{missing}", dir / "missing.vkf"},
      {"{notvek}", dir / "notvek.txt"},         {"{truncated}", dir / "truncated.vkf"},
      {"{blocked}", dir / "notvek.txt/out.vkf"}};
  struct Case {
    const char* args;
    int exitCode;
    const char* inError;
  } cases[] = {
      {"info {missing}", 1, "cannot open"},
      {"info {notvek}", 1, "not a Vek file"},
      {"info {truncated}", 1, "cannot load"},
      {"info {kinds} --xml", 2, "xml"},
      {"convert {missing} out.vkf --format text", 1, "cannot open"},
      {"convert {truncated} out.vkf --format text", 1, "cannot load"},
      {"convert {kinds} {blocked} --format binary", 1, "cannot write"},
      {"convert {kinds} out.vkf --format json", 2, "json"},
      {"convert {kinds} out.vkf", 2, "--format is required"},
      {"optimize {notvek} out.vkf", 1, "not a Vek file"},
      {"optimize {patches} out.vkf", 1, "no plain meshes"},
      {"optimize {kinds} {blocked}", 1, "cannot write"},
      {"optimize {kinds} out.vkf --order fast", 2, "fast"},
      {"tessellate {missing} out.vkf", 1, "cannot open"},
      {"tessellate {cube} out.vkf", 1, "no patch meshes"},
      {"tessellate {patches} {blocked}", 1, "cannot write"},
      {"tessellate {patches} out.vkf --segments 33", 2, "33"},
      {"tessellate {patches} out.vkf --segments 2 --adaptive 0,0,1,1", 2, "excludes"},
      {"tessellate {patches} out.vkf --adaptive 0,0,1", 2, "--adaptive"},
      {"tessellate {patches} out.vkf --adaptive 0,0,1,1 --min-level 9 --max-level 3", 2,
       "must not exceed"},
  };
  for (const Case& c : cases) {
    std::string args = c.args;
    for (const auto& [key, path] : files)
      for (size_t at; (at = args.find(key)) != std::string::npos;)
        args.replace(at, key.size(), path);
    const ToolRun run = RunLyr(args, dir);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.args << "\n" << run.err;
    EXPECT_NE(run.err.find(c.inError), std::string::npos) << c.args << ":\n" << run.err;
    if (c.exitCode == 1) {
      const std::string command = "lyr " + args.substr(0, args.find(' ')) + ": ";
      EXPECT_EQ(run.err.rfind(command, 0), 0u) << c.args << ":\n" << run.err;
      EXPECT_EQ(Count(run.err, "\n"), 1u) << c.args << ":\n" << run.err;
    }
    // Nothing half-written: neither the output nor a temporary file.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name[0] == '.' || name == "notvek.txt" || name == "truncated.vkf")
          << c.args << " left " << name;
    }
  }
  for (const char* command : {"info", "convert", "optimize", "tessellate"}) {
    const ToolRun run = RunLyr(std::string(command) + " --help", dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find(std::string("Usage: lyr ") + command), std::string::npos) << run.out;
  }
}

TEST(ToolScene, InfoShowsTheTreeAndWellFormedJson) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  const ToolRun text = RunLyr("info " + Data("hierload/kinds.vkf"), dir);
  ASSERT_EQ(text.exitCode, 0) << text.err;
  for (const char* line :
       {"\n  frame (unnamed)\n    frame \"Body\"\n      frame \"Arm\"\n        mesh \"Sleeve\": "
        "mesh",
        "skinned by 1 bone: Arm", "material 0: diffuse 1 0 0 1", "mesh \"Palm\": progressive mesh",
        "1 patch (triangle, degree 3, Bezier)",
        "\"early\": period 1 s, 1 interpolator, 4800 ticks per second", "track 0 plays \"reach\""})
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;

  for (const char* file : {"hierload/kinds.vkf", "hierload/skinned.vkf", "meshload/materials.vkf",
                           "patch/bicubic.vkf", "vek/mesh_bin64.vkf"}) {
    const ToolRun json = RunLyr("info --json " + Data(file), dir);
    ASSERT_EQ(json.exitCode, 0) << file << "\n" << json.err;
    EXPECT_TRUE(JsonCheck::Valid(json.out)) << file << "\n" << json.out;
  }
  const std::string json = RunLyr("info --json " + Data("hierload/kinds.vkf"), dir).out;
  EXPECT_EQ(Count(json, "\"kind\": \"patch mesh\""), 3u);
  EXPECT_EQ(Count(json, "\"ticksPerSecond\""), 3u);
  EXPECT_NE(json.find("\"track0\": \"reach\""), std::string::npos);
  EXPECT_NE(json.find("\"texture\": null"), std::string::npos);
}

TEST(ToolScene, JsonStringsAreAlwaysValid) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\x01\n\t\x7f", "\"\\u0001\\n\\t\\u007F\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82\""},
      {"\xff\xe9t", "\"\\u00FF\\u00E9t\""},           // not UTF-8: bytes as code points
      {"\xc0\xaf", "\"\\u00C0\\u00AF\""},             // overlong
      {"\xed\xa0\x80", "\"\\u00ED\\u00A0\\u0080\""},  // surrogate
      {"\xe2\x82", "\"\\u00E2\\u0082\""},             // cut short
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tool::JsonWriter::Quote(c.in), c.out);
    EXPECT_TRUE(JsonCheck::Valid(tool::JsonWriter::Quote(c.in))) << c.out;
  }
  tool::JsonWriter j;
  j.BeginObject();
  j.Key("empty");
  j.BeginArray();
  j.EndArray();
  j.Key("list");
  j.BeginArray();
  j.Number(1.5);
  j.Number(std::nan(""));
  j.StringOrNull(nullptr);
  j.BeginObject();
  j.EndObject();
  j.EndArray();
  j.EndObject();
  EXPECT_TRUE(JsonCheck::Valid(j.Text())) << j.Text();
  EXPECT_NE(j.Text().find("1.5,\n    null,\n    null,\n    {}"), std::string::npos) << j.Text();
}

TEST(ToolScene, ConvertRoundTripsEveryFormat) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  const char* headers[] = {"text",     "txt ", "binary",     "bin ",
                           "text-zip", "tzip", "binary-zip", "bzip"};
  // Each file with the number of data objects that the scene loader passes over (unknown
  // templates, top-level materials and headers): a warning says they are left out.
  for (const auto& [file, passedOver] : {std::pair{"hierload/kinds.vkf", "5 data objects"},
                                         {"hierload/skinned.vkf", ""},
                                         {"meshload/materials.vkf", "1 data object"},
                                         {"patch/bicubic.vkf", ""},
                                         {"vek/anim_bin64.vkf", "4 data objects"}}) {
    const std::string before = RunLyr("info --json " + Data(file), dir).out;
    std::string from = Data(file);
    for (int f = 0; f < 4; ++f) {
      SCOPED_TRACE(std::string(file) + " to " + headers[2 * f]);
      // Chained: each format is made from the previous one's output.
      const std::string out = dir / ("out" + std::to_string(f) + ".vkf");
      const ToolRun run =
          RunLyr("convert " + from + " " + out + " --format " + headers[2 * f], dir);
      ASSERT_EQ(run.exitCode, 0) << run.err;
      if (f == 0) {
        if (*passedOver)
          EXPECT_NE(run.err.find(std::string("warning: ") + passedOver), std::string::npos);
        else
          EXPECT_EQ(run.err, "");
      }
      EXPECT_EQ(ReadText(out).substr(8, 4), headers[2 * f + 1]);
      EXPECT_EQ(RunLyr("info --json " + out, dir).out, before);
      from = out;
    }
  }
}

TEST(ToolScene, OptimizeKeepsEverySkinWeightOnItsVertex) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  constexpr int kSide = 12;
  const std::string grid = SkinnedGridFile(dir, kSide);
  Ref<GraphicsDevice> device = MakeRefDevice();
  for (const char* options : {"", "--order strips", "--order none --no-split", "--keep-vertices",
                              "--format binary-zip"}) {
    SCOPED_TRACE(options);
    const std::string out = dir / "optimised.vkf";
    const ToolRun run = RunLyr("optimize " + grid + " " + out + " " + options, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("mesh \"Sheet\": vertices"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("groups 2 -> 2"), std::string::npos) << run.out;
    Ref<SkinInfo> skin;
    Ref<Mesh> mesh;
    ASSERT_EQ(LoadMeshFromVekFile(out.c_str(), device.get(), nullptr, nullptr, nullptr, nullptr,
                                  skin.put(), mesh.put()),
              Ok);
    ASSERT_TRUE(skin);
    ASSERT_EQ(skin->GetBoneCount(), 2u);
    const uint32_t vertices = mesh->GetVertexCount();
    EXPECT_EQ(mesh->GetFaceCount(), 2u * kSide * kSide);
    std::vector<float> weight(2 * vertices, 0.0f);
    for (uint32_t bone = 0; bone < 2; ++bone) {
      const uint32_t n = skin->GetBoneWeightCount(bone);
      std::vector<uint32_t> ids(n);
      std::vector<float> w(n);
      ASSERT_EQ(skin->GetBoneWeights(bone, ids.data(), w.data()), Ok);
      for (uint32_t i = 0; i < n; ++i)
        if (ids[i] < vertices) weight[2 * ids[i] + bone] += w[i];  // a bone may name a vertex twice
    }
    void* data = nullptr;
    ASSERT_EQ(mesh->LockVertices(kLockReadOnly, &data), Ok);
    for (uint32_t v = 0; v < vertices; ++v) {
      const float x = *reinterpret_cast<const float*>(static_cast<const char*>(data) +
                                                      size_t{v} * mesh->GetVertexStride());
      EXPECT_NEAR(weight[2 * v], 1 - x / kSide, 1e-5) << "vertex " << v;
      EXPECT_NEAR(weight[2 * v + 1], x / kSide, 1e-5) << "vertex " << v;
    }
    mesh->UnlockVertices();
  }
  // The figures: reordering for the cache takes fewer misses than the shuffled input.
  const ToolRun run = RunLyr("optimize " + grid + " out.vkf", dir);
  double before = 0, after = 0;
  const size_t at = run.out.find("cache misses per triangle ");
  ASSERT_NE(at, std::string::npos) << run.out;
  ASSERT_EQ(
      std::sscanf(run.out.c_str() + at, "cache misses per triangle %lf -> %lf", &before, &after),
      2);
  EXPECT_LT(after, before);
}

TEST(ToolScene, TessellateTheTeapot) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  const std::string teapot = TeapotFile(dir);
  const std::string out = dir / "tessellated.vkf";
  struct Case {
    const char* options;
    uint32_t triangles;  // 0: only more than none
    uint32_t vertices;   // 0: fewer than the faces (welded); ~0u: not checked
  } cases[] = {
      {"--segments 4 --no-weld", 32 * 2 * 16, 32 * 25},
      {"--segments 4", 32 * 2 * 16, 0},
      {"--segments 1 --no-weld --format binary", 32 * 2, 32 * 4},
      {"--adaptive 0,0,1,1 --max-level 8 --min-level 2", 0, ~0u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const ToolRun run = RunLyr("tessellate " + teapot + " " + out + " " + c.options, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("1 patch mesh (32 patches)"), std::string::npos) << run.out;
    const std::string json = RunLyr("info --json " + out, dir).out;
    EXPECT_NE(json.find("\"kind\": \"mesh\""), std::string::npos) << json;
    unsigned faces = 0, vertices = 0;
    const size_t at = json.find("\"vertices\": ");
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(std::sscanf(json.c_str() + at, "\"vertices\": %u, \"faces\": %u", &vertices, &faces),
              2)
        << json;
    if (c.triangles) {
      EXPECT_EQ(faces, c.triangles);
    } else {
      // Levels from 8 near the viewer down to about 2 at the far side.
      EXPECT_GT(faces, 32u * 2 * 2 * 2);
      EXPECT_LT(faces, 32u * 2 * 8 * 8);
    }
    if (c.vertices == 0) {
      EXPECT_LT(vertices, faces);
    } else if (c.vertices != ~0u) {
      EXPECT_EQ(vertices, c.vertices);
    }
    // The triangle mesh is ready for the optimiser.
    EXPECT_EQ(RunLyr("optimize " + out + " " + out + " -q", dir).exitCode, 0);
  }
  // Everything but the patch meshes stays as it was.
  const ToolRun run = RunLyr("tessellate " + Data("hierload/kinds.vkf") + " " + out, dir);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string before = RunLyr("info --json " + Data("hierload/kinds.vkf"), dir).out;
  const std::string after = RunLyr("info --json " + out, dir).out;
  EXPECT_EQ(Count(after, "\"kind\": \"patch mesh\""), 0u);
  EXPECT_EQ(Count(after, "\"kind\": \"mesh\""), Count(before, "\"kind\": \"mesh\"") + 3);
  EXPECT_EQ(after.substr(after.find("\"animationSets\"")),
            before.substr(before.find("\"animationSets\"")));
  EXPECT_NE(after.find("\"skinned\": true"), std::string::npos);
}

}  // namespace
}  // namespace lyr::test
