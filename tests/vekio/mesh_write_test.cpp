// The mesh data writer: every mesh the loader reads comes back bit for bit from every file form,
// the children and blocks are the documented ones, refusals come before anything is made, and
// every failure (allocation, component, lock) undoes what was done.
#include <locale.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <random>

#include "mesh_write_util.h"
#include "support/fault_injection.h"
#include "vekio/mesh_write_parts.h"

namespace lyr::test {
namespace {

using namespace vekio::tid;

std::string Dwords(const std::vector<uint32_t>& v) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + std::to_string(v[i]);
  return s + ";";
}

uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

// Everything the writer carries: texture coordinates with a second set in FVFData, colours,
// materials with a texture and an effect instance (backslashes in every string), face adjacency
// and a progressive-mesh block.
std::string RichMesh() {
  return TextMesh(
      "5;\n0;0;0;, 1;0;0;, 1;1;0;, 0;1;0;, 2;0.5;0;;\n3;\n3; 0,1,2;, 3; 0,2,3;, 3; 1,4,2;;\n"
      "MeshTextureCoords { 5; 0;0;, 1;0;, 1;1;, 0;1;, 0.5;0.25;; }\n"
      "MeshVertexColors { 5; 0;1;0;0;1;, 1;0;1;0;0.5;, 2;0;0;1;1;, 3;0.2;0.4;0.6;0.8;,"
      " 4;1;1;1;1;; }\n"
      "MeshMaterialList { 2; 3; 0, 1, 1;\n"
      "  Material { 1;1;1;1;; 5; 0;0;0;; 0;0;0;; TextureFilename { \"C:\\\\a\\\\b.bmp\"; } }\n"
      "  Material { 0.5;0.5;0.5;1;; 2; 1;1;1;; 0;0;0;;\n"
      "    EffectInstance { \"shaders\\\\gloss.fx\";\n"
      "      EffectParamFloats { \"Tint\"; 3; 0.25, 0.5, 0.75; }\n"
      "      EffectParamString { \"Map\"; \"maps\\\\gloss.dds\"; }\n"
      "      EffectParamDWord { \"Passes\"; 7; } } } }\n"
      "FaceAdjacency { 9; 0xFFFFFFFF, 2, 1, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0; "
      "}\n"
      "FVFData { 0x102; 10; " +
      Dwords({Bits(0.1f), Bits(0.2f), Bits(0.3f), Bits(0.4f), Bits(0.5f), Bits(0.6f), Bits(0.7f),
              Bits(0.8f), Bits(0.9f), Bits(1.0f)}) +
      " }\n"
      "PMInfo { 1; 0;3;3;0;5;5;; 4; 5; 5; 1; 0;0;0;; 1; 0; }");
}

// FVFData with two blend weights, a point size, a specular colour and a three-float set 0.
std::string WeightsMesh() {
  std::vector<uint32_t> rows;
  for (uint32_t v = 0; v < 3; ++v) {
    rows.insert(rows.end(), {Bits(0.25f * v), Bits(0.5f), Bits(1.5f + v), 0xFF102030u + v,
                             Bits(0.1f * v), Bits(2.0f), Bits(-3.0f)});
  }
  return TextMesh("3;\n0;0;0;, 1;0;0;, 0;1;0;;\n1;\n3; 0,1,2;;\nFVFData { 0x101A8; 21; " +
                  Dwords(rows) + " }");
}

// DeclData with a half-float tangent, a second texture set and a normalised-byte specular colour,
// beside MeshTextureCoords and MeshVertexColors.
std::string MixedDeclMesh() {
  std::vector<uint32_t> rows;
  for (uint32_t v = 0; v < 3; ++v) {
    rows.insert(rows.end(),
                {0x38003C00u + v, 0xB8000000u | v, Bits(0.5f * v), Bits(-1.0f), 0x80FF0110u + v});
  }
  return TextMesh(
      "3;\n0;0;0;, 1;0;0;, 0;1;0;;\n1;\n3; 0,1,2;;\n"
      "MeshTextureCoords { 3; 0;0;, 1;0;, 0;1;; }\n"
      "MeshVertexColors { 3; 0;1;0;0;1;, 1;0;1;0;1;, 2;0;0;1;0.5;; }\n"
      "DeclData { 3; 16;0;6;0;, 1;0;5;1;, 8;0;10;1;; 15; " +
      Dwords(rows) + " }");
}

// A grid of more than 0xFFFE faces: 32-bit indices.
std::string WideMesh() {
  const uint32_t w = 200, h = 170;
  std::string s = std::to_string((w + 1) * (h + 1)) + ";\n";
  for (uint32_t y = 0; y <= h; ++y)
    for (uint32_t x = 0; x <= w; ++x)
      s += std::to_string(x) + ";" + std::to_string(y) + ";" + std::to_string((x * y) % 7) +
           ((x == w && y == h) ? ";;\n" : ";,");
  s += std::to_string(2 * w * h) + ";\n";
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t a = y * (w + 1) + x, b = a + 1, d = a + w + 1, e = d + 1;
      s += "3;" + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(d) + ";,3;" +
           std::to_string(d) + "," + std::to_string(b) + "," + std::to_string(e) +
           ((x == w - 1 && y == h - 1) ? ";;\n" : ";,");
    }
  return TextMesh(s);
}

