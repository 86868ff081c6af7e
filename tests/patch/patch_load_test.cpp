// Loading PatchMesh9 and PatchMesh data objects: kinds and index order, the vertex layout and
// what the children put into it, materials, malformed data and failures.
#include <fstream>

#include "mesh/load_block.h"
#include "patch_test_util.h"
#include "support/fault_injection.h"

namespace lyr::test {
namespace {

class PatchLoadTest : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();
  LoadedPatches out;
};

// n vertices along x.
std::vector<float> Line(uint32_t n) {
  std::vector<float> p;
  for (uint32_t i = 0; i < n; ++i) p.insert(p.end(), {float(i), float(i % 3), 0.5f});
  return p;
}

std::vector<uint32_t> Range(uint32_t first, uint32_t n) {
  std::vector<uint32_t> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = first + i;
  return v;
}

const PatchInfo kBicubic{1, 3, 0};
const std::string kMaterial = "Material { 1;0;0;1;; 5; 0;0;0;; 0;0;0;; }";

std::vector<uint8_t> VerticesOf(PatchMesh* mesh, uint32_t stride) {
  void* p = nullptr;
  EXPECT_EQ(mesh->LockVertices(kLockReadOnly, &p), Ok);
  const auto* b = static_cast<const uint8_t*>(p);
  std::vector<uint8_t> v(b, b + size_t(mesh->GetVertexCount()) * stride);
  mesh->UnlockVertices();
  return v;
}

TEST_F(PatchLoadTest, PatchMesh9GivesOnePatchMeshWithIdsMaterialsAndDerivativeNormal) {
  const std::string text =
      PatchText(&kBicubic, Line(20), {Range(0, 16), Range(4, 16), Range(2, 16)},
                "MeshMaterialList { 2; 2; 1, 0; " + kMaterial + kMaterial + " }");
  ASSERT_EQ(LoadText(device.get(), text, &out), Ok);
  ASSERT_EQ(out.meshCount, 1u);
  PatchMesh* mesh = out.meshes[0];
  EXPECT_EQ(mesh->GetPatchCount(), 3u);
  EXPECT_EQ(mesh->GetVertexCount(), 20u);
  PatchInfo info{};
  ASSERT_EQ(mesh->GetPatchDescription(&info), Ok);
  EXPECT_EQ(std::memcmp(&info, &kBicubic, sizeof info), 0);
  EXPECT_EQ(out.materialCount, 2u);
  ASSERT_TRUE(out.materials && out.effects);
  // Ids 1, 0, 0 (the third patch is past the list): patch 0 keeps its place, ids by first use.
  EXPECT_EQ(AttributesOf(mesh), (std::vector<uint32_t>{1, 0, 0}));
  const Vector<AttributeRange>& table = GetPatchMeshInternal(mesh)->AttributeTable();
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].attributeId, 1u);
  EXPECT_EQ(table[1].firstFace, 1u);
  EXPECT_EQ(table[1].faceCount, 2u);
  std::vector<uint16_t> expected;
  for (uint32_t first : {0u, 4u, 2u})
    for (uint32_t i = 0; i < 16; ++i) expected.push_back(static_cast<uint16_t>(first + i));
  EXPECT_EQ(IndicesOf(mesh), expected);
  // No normals were read: the normal is the derivatives' cross product and takes no room.
  VertexElement decl[MaxElementEntries];
  ASSERT_EQ(mesh->CopyDeclaration(decl), Ok);
  const VertexElement layout[] = {
      {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0},
      {0, 0, ElementType::F32x3, ElementMethod::CrossUV, ElementUsage::Normal, 0},
      kEndElement};
  EXPECT_TRUE(ElementsEqual(decl, layout));
  const std::vector<uint8_t> v = VerticesOf(mesh, 12);
  const std::vector<float> positions = Line(20);
  EXPECT_EQ(std::memcmp(v.data(), positions.data(), v.size()), 0);
}

