// The library's template blocks: every standard template is known to the component by name,
// identifier and member list, and the blocks have the forms and order the loaders rely on.
#include <map>

#include "lyr/guid.h"
#include "platform/platform.h"
#include "vek_test_util.h"

namespace lyr::test {
namespace {

struct Expected {
  const char* name;
  const char* id;
  const char* members;
};

const Expected kTemplates[] = {
    {"Header", "3D82AB43-62DA-11CF-AB39-0020AF71E433", "WORD major; WORD minor; DWORD flags;"},
    {"Vector", "3D82AB5E-62DA-11CF-AB39-0020AF71E433", "float x; float y; float z;"},
    {"Coords2d", "F6F23F44-7686-11CF-8F52-0040333594A3", "float u; float v;"},
    {"Matrix4x4", "F6F23F45-7686-11CF-8F52-0040333594A3", "array float matrix[16];"},
    {"ColorRGBA", "35FF44E0-6C7C-11CF-8F52-0040333594A3",
     "float red; float green; float blue; float alpha;"},
    {"ColorRGB", "D3E16E81-7835-11CF-8F52-0040333594A3", "float red; float green; float blue;"},
    {"IndexedColor", "1630B820-7842-11CF-8F52-0040333594A3", "DWORD index; ColorRGBA indexColor;"},
    {"Boolean", "537DA6A0-CA37-11D0-941C-0080C80CFA7B", "DWORD truefalse;"},
    {"Boolean2d", "4885AE63-78E8-11CF-8F52-0040333594A3", "Boolean u; Boolean v;"},
    {"MaterialWrap", "4885AE60-78E8-11CF-8F52-0040333594A3", "Boolean u; Boolean v;"},
    {"TextureFilename", "A42790E1-7810-11CF-8F52-0040333594A3", "STRING filename;"},
    {"Material", "3D82AB4D-62DA-11CF-AB39-0020AF71E433",
     "ColorRGBA faceColor; float power; ColorRGB specularColor; ColorRGB emissiveColor; [ ... ]"},
    {"MeshFace", "3D82AB5F-62DA-11CF-AB39-0020AF71E433",
     "DWORD nFaceVertexIndices; array DWORD faceVertexIndices[nFaceVertexIndices];"},
    {"MeshFaceWraps", "ED1EC5C0-C0A8-11D0-941C-0080C80CFA7B",
     "DWORD nFaceWrapValues; array Boolean2d faceWrapValues[nFaceWrapValues];"},
    {"MeshTextureCoords", "F6F23F40-7686-11CF-8F52-0040333594A3",
     "DWORD nTextureCoords; array Coords2d textureCoords[nTextureCoords];"},
    {"MeshMaterialList", "F6F23F42-7686-11CF-8F52-0040333594A3",
     "DWORD nMaterials; DWORD nFaceIndexes; array DWORD faceIndexes[nFaceIndexes];[Material]"},
    {"MeshNormals", "F6F23F43-7686-11CF-8F52-0040333594A3",
     "DWORD nNormals; array Vector normals[nNormals]; DWORD nFaceNormals; array MeshFace "
     "faceNormals[nFaceNormals];"},
    {"MeshVertexColors", "1630B821-7842-11CF-8F52-0040333594A3",
     "DWORD nVertexColors; array IndexedColor vertexColors[nVertexColors];"},
    {"Mesh", "3D82AB44-62DA-11CF-AB39-0020AF71E433",
     "DWORD nVertices; array Vector vertices[nVertices]; DWORD nFaces; array MeshFace "
     "faces[nFaces]; [ ... ]"},
    {"FrameTransformMatrix", "F6F23F41-7686-11CF-8F52-0040333594A3", "Matrix4x4 frameMatrix;"},
    {"Frame", "3D82AB46-62DA-11CF-AB39-0020AF71E433", "[ ... ]"},
    {"FloatKeys", "10DD46A9-775B-11CF-8F52-0040333594A3",
     "DWORD nValues; array float values[nValues];"},
    {"TimedFloatKeys", "F406B180-7B3B-11CF-8F52-0040333594A3", "DWORD time; FloatKeys tfkeys;"},
    {"AnimationKey", "10DD46A8-775B-11CF-8F52-0040333594A3",
     "DWORD keyType; DWORD nKeys; array TimedFloatKeys keys[nKeys];"},
    {"AnimationOptions", "E2BF56C0-840F-11CF-8F52-0040333594A3",
     "DWORD openclosed; DWORD positionquality;"},
    {"Animation", "3D82AB4F-62DA-11CF-AB39-0020AF71E433", "[ ... ]"},
    {"AnimationSet", "3D82AB50-62DA-11CF-AB39-0020AF71E433", "[Animation]"},
    {"InlineData", "3A23EEA0-94B1-11D0-AB39-0020AF71E433", "[BINARY]"},
    {"Url", "3A23EEA1-94B1-11D0-AB39-0020AF71E433", "DWORD nUrls; array STRING urls[nUrls];"},
    {"ProgressiveMesh", "8A63C360-997D-11D0-941C-0080C80CFA7B", "[Url, InlineData]"},
    {"Guid", "A42790E0-7810-11CF-8F52-0040333594A3",
     "DWORD data1; WORD data2; WORD data3; array UCHAR data4[8];"},
    {"StringProperty", "7F0F21E0-BFE1-11D1-82C0-00A0C9697271", "STRING key; STRING value;"},
    {"PropertyBag", "7F0F21E1-BFE1-11D1-82C0-00A0C9697271", "[StringProperty]"},
    {"ExternalVisual", "98116AA0-BDBA-11D1-82C0-00A0C9697271", "Guid guidExternalVisual; [ ... ]"},
    {"RightHanded", "7F5D5EA0-D53A-11D1-82C0-00A0C9697271", "DWORD bRightHanded;"},
    {"VekSkinMeshHeader", "3CF169CE-FF7C-44AB-93C0-F78F62D172E2",
     "WORD nMaxSkinWeightsPerVertex; WORD nMaxSkinWeightsPerFace; WORD nBones;"},
    {"VertexDuplicationIndices", "B8D65549-D7C9-4995-89CF-53A9A8B031E3",
     "DWORD nIndices; DWORD nOriginalVertices; array DWORD indices[nIndices];"},
    {"FaceAdjacency", "A64C844A-E282-4756-8B80-250CDE04398C",
     "DWORD nIndices; array DWORD indices[nIndices];"},
    {"SkinWeights", "6F0D123B-BAD2-4167-A0D0-80224F25FABB",
     "STRING transformNodeName; DWORD nWeights; array DWORD vertexIndices[nWeights]; array float "
     "weights[nWeights]; Matrix4x4 matrixOffset;"},
    {"Patch", "A3EB5D44-FC22-429D-9AFB-3221CB9719A6",
     "DWORD nControlIndices; array DWORD controlIndices[nControlIndices];"},
    {"PatchMesh", "D02C95CC-EDBA-4305-9B5D-1820D7704BBF",
     "DWORD nVertices; array Vector vertices[nVertices]; DWORD nPatches; array Patch "
     "patches[nPatches]; [ ... ]"},
    {"PatchMesh9", "B9EC94E1-B9A6-4251-BA18-94893F02C0EA",
     "DWORD Type; DWORD Degree; DWORD Basis; DWORD nVertices; array Vector vertices[nVertices]; "
     "DWORD nPatches; array Patch patches[nPatches]; [ ... ]"},
    {"EffectFloats", "F1CFE2B3-0DE3-4E28-AFA1-155A750A282D",
     "DWORD nFloats; array float Floats[nFloats];"},
    {"EffectString", "D55B097E-BDB6-4C52-B03D-6051C89D0E42", "STRING Value;"},
    {"EffectDWord", "622C0ED0-956E-4DA9-908A-2AF94F3CE716", "DWORD Value;"},
    {"EffectParamFloats", "3014B9A0-62F5-478C-9B86-E4AC9F4E418B",
     "STRING ParamName; DWORD nFloats; array float Floats[nFloats];"},
    {"EffectParamString", "1DBC4C88-94C1-46EE-9076-2C28818C9481",
     "STRING ParamName; STRING Value;"},
    {"EffectParamDWord", "E13963BC-AE51-4C5D-B00F-CFA3A9D97CE5", "STRING ParamName; DWORD Value;"},
    {"EffectInstance", "E331F7E4-0559-4CC2-8E99-1CEC1657928F", "STRING EffectFilename; [ ... ]"},
    {"AnimTicksPerSecond", "9E415A43-7BA6-4A73-8743-B73D47E88476", "DWORD AnimTicksPerSecond;"},
    {"FVFData", "B6E70A0E-8EF9-4E83-94AD-ECC8B0C04897",
     "DWORD dwFVF; DWORD nDWords; array DWORD data[nDWords];"},
    {"VertexElement", "F752461C-1E23-48F6-B9F8-8350850F336F",
     "DWORD Type; DWORD Method; DWORD Usage; DWORD UsageIndex;"},
    {"DeclData", "BF22E553-292C-4781-9FEA-62BD554BDD93",
     "DWORD nElements; array VertexElement Elements[nElements]; DWORD nDWords; array DWORD "
     "data[nDWords];"},
    {"PMAttributeRange", "917E0427-C61E-4A14-9C64-AFE65F9E9844",
     "DWORD iFaceOffset; DWORD nFacesMin; DWORD nFacesMax; DWORD iVertexOffset; DWORD "
     "nVerticesMin; DWORD nVerticesMax;"},
    {"PMVSplitRecord", "574CCC14-F0B3-4333-822D-93E8A8A08E4C",
     "DWORD iFaceCLW; DWORD iVlrOffset; DWORD iCode;"},
    {"PMInfo", "B6C3E656-EC8B-4B92-9B62-681659522947",
     "DWORD nAttributes; array PMAttributeRange attributeRanges[nAttributes]; DWORD nMaxValence; "
     "DWORD nMinLogicalVertices; DWORD nMaxLogicalVertices; DWORD nVSplits; array PMVSplitRecord "
     "splitRecords[nVSplits]; DWORD nAttributeMispredicts; array DWORD "
     "attributeMispredicts[nAttributeMispredicts];"},
};

// Removes every blank, so that "[ ... ]" and "[...]" compare equal.
std::string Squeeze(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c != ' ' && c != '\n' && c != '\t') out.push_back(c);
  }
  return out;
}