struct RoundTripCase {
  const char* name;
  std::function<std::string()> bytes;
};

std::vector<RoundTripCase> RoundTripCases() {
  std::vector<RoundTripCase> cases;
  for (const char* file : {"cube.vkf", "cube_normals.vkf", "decl.vkf", "degenerate.vkf", "fvf.vkf",
                           "materials.vkf", "quad.vkf", "skin.vkf", "vertex_data.vkf"})
    cases.push_back({file, [file] { return MeshLoadData(file); }});
  cases.push_back({"rich", RichMesh});
  cases.push_back({"weights", WeightsMesh});
  cases.push_back({"mixed declaration", MixedDeclMesh});
  cases.push_back({"32-bit indices", WideMesh});
  return cases;
}

class MeshWrite : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();

  void Load(const std::string& bytes, Loaded* out) {
    ASSERT_EQ(LoadAll(device.get(), bytes, out), Ok);
  }
  uint32_t OutstandingLocks() { return ControlOf(device.get())->OutstandingLocks(); }
  template <class Setup>
  WriteInput LoadSetup(const Setup& s, Loaded* l) {
    Load(s.bytes(), l);
    WriteInput in = InputOf(*l);
    if (!s.pm) in.pm = nullptr;
    return in;
  }
};

// load -> write -> load gives the same mesh in every form, and writing the second load again
// gives the same file.
TEST_F(MeshWrite, EveryLoadedMeshRoundTripsInEveryForm) {
  for (const RoundTripCase& c : RoundTripCases()) {
    SCOPED_TRACE(c.name);
    Loaded first;
    Load(c.bytes(), &first);
    for (uint32_t format = 0; format < 4; ++format) {
      SCOPED_TRACE(format);
      LyrResult r;
      const std::string written = WriteToBytes(InputOf(first), format, &r);
      ASSERT_EQ(r, Ok);
      Loaded second;
      ASSERT_EQ(LoadWritten(device.get(), written, &second), Ok);
      ExpectSameLoad(first, second);
      EXPECT_EQ(WriteToBytes(InputOf(second), format, &r), written);
      EXPECT_EQ(OutstandingLocks(), 0u);
    }
  }
}

// Writes in into a fresh save object of the given format; the Mesh object (or, skinned, the frame)
// comes back unwritten for inspection.
struct Inspect {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  Ref<VekSaveObject> save;
  vekio::SaveStrings strings;
  Ref<VekDataObject> object;
  LyrResult result = ErrFail;

  Inspect(const WriteInput& in, uint32_t format = kVekFormatText) {
    EXPECT_EQ(file->OpenSave(tmp.path(), format, save.put()), Ok);
    result = WriteInputObject({save.get(), format, &strings}, in, object.put());
    if (in.skin && object) object = DataChildren(object.get())[0];
  }
  std::vector<Guid> Templates() {
    std::vector<Guid> out;
    for (ChildBlock& c : ChildBlocks(object.get())) out.push_back(c.templateId);
    return out;
  }
};