// Both cubic kinds in one PatchMesh object: the triangle PatchMesh first, one vertex buffer for
// both, and every patch's indices in the PatchMesh's control-point order.
TEST_F(PatchLoadTest, OldFormatSplitsKindsPermutesIndicesAndSharesTheVertices) {
  const std::vector<uint32_t> rect = Range(100, 16), tri = Range(200, 10);
  const std::string text =
      PatchText(nullptr, Line(300), {rect, tri, Range(150, 16)},
                "MeshMaterialList { 3; 3; 2, 1, 0; " + kMaterial + kMaterial + kMaterial + " }");
  ASSERT_EQ(LoadText(device.get(), text, &out), Ok);
  ASSERT_EQ(out.meshCount, 2u);
  PatchInfo info{};
  ASSERT_EQ(out.meshes[0]->GetPatchDescription(&info), Ok);
  EXPECT_EQ(info.type, kPatchTriangle);
  EXPECT_EQ(info.degree, 3u);
  ASSERT_EQ(out.meshes[1]->GetPatchDescription(&info), Ok);
  EXPECT_EQ(info.type, kPatchRectangle);
  EXPECT_EQ(out.meshes[1]->GetPatchCount(), 2u);
  Ref<VertexBuffer> a, b;
  ASSERT_EQ(out.meshes[0]->GetVertexBufferRef(a.put()), Ok);
  ASSERT_EQ(out.meshes[1]->GetVertexBufferRef(b.put()), Ok);
  EXPECT_EQ(a.get(), b.get());
  const uint8_t order16[] = {6, 7, 8, 9, 5, 14, 15, 10, 4, 13, 12, 11, 3, 2, 1, 0};
  const uint8_t order10[] = {0, 8, 1, 7, 9, 2, 6, 5, 4, 3};
  std::vector<uint16_t> want;
  for (uint8_t p : order10) want.push_back(static_cast<uint16_t>(tri[p]));
  EXPECT_EQ(IndicesOf(out.meshes[0]), want);
  want.clear();
  for (uint32_t first : {100u, 150u})
    for (uint8_t p : order16) want.push_back(static_cast<uint16_t>(first + p));
  EXPECT_EQ(IndicesOf(out.meshes[1]), want);
  // Ids go to each kind in the kind's patch order.
  EXPECT_EQ(AttributesOf(out.meshes[0]), (std::vector<uint32_t>{1}));
  EXPECT_EQ(AttributesOf(out.meshes[1]), (std::vector<uint32_t>{2, 0}));
}