// The definitions the writer gives for the templates, by name: "<identifier>members".
std::map<std::string, std::string> WrittenDefinitions(VekFile* file) {
  std::vector<Guid> ids;
  for (const Expected& e : kTemplates) {
    Guid g{};
    EXPECT_TRUE(ParseGuid(e.id, &g)) << e.name;
    ids.push_back(g);
  }
  std::vector<const Guid*> ptrs;
  for (const Guid& g : ids) ptrs.push_back(&g);
  TempFile tmp;
  {
    Ref<VekSaveObject> save;
    EXPECT_EQ(file->OpenSave(tmp.path(), kVekFormatText, save.put()), Ok);
    EXPECT_EQ(save->WriteTemplates(static_cast<uint32_t>(ptrs.size()), ptrs.data()), Ok);
  }
  std::string text = ReadBytes(tmp.path());
  std::map<std::string, std::string> out;
  size_t at = 0;
  while ((at = text.find("template ", at)) != std::string::npos) {
    size_t nameEnd = text.find(' ', at + 9);
    size_t open = text.find('{', nameEnd);
    size_t close = text.find('}', open);
    std::string name = text.substr(at + 9, nameEnd - at - 9);
    std::string id = Squeeze(text.substr(nameEnd, open - nameEnd));
    out[name] = id + Squeeze(text.substr(open + 1, close - open - 1));
    at = close;
  }
  return out;
}