TEST_F(MeshWrite, ChildrenComeInTheirOrderAndOnlyWithData) {
  struct Case {
    const char* name;
    std::string bytes;
    bool adjacency, pm;
    std::vector<Guid> children;
  };
  const std::vector<Case> cases = {
      {"position and normal", MeshLoadData("quad.vkf"), false, false, {kMeshNormals}},
      // Position, normal and one two-float set: nothing remains for FVFData.
      {"one texture set",
       MeshLoadData("vertex_data.vkf"),
       false,
       false,
       {kMeshNormals, kMeshTextureCoords, kMeshVertexColors}},
      {"tangent",
       MeshLoadData("decl.vkf"),
       true,
       false,
       {kMeshNormals, kVertexDuplicationIndices, kDeclData}},
      {"everything",
       RichMesh(),
       true,
       true,
       {kMeshNormals, kMeshTextureCoords, kMeshVertexColors, kMeshMaterialList, kFaceAdjacency,
        kFVFData, kPMInfo}},
      {"skinned",
       MeshLoadData("skin.vkf"),
       true,
       false,
       {kMeshNormals, kVertexDuplicationIndices, kVekSkinMeshHeader, kSkinWeights, kSkinWeights}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded l;
    Load(c.bytes, &l);
    WriteInput in = InputOf(l);
    if (!c.adjacency) in.adjacency = nullptr;
    if (!c.pm) in.pm = nullptr;
    Inspect w(in);
    ASSERT_EQ(w.result, Ok);
    EXPECT_EQ(w.Templates(), c.children);
  }
}

TEST_F(MeshWrite, BlocksHoldTheDocumentedValues) {
  // A second two-float texture set goes to FVFData as the only set: the file's own block again.
  Loaded fvf;
  Load(MeshLoadData("fvf.vkf"), &fvf);
  Inspect w(InputOf(fvf));
  ASSERT_EQ(w.result, Ok);
  auto kids = ChildBlocks(w.object.get());
  ASSERT_EQ(kids.back().templateId, kFVFData);
  const std::vector<uint32_t> expected = {0xC0202,    9,          1065353216, 1073741824,
                                          1077936128, 1082130432, 1084227584, 1086324736,
                                          1088421888, 1090519040, 1091567616};
  EXPECT_EQ(kids.back().block.size(), expected.size() * 4);
  EXPECT_EQ(std::memcmp(kids.back().block.data(), expected.data(), expected.size() * 4), 0);

  // Two bones: header (weights per vertex, bones per face, bones) and the weights of each.
  Loaded skin;
  Load(MeshLoadData("skin.vkf"), &skin);
  Inspect s(InputOf(skin));
  ASSERT_EQ(s.result, Ok);
  kids = ChildBlocks(s.object.get());
  ASSERT_EQ(kids.size(), 5u);
  const uint16_t header[3] = {2, 2, 2};
  ASSERT_EQ(kids[2].block.size(), 6u);
  EXPECT_EQ(std::memcmp(kids[2].block.data(), header, 6), 0);
  ASSERT_EQ(kids[4].block.size(), sizeof(char*) + 4 + 3 * 8 + 64);
  EXPECT_STREQ(ValueAt<const char*>(kids[4].block.data(), 0), "Knee");
  EXPECT_EQ(ValueAt<uint32_t>(kids[4].block.data(), sizeof(char*)), 3u);
  EXPECT_EQ(ValueAt<uint32_t>(kids[4].block.data(), sizeof(char*) + 8), 2u);
  EXPECT_EQ(ValueAt<float>(kids[4].block.data(), sizeof(char*) + 16), 0.75f);
}

// Backslashes are the component's to escape: the blocks carry each string exactly, and the text
// file shows every backslash escaped once.
TEST_F(MeshWrite, StringsAreCopiedExactlyAndEscapedOnceInText) {
  Loaded l;
  Load(RichMesh(), &l);
  for (uint32_t format = 0; format < 4; ++format) {
    SCOPED_TRACE(format);
    Inspect w(InputOf(l), format);
    ASSERT_EQ(w.result, Ok);
    auto list = ChildBlocks(ChildBlocks(w.object.get())[3].object.get());
    auto texture = ChildBlocks(list[0].object.get());
    ASSERT_EQ(texture.size(), 1u);
    EXPECT_STREQ(ValueAt<const char*>(texture[0].block.data(), 0), "C:\\a\\b.bmp");
    auto effect = ChildBlocks(list[1].object.get());
    EXPECT_STREQ(ValueAt<const char*>(effect[0].block.data(), 0), "shaders\\gloss.fx");
    auto params = ChildBlocks(effect[0].object.get());
    ASSERT_EQ(params.size(), 3u);
    EXPECT_STREQ(ValueAt<const char*>(params[1].block.data(), sizeof(char*)), "maps\\gloss.dds");
  }
  LyrResult r;
  const std::string text = WriteToBytes(InputOf(l), kVekFormatText, &r);
  ASSERT_EQ(r, Ok);
  EXPECT_NE(text.find("\"C:\\\\a\\\\b.bmp\""), std::string::npos);
  EXPECT_EQ(text.find("\\\\\\\\"), std::string::npos);
}

TEST_F(MeshWrite, MaterialsComeFromEffectDefaultsWhenNoneAreGiven) {
  Loaded quad;
  Load(MeshLoadData("quad.vkf"), &quad);
  float diffuse[4] = {1, 0, 0, 1}, power = 8, ignored[4] = {9, 9, 9, 9};
  char texture[] = "t\\1.bmp";
  uint32_t passes = 7;
  EffectDefault plain[] = {
      {const_cast<char*>("Diffuse"), EffectDefaultFloats, 16, diffuse},
      {const_cast<char*>("Power"), EffectDefaultFloats, 4, &power},
      {const_cast<char*>("diffuse"), EffectDefaultFloats, 16, ignored},  // names are exact
      {const_cast<char*>("Texture0@Name"), EffectDefaultString, sizeof texture, texture},
  };
  EffectDefault withFile[] = {{const_cast<char*>("Passes"), EffectDefaultDWord, 4, &passes},
                              {const_cast<char*>("Diffuse"), EffectDefaultFloats, 16, diffuse}};
  EffectInstance effects[] = {{nullptr, 4, plain}, {const_cast<char*>("fx.fx"), 2, withFile}};
  WriteInput in = InputOf(quad);
  in.effects = effects;
  in.materialCount = 2;
  Inspect w(in);
  ASSERT_EQ(w.result, Ok);
  auto list = ChildBlocks(ChildBlocks(w.object.get())[1].object.get());
  ASSERT_EQ(list.size(), 2u);
  const float first[11] = {1, 0, 0, 1, 8, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(list[0].block.size(), 44u);
  EXPECT_EQ(std::memcmp(list[0].block.data(), first, 44), 0);
  auto firstKids = ChildBlocks(list[0].object.get());
  ASSERT_EQ(firstKids.size(), 1u);  // no effect instance for an instance without a file
  EXPECT_STREQ(ValueAt<const char*>(firstKids[0].block.data(), 0), "t\\1.bmp");
  // An instance naming a file leaves its material zero and is written with its parameters.
  EXPECT_EQ(list[1].block, std::vector<uint8_t>(44, 0));
  auto secondKids = ChildBlocks(list[1].object.get());
  ASSERT_EQ(secondKids.size(), 1u);
  EXPECT_EQ(secondKids[0].templateId, kEffectInstance);
  auto params = ChildBlocks(secondKids[0].object.get());
  ASSERT_EQ(params.size(), 2u);
  EXPECT_EQ(params[0].templateId, kEffectParamDWord);
  EXPECT_STREQ(ValueAt<const char*>(params[0].block.data(), 0), "Passes");
  EXPECT_EQ(ValueAt<uint32_t>(params[0].block.data(), sizeof(char*)), 7u);
}

// Over random format codes, FVFData holds exactly the components no other child carries: its
// code is the code of the position followed by those elements (texture sets renumbered when set 0
// went to MeshTextureCoords), and each row is their bytes in declaration order.
TEST_F(MeshWrite, FormatDataHoldsEveryOtherComponent) {
  std::mt19937 random(7);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  for (int round = 0; round < 300; ++round) {
    FormatCode code = FormatPositionWeights(pick(6));
    const uint32_t weights = (code & kFormatPositionMask) == kFormatPosition ? 0 : (code >> 1) - 2;
    if (weights)
      code |= std::array<uint32_t, 3>{0, kFormatIndicesU8x4, kFormatIndicesColor}[pick(3)];
    if (weights == 5 && !(code & (kFormatIndicesU8x4 | kFormatIndicesColor)))
      code |= kFormatIndicesU8x4;
    for (FormatCode bit : {kFormatNormal, kFormatPointSize, kFormatDiffuse, kFormatSpecular})
      if (pick(2)) code |= bit;
    const uint32_t sets = pick(9);
    code |= FormatTexCount(sets);
    for (uint32_t i = 0; i < sets; ++i) code |= FormatTexSize(i, pick(4));
    SCOPED_TRACE(testing::Message() << std::hex << code);
    Ref<Mesh> mesh;
    ASSERT_EQ(CreateMeshFromFormatCode(
                  1, 3, MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory, code,
                  device.get(), mesh.put()),
              Ok);
    const uint32_t stride = mesh->GetVertexStride();
    std::vector<uint8_t> bytes(3 * stride);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    void* p = nullptr;
    ASSERT_EQ(mesh->LockVertices(0, &p), Ok);
    std::memcpy(p, bytes.data(), bytes.size());
    ASSERT_EQ(mesh->UnlockVertices(), Ok);

    VertexElement decl[MaxElementEntries], expected[MaxElementEntries];
    ASSERT_EQ(mesh->CopyDeclaration(decl), Ok);
    const bool set0Carried = sets > 0 && ((code >> 16) & 3) == kTexSize2;
    std::vector<uint8_t> rows;
    uint32_t kept = 0;
    expected[kept++] = decl[0];
    for (uint32_t v = 0; v < 3; ++v) {
      for (const VertexElement* e = decl + 1; !IsEndElement(*e); ++e) {
        const bool carried =
            e->usage == ElementUsage::Normal ||
            (e->usage == ElementUsage::Color && e->usageIndex == 0) ||
            (e->usage == ElementUsage::TexCoord && e->usageIndex == 0 && set0Carried);
        if (carried) continue;
        const uint8_t* at = bytes.data() + v * stride + e->offset;
        rows.insert(rows.end(), at, at + ElementTypeSize(e->type));
        if (v) continue;
        expected[kept] = *e;
        if (e->usage == ElementUsage::TexCoord && set0Carried) --expected[kept].usageIndex;
        ++kept;
      }
    }
    expected[kept] = kEndElement;
    for (uint32_t i = 1, offset = 12; i < kept; offset += ElementTypeSize(expected[i].type), ++i)
      expected[i].offset = static_cast<uint16_t>(offset);
    FormatCode expectedCode = 0;
    ASSERT_EQ(ElementsToFormatCode(expected, &expectedCode), Ok);

    WriteInput in;
    in.mesh = mesh.get();
    Inspect w(in);
    ASSERT_EQ(w.result, Ok);
    auto kids = ChildBlocks(w.object.get());
    if (rows.empty()) {
      for (const ChildBlock& k : kids) EXPECT_FALSE(k.templateId == kFVFData);
      continue;
    }
    ASSERT_TRUE(kids.back().templateId == kFVFData);
    const std::vector<uint8_t>& b = kids.back().block;
    ASSERT_EQ(b.size(), 8 + rows.size());
    EXPECT_EQ(ValueAt<uint32_t>(b.data(), 0), expectedCode);
    EXPECT_EQ(ValueAt<uint32_t>(b.data(), 4), rows.size() / 4);
    EXPECT_EQ(std::memcmp(b.data() + 8, rows.data(), rows.size()), 0);
  }
}

// Declaration data is copied byte for byte: signed values would otherwise be rounded.
TEST_F(MeshWrite, DeclarationDataKeepsEveryByte) {
  const VertexElement decl[] = {
      {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0},
      {0, 12, ElementType::S16x2Norm, ElementMethod::Default, ElementUsage::Tangent, 0},
      {0, 16, ElementType::S16x4, ElementMethod::Default, ElementUsage::TexCoord, 1},
      kEndElement};
  Ref<Mesh> mesh;
  ASSERT_EQ(CreateMesh(1, 3, MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory, decl,
                       device.get(), mesh.put()),
            Ok);
  struct Vertex {
    float p[3];
    int16_t t[2];
    int16_t s[4];
  };
  static_assert(sizeof(Vertex) == 24);
  const Vertex v[3] = {{{0, 0, 0}, {-5, -32768}, {-1, 2, -3, 4}},
                       {{1, 0, 0}, {32767, -1}, {-32768, 0, 1, -7}},
                       {{0, 1, 0}, {7, -9}, {5, -5, 5, -5}}};
  void* p = nullptr;
  ASSERT_EQ(mesh->LockVertices(0, &p), Ok);
  std::memcpy(p, v, sizeof v);
  ASSERT_EQ(mesh->UnlockVertices(), Ok);
  ASSERT_EQ(mesh->LockIndices(0, &p), Ok);
  const uint16_t face[3] = {0, 1, 2};
  std::memcpy(p, face, 6);
  ASSERT_EQ(mesh->UnlockIndices(), Ok);
  WriteInput in;
  in.mesh = mesh.get();
  Inspect w(in);
  ASSERT_EQ(w.result, Ok);
  auto kids = ChildBlocks(w.object.get());
  ASSERT_EQ(kids.size(), 1u);
  ASSERT_EQ(kids[0].templateId, kDeclData);
  const std::vector<uint8_t>& b = kids[0].block;
  ASSERT_EQ(b.size(), 4 + 2 * 16 + 4 + 3 * 12u);
  const uint32_t elements[8] = {9, 0, 6, 0, 7, 0, 5, 1};
  EXPECT_EQ(std::memcmp(b.data() + 4, elements, 32), 0);
  EXPECT_EQ(ValueAt<uint32_t>(b.data(), 36), 9u);
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(b.data() + 40 + 12 * i, &v[i].t, 12), 0) << i;
}

// Refusals come before any object is made and leave nothing locked.
TEST_F(MeshWrite, RefusalsComeBeforeAnythingIsMade) {
  Loaded l;
  Load(RichMesh(), &l);
  const VertexElement transformed[] = {
      {0, 0, ElementType::F32x4, ElementMethod::Default, ElementUsage::TransformedPosition, 0},
      {0, 16, ElementType::F32x3, ElementMethod::Default, ElementUsage::Normal, 0},
      kEndElement};
  Ref<Mesh> noPosition, writeOnly;
  ASSERT_EQ(CreateMesh(1, 3, MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory,
                       transformed, device.get(), noPosition.put()),
            Ok);
  ASSERT_EQ(CreateMeshFromFormatCode(1, 3, MeshOptions::VertexWriteOnly, kFormatPosition,
                                     device.get(), writeOnly.put()),
            Ok);
  Ref<SkinInfo> manyBones;
  VertexElement decl[MaxElementEntries];
  ASSERT_EQ(l.mesh->CopyDeclaration(decl), Ok);
  ASSERT_EQ(CreateSkinInfo(l.mesh->GetVertexCount(), decl, 0x10000, manyBones.put()), Ok);

  struct Case {
    const char* name;
    std::function<void(WriteInput&)> change;
  };
  const Case cases[] = {
      {"attribute id not below the count", [](WriteInput& in) { in.materialCount = 1; }},
      {"count without materials or effects",
       [](WriteInput& in) { in.materials = nullptr, in.effects = nullptr; }},
      {"no mesh", [](WriteInput& in) { in.mesh = nullptr; }},
      {"no three-float position", [&](WriteInput& in) { in.mesh = noPosition.get(); }},
      {"write-only buffers", [&](WriteInput& in) { in.mesh = writeOnly.get(); }},
      {"more bones than a header counts", [&](WriteInput& in) { in.skin = manyBones.get(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteInput in = InputOf(l);
    c.change(in);
    Ref<VekFile> file = NewVekFile();
    TempFile tmp;
    Ref<VekSaveObject> real;
    ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatBinary, real.put()), Ok);
    FaultPlan plan;
    Ref<VekSaveObject> save = MakeFailingSave(real.get(), &plan);
    EXPECT_EQ(WriteInputTo(save.get(), kVekFormatBinary, in), ErrInvalidCall);
    EXPECT_EQ(plan.calls, in.skin ? 1 : 0);  // only the test's own frame was made
    EXPECT_EQ(OutstandingLocks(), 0u);
  }
  // A skinned container of another kind writes nothing; one without skin is not a skinned mesh.
  vekio::SaveStrings strings;
  Ref<VekSaveObject> save;
  TempFile tmp;
  Ref<VekFile> file = NewVekFile();
  ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatText, save.put()), Ok);
  vekio::SaveContext context{save.get(), kVekFormatText, &strings};
  Ref<VekDataObject> frame;
  ASSERT_EQ(save->NewDataObject(kFrame, nullptr, nullptr, 0, nullptr, frame.put()), Ok);
  MeshContainer c{};
  c.meshType = MeshTypePatchMesh;
  c.skinInfo = l.skin.get() ? l.skin.get() : manyBones.get();
  EXPECT_EQ(vekio::WriteSkinnedMesh(context, &c, frame.get()), Ok);
  EXPECT_TRUE(DataChildren(frame.get()).empty());
  c.skinInfo = nullptr;
  EXPECT_EQ(vekio::WriteSkinnedMesh(context, &c, frame.get()), ErrInvalidCall);
  Ref<VekDataObject> out;
  EXPECT_EQ(vekio::WriteMeshData(context, l.mesh.get(), nullptr, nullptr, nullptr, nullptr, 0,
                                 nullptr, 0, nullptr),
            ErrInvalidCall);
  vekio::SaveContext noStrings{save.get(), kVekFormatText, nullptr};
  EXPECT_EQ(vekio::WriteMeshData(noStrings, l.mesh.get(), nullptr, nullptr, nullptr, nullptr, 0,
                                 nullptr, 0, out.put()),
            ErrInvalidCall);
}

