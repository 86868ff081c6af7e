// Blocks the component never makes from a well-formed file: every count checked against the bytes
// actually there, through a stand-in data object; and allocation failures at every point.
#include <initializer_list>

#include "meshload_test_util.h"
#include "support/fault_injection.h"

namespace lyr::test {
namespace {

// A data object with a given template, block and children.
class FakeObject final : public Object<FakeObject, VekDataObject> {
 public:
  FakeObject(const Guid& id, std::vector<uint8_t> block) : id_(id), block_(std::move(block)) {}
  LyrResult LYR_CALL ReadName(char*, uint32_t* size) override {
    *size = 0;
    return Ok;
  }
  LyrResult LYR_CALL ReadId(Guid*) override { return ErrVekNotFound; }
  LyrResult LYR_CALL ReadData(const char* member, uint32_t* size, const void** data) override {
    if (member) return ErrVekNotFound;
    *size = static_cast<uint32_t>(block_.size());
    *data = block_.data();
    return Ok;
  }
  LyrResult LYR_CALL ReadTemplateId(const Guid** out) override {
    *out = &id_;
    return Ok;
  }
  LyrResult LYR_CALL NextChild(Unknown** out) override {
    *out = nullptr;
    if (next_ >= children_.size()) return ErrVekNoMoreObjects;
    *out = children_[next_++].get();
    (*out)->AddRef();
    return Ok;
  }
  LyrResult LYR_CALL AddChild(VekDataObject* child) override {
    child->AddRef();
    children_.emplace_back(child);
    return Ok;
  }
  LyrResult LYR_CALL AddReference(const char*, const Guid*) override { return ErrFail; }

 private:
  Guid id_;
  std::vector<uint8_t> block_;
  std::vector<Ref<VekDataObject>> children_;
  size_t next_ = 0;
};

Ref<VekDataObject> Fake(const Guid& id, std::vector<uint8_t> block) {
  return Ref<VekDataObject>(New<FakeObject>(id, std::move(block)));
}

// Little-endian block builder.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    return *this;
  }
  Bytes& f32(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return u32(v);
  }
  Bytes& u32s(std::initializer_list<uint32_t> vs) {
    for (uint32_t v : vs) u32(v);
    return *this;
  }
  Bytes& ptr(const char* s) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&s);
    b.insert(b.end(), p, p + sizeof s);
    return *this;
  }
  Bytes& zeros(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
};

// One triangle.
std::vector<uint8_t> TriangleBlock() {
  return Bytes()
      .u32(3)
      .zeros(12)
      .f32(1)
      .zeros(8)
      .zeros(4)
      .f32(1)
      .zeros(4)
      .u32(1)
      .u32s({3, 0, 1, 2})
      .b;
}

LyrResult LoadFake(GraphicsDevice* device, VekDataObject* mesh, Loaded* out) {
  out->Reset();
  return LoadMeshData(mesh, 0, device, out->adjacency.put(), out->materials.put(),
                      out->effects.put(), &out->materialCount, out->skin.put(), out->mesh.put(),
                      &out->pm, &out->pmSize, &out->unknown, &out->unknownCount);
}

class MeshLoadBounds : public ::testing::Test {
 protected:
  LyrResult WithChild(const Guid& id, std::vector<uint8_t> block) {
    Ref<VekDataObject> mesh = Fake(vekio::tid::kMesh, TriangleBlock());
    mesh->AddChild(Fake(id, std::move(block)).get());
    return LoadFake(device.get(), mesh.get(), &out);
  }

  Ref<GraphicsDevice> device = MakeRefDevice();
  Loaded out;
};

TEST_F(MeshLoadBounds, MeshBlocksShorterThanTheirCounts) {
  const std::vector<uint8_t> cases[] = {
      {1, 0, 0},
      Bytes().u32(2).zeros(12).b,                               // second vertex missing
      Bytes().u32(0x40000000).zeros(20).b,                      // 12 x count overflows 32 bits
      Bytes().u32(1).zeros(12).u32(2).u32s({3, 0, 0, 0}).b,     // second face missing
      Bytes().u32(1).zeros(12).u32(1).u32s({0xFFFFFFFF, 0}).b,  // corner count beyond the block
      Bytes().u32(1).zeros(12).u32(1).u32s({3, 0, 0, 0, 7}).b,  // bytes after the last face
  };
  for (const auto& block : cases) {
    Ref<VekDataObject> mesh = Fake(vekio::tid::kMesh, block);
    EXPECT_EQ(LoadFake(device.get(), mesh.get(), &out), ErrFail) << block.size();
    EXPECT_EQ(out.mesh.get(), nullptr);
  }
  Ref<VekDataObject> empty = Fake(vekio::tid::kMesh, Bytes().u32(0).u32(0).b);
  EXPECT_EQ(LoadFake(device.get(), empty.get(), &out), ErrMeshWithoutData);
}

