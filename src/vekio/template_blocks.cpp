// The library's three template blocks. The standard templates are held as a binary block, which
// is encoded at compile time from the same text notation the other two blocks use, so the source
// stays readable and the block is exactly what that text says.
#include <array>
#include <string_view>

#include "vekio/vek_component.h"

namespace lyr::vekio {
namespace {

constexpr char kStandardTemplates[] = R"(
template Header <3D82AB43-62DA-11CF-AB39-0020AF71E433> {
  WORD major; WORD minor; DWORD flags;
}
template Vector <3D82AB5E-62DA-11CF-AB39-0020AF71E433> {
  float x; float y; float z;
}
template Coords2d <F6F23F44-7686-11CF-8F52-0040333594A3> {
  float u; float v;
}
template Matrix4x4 <F6F23F45-7686-11CF-8F52-0040333594A3> {
  array float matrix[16];
}
template ColorRGBA <35FF44E0-6C7C-11CF-8F52-0040333594A3> {
  float red; float green; float blue; float alpha;
}
template ColorRGB <D3E16E81-7835-11CF-8F52-0040333594A3> {
  float red; float green; float blue;
}
template IndexedColor <1630B820-7842-11CF-8F52-0040333594A3> {
  DWORD index; ColorRGBA indexColor;
}
template Boolean <537DA6A0-CA37-11D0-941C-0080C80CFA7B> {
  DWORD truefalse;
}
template Boolean2d <4885AE63-78E8-11CF-8F52-0040333594A3> {
  Boolean u; Boolean v;
}
template MaterialWrap <4885AE60-78E8-11CF-8F52-0040333594A3> {
  Boolean u; Boolean v;
}
template TextureFilename <A42790E1-7810-11CF-8F52-0040333594A3> {
  STRING filename;
}
template Material <3D82AB4D-62DA-11CF-AB39-0020AF71E433> {
  ColorRGBA faceColor; float power; ColorRGB specularColor; ColorRGB emissiveColor;
  [ ... ]
}
template MeshFace <3D82AB5F-62DA-11CF-AB39-0020AF71E433> {
  DWORD nFaceVertexIndices;
  array DWORD faceVertexIndices[nFaceVertexIndices];
}
template MeshFaceWraps <ED1EC5C0-C0A8-11D0-941C-0080C80CFA7B> {
  DWORD nFaceWrapValues;
  array Boolean2d faceWrapValues[nFaceWrapValues];
}
template MeshTextureCoords <F6F23F40-7686-11CF-8F52-0040333594A3> {
  DWORD nTextureCoords;
  array Coords2d textureCoords[nTextureCoords];
}
template MeshMaterialList <F6F23F42-7686-11CF-8F52-0040333594A3> {
  DWORD nMaterials; DWORD nFaceIndexes;
  array DWORD faceIndexes[nFaceIndexes];
  [Material]
}
template MeshNormals <F6F23F43-7686-11CF-8F52-0040333594A3> {
  DWORD nNormals; array Vector normals[nNormals];
  DWORD nFaceNormals; array MeshFace faceNormals[nFaceNormals];
}
template MeshVertexColors <1630B821-7842-11CF-8F52-0040333594A3> {
  DWORD nVertexColors;
  array IndexedColor vertexColors[nVertexColors];
}
template Mesh <3D82AB44-62DA-11CF-AB39-0020AF71E433> {
  DWORD nVertices; array Vector vertices[nVertices];
  DWORD nFaces; array MeshFace faces[nFaces];
  [ ... ]
}
template FrameTransformMatrix <F6F23F41-7686-11CF-8F52-0040333594A3> {
  Matrix4x4 frameMatrix;
}
template Frame <3D82AB46-62DA-11CF-AB39-0020AF71E433> {
  [ ... ]
}
template FloatKeys <10DD46A9-775B-11CF-8F52-0040333594A3> {
  DWORD nValues; array float values[nValues];
}
template TimedFloatKeys <F406B180-7B3B-11CF-8F52-0040333594A3> {
  DWORD time; FloatKeys tfkeys;
}
template AnimationKey <10DD46A8-775B-11CF-8F52-0040333594A3> {
  DWORD keyType; DWORD nKeys; array TimedFloatKeys keys[nKeys];
}
template AnimationOptions <E2BF56C0-840F-11CF-8F52-0040333594A3> {
  DWORD openclosed; DWORD positionquality;
}
template Animation <3D82AB4F-62DA-11CF-AB39-0020AF71E433> {
  [ ... ]
}
template AnimationSet <3D82AB50-62DA-11CF-AB39-0020AF71E433> {
  [Animation]
}
template InlineData <3A23EEA0-94B1-11D0-AB39-0020AF71E433> {
  [BINARY]
}
template Url <3A23EEA1-94B1-11D0-AB39-0020AF71E433> {
  DWORD nUrls; array STRING urls[nUrls];
}
template ProgressiveMesh <8A63C360-997D-11D0-941C-0080C80CFA7B> {
  [Url, InlineData]
}
template Guid <A42790E0-7810-11CF-8F52-0040333594A3> {
  DWORD data1; WORD data2; WORD data3; array UCHAR data4[8];
}
template StringProperty <7F0F21E0-BFE1-11D1-82C0-00A0C9697271> {
  STRING key; STRING value;
}
template PropertyBag <7F0F21E1-BFE1-11D1-82C0-00A0C9697271> {
  [StringProperty]
}
template ExternalVisual <98116AA0-BDBA-11D1-82C0-00A0C9697271> {
  Guid guidExternalVisual;
  [ ... ]
}
template RightHanded <7F5D5EA0-D53A-11D1-82C0-00A0C9697271> {
  DWORD bRightHanded;
}
)";

constexpr char kSkinPatchEffectTemplates[] = R"(vkf 0303txt 0032
template VekSkinMeshHeader <3CF169CE-FF7C-44AB-93C0-F78F62D172E2> {
  WORD nMaxSkinWeightsPerVertex;
  WORD nMaxSkinWeightsPerFace;
  WORD nBones;
}
template VertexDuplicationIndices <B8D65549-D7C9-4995-89CF-53A9A8B031E3> {
  DWORD nIndices;
  DWORD nOriginalVertices;
  array DWORD indices[nIndices];
}
template FaceAdjacency <A64C844A-E282-4756-8B80-250CDE04398C> {
  DWORD nIndices;
  array DWORD indices[nIndices];
}
template SkinWeights <6F0D123B-BAD2-4167-A0D0-80224F25FABB> {
  STRING transformNodeName;
  DWORD nWeights;
  array DWORD vertexIndices[nWeights];
  array float weights[nWeights];
  Matrix4x4 matrixOffset;
}
template Patch <A3EB5D44-FC22-429D-9AFB-3221CB9719A6> {
  DWORD nControlIndices;
  array DWORD controlIndices[nControlIndices];
}
template PatchMesh <D02C95CC-EDBA-4305-9B5D-1820D7704BBF> {
  DWORD nVertices;
  array Vector vertices[nVertices];
  DWORD nPatches;
  array Patch patches[nPatches];
  [ ... ]
}
template PatchMesh9 <B9EC94E1-B9A6-4251-BA18-94893F02C0EA> {
  DWORD Type;
  DWORD Degree;
  DWORD Basis;
  DWORD nVertices;
  array Vector vertices[nVertices];
  DWORD nPatches;
  array Patch patches[nPatches];
  [ ... ]
}
template EffectFloats <F1CFE2B3-0DE3-4E28-AFA1-155A750A282D> {
  DWORD nFloats;
  array float Floats[nFloats];
}
template EffectString <D55B097E-BDB6-4C52-B03D-6051C89D0E42> {
  STRING Value;
}
template EffectDWord <622C0ED0-956E-4DA9-908A-2AF94F3CE716> {
  DWORD Value;
}
template EffectParamFloats <3014B9A0-62F5-478C-9B86-E4AC9F4E418B> {
  STRING ParamName;
  DWORD nFloats;
  array float Floats[nFloats];
}
template EffectParamString <1DBC4C88-94C1-46EE-9076-2C28818C9481> {
  STRING ParamName;
  STRING Value;
}
template EffectParamDWord <E13963BC-AE51-4C5D-B00F-CFA3A9D97CE5> {
  STRING ParamName;
  DWORD Value;
}
template EffectInstance <E331F7E4-0559-4CC2-8E99-1CEC1657928F> {
  STRING EffectFilename;
  [ ... ]
}
template AnimTicksPerSecond <9E415A43-7BA6-4A73-8743-B73D47E88476> {
  DWORD AnimTicksPerSecond;
}
)";