// The setups the failure tests run: each child kind is made in at least one of them.
struct FailureSetup {
  const char* name;
  std::function<std::string()> bytes;
  bool pm;  // write the progressive-mesh block (FaceAdjacency and PMInfo)
};
const FailureSetup kFailureSetups[] = {
    {"everything", RichMesh, true},
    {"everything without progressive data", RichMesh, false},
    {"declaration data", [] { return MeshLoadData("decl.vkf"); }, false},
    {"skinned", [] { return MeshLoadData("skin.vkf"); }, false},
};

// The children whose failures send a debug message.
const Guid kListed[] = {
    kMeshNormals,       kMeshTextureCoords, kMeshVertexColors,         kMeshMaterialList,
    kMaterial,          kTextureFilename,   kEffectInstance,           kEffectParamString,
    kEffectParamFloats, kEffectParamDWord,  kVertexDuplicationIndices, kFaceAdjacency,
    kFVFData,           kDeclData};

bool Listed(const Guid& t) {
  return std::find(std::begin(kListed), std::end(kListed), t) != std::end(kListed);
}

std::string GuidText(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X", g.data1, g.data2);
  return text;
}

// Every NewDataObject and AddChild the writer makes is failed in turn: the code comes back
// unchanged, nothing stays locked, and exactly the listed children send their message.
TEST_F(MeshWrite, EveryComponentFailureIsReturnedWithItsMessage) {
  locale_t foreign = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  ASSERT_NE(foreign, static_cast<locale_t>(nullptr));
  std::vector<Guid> created;
  for (const FailureSetup& s : kFailureSetups) {
    SCOPED_TRACE(s.name);
    Loaded l;
    const WriteInput in = LoadSetup(s, &l);
    for (int n = 0;; ++n) {
      SCOPED_TRACE(n);
      Ref<VekFile> file = NewVekFile();
      TempFile tmp;
      Ref<VekSaveObject> real;
      ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatText, real.put()), Ok);
      FaultPlan plan;
      plan.failAt = n;
      plan.foreignLocale = foreign;
      Ref<VekSaveObject> save = MakeFailingSave(real.get(), &plan);
      DebugMessages debug;
      const locale_t before = uselocale(foreign);
      const LyrResult r = WriteInputTo(save.get(), kVekFormatText, in);
      EXPECT_EQ(uselocale(before), foreign);  // put back
      EXPECT_TRUE(plan.localeSwitched);
      EXPECT_EQ(OutstandingLocks(), 0u);
      if (!plan.failed) {
        EXPECT_EQ(r, Ok);
        EXPECT_TRUE(debug.messages.empty());
        break;
      }
      EXPECT_EQ(r, plan.code);
      if (plan.failedCreate) created.push_back(plan.failedTemplate);
      std::vector<std::string> expected;
      if (Listed(plan.failedTemplate))
        expected.push_back(plan.failedCreate ? vekio::kMsgCreateFailed : vekio::kMsgAddFailed);
      EXPECT_EQ(debug.messages, expected);
    }
  }
  freelocale(foreign);
  for (const Guid& t : kListed)
    EXPECT_NE(std::find(created.begin(), created.end(), t), created.end()) << GuidText(t);
}

