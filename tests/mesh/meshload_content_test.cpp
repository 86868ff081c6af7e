// What loaded meshes carry besides geometry: materials and effect instances, vertex colours and
// texture coordinates, FVFData and DeclData values, skinning and the children left over.
#include <string>

#include "meshload_test_util.h"
#include "platform/platform.h"

namespace lyr::test {
namespace {

class MeshLoadContent : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();
  Loaded out;
};

const EffectDefault* FindDefault(const EffectInstance& e, const char* name) {
  for (uint32_t i = 0; i < e.defaultCount; ++i)
    if (e.defaults[i].parameterName && std::string(e.defaults[i].parameterName) == name)
      return &e.defaults[i];
  return nullptr;
}

bool Inside(const void* p, Buffer* b) {
  auto* base = static_cast<const uint8_t*>(b->GetBytes());
  auto* q = static_cast<const uint8_t*>(p);
  return q >= base && q < base + b->GetByteCount();
}

TEST_F(MeshLoadContent, MaterialsAreReadInOrderAndShortFaceListsDefaultToMaterialZero) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("materials.vkf"), &out), Ok);
  ASSERT_EQ(out.materialCount, 3u);
  ASSERT_EQ(out.materials->GetByteCount(), 3 * sizeof(Material) + sizeof("red.bmp"));
  const Material* m = out.Materials();
  EXPECT_EQ(m[0].diffuse.red, 1.0f);
  EXPECT_EQ(m[0].power, 8.0f);
  EXPECT_EQ(m[0].specular.green, 0.5f);
  EXPECT_EQ(m[0].specular.alpha, 1.0f);
  EXPECT_EQ(m[0].emissive.blue, 0.3f);
  EXPECT_EQ(m[0].emissive.alpha, 1.0f);
  EXPECT_EQ(m[0].ambient.red, 0.0f);
  EXPECT_EQ(m[0].ambient.alpha, 1.0f);
  ASSERT_NE(m[0].textureFilename, nullptr);
  EXPECT_STREQ(m[0].textureFilename, "red.bmp");
  EXPECT_TRUE(Inside(m[0].textureFilename, out.materials.get()));
  EXPECT_EQ(m[1].diffuse.alpha, 0.5f);
  EXPECT_EQ(m[1].textureFilename, nullptr);
  EXPECT_EQ(m[2].diffuse.blue, 1.0f);
  // Faces: 0 -> material 2, 1 -> material 1, 2 (not listed) -> material 0; sorted by attribute.
  MeshContents c = ReadBack(out.mesh.get());
  EXPECT_EQ(c.attributes, (std::vector<uint32_t>{0, 0, 1, 1, 2, 2}));
  AttributeRange table[3];
  uint32_t count = 0;
  ASSERT_EQ(out.mesh->CopyAttributeTable(nullptr, &count), Ok);
  ASSERT_EQ(count, 3u);
  ASSERT_EQ(out.mesh->CopyAttributeTable(table, &count), Ok);
  // The last face (x from 2 to 3) carries material 0.
  EXPECT_EQ(c.At(c.indices[table[0].firstFace * 3 + 1], ElementUsage::Position)[0], 3.0f);
}