TEST_F(PatchLoadTest, MalformedDataGivesItsCodeAndNothing) {
  const std::vector<float> pts = Line(16);
  const std::vector<std::vector<uint32_t>> one = {Range(0, 16)};
  const std::string p9 = "PatchMesh9 { 1; 3; 0; 16;";
  struct Case {
    const char* name;
    std::string text;
    LyrResult result;
  };
  std::string many = "vkf 0303txt 0032\nPatchMesh9 { 3; 1; 0; 65536;";
  for (uint32_t i = 0; i < 65536; ++i) many += i + 1 < 65536 ? "0;0;0;," : "0;0;0;;";
  many += " 1; 3; 0, 1, 2;; }";
  const PatchInfo tri{2, 3, 1}, npatch{3, 1, 0};
  const Case cases[] = {
      {"65536 vertices", many, ErrInvalidCall},
      {"unknown kind", PatchText(&tri, pts, {Range(0, 10)}), ErrInvalidCall},
      {"control count differs", PatchText(&npatch, pts, {Range(0, 4)}), ErrFail},
      {"index past the vertices", PatchText(&npatch, pts, {{0, 1, 16}}), ErrFail},
      {"old format, 12 indices", PatchText(nullptr, pts, {Range(0, 12)}), ErrInvalidCall},
      {"no patches",
       "vkf 0303txt 0032\n" + p9 +
           " 0;0;0;,0;0;0;,0;0;0;,0;0;0;,0;0;0;,0;0;0;,"
           "0;0;0;,0;0;0;,0;0;0;,0;0;0;,0;0;0;,0;0;0;,0;0;0;,"
           "0;0;0;,0;0;0;,0;0;0;; 0; ; }",
       ErrFail},
      {"texture coordinates short",
       PatchText(&kBicubic, pts, one, "MeshTextureCoords { 1; 0;0;; }"), ErrFail},
      {"colour of no vertex",
       PatchText(&kBicubic, pts, one, "MeshVertexColors { 1; 16; 1;1;1;1;;; }"), ErrFail},
      {"more face indices than patches",
       PatchText(&kBicubic, pts, one, "MeshMaterialList { 1; 2; 0, 0; " + kMaterial + " }"),
       ErrInvalidCall},
      {"face index past the materials",
       PatchText(&kBicubic, pts, one, "MeshMaterialList { 1; 1; 1; " + kMaterial + " }"), ErrFail},
      {"normals of other vertices",
       PatchText(&kBicubic, pts, one,
                 "MeshNormals { 1; 0;0;1;; 1; 16; 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0;; }"),
       ErrFail},
      {"normal list of another length",
       PatchText(&kBicubic, Line(1), {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                 "MeshNormals { 1; 0;0;1;; 1; 3; 0,0,0;; }"),
       ErrFail},
      {"DeclData of 65 elements",
       PatchText(&kBicubic, pts, one,
                 [] {
                   std::string s = "DeclData { 65; ";
                   for (int i = 0; i < 65; ++i) s += i < 64 ? "0;0;5;0;, " : "0;0;5;0;; ";
                   return s + "0; ; }";
                 }()),
       ErrInvalidCall},
      {"DeclData rows too short",
       PatchText(
           &kBicubic, pts, one,
           "DeclData { 1; 2;0;6;0;; 16; " +
               [] {
                 std::string s;
                 for (int i = 0; i < 16; ++i) s += i < 15 ? "0," : "0;";
                 return s;
               }() +
               " }"),
       ErrInvalidCall},
      {"FVFData code with reserved bit", PatchText(&kBicubic, pts, one, "FVFData { 1; 0; ; }"),
       ErrInvalidCall},
      {"FVFData rows too short",
       PatchText(&kBicubic, pts, one, "FVFData { 274; 16; 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0; }"),
       ErrFail},
      {"FVFData normal twice",
       PatchText(
           &kBicubic, pts, one,
           "FVFData { 18; 48; " +
               [] {
                 std::string s;
                 for (int i = 0; i < 48; ++i) s += i < 47 ? "0," : "0;";
                 return s;
               }() +
               " }"),
       ErrInvalidCall},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ref<VekDataObject> object;
    ASSERT_EQ(ParseFirst(c.text, object.put()), Ok);
    EXPECT_EQ(LoadObject(device.get(), object.get(), &out), c.result);
    EXPECT_EQ(out.meshCount, 0u);
    EXPECT_EQ(out.meshes[0], nullptr);
    EXPECT_FALSE(out.materials);
    EXPECT_EQ(out.unknown, nullptr);
  }
  EXPECT_EQ(ControlOf(device.get())->LiveObjects(), 0u);
}

TEST_F(PatchLoadTest, NormalsAreUsedOnlyWhenEveryListNamesTheControlVertices) {
  std::string lists;
  for (int p = 0; p < 2; ++p) {
    lists += "16; ";
    for (uint32_t i = 0; i < 16; ++i) lists += std::to_string(p * 2 + i) + (i < 15 ? "," : ";");
    lists += p == 0 ? ", " : "; ";
  }
  std::string normals = "18; ";
  for (int i = 0; i < 18; ++i) normals += "0;0;" + std::to_string(i) + (i < 17 ? ";, " : ";; ");
  for (bool same : {true, false}) {
    SCOPED_TRACE(same);
    std::string l = lists;
    if (!same) l.replace(l.find("16; 0,"), 6, "16; 1,");
    ASSERT_EQ(LoadText(device.get(),
                       PatchText(&kBicubic, Line(18), {Range(0, 16), Range(2, 16)},
                                 "MeshNormals { " + normals + "2; " + l + " }"),
                       &out),
              Ok);
    VertexElement decl[MaxElementEntries];
    ASSERT_EQ(out.meshes[0]->CopyDeclaration(decl), Ok);
    const VertexElement* n = FindElement(decl, ElementUsage::Normal, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->method, same ? ElementMethod::Default : ElementMethod::CrossUV);
    EXPECT_EQ(n->offset, same ? 12u : 0u);
    EXPECT_EQ(StreamVertexSize(decl, 0), same ? 24u : 12u);
    if (same) {
      const std::vector<uint8_t> v = VerticesOf(out.meshes[0], 24);
      float z;
      std::memcpy(&z, &v[17 * 24 + 20], 4);
      EXPECT_EQ(z, 17.0f);
    }
  }
}

TEST_F(PatchLoadTest, ColoursTextureCoordinatesFvfAndDeclDataFillTheLayout) {
  // Colours: 0.5 -> 128, 1.2 -> 255, -0.1 -> 0; vertex 2 is not listed.
  const std::string colours =
      "MeshVertexColors { 3; 0; 0.5;1.2;-0.1;1;;, 1; 0.2;0.4;0.6;0.8;;, 3; 1;1;1;1;;; }";
  std::string uv = "MeshTextureCoords { 4; ";
  for (int i = 0; i < 4; ++i) uv += std::to_string(i) + ";0.5;" + (i < 3 ? "," : ";");
  uv += " }";
  // FVFData: one texture set of two floats -> set 1 behind the file's coordinates.
  const std::string fvf = "FVFData { 258; 8; 1, 2, 3, 4, 5, 6, 7, 8; }";
  const std::string decl = "DeclData { 1; 1;0;6;0;; 8; 9, 8, 7, 6, 5, 4, 3, 2; }";
  const std::string unknown = "Frame Extra { }";
  ASSERT_EQ(
      LoadText(device.get(),
               PatchText(&kBicubic, Line(4), {{0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}},
                         colours + uv + fvf + decl + unknown),
               &out),
      Ok);
  VertexElement d[MaxElementEntries];
  ASSERT_EQ(out.meshes[0]->CopyDeclaration(d), Ok);
  const VertexElement* color = FindElement(d, ElementUsage::Color, 0);
  const VertexElement* tex0 = FindElement(d, ElementUsage::TexCoord, 0);
  const VertexElement* tex1 = FindElement(d, ElementUsage::TexCoord, 1);
  const VertexElement* tangent = FindElement(d, ElementUsage::Tangent, 0);
  ASSERT_TRUE(color && tex0 && tex1 && tangent);
  EXPECT_EQ(color->offset, 12u);
  EXPECT_EQ(tex0->offset, 16u);
  EXPECT_EQ(tex1->offset, 24u);
  EXPECT_EQ(tangent->offset, 32u);
  EXPECT_EQ(FindElement(d, ElementUsage::Normal, 0)->method, ElementMethod::CrossUV);
  const uint32_t stride = 40;
  EXPECT_EQ(StreamVertexSize(d, 0), stride);
  const std::vector<uint8_t> v = VerticesOf(out.meshes[0], stride);
  auto word = [&](uint32_t vertex, uint32_t offset) {
    uint32_t w;
    std::memcpy(&w, &v[vertex * stride + offset], 4);
    return w;
  };
  auto real = [&](uint32_t vertex, uint32_t offset) {
    float f;
    std::memcpy(&f, &v[vertex * stride + offset], 4);
    return f;
  };
  EXPECT_EQ(word(0, 12), 0xFF80FF00u);
  EXPECT_EQ(word(1, 12), 0xCC336699u);
  EXPECT_EQ(word(2, 12), 0u);
  EXPECT_EQ(word(3, 12), 0xFFFFFFFFu);
  EXPECT_EQ(real(3, 16), 3.0f);
  EXPECT_EQ(real(3, 20), 0.5f);
  EXPECT_EQ(word(1, 24), 3u);  // the FVFData rows are DWORDs
  EXPECT_EQ(word(1, 28), 4u);
  EXPECT_EQ(word(2, 32), 5u);
  EXPECT_EQ(word(2, 36), 4u);
  ASSERT_EQ(out.unknownCount, 1u);
  EXPECT_EQ(out.materialCount, 0u);
  EXPECT_FALSE(out.materials);
}

TEST_F(PatchLoadTest, EveryAllocationAndDeviceFailureIsReportedAndLeavesNothing) {
  const std::string text = PatchText(
      nullptr, Line(40), {Range(0, 16), Range(20, 10), Range(10, 16)},
      "MeshMaterialList { 1; 3; 0, 0, 0; " + kMaterial + " } MeshTextureCoords { 40; " +
          [] {
            std::string s;
            for (int i = 0; i < 40; ++i) s += i < 39 ? "0;1;," : "0;1;;";
            return s;
          }() +
          " } Frame Extra { }");
  const int points = ForEachAllocationFailure(
      [&] {
        Ref<VekDataObject> fresh;
        LyrResult r = ParseFirst(text, fresh.put());
        if (Failed(r)) return r;
        return LoadObject(device.get(), fresh.get(), &out);
      },
      [&](LyrResult) { out.Reset(); });
  EXPECT_GT(points, 10);
  Ref<RefDeviceControl> control = ControlOf(device.get());
  EXPECT_EQ(control->LiveObjects(), 0u);
  // Three buffers are made and three locks taken; each failure is returned unchanged.
  for (uint32_t n = 1; n <= 3; ++n) {
    for (bool lock : {false, true}) {
      RefDeviceDesc desc;
      (lock ? desc.failLock : desc.failBufferCreation) = n;
      Ref<GraphicsDevice> failing = MakeRefDevice(desc);
      Ref<VekDataObject> fresh;
      ASSERT_EQ(ParseFirst(text, fresh.put()), Ok);
      EXPECT_EQ(LoadObject(failing.get(), fresh.get(), &out), desc.failureCode);
      EXPECT_EQ(out.meshCount, 0u);
      EXPECT_EQ(ControlOf(failing.get())->LiveObjects(), 0u);
      EXPECT_EQ(ControlOf(failing.get())->OutstandingLocks(), 0u);
    }
  }
}

}  // namespace
}  // namespace lyr::test