constexpr char kVertexDataTemplates[] = R"(vkf 0303txt 0032
template FVFData <B6E70A0E-8EF9-4E83-94AD-ECC8B0C04897> {
  DWORD dwFVF;
  DWORD nDWords;
  array DWORD data[nDWords];
}
template VertexElement <F752461C-1E23-48F6-B9F8-8350850F336F> {
  DWORD Type;
  DWORD Method;
  DWORD Usage;
  DWORD UsageIndex;
}
template DeclData <BF22E553-292C-4781-9FEA-62BD554BDD93> {
  DWORD nElements;
  array VertexElement Elements[nElements];
  DWORD nDWords;
  array DWORD data[nDWords];
}
template PMAttributeRange <917E0427-C61E-4A14-9C64-AFE65F9E9844> {
  DWORD iFaceOffset;
  DWORD nFacesMin;
  DWORD nFacesMax;
  DWORD iVertexOffset;
  DWORD nVerticesMin;
  DWORD nVerticesMax;
}
template PMVSplitRecord <574CCC14-F0B3-4333-822D-93E8A8A08E4C> {
  DWORD iFaceCLW;
  DWORD iVlrOffset;
  DWORD iCode;
}
template PMInfo <B6C3E656-EC8B-4B92-9B62-681659522947> {
  DWORD nAttributes;
  array PMAttributeRange attributeRanges[nAttributes];
  DWORD nMaxValence;
  DWORD nMinLogicalVertices;
  DWORD nMaxLogicalVertices;
  DWORD nVSplits;
  array PMVSplitRecord splitRecords[nVSplits];
  DWORD nAttributeMispredicts;
  array DWORD attributeMispredicts[nAttributeMispredicts];
}
)";