TEST_F(MeshLoadBounds, ChildBlocksShorterThanTheirCountsFail) {
  namespace t = vekio::tid;
  struct Case {
    const Guid* id;
    std::vector<uint8_t> block;
  } cases[] = {
      {&t::kMeshTextureCoords, Bytes().u32(3).zeros(16).b},
      {&t::kMeshTextureCoords, {}},
      {&t::kMeshVertexColors, Bytes().u32(2).u32(0).zeros(16).b},
      {&t::kMeshVertexColors, Bytes().u32(0x80000000).zeros(20).b},  // 20 x count overflows
      {&t::kMeshNormals, Bytes().u32(2).zeros(12).b},
      {&t::kMeshNormals, Bytes().u32(1).zeros(12).b},  // nFaceNormals missing
      {&t::kMeshNormals, Bytes().u32(1).zeros(12).u32(1).u32s({3, 0, 0}).b},
      {&t::kMeshMaterialList, Bytes().u32(1).u32(0x40000001).u32(0).b},
      {&t::kMeshMaterialList, Bytes().u32(1).b},
      {&t::kVertexDuplicationIndices, Bytes().u32(3).u32(3).u32s({0, 1}).b},
      {&t::kFaceAdjacency, Bytes().u32(3).u32s({0, 0}).b},
      {&t::kVekSkinMeshHeader, {1, 0, 1, 0}},
      {&t::kFVFData, Bytes().u32(0x102).u32(6).zeros(20).b},
      {&t::kFVFData, Bytes().u32(0x102).b},
      {&t::kDeclData, Bytes().u32(2).u32s({2, 0, 6, 0}).b},
      {&t::kDeclData, Bytes().u32(1).u32s({2, 0, 6, 0}).u32(9).zeros(32).b},
      {&t::kDeclData, {}},
  };
  for (const Case& c : cases) {
    char id[37];
    FormatGuid(*c.id, id);
    EXPECT_EQ(WithChild(*c.id, c.block), ErrFail) << id << " " << c.block.size();
    EXPECT_EQ(out.mesh.get(), nullptr);
  }
}

TEST_F(MeshLoadBounds, SkinWeightsMustBeExactlyTheirSize) {
  const char* name = "bone";
  Bytes weights;
  weights.ptr(name).u32(1).u32(0).f32(1.0f).zeros(64);
  for (int delta : {-4, 4}) {
    Ref<VekDataObject> mesh = Fake(vekio::tid::kMesh, TriangleBlock());
    mesh->AddChild(Fake(vekio::tid::kVekSkinMeshHeader, {1, 0, 1, 0, 1, 0}).get());
    std::vector<uint8_t> b = weights.b;
    if (delta < 0)
      b.erase(b.end() - 4, b.end());
    else
      b.insert(b.end(), 4, 0);
    mesh->AddChild(Fake(vekio::tid::kSkinWeights, b).get());
    EXPECT_EQ(LoadFake(device.get(), mesh.get(), &out), ErrFail) << delta;
  }
  Ref<VekDataObject> mesh = Fake(vekio::tid::kMesh, TriangleBlock());
  mesh->AddChild(Fake(vekio::tid::kVekSkinMeshHeader, {1, 0, 1, 0, 1, 0}).get());
  mesh->AddChild(Fake(vekio::tid::kSkinWeights, weights.b).get());
  ASSERT_EQ(LoadFake(device.get(), mesh.get(), &out), Ok);
  EXPECT_STREQ(out.skin->GetBoneLabel(0), "bone");
}

TEST_F(MeshLoadBounds, MaterialPartsShorterThanAPointerFail) {
  namespace t = vekio::tid;
  for (const Guid* id : {&t::kTextureFilename, &t::kEffectInstance}) {
    Ref<VekDataObject> material = Fake(t::kMaterial, Bytes().zeros(44).b);
    material->AddChild(Fake(*id, {0, 0}).get());
    Ref<VekDataObject> list = Fake(t::kMeshMaterialList, Bytes().u32(1).u32(0).b);
    list->AddChild(material.get());
    Ref<VekDataObject> mesh = Fake(t::kMesh, TriangleBlock());
    mesh->AddChild(list.get());
    EXPECT_EQ(LoadFake(device.get(), mesh.get(), &out), ErrFail);
  }
  // An effect parameter whose count runs past its block.
  Ref<VekDataObject> effect = Fake(t::kEffectInstance, Bytes().ptr(nullptr).b);
  effect->AddChild(Fake(t::kEffectParamFloats, Bytes().ptr("p").u32(3).f32(1).b).get());
  Ref<VekDataObject> material = Fake(t::kMaterial, Bytes().zeros(44).b);
  material->AddChild(effect.get());
  Ref<VekDataObject> list = Fake(t::kMeshMaterialList, Bytes().u32(1).u32(0).b);
  list->AddChild(material.get());
  Ref<VekDataObject> mesh = Fake(t::kMesh, TriangleBlock());
  mesh->AddChild(list.get());
  EXPECT_EQ(LoadFake(device.get(), mesh.get(), &out), ErrFail);
}

TEST_F(MeshLoadBounds, AllocationFailuresAtEveryPointReleaseEverything) {
  for (const char* file : {"skin.vkf", "materials.vkf"}) {
    const std::string bytes = MeshLoadData(file);
    Loaded loaded;
    const int points = ForEachAllocationFailure(
        [&] { return LoadAll(device.get(), bytes, &loaded); }, [&](LyrResult) { loaded.Reset(); });
    EXPECT_GT(points, 10) << file;
  }
}

}  // namespace
}  // namespace lyr::test