TEST(VekTemplates, EveryTemplateIsKnownByNameIdentifierAndMembers) {
  Ref<VekFile> file = NewVekFile();
  ASSERT_TRUE(file);
  auto written = WrittenDefinitions(file.get());
  EXPECT_EQ(written.size(), std::size(kTemplates));
  for (const Expected& e : kTemplates) {
    auto it = written.find(e.name);
    ASSERT_NE(it, written.end()) << e.name;
    EXPECT_EQ(it->second, std::string("<").append(e.id).append(">").append(Squeeze(e.members)))
        << e.name;
  }
}

TEST(VekTemplates, BlocksHaveTheirFormsAndRegisterInOrder) {
  const char* headers[] = {"vkf 0302bin 0064", "vkf 0303txt 0032", "vkf 0303txt 0032"};
  for (int i = 0; i < vekio::kTemplateBlockCount; ++i) {
    vekio::TemplateBlock b = vekio::GetTemplateBlock(i);
    ASSERT_GE(b.size, 16u);
    EXPECT_EQ(std::string(static_cast<const char*>(b.data), 16), headers[i]);
  }
  // The second and third blocks use templates of the first: alone they are refused.
  Ref<VekFile> bare;
  ASSERT_EQ(vekio::CreateVekFile(bare.put()), Ok);
  vekio::TemplateBlock t1 = vekio::GetTemplateBlock(1);
  EXPECT_EQ(bare->AddTemplates(t1.data, t1.size), ErrVekUndefinedTemplate);
  // Registering the same blocks twice changes nothing and succeeds.
  Ref<VekFile> file = NewVekFile();
  EXPECT_EQ(vekio::RegisterTemplates(file.get()), Ok);
}