// ---- Compile-time encoding of template text into the binary token stream ---------------------

constexpr bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
constexpr int Hex(char c) {
  return IsDigit(c)               ? c - '0'
         : (c >= 'A' && c <= 'F') ? c - 'A' + 10
         : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                  : -1;
}

struct Writer {
  uint8_t* out;
  size_t n = 0;
  constexpr void Byte(uint32_t b) {
    if (out) out[n] = static_cast<uint8_t>(b);
    ++n;
  }
  constexpr void U16(uint32_t v) {
    Byte(v & 0xFF);
    Byte((v >> 8) & 0xFF);
  }
  constexpr void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) Byte((v >> (8 * i)) & 0xFF);
  }
};

constexpr uint32_t HexValue(std::string_view s) {
  uint32_t v = 0;
  for (char c : s) v = (v << 4) | static_cast<uint32_t>(Hex(c));
  return v;
}

// Encodes text (template definitions only) after the header "vkf 0302bin 0064"; writes into out
// when it is not null and returns the size. A character it does not know stops the build.
constexpr size_t EncodeBinary(std::string_view text, uint8_t* out) {
  Writer w{out};
  for (char c : std::string_view("vkf 0302bin 0064")) w.Byte(static_cast<uint8_t>(c));
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\n') {
      ++i;
    } else if (IsAlpha(c)) {
      size_t j = i;
      while (j < text.size() && (IsAlpha(text[j]) || IsDigit(text[j]))) ++j;
      std::string_view word = text.substr(i, j - i);
      i = j;
      constexpr std::pair<std::string_view, uint32_t> kKeywords[] = {
          {"template", 31}, {"WORD", 40},   {"DWORD", 41}, {"float", 42},
          {"UCHAR", 45},    {"STRING", 49}, {"array", 52},
      };
      uint32_t code = 0;
      for (const auto& k : kKeywords) {
        if (k.first == word) code = k.second;
      }
      if (code) {
        w.U16(code);
      } else {
        w.U16(1);
        w.U32(static_cast<uint32_t>(word.size()));
        for (char ch : word) w.Byte(static_cast<uint8_t>(ch));
      }
    } else if (IsDigit(c)) {
      uint32_t v = 0;
      while (i < text.size() && IsDigit(text[i]))
        v = v * 10 + static_cast<uint32_t>(text[i++] - '0');
      w.U16(3);
      w.U32(v);
    } else if (c == '<') {
      std::string_view g = text.substr(i + 1, 36);
      w.U16(5);
      w.U32(HexValue(g.substr(0, 8)));
      w.U16(HexValue(g.substr(9, 4)));
      w.U16(HexValue(g.substr(14, 4)));
      w.Byte(HexValue(g.substr(19, 2)));
      w.Byte(HexValue(g.substr(21, 2)));
      for (size_t k = 0; k < 6; ++k) w.Byte(HexValue(g.substr(24 + 2 * k, 2)));
      i += 38;
    } else {
      uint32_t code = c == '{'   ? 10
                      : c == '}' ? 11
                      : c == '[' ? 14
                      : c == ']' ? 15
                      : c == '.' ? 18
                      : c == ',' ? 19
                      : c == ';' ? 20
                                 : 0;
      if (code == 0) throw "unexpected character in template text";
      w.U16(code);
      ++i;
    }
  }
  return w.n;
}

constexpr size_t kStandardSize = EncodeBinary(kStandardTemplates, nullptr);
constexpr std::array<uint8_t, kStandardSize> kStandardBlock = [] {
  std::array<uint8_t, kStandardSize> a{};
  EncodeBinary(kStandardTemplates, a.data());
  return a;
}();

}  // namespace

TemplateBlock GetTemplateBlock(int index) {
  switch (index) {
    case 0:
      return {kStandardBlock.data(), static_cast<uint32_t>(kStandardBlock.size())};
    case 1:
      return {kSkinPatchEffectTemplates,
              static_cast<uint32_t>(sizeof(kSkinPatchEffectTemplates) - 1)};
    case 2:
      return {kVertexDataTemplates, static_cast<uint32_t>(sizeof(kVertexDataTemplates) - 1)};
    default:
      return {nullptr, 0};
  }
}

}  // namespace lyr::vekio