TEST_F(MeshLoadContent, EffectInstancesFromTheFileAndTheFiveOrSixDefaults) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("materials.vkf"), &out), Ok);
  const EffectInstance* e = out.Effects();
  // Material 0 has a texture: five colour and power defaults and the texture name.
  EXPECT_EQ(e[0].effectFilename, nullptr);
  ASSERT_EQ(e[0].defaultCount, 6u);
  const char* names[] = {"Diffuse", "Power", "Specular", "Emissive", "Ambient", "Texture0@Name"};
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_STREQ(e[0].defaults[i].parameterName, names[i]);
    EXPECT_TRUE(Inside(e[0].defaults[i].value, out.effects.get()));
  }
  const EffectDefault* diffuse = FindDefault(e[0], "Diffuse");
  EXPECT_EQ(diffuse->type, EffectDefaultFloats);
  EXPECT_EQ(diffuse->byteCount, 16u);
  EXPECT_EQ(static_cast<const float*>(diffuse->value)[0], 1.0f);
  EXPECT_EQ(FindDefault(e[0], "Power")->byteCount, 4u);
  EXPECT_EQ(static_cast<const float*>(FindDefault(e[0], "Power")->value)[0], 8.0f);
  EXPECT_EQ(static_cast<const float*>(FindDefault(e[0], "Ambient")->value)[3], 1.0f);
  const EffectDefault* texture = FindDefault(e[0], "Texture0@Name");
  EXPECT_EQ(texture->type, EffectDefaultString);
  EXPECT_EQ(texture->byteCount, sizeof("red.bmp"));
  EXPECT_STREQ(static_cast<const char*>(texture->value), "red.bmp");
  // Material 2 has no texture: five defaults.
  EXPECT_EQ(e[2].defaultCount, 5u);
  EXPECT_EQ(FindDefault(e[2], "Texture0@Name"), nullptr);
  // Material 1 carries its own instance; the unnamed EffectString is skipped.
  ASSERT_NE(e[1].effectFilename, nullptr);
  EXPECT_STREQ(e[1].effectFilename, "metal.fx");
  EXPECT_TRUE(Inside(e[1].effectFilename, out.effects.get()));
  ASSERT_EQ(e[1].defaultCount, 5u);
  const EffectDefault* tint = FindDefault(e[1], "Tint");
  ASSERT_NE(tint, nullptr);
  EXPECT_EQ(tint->type, EffectDefaultFloats);
  EXPECT_EQ(tint->byteCount, 8u);
  EXPECT_EQ(static_cast<const float*>(tint->value)[1], 0.75f);
  const EffectDefault* mode = FindDefault(e[1], "Mode");
  EXPECT_EQ(mode->type, EffectDefaultString);
  EXPECT_EQ(mode->byteCount, 7u);
  EXPECT_STREQ(static_cast<const char*>(mode->value), "bright");
  const EffectDefault* passes = FindDefault(e[1], "Passes");
  EXPECT_EQ(passes->type, EffectDefaultDWord);
  EXPECT_EQ(*static_cast<const uint32_t*>(passes->value), 7u);
  EXPECT_EQ(static_cast<const float*>(FindDefault(e[1], "Gloss")->value)[0], 0.5f);
  EXPECT_EQ(*static_cast<const uint32_t*>(FindDefault(e[1], "Count")->value), 3u);
  for (uint32_t i = 0; i < e[1].defaultCount; ++i)
    EXPECT_EQ(reinterpret_cast<uintptr_t>(e[1].defaults[i].value) % 4, 0u);
}

TEST_F(MeshLoadContent, MaterialListsMustMatchTheirMaterials) {
  const std::string mesh = "3; 0;0;0;, 1;0;0;, 0;1;0;;\n1; 3;0,1,2;;\n";
  const std::string material = "Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; }";
  EXPECT_EQ(LoadAll(device.get(), TextMesh(mesh + "MeshMaterialList { 1; 1; 1; " + material + " }"),
                    &out),
            ErrFail);  // face index past the materials
  EXPECT_EQ(LoadAll(device.get(), TextMesh(mesh + "MeshMaterialList { 2; 1; 1; " + material + " }"),
                    &out),
            ErrFail);  // fewer materials than counted
  EXPECT_EQ(
      LoadAll(device.get(),
              TextMesh(mesh + "MeshMaterialList { 1; 1; 0; " + material + material + " }"), &out),
      ErrInvalidCall);  // more materials than counted
  // Materials not asked for: the list is not read at all.
  Ref<VekDataObject> object;
  ASSERT_EQ(
      FirstObject(TextMesh(mesh + "MeshMaterialList { 1; 1; 5; " + material + " }"), object.put()),
      Ok);
  Ref<Mesh> m;
  EXPECT_EQ(LoadMeshData(object.get(), 0, device.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                         m.put(), nullptr, nullptr, nullptr, nullptr),
            Ok);
}