namespace lyr::test {
namespace {

// The sample files (also the fuzz target's seeds) load whole.
TEST_F(PatchLoadTest, SampleFilesLoad) {
  struct Case {
    const char* file;
    uint32_t meshes, materials, unknown;
  };
  for (const Case& c : {Case{"bicubic.vkf", 1, 2, 0}, Case{"old_format.vkf", 2, 0, 1},
                        Case{"npatch.vkf", 1, 1, 0}}) {
    SCOPED_TRACE(c.file);
    std::ifstream in(std::string(LYR_TEST_DATA_DIR) + "/patch/" + c.file, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    Ref<VekDataObject> object;
    ASSERT_EQ(ParseFirst(bytes.str(), object.put()), Ok);
    if (!meshload::TemplateIs(object.get(), vekio::tid::kPatchMesh) &&
        !meshload::TemplateIs(object.get(), vekio::tid::kPatchMesh9)) {
      Ref<Unknown> child;
      ASSERT_EQ(object->NextChild(child.put()), Ok);
      void* p = nullptr;
      ASSERT_EQ(child->QueryInterface(VekDataObject::kIid, &p), Ok);
      object = Ref<VekDataObject>(static_cast<VekDataObject*>(p));
    }
    ASSERT_EQ(LoadObject(device.get(), object.get(), &out), Ok);
    EXPECT_EQ(out.meshCount, c.meshes);
    EXPECT_EQ(out.materialCount, c.materials);
    EXPECT_EQ(out.unknownCount, c.unknown);
    for (uint32_t i = 0; i < out.meshCount; ++i) {
      EXPECT_EQ(out.meshes[i]->BuildPatchAdjacency(0.0f), Ok);
      EXPECT_FALSE(AdjacencyOf(out.meshes[i]).empty() &&
                   GetPatchMeshInternal(out.meshes[i])->Info().type != kPatchTriangle);
    }
  }
}

}  // namespace
}  // namespace lyr::test

namespace lyr::test {
namespace {

// A data object over a block given as bytes, without children: it lets a test hand the loader
// blocks the component would never make.
class BlockObject final : public Object<BlockObject, VekDataObject> {
 public:
  BlockObject(const Guid& templ, std::vector<uint8_t> bytes)
      : templ_(templ), bytes_(std::move(bytes)) {}
  LyrResult LYR_CALL ReadName(char*, uint32_t* size) override {
    *size = 0;
    return Ok;
  }
  LyrResult LYR_CALL ReadId(Guid*) override { return ErrVekNotFound; }
  LyrResult LYR_CALL ReadData(const char*, uint32_t* size, const void** data) override {
    *size = static_cast<uint32_t>(bytes_.size());
    *data = bytes_.data();
    return Ok;
  }
  LyrResult LYR_CALL ReadTemplateId(const Guid** out) override {
    *out = &templ_;
    return Ok;
  }
  LyrResult LYR_CALL NextChild(Unknown** out) override {
    *out = nullptr;
    return ErrVekNoMoreObjects;
  }
  LyrResult LYR_CALL AddChild(VekDataObject*) override { return ErrFail; }
  LyrResult LYR_CALL AddReference(const char*, const Guid*) override { return ErrFail; }