// Every allocation is failed in turn: ErrOutOfMemory, nothing leaked or locked, no object handed
// out; a Material block that cannot be allocated says so.
TEST_F(MeshWrite, EveryAllocationFailureIsOutOfMemory) {
  for (const FailureSetup& s : kFailureSetups) {
    SCOPED_TRACE(s.name);
    Loaded l;
    const WriteInput in = LoadSetup(s, &l);
    if (in.skin) {
      // Warm the skin's derived views, which it keeps once built.
      LyrResult r;
      WriteToBytes(in, kVekFormatBinary, &r);
      ASSERT_EQ(r, Ok);
    }
    Ref<VekFile> file = NewVekFile();
    TempFile tmp;
    Ref<VekSaveObject> save;
    ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatBinary, save.put()), Ok);
    bool sawMaterialMessage = false;
    const int points = ForEachAllocationFailure(
        [&]() -> LyrResult {
          DebugMessages debug;
          vekio::SaveStrings strings;
          Ref<VekDataObject> out;
          const LyrResult r =
              WriteInputObject({save.get(), kVekFormatBinary, &strings}, in, out.put());
          EXPECT_EQ(Failed(r), out.get() == nullptr);
          for (const std::string& m : debug.messages) {
            EXPECT_EQ(m, vekio::kMsgOutOfMemory);
            sawMaterialMessage = true;
          }
          EXPECT_EQ(OutstandingLocks(), 0u);
          return r;
        },
        nullptr);
    EXPECT_GT(points, 1);
    EXPECT_EQ(sawMaterialMessage, in.materialCount > 0);
  }
}