TEST_F(MeshLoadContent, ColoursAreQuantisedAndTextureCoordinatesCopied) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("vertex_data.vkf"), &out), Ok);
  EXPECT_EQ(out.mesh->GetFormatCode(),
            kFormatPosition | kFormatNormal | kFormatDiffuse | FormatTexCount(1));
  MeshContents c = ReadBack(out.mesh.get());
  // (1, 0.5, 0, 1) -> a 255, r 255, g 128, b 0; unlisted -> white with alpha 0; clamped values.
  EXPECT_EQ(c.Color(0), 0xFFFF8000u);
  EXPECT_EQ(c.Color(1), 0x00FFFFFFu);
  EXPECT_EQ(c.Color(2), 0x80FF0040u);
  EXPECT_EQ(c.At(1, ElementUsage::TexCoord)[1], 0.25f);
  EXPECT_EQ(c.At(2, ElementUsage::TexCoord)[0], 0.5f);
}

TEST_F(MeshLoadContent, FvfTextureSetsMoveUpBehindTheFileCoordinates) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("fvf.vkf"), &out), Ok);
  EXPECT_EQ(out.mesh->GetFormatCode(),
            kFormatPosition | kFormatNormal | FormatTexCount(3) | FormatTexSize(2, kTexSize1));
  MeshContents c = ReadBack(out.mesh.get());
  for (uint32_t v = 0; v < 3; ++v) {
    const float* p = c.At(v, ElementUsage::Position);
    EXPECT_EQ(c.At(v, ElementUsage::TexCoord, 0)[0], p[0]);
    EXPECT_EQ(c.At(v, ElementUsage::TexCoord, 1)[0], float(3 * v + 1));
    EXPECT_EQ(c.At(v, ElementUsage::TexCoord, 1)[1], float(3 * v + 2));
    EXPECT_EQ(c.At(v, ElementUsage::TexCoord, 2)[0], float(3 * v + 3));
  }
}

TEST_F(MeshLoadContent, FvfRowsShorterThanTheirCodeAreRefused) {
  // Code 0x202 (two two-float sets) needs 16 bytes per vertex; 12 are given.
  EXPECT_EQ(LoadAll(device.get(),
                    TextMesh("3; 0;0;0;, 1;0;0;, 0;1;0;;\n1; 3;0,1,2;;\n"
                             "FVFData { 0x202; 9; 0,0,0,0,0,0,0,0,0; }"),
                    &out),
            ErrFail);
  // Eight sets leave no room for the file's coordinates.
  EXPECT_EQ(LoadAll(device.get(),
                    TextMesh("3; 0;0;0;, 1;0;0;, 0;1;0;;\n1; 3;0,1,2;;\n"
                             "MeshTextureCoords { 3; 0;0;, 0;0;, 0;0;; }\n"
                             "FVFData { 0x802; 0; ; }"),
                    &out),
            ErrInvalidCall);
}

TEST_F(MeshLoadContent, DeclDataTangentIsAppendedAndConverted) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("decl.vkf"), &out), Ok);
  MeshContents c = ReadBack(out.mesh.get());
  const VertexElement* tangent = FindElement(c.decl, ElementUsage::Tangent, 0);
  ASSERT_NE(tangent, nullptr);
  EXPECT_EQ(tangent->type, ElementType::F32x3);
  EXPECT_EQ(tangent->offset, 24u);  // after position and normal
  EXPECT_EQ(c.stride, 36u);
  for (uint32_t v = 0; v < 3; ++v)
    for (uint32_t k = 0; k < 3; ++k)
      EXPECT_EQ(c.At(v, ElementUsage::Tangent)[k], k == v ? 1.0f : 0.0f);
}