TEST(VekTemplates, RegistrationIsAllOrNothing) {
  Ref<VekFile> file = NewVekFile();
  // The second definition conflicts with the registered Vector: neither is registered.
  const std::string block =
      "vkf 0303txt 0032\n"
      "template Fresh <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD a; }\n"
      "template Vector <3D82AB5E-62DA-11CF-AB39-0020AF71E433> { float x; }\n";
  EXPECT_EQ(file->AddTemplates(block.data(), static_cast<uint32_t>(block.size())),
            ErrVekBadTemplate);
  const std::string use = "vkf 0303txt 0032\nFresh { 1; }\n";
  Ref<VekEnumeration> e;
  EXPECT_EQ(OpenBytes(file.get(), use, e.put()), ErrVekUndefinedTemplate);
  // Data objects do not belong in a template block.
  const std::string withData = "vkf 0303txt 0032\nVector { 1; 2; 3; }\n";
  EXPECT_EQ(file->AddTemplates(withData.data(), static_cast<uint32_t>(withData.size())),
            ErrVekBadSyntax);
}

TEST(VekComponent, LoadFailuresComeFromTheLastSystemError) {
  Ref<VekFile> f;
  EXPECT_EQ(vekio::CreateVekFileFrom("nosuchmodule.dll", kVekCreateFunctionName, f.put()),
            static_cast<LyrResult>(0x8007007Eu));
  EXPECT_EQ(vekio::CreateVekFileFrom(kVekModuleName, "NoSuchFunction", f.put()),
            static_cast<LyrResult>(0x8007007Fu));
  EXPECT_EQ(f.get(), nullptr);
  EXPECT_EQ(vekio::CreateVekFile(nullptr), ErrInvalidCall);
}

TEST(VekComponent, LoadsThroughThePlatformAndStaysLoaded) {
  Ref<VekFile> a, b;
  ASSERT_EQ(vekio::CreateVekFile(a.put()), Ok);
  ASSERT_EQ(vekio::CreateVekFile(b.put()), Ok);
  EXPECT_NE(a.get(), b.get());
  EXPECT_NE(platform::FindLoadedModule(kVekModuleName), nullptr);
  void* q = nullptr;
  EXPECT_EQ(a->QueryInterface(VekFile::kIid, &q), Ok);
  a->Release();
  EXPECT_EQ(a->QueryInterface(VekDataObject::kIid, &q), ErrNoInterface);
  EXPECT_EQ(q, nullptr);
}

}  // namespace
}  // namespace lyr::test