// A failing lock of either buffer ends the write with the device's code and undoes the other.
TEST_F(MeshWrite, LockFailuresAreReturnedAndUndone) {
  const std::string bytes = RichMesh();
  auto setUp = [&](uint32_t failLock, Ref<GraphicsDevice>* dev, Loaded* l) {
    RefDeviceDesc desc;
    desc.failLock = failLock;
    *dev = MakeRefDevice(desc);
    ASSERT_EQ(LoadAll(dev->get(), bytes, l), Ok);
  };
  Ref<GraphicsDevice> probe;
  Loaded probeLoad;
  setUp(0, &probe, &probeLoad);
  const uint32_t locksToLoad = ControlOf(probe.get())->CallCount(kRefCallLock);
  for (uint32_t k = 1;; ++k) {
    SCOPED_TRACE(k);
    Ref<GraphicsDevice> dev;
    Loaded l;
    setUp(locksToLoad + k, &dev, &l);
    LyrResult r;
    WriteToBytes(InputOf(l), kVekFormatBinary, &r);
    EXPECT_EQ(ControlOf(dev.get())->OutstandingLocks(), 0u);
    if (Succeeded(r)) {
      EXPECT_GT(k, 2u);
      break;
    }
    EXPECT_EQ(r, RefDeviceDesc{}.failureCode);
    ASSERT_LT(k, 100u);
  }
}

}  // namespace
}  // namespace lyr::test