TEST_F(MeshLoadContent, DeclDataThatDoesNotFitIsRefusedOrLeftOut) {
  const std::string mesh = "3; 0;0;0;, 1;0;0;, 0;1;0;;\n1; 3;0,1,2;;\n";
  // Rows of 8 bytes for a 12-byte element.
  EXPECT_EQ(
      LoadAll(device.get(), TextMesh(mesh + "DeclData { 1; 2;0;6;0;; 6; 0,0,0,0,0,0; }"), &out),
      ErrInvalidCall);
  EXPECT_EQ(LoadAll(device.get(), TextMesh(mesh + "DeclData { 0; ; 0; ; }"), &out), ErrInvalidCall);
  // A normal duplicates the Mesh's own normal.
  EXPECT_EQ(LoadAll(device.get(),
                    TextMesh(mesh + "DeclData { 1; 2;0;3;0;; 9; 0,0,0,0,0,0,0,0,0; }"), &out),
            ErrInvalidCall);
  // Reading stops at a type above 16; with nothing before it the child is left out.
  ASSERT_EQ(LoadAll(device.get(), TextMesh(mesh + "DeclData { 1; 17;0;6;0;; 0; ; }"), &out), Ok);
  EXPECT_EQ(out.mesh->GetVertexStride(), 24u);
}

TEST_F(MeshLoadContent, SkinWeightsGiveBonesWithNamesMatricesAndFileInfluences) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("skin.vkf"), &out), Ok);
  // Vertices 0 and 2 carry both corner normals: each is split once.
  ASSERT_EQ(out.mesh->GetVertexCount(), 6u);
  ASSERT_NE(out.skin.get(), nullptr);
  SkinInfo* s = out.skin.get();
  EXPECT_EQ(s->GetSkinVertexCount(), 6u);
  ASSERT_EQ(s->GetBoneCount(), 2u);
  EXPECT_STREQ(s->GetBoneLabel(0), "Hip");
  EXPECT_STREQ(s->GetBoneLabel(1), "Knee");
  EXPECT_EQ(s->GetBoneOffset(0)->m[3][1], 2.0f);
  EXPECT_EQ(s->GetBoneOffset(1)->m[0][0], 2.0f);
  ASSERT_EQ(s->GetBoneWeightCount(1), 3u);
  uint32_t vertices[3];
  float weights[3];
  ASSERT_EQ(s->GetBoneWeights(1, vertices, weights), Ok);
  EXPECT_EQ(std::vector<uint32_t>(vertices, vertices + 3), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(weights[0], 0.75f);
  VertexElement decl[MaxElementEntries];
  ASSERT_EQ(s->GetSkinDeclaration(decl), Ok);
  EXPECT_NE(FindElement(decl, ElementUsage::Normal, 0), nullptr);
  // The Frame child is handed back unhandled.
  ASSERT_EQ(out.unknownCount, 1u);
  EXPECT_TRUE(vekio::tid::kFrame == [&] {
    const Guid* id = nullptr;
    out.unknown[0]->ReadTemplateId(&id);
    return *id;
  }());
}

TEST_F(MeshLoadContent, SkinWeightsNamingMissingVerticesOrBonesAreRefused) {
  const std::string mesh = "3; 0;0;0;, 1;0;0;, 0;1;0;;\n1; 3;0,1,2;;\n";
  const std::string matrix = "1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1;;";
  EXPECT_EQ(
      LoadAll(device.get(),
              TextMesh(mesh + "VekSkinMeshHeader { 1; 1; 1; }\nSkinWeights { \"A\"; 1; 3; 1.0; " +
                       matrix + " }"),
              &out),
      ErrFail);
  EXPECT_EQ(
      LoadAll(device.get(),
              TextMesh(mesh + "VekSkinMeshHeader { 1; 1; 1; }\nSkinWeights { \"A\"; 1; 0; 1.0; " +
                       matrix + " }\nSkinWeights { \"B\"; 1; 1; 1.0; " + matrix + " }"),
              &out),
      ErrFail);
}