 private:
  Guid templ_;
  std::vector<uint8_t> bytes_;
};

void Put(std::vector<uint8_t>& b, uint32_t v) {
  b.insert(b.end(), reinterpret_cast<uint8_t*>(&v), reinterpret_cast<uint8_t*>(&v) + 4);
}

// Every block cut short, and every count raised past its data, is refused without reading
// past the block (the sanitiser build checks the reads).
TEST_F(PatchLoadTest, BlocksShorterThanTheirCountsAreRefused) {
  for (bool nine : {true, false}) {
    std::vector<uint8_t> block;
    if (nine) {
      Put(block, 1);
      Put(block, 3);
      Put(block, 0);
    }
    const size_t countAt = block.size();
    Put(block, 20);
    for (uint32_t i = 0; i < 60; ++i) Put(block, 0);
    Put(block, 2);
    for (uint32_t p = 0; p < 2; ++p) {
      Put(block, 16);
      for (uint32_t i = 0; i < 16; ++i) Put(block, p * 4 + i);
    }
    const Guid& templ = nine ? vekio::tid::kPatchMesh9 : vekio::tid::kPatchMesh;
    auto load = [&](std::vector<uint8_t> bytes) {
      Ref<BlockObject> object(New<BlockObject>(templ, std::move(bytes)));
      return LoadObject(device.get(), object.get(), &out);
    };
    ASSERT_EQ(load(block), Ok);
    for (size_t size = 0; size < block.size(); ++size) {
      SCOPED_TRACE(size);
      EXPECT_EQ(load(std::vector<uint8_t>(block.begin(), block.begin() + size)), ErrFail);
      EXPECT_EQ(out.meshCount, 0u);
    }
    for (uint32_t raised : {21u, 0xFFFFu}) {
      std::vector<uint8_t> bad = block;
      std::memcpy(&bad[countAt], &raised, 4);
      EXPECT_TRUE(Failed(load(bad)));  // the patches are then read from elsewhere
    }
    std::vector<uint8_t> bad = block;
    const uint32_t patches = 0xFFFFFFFFu;
    std::memcpy(&bad[countAt + 4 + 240], &patches, 4);
    EXPECT_EQ(load(bad), ErrFail);
  }
  EXPECT_EQ(ControlOf(device.get())->LiveObjects(), 0u);
}

}  // namespace
}  // namespace lyr::test
