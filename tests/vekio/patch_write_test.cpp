// The patch-mesh writer: every patch mesh the loader makes comes back bit for bit from every file
// form (the teapot, triangle patches and N-patches with their normals, texture coordinates,
// colours, extra vertex data and materials), the PatchMesh9 block is the documented one, and
// every failure undoes what was done.
#include <cmath>
#include <fstream>

#include "hier_save_util.h"
#include "mesh_write_util.h"
#include "patch/patch_test_util.h"
#include "support/fault_injection.h"
#include "vekio/mesh_write_parts.h"

namespace lyr::test {
namespace {

using namespace vekio::tid;

std::string Teapot() {
  std::ifstream in(std::string(LYR_SHARED_DATA_DIR) + "/patches/teapot_32patches.txt");
  std::vector<float> positions;
  std::vector<std::vector<uint32_t>> patches;
  std::string word;
  while (in >> word) {
    size_t n = 0;
    if (word == "patches") {
      in >> n;
      patches.assign(n, std::vector<uint32_t>(16));
      for (auto& p : patches)
        for (uint32_t& i : p) in >> i;
    } else if (word == "vertices") {
      in >> n;
      positions.resize(n * 3);
      for (float& f : positions) in >> f;
    } else {
      std::getline(in, word);
    }
  }
  EXPECT_EQ(patches.size(), 32u);
  static constexpr PatchInfo kBicubic{kPatchRectangle, kPatchCubic, kPatchBezier};
  // Per-patch materials (body, lid, handle), one with a texture and an effect instance.
  std::string ids;
  for (size_t p = 0; p < patches.size(); ++p)
    ids += std::to_string(p % 3) + (p + 1 < patches.size() ? "," : ";");
  return PatchText(&kBicubic, positions, patches,
                   "MeshMaterialList { 3; 32; " + ids +
                       " Material { 1;0;0;1;; 4; 1;1;1;; 0;0;0;; }"
                       " Material { 0;1;0;1;; 8; 0;0;0;; 0;0;0;;"
                       "   TextureFilename { \"tex\\\\lid.png\"; }"
                       "   EffectInstance { \"fx\\\\glaze.fx\"; EffectParamDWord { \"n\"; 7; } } }"
                       " Material { 0;0;1;1;; 2; 0;0;0;; 0;0;0;; } }");
}

// Three quadratic triangle patches with normals (naming the control points), texture coordinates,
// colours, a second texture set in FVFData and a tangent in DeclData.
std::string TrianglePatches() {
  static constexpr PatchInfo kInfo{kPatchTriangle, kPatchQuadratic, kPatchBezier};
  std::vector<float> positions;
  for (int v = 0; v < 8; ++v) positions.insert(positions.end(), {float(v), float(v % 3), -0.5f});
  const std::vector<std::vector<uint32_t>> patches = {
      {0, 1, 2, 3, 4, 5}, {2, 3, 4, 5, 6, 7}, {7, 6, 5, 4, 3, 2}};
  std::string normals = "MeshNormals { 8; ";
  for (int v = 0; v < 8; ++v)
    normals +=
        "0;" + std::to_string(v % 2) + ";" + std::to_string(1 - v % 2) + ";" + (v < 7 ? "," : ";");
  normals += " 3; 6; 0,1,2,3,4,5;, 6; 2,3,4,5,6,7;, 6; 7,6,5,4,3,2;; }";
  std::string uv = "MeshTextureCoords { 8; ", colours = "MeshVertexColors { 8; ";
  std::string fvf = "FVFData { 258; 16; ", decl = "DeclData { 1; 2;0;6;0;; 24; ";
  for (int v = 0; v < 8; ++v) {
    const char* sep = v < 7 ? "," : ";";
    uv += std::to_string(v * 0.125) + ";0.5;" + sep;
    colours += std::to_string(v) + ";1;0.5;0;1;" + sep;
    fvf += std::to_string(v) + "," + std::to_string(100 + v) + (v < 7 ? "," : ";");
    decl += "1065353216,0," + std::to_string(v) + (v < 7 ? "," : ";");
  }
  return PatchText(&kInfo, positions, patches,
                   normals + uv + " }" + colours + " }" + fvf + " }" + decl + " }");
}

std::string SampleFile(const char* name) {
  std::ifstream in(std::string(LYR_TEST_DATA_DIR) + "/patch/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Loads the first patch mesh object, at top level or inside a top-level Frame.
LyrResult LoadPatches(GraphicsDevice* device, const std::string& bytes, LoadedPatches* out) {
  Ref<VekDataObject> object;
  LyrResult r = ParseFirst(bytes, object.put());
  if (Failed(r)) return r;
  if (TemplateOf(object.get()) == kFrame) {
    for (Ref<VekDataObject>& child : DataChildren(object.get()))
      if (TemplateOf(child.get()) == kPatchMesh9) object = child;
  }
  return LoadObject(device, object.get(), out);
}

// Writes the first loaded patch mesh with the loaded materials through `save`.
LyrResult WritePatches(VekSaveObject* save, uint32_t format, const LoadedPatches& in) {
  vekio::SaveStrings strings;
  Ref<VekDataObject> object;
  LyrResult r = vekio::WritePatchMeshData(
      {save, format, &strings}, in.meshes[0], "Patches",
      in.materials ? static_cast<const Material*>(in.materials->GetBytes()) : nullptr,
      in.effects ? static_cast<const EffectInstance*>(in.effects->GetBytes()) : nullptr,
      in.materialCount, object.put());
  return Failed(r) ? r : save->WriteObject(object.get());
}

std::string WritePatchesToBytes(const LoadedPatches& in, uint32_t format, LyrResult* result) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  {
    Ref<VekSaveObject> save;
    *result = file->OpenSave(tmp.path(), format, save.put());
    if (Failed(*result)) return {};
    *result = WritePatches(save.get(), format, in);
  }
  return ReadBytes(tmp.path());
}

std::vector<uint8_t> VertexBytes(PatchMesh* mesh) {
  VertexElement decl[kMaxPatchElements + 1];
  EXPECT_EQ(mesh->CopyDeclaration(decl), Ok);
  void* p = nullptr;
  EXPECT_EQ(mesh->LockVertices(kLockReadOnly, &p), Ok);
  const auto* b = static_cast<const uint8_t*>(p);
  std::vector<uint8_t> out(b, b + size_t(mesh->GetVertexCount()) * StreamVertexSize(decl, 0));
  mesh->UnlockVertices();
  return out;
}

void ExpectSamePatches(const LoadedPatches& a, const LoadedPatches& b) {
  ASSERT_EQ(b.meshCount, 1u);
  PatchMesh* x = a.meshes[0];
  PatchMesh* y = b.meshes[0];
  PatchInfo ix{}, iy{};
  ASSERT_EQ(x->GetPatchDescription(&ix), Ok);
  ASSERT_EQ(y->GetPatchDescription(&iy), Ok);
  EXPECT_EQ(std::memcmp(&ix, &iy, sizeof ix), 0);
  VertexElement dx[kMaxPatchElements + 1], dy[kMaxPatchElements + 1];
  ASSERT_EQ(x->CopyDeclaration(dx), Ok);
  ASSERT_EQ(y->CopyDeclaration(dy), Ok);
  EXPECT_TRUE(ElementsEqual(dx, dy));
  EXPECT_EQ(VertexBytes(x), VertexBytes(y));
  EXPECT_EQ(IndicesOf(x), IndicesOf(y));
  EXPECT_EQ(AttributesOf(x), AttributesOf(y));
  ASSERT_EQ(a.materialCount, b.materialCount);
  for (uint32_t m = 0; m < a.materialCount; ++m) {
    const Material& ma = static_cast<const Material*>(a.materials->GetBytes())[m];
    const Material& mb = static_cast<const Material*>(b.materials->GetBytes())[m];
    EXPECT_EQ(std::memcmp(&ma.diffuse, &mb.diffuse, sizeof ma.diffuse), 0);
    EXPECT_EQ(ma.power, mb.power);
    EXPECT_EQ(std::string(ma.textureFilename ? ma.textureFilename : "-"),
              std::string(mb.textureFilename ? mb.textureFilename : "-"));
    const EffectInstance& ea = static_cast<const EffectInstance*>(a.effects->GetBytes())[m];
    const EffectInstance& eb = static_cast<const EffectInstance*>(b.effects->GetBytes())[m];
    EXPECT_EQ(std::string(ea.effectFilename ? ea.effectFilename : "-"),
              std::string(eb.effectFilename ? eb.effectFilename : "-"));
    EXPECT_EQ(ea.defaultCount, eb.defaultCount);
  }
}

struct PatchCase {
  const char* name;
  std::string (*text)();
};

const PatchCase kCases[] = {
    {"teapot with materials", Teapot},
    {"triangle patches with vertex data", TrianglePatches},
    {"bicubic sample", [] { return SampleFile("bicubic.vkf"); }},
    {"N-patches", [] { return SampleFile("npatch.vkf"); }},
};

TEST(PatchWrite, RoundTripsBitForBitInEveryForm) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  for (const PatchCase& c : kCases) {
    SCOPED_TRACE(c.name);
    LoadedPatches first;
    ASSERT_EQ(LoadPatches(device.get(), c.text(), &first), Ok);
    ASSERT_EQ(first.meshCount, 1u);
    for (uint32_t format = 0; format < 4; ++format) {
      SCOPED_TRACE(format);
      LyrResult r;
      const std::string bytes = WritePatchesToBytes(first, format, &r);
      ASSERT_EQ(r, Ok);
      LoadedPatches second;
      ASSERT_EQ(LoadText(device.get(), bytes, &second), Ok);
      ExpectSamePatches(first, second);
    }
  }
}

// The PatchMesh9 block: type, degree, basis, the control points, then per patch its count and
// control indices; the children of a Mesh without adjacency.
TEST(PatchWrite, BlockAndChildren) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  LoadedPatches in;
  ASSERT_EQ(LoadText(device.get(), TrianglePatches(), &in), Ok);
  LyrResult r;
  SavedFile f = ParseSaved(WritePatchesToBytes(in, kVekFormatBinary, &r));
  ASSERT_EQ(r, Ok);
  ASSERT_EQ(f.top.size(), 1u);
  uint32_t size = 0;
  const void* block = nullptr;
  ASSERT_EQ(f.top[0]->ReadData(nullptr, &size, &block), Ok);
  ASSERT_EQ(size, 20u + 12 * 8 + 4 * 7 * 3);
  const uint32_t head[4] = {ValueAt<uint32_t>(block, 0), ValueAt<uint32_t>(block, 4),
                            ValueAt<uint32_t>(block, 8), ValueAt<uint32_t>(block, 12)};
  EXPECT_EQ(head[0], kPatchTriangle);
  EXPECT_EQ(head[1], kPatchQuadratic);
  EXPECT_EQ(head[2], kPatchBezier);
  EXPECT_EQ(head[3], 8u);
  EXPECT_EQ(ValueAt<uint32_t>(block, 16 + 96), 3u);
  EXPECT_EQ(ValueAt<uint32_t>(block, 20 + 96), 6u);
  EXPECT_EQ(TemplateNamesOf(DataChildren(f.top[0].get())),
            (std::vector<std::string>{"MeshNormals", "MeshTextureCoords", "MeshVertexColors",
                                      "DeclData"}));
}

// Allocation failures at every point and component failures at every object.
TEST(PatchWrite, Failures) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  LoadedPatches in;
  ASSERT_EQ(LoadText(device.get(), Teapot(), &in), Ok);
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  ForEachAllocationFailure(
      [&] {
        Ref<VekSaveObject> save;
        LyrResult r = file->OpenSave(tmp.path(), kVekFormatText, save.put());
        return Failed(r) ? r : WritePatches(save.get(), kVekFormatText, in);
      },
      nullptr);
  for (int at = 0;; ++at) {
    FaultPlan plan;
    plan.failAt = at;
    Ref<VekSaveObject> real;
    ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatText, real.put()), Ok);
    Ref<VekSaveObject> save = MakeFailingSave(real.get(), &plan);
    const LyrResult r = WritePatches(save.get(), kVekFormatText, in);
    if (!plan.failed) {
      EXPECT_EQ(r, Ok);
      break;
    }
    EXPECT_EQ(r, plan.code);
  }
  // Nothing stays locked: the attributes can be written again.
  uint32_t* ids = nullptr;
  EXPECT_EQ(in.meshes[0]->LockPatchAttributes(0, &ids), Ok);
  EXPECT_EQ(in.meshes[0]->UnlockPatchAttributes(), Ok);
}

}  // namespace
}  // namespace lyr::test