TEST_F(MeshLoadContent, ProgressiveMeshBlockIsCopiedAndKeepsOneNormalPerVertex) {
  const std::string text = TextMesh(
      "4; 0;0;0;, 1;0;0;, 1;1;0;, 0;1;0;;\n2; 3;0,1,2;, 3;0,2,3;;\n"
      "MeshNormals { 4; 0;0;1;, 0;0;1;, 0;0.6;0.8;, 0;0;1;; 2; 3;0,1,2;, 3;0,2,3;; }\n"
      "PMInfo { 0; ; 4; 4; 4; 0; ; 0; ; }");
  ASSERT_EQ(LoadAll(device.get(), text, &out), Ok);
  EXPECT_EQ(out.pmSize, 24u);
  ASSERT_NE(out.pm, nullptr);
  EXPECT_EQ(static_cast<const uint32_t*>(out.pm)[1], 4u);
  EXPECT_EQ(out.mesh->GetVertexCount(), 4u);
  MeshContents c = ReadBack(out.mesh.get());
  for (uint32_t v = 0; v < 4; ++v) {
    const float* p = c.At(v, ElementUsage::Position);
    const float* n = c.At(v, ElementUsage::Normal);
    EXPECT_EQ(n[1], p[0] == 1.0f && p[1] == 1.0f ? 0.6f : 0.0f) << v;
  }
}

TEST_F(MeshLoadContent, BinaryFilesLoadLikeText) {
  // The skinned quad written by the component in its binary form from the blocks of the text
  // file, then read back.
  Ref<VekDataObject> text;
  ASSERT_EQ(FirstObject(MeshLoadData("skin.vkf"), text.put()), Ok);
  Ref<VekFile> file;
  ASSERT_EQ(vekio::CreateVekFileWithTemplates(file.put()), Ok);
  char dir[512], path[1024];
  ASSERT_TRUE(platform::TempDirectory(dir, sizeof dir));
  ASSERT_TRUE(platform::MakeTempFile(dir, "mlt", path, sizeof path));
  {
    Ref<VekSaveObject> save;
    ASSERT_EQ(file->OpenSave(path, kVekFormatBinary, save.put()), Ok);
    auto copy = [&](VekDataObject* from, VekDataObject** to) {
      const Guid* id = nullptr;
      uint32_t size = 0;
      const void* data = nullptr;
      from->ReadTemplateId(&id);
      from->ReadData(nullptr, &size, &data);
      return save->NewDataObject(*id, nullptr, nullptr, size, data, to);
    };
    Ref<VekDataObject> mesh;
    ASSERT_EQ(copy(text.get(), mesh.put()), Ok);
    for (;;) {
      Ref<Unknown> child;
      if (Failed(text->NextChild(child.put()))) break;
      Ref<VekDataObject> c, made;
      ASSERT_EQ(child->QueryInterface(VekDataObject::kIid, reinterpret_cast<void**>(c.put())), Ok);
      ASSERT_EQ(copy(c.get(), made.put()), Ok);
      ASSERT_EQ(mesh->AddChild(made.get()), Ok);
    }
    ASSERT_EQ(save->WriteObject(mesh.get()), Ok);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  in.close();
  platform::DeleteFile(path);
  ASSERT_EQ(bytes.str().compare(8, 4, "bin "), 0);
  ASSERT_EQ(LoadAll(device.get(), bytes.str(), &out), Ok);
  EXPECT_EQ(out.mesh->GetVertexCount(), 6u);
  ASSERT_EQ(out.skin->GetBoneCount(), 2u);
  EXPECT_STREQ(out.skin->GetBoneLabel(1), "Knee");
  EXPECT_EQ(out.skin->GetBoneWeightCount(1), 3u);
}

}  // namespace
}  // namespace lyr::test
