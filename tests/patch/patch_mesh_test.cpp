// The PatchMesh object: creation checks, its state and settings, the attribute table, cloning,
// and failures of allocations and of the device.
#include <random>

#include "patch_test_util.h"
#include "support/fault_injection.h"

namespace lyr::test {
namespace {

class PatchMeshTest : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();
};

// Every patch of `count` degree-1 rectangle patches gets its own four vertices.
Ref<PatchMesh> SeparatePatches(GraphicsDevice* device, uint32_t count) {
  std::vector<float> positions;
  std::vector<uint16_t> indices;
  for (uint32_t p = 0; p < count; ++p) {
    for (uint32_t k = 0; k < 4; ++k) {
      positions.insert(positions.end(), {float(p), float(k), 0.0f});
      indices.push_back(static_cast<uint16_t>(p * 4 + k));
    }
  }
  return MakePatchMesh(device, {kPatchRectangle, 1, kPatchBezier}, positions, indices);
}

TEST_F(PatchMeshTest, PatchKindsGiveTheirControlPointCountsOrAreRefused) {
  struct Case {
    PatchInfo info;
    LyrResult result;
    uint32_t points;
  };
  const Case cases[] = {
      {{1, 1, 0}, Ok, 4},
      {{1, 2, 1}, Ok, 9},
      {{1, 3, 0}, Ok, 16},
      {{1, 5, 1}, Ok, 36},
      {{1, 3, 2}, Ok, 16},
      {{1, 2, 2}, ErrInvalidCall, 0},
      {{1, 4, 0}, ErrInvalidCall, 0},
      {{1, 3, 3}, ErrInvalidCall, 0},
      {{2, 1, 0}, Ok, 3},
      {{2, 2, 0}, Ok, 6},
      {{2, 3, 0}, Ok, 10},
      {{2, 5, 0}, Ok, 21},
      {{2, 3, 1}, ErrInvalidCall, 0},
      {{3, 7, 9}, Ok, 3},
      {{3, 0, 0}, Ok, 3},
      {{0, 1, 0}, ErrInvalidCall, 0},
      {{4, 1, 0}, ErrInvalidCall, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.info.type << "/" << c.info.degree << "/" << c.info.basis);
    Ref<PatchMesh> mesh;
    ASSERT_EQ(CreatePatchMesh(&c.info, 3, 8, 0, kPositionOnly, device.get(), mesh.put()), c.result);
    if (c.result != Ok) {
      EXPECT_FALSE(mesh);
      continue;
    }
    EXPECT_EQ(mesh->ControlPointsPerPatch(), c.points);
    PatchInfo info{};
    ASSERT_EQ(mesh->GetPatchDescription(&info), Ok);
    EXPECT_EQ(std::memcmp(&info, &c.info, sizeof info), 0);
    Ref<IndexBuffer> ib;
    ASSERT_EQ(mesh->GetIndexBufferRef(ib.put()), Ok);
    BufferInfo bi{};
    ASSERT_EQ(ib->ReadBufferInfo(&bi), Ok);
    EXPECT_EQ(bi.size, 3 * c.points * 2);
    EXPECT_EQ(bi.format, kIndexFormat16);
    EXPECT_EQ(bi.pool, kPoolSystemMemory);
    EXPECT_EQ(AttributesOf(mesh.get()), std::vector<uint32_t>(3, 0u));
  }
}

TEST_F(PatchMeshTest, CreationRefusesBadArgumentsBeforeMakingAnything) {
  const PatchInfo info{1, 3, 0};
  VertexElement tooMany[kMaxPatchElements + 2];
  for (uint32_t i = 0; i <= kMaxPatchElements; ++i)
    tooMany[i] = {0,
                  static_cast<uint16_t>(4 * i),
                  ElementType::F32x1,
                  ElementMethod::Default,
                  ElementUsage::TexCoord,
                  static_cast<uint8_t>(i)};
  tooMany[kMaxPatchElements + 1] = kEndElement;
  struct Case {
    const PatchInfo* info;
    uint32_t patches, vertices, options;
    const VertexElement* decl;
    bool device, out;
    LyrResult result;
  };
  const Case cases[] = {
      {nullptr, 1, 1, 0, kPositionOnly, true, true, ErrFail},
      {&info, 0, 1, 0, kPositionOnly, true, true, ErrInvalidCall},
      {&info, 1, 0, 0, kPositionOnly, true, true, ErrInvalidCall},
      {&info, 1, 1, 1, kPositionOnly, true, true, ErrInvalidCall},
      {&info, 1, 1, 0, nullptr, true, true, ErrInvalidCall},
      {&info, 1, 1, 0, kPositionOnly, false, true, ErrInvalidCall},
      {&info, 1, 1, 0, kPositionOnly, true, false, ErrInvalidCall},
      {&info, 1, 1, 0, tooMany, true, true, ErrInvalidCall},
  };
  Ref<RefDeviceControl> control = ControlOf(device.get());
  const uint32_t objects = control->LiveObjects();
  for (const Case& c : cases) {
    PatchMesh* mesh = nullptr;
    const uint64_t before = alloc_test::AllocationCount();
    EXPECT_EQ(CreatePatchMesh(c.info, c.patches, c.vertices, c.options, c.decl,
                              c.device ? device.get() : nullptr, c.out ? &mesh : nullptr),
              c.result);
    EXPECT_EQ(mesh, nullptr);
    EXPECT_EQ(alloc_test::AllocationCount(), before);
    EXPECT_EQ(control->LiveObjects(), objects);
  }
}

TEST_F(PatchMeshTest, InterfaceAnswersAndHandsOutReferences) {
  Ref<PatchMesh> mesh = SeparatePatches(device.get(), 2);
  void* p = nullptr;
  EXPECT_EQ(mesh->QueryInterface(Mesh::kIid, &p), ErrNoInterface);
  EXPECT_EQ(p, nullptr);
  for (const Guid& id : {kIidUnknown, PatchMesh::kIid}) {
    ASSERT_EQ(mesh->QueryInterface(id, &p), Ok);
    EXPECT_EQ(p, static_cast<PatchMesh*>(mesh.get()));
    mesh->Release();
  }
  EXPECT_EQ(mesh->GetPatchCount(), 2u);
  EXPECT_EQ(mesh->GetVertexCount(), 8u);
  EXPECT_EQ(mesh->GetOptionBits(), 0u);
  Ref<GraphicsDevice> owner;
  ASSERT_EQ(mesh->GetOwnerDevice(owner.put()), Ok);
  EXPECT_EQ(owner.get(), device.get());
  Ref<VertexBuffer> vb;
  ASSERT_EQ(mesh->GetVertexBufferRef(vb.put()), Ok);
  BufferInfo bi{};
  ASSERT_EQ(vb->ReadBufferInfo(&bi), Ok);
  EXPECT_EQ(bi.size, 8u * 12);
  EXPECT_EQ(bi.pool, kPoolSystemMemory);
  VertexElement decl[MaxElementEntries];
  ASSERT_EQ(mesh->CopyDeclaration(decl), Ok);
  EXPECT_TRUE(ElementsEqual(decl, kPositionOnly));
  EXPECT_EQ(mesh->CopyDeclaration(nullptr), ErrInvalidCall);
  EXPECT_EQ(mesh->GetOwnerDevice(nullptr), ErrInvalidCall);
  EXPECT_EQ(mesh->GetPatchDescription(nullptr), ErrInvalidCall);
  EXPECT_EQ(mesh->LockVertices(0, nullptr), ErrInvalidCall);
  EXPECT_EQ(mesh->LockIndices(0, nullptr), ErrInvalidCall);
  EXPECT_EQ(mesh->LockPatchAttributes(0, nullptr), ErrInvalidCall);
  EXPECT_EQ(mesh->Optimize(0, nullptr), Ok);
  // Tessellation: arguments are checked; a Mesh without room for the result is refused.
  uint32_t faces = 0, vertices = 0;
  EXPECT_EQ(mesh->TessellatedSize(1.0f, 0, nullptr, &vertices), ErrInvalidCall);
  EXPECT_EQ(mesh->TessellatedSize(1.0f, 0, &faces, &vertices), Ok);
  Ref<Mesh> out;
  ASSERT_EQ(CreateMeshFromFormatCode(2, 4, MeshOptions::VertexSystemMemory, kFormatPosition,
                                     device.get(), out.put()),
            Ok);
  EXPECT_EQ(mesh->TessellateUniform(33.0f, out.get()), ErrInvalidCall);
  EXPECT_EQ(mesh->TessellateUniform(32.0f, out.get()), ErrInvalidCall);
  const Vector4 t{0, 0, 1, 0};
  EXPECT_EQ(mesh->TessellateByDistance(&t, 4.0f, 5.0f, out.get()), ErrInvalidCall);
  EXPECT_EQ(mesh->TessellateByDistance(&t, 32.0f, 32.0f, out.get()), ErrInvalidCall);
}

TEST_F(PatchMeshTest, TessellationLayoutPacksEveryElementIntoStreamZero) {
  using T = ElementType;
  using M = ElementMethod;
  using U = ElementUsage;
  const VertexElement decl[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                {0, 0, T::F32x3, M::CrossUV, U::Normal, 0},
                                {0, 12, T::F32x2, M::Default, U::TexCoord, 0},
                                {0, 12, T::F32x2, M::Lookup, static_cast<U>(13), 0},
                                {0, 0, T::F32x1, M::UV, U::TexCoord, 1},
                                {0, 20, T::ColorArgb8, M::Default, U::Color, 0},
                                kEndElement};
  const VertexElement expected[] = {{0, 0, T::F32x3, M::Default, U::Position, 0},
                                    {0, 12, T::F32x3, M::Default, U::Normal, 0},
                                    {0, 24, T::F32x2, M::Default, U::TexCoord, 0},
                                    {0, 32, T::F32x1, M::Default, static_cast<U>(13), 0},
                                    {0, 36, T::F32x2, M::Default, U::TexCoord, 1},
                                    {0, 44, T::ColorArgb8, M::Default, U::Color, 0},
                                    kEndElement};
  const PatchInfo rect{1, 3, 1}, tri{2, 2, 0};
  Ref<PatchMesh> a, b;
  ASSERT_EQ(CreatePatchMesh(&rect, 1, 16, 0, decl, device.get(), a.put()), Ok);
  ASSERT_EQ(CreatePatchMesh(&tri, 1, 6, 0, decl, device.get(), b.put()), Ok);
  PatchMeshInternal* ai = GetPatchMeshInternal(a.get());
  EXPECT_TRUE(ElementsEqual(ai->TessellationLayout(), expected));
  const RectPatchDesc& r = ai->RectDesc();
  EXPECT_EQ(r.width, 4u);
  EXPECT_EQ(r.height, 4u);
  EXPECT_EQ(r.startU + r.startV + r.stride, 0u);
  EXPECT_EQ(r.basis, 1u);
  EXPECT_EQ(r.degree, 3u);
  const TriPatchDesc& t = GetPatchMeshInternal(b.get())->TriDesc();
  EXPECT_EQ(t.vertexCount, 6u);
  EXPECT_EQ(t.degree, 2u);
}

TEST_F(PatchMeshTest, DisplacementKeepsTheTextureAndFiltersButNotTheBias) {
  Ref<PatchMesh> mesh = SeparatePatches(device.get(), 1);
  Ref<Texture> texture;
  ASSERT_EQ(ControlOf(device.get())->MakeTexture(16, 8, 0, kFormatL8, texture.put()), Ok);
  Texture* got = nullptr;
  EXPECT_EQ(mesh->GetDisplacement(&got, nullptr, nullptr, nullptr, nullptr, nullptr), ErrFail);
  ASSERT_EQ(mesh->SetDisplacement(texture.get(), 1, 3, 2, 5, 7), Ok);
  uint32_t minF = 0, magF = 0, mipF = 0, wrap = 0, bias = 99;
  ASSERT_EQ(mesh->GetDisplacement(&got, &minF, &magF, &mipF, &wrap, &bias), Ok);
  EXPECT_EQ(got, texture.get());
  got->Release();
  EXPECT_EQ(minF, 1u);
  EXPECT_EQ(magF, 3u);
  EXPECT_EQ(mipF, 2u);
  EXPECT_EQ(wrap, 5u);
  EXPECT_EQ(bias, 0u);
  EXPECT_EQ(GetPatchMeshInternal(mesh.get())->Displacement()->maxLevel, 4u);  // 16x8 .. 1x1
  ASSERT_EQ(mesh->SetDisplacement(nullptr, 0, 0, 0, 0, 0), Ok);
  EXPECT_EQ(mesh->GetDisplacement(&got, &minF, &magF, &mipF, &wrap, &bias), ErrFail);
  texture->AddRef();
  EXPECT_EQ(texture->Release(), 1u);  // the mesh gave its reference back
}

TEST_F(PatchMeshTest, WritableAttributeLocksDropTheAdjacencyAndReadOnlyOnesKeepIt) {
  // Two unit squares sharing the row y = 1.
  const std::vector<float> positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0,
                                        0, 1, 0, 1, 1, 0, 0, 2, 0, 1, 2, 0};
  Ref<PatchMesh> mesh = MakePatchMesh(device.get(), {1, 1, 0}, positions, {4, 5, 6, 7, 0, 1, 2, 3});
  ASSERT_EQ(mesh->BuildPatchAdjacency(0.0f), Ok);
  const std::vector<uint32_t> expected = {
      1, kNoNeighbour, kNoNeighbour, kNoNeighbour, kNoNeighbour, kNoNeighbour, 0, kNoNeighbour};
  EXPECT_EQ(AdjacencyOf(mesh.get()), expected);
  uint32_t* ids = nullptr;
  ASSERT_EQ(mesh->LockPatchAttributes(kLockReadOnly, &ids), Ok);
  ASSERT_EQ(mesh->UnlockPatchAttributes(), Ok);
  EXPECT_EQ(AdjacencyOf(mesh.get()), expected);
  EXPECT_EQ(GetPatchMeshInternal(mesh.get())->AttributeTable().size(), 1u);
  ASSERT_EQ(mesh->LockPatchAttributes(0, &ids), Ok);
  EXPECT_TRUE(AdjacencyOf(mesh.get()).empty());
  EXPECT_TRUE(GetPatchMeshInternal(mesh.get())->AttributeTable().empty());
  ASSERT_EQ(mesh->UnlockPatchAttributes(), Ok);
  EXPECT_EQ(GetPatchMeshInternal(mesh.get())->AttributeTable().size(), 1u);
}

// Random ids: the table lists ids by first appearance, every patch's indices land in its id's
// run in their old order, the ids travel with them, and adjacency rows are renumbered.
TEST_F(PatchMeshTest, AttributeTableRegroupsIndicesIdsAndAdjacencyTogether) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    const uint32_t count = 1 + random() % 24;
    // A strip of unit squares along y, so that patch p and p + 1 share a row.
    std::vector<float> positions;
    std::vector<uint16_t> indices;
    for (uint32_t p = 0; p <= count; ++p)
      positions.insert(positions.end(), {0, float(p), 0, 1, float(p), 0});
    for (uint32_t p = 0; p < count; ++p)
      indices.insert(indices.end(), {uint16_t(2 * p + 2), uint16_t(2 * p + 3), uint16_t(2 * p),
                                     uint16_t(2 * p + 1)});
    Ref<PatchMesh> mesh = MakePatchMesh(device.get(), {1, 1, 0}, positions, indices);
    ASSERT_EQ(mesh->BuildPatchAdjacency(0.0f), Ok);
    const std::vector<uint32_t> oldAdjacency = AdjacencyOf(mesh.get());
    std::vector<uint32_t> ids(count);
    for (uint32_t& id : ids) id = random() % 4 * 10;
    // A read-only lock keeps the adjacency; there is no table yet, so the unlock builds it.
    uint32_t* locked = nullptr;
    ASSERT_EQ(mesh->LockPatchAttributes(kLockReadOnly, &locked), Ok);
    std::copy(ids.begin(), ids.end(), locked);
    ASSERT_EQ(mesh->UnlockPatchAttributes(), Ok);

    std::vector<uint32_t> order;  // ids by first appearance
    for (uint32_t id : ids)
      if (std::find(order.begin(), order.end(), id) == order.end()) order.push_back(id);
    std::vector<uint32_t> newPos(count);
    uint32_t next = 0;
    for (uint32_t id : order)
      for (uint32_t p = 0; p < count; ++p)
        if (ids[p] == id) newPos[p] = next++;
    const Vector<AttributeRange>& table = GetPatchMeshInternal(mesh.get())->AttributeTable();
    ASSERT_EQ(table.size(), order.size());
    uint32_t first = 0;
    for (size_t e = 0; e < table.size(); ++e) {
      EXPECT_EQ(table[e].attributeId, order[e]);
      EXPECT_EQ(table[e].firstFace, first);
      first += table[e].faceCount;
    }
    EXPECT_EQ(first, count);
    const std::vector<uint16_t> now = IndicesOf(mesh.get());
    const std::vector<uint32_t> attributes = AttributesOf(mesh.get());
    const std::vector<uint32_t> adjacency = AdjacencyOf(mesh.get());
    for (uint32_t p = 0; p < count; ++p) {
      const uint32_t q = newPos[p];
      EXPECT_TRUE(std::equal(&now[q * 4], &now[q * 4 + 4], &indices[p * 4]));
      EXPECT_EQ(attributes[q], ids[p]);
      for (int k = 0; k < 4; ++k) {
        const uint32_t old = oldAdjacency[p * 4 + k];
        EXPECT_EQ(adjacency[q * 4 + k], old == kNoNeighbour ? kNoNeighbour : newPos[old]);
      }
    }
    // Building again changes nothing.
    ASSERT_EQ(mesh->BuildAttributeTable(), Ok);
    EXPECT_EQ(IndicesOf(mesh.get()), now);
  }
}

TEST_F(PatchMeshTest, CloneConvertsVerticesAndCopiesPatchesIdsAndAdjacency) {
  const std::vector<float> positions = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 2, 0, 1, 2, 0};
  Ref<PatchMesh> mesh = MakePatchMesh(device.get(), {1, 1, 0}, positions, {2, 3, 4, 5, 0, 1, 2, 3});
  SetAttributes(mesh.get(), {3, 3});
  ASSERT_EQ(mesh->BuildPatchAdjacency(0.0f), Ok);
  const VertexElement decl[] = {
      {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0},
      {0, 12, ElementType::F32x2, ElementMethod::Default, ElementUsage::TexCoord, 0},
      kEndElement};
  Ref<PatchMesh> copy;
  EXPECT_EQ(mesh->ClonePatchMesh(0, nullptr, copy.put()), ErrInvalidCall);
  EXPECT_EQ(mesh->ClonePatchMesh(0, decl, nullptr), ErrInvalidCall);
  ASSERT_EQ(mesh->ClonePatchMesh(0, decl, copy.put()), Ok);
  EXPECT_TRUE(GetPatchMeshInternal(copy.get())->AttributeTable().empty());
  EXPECT_EQ(IndicesOf(copy.get()), IndicesOf(mesh.get()));
  EXPECT_EQ(AttributesOf(copy.get()), (std::vector<uint32_t>{3, 3}));
  EXPECT_EQ(AdjacencyOf(copy.get()), AdjacencyOf(mesh.get()));
  void* p = nullptr;
  ASSERT_EQ(copy->LockVertices(kLockReadOnly, &p), Ok);
  const float* v = static_cast<const float*>(p);
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(std::memcmp(v + i * 5, &positions[i * 3], 12), 0);
    EXPECT_EQ(v[i * 5 + 3], 0.0f);
    EXPECT_EQ(v[i * 5 + 4], 0.0f);
  }
  copy->UnlockVertices();
}

TEST_F(PatchMeshTest, EveryAllocationFailureIsReportedAndLeavesNothingBehind) {
  const PatchInfo info{1, 1, 0};
  ForEachAllocationFailure(
      [&] {
        Ref<PatchMesh> m;
        return CreatePatchMesh(&info, 4, 16, 0, kPositionOnly, device.get(), m.put());
      },
      [](LyrResult) {});
  Ref<PatchMesh> rect = SeparatePatches(device.get(), 6);
  const std::vector<float> tri = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
  Ref<PatchMesh> npatch = MakePatchMesh(device.get(), {3, 3, 0}, tri, {0, 1, 2, 3, 5, 4});
  for (PatchMesh* mesh : {rect.get(), npatch.get()}) {
    for (float tolerance : {0.0f, 0.5f}) {
      // A failed build keeps the adjacency of the build before.
      ASSERT_EQ(mesh->BuildPatchAdjacency(tolerance), Ok);
      const std::vector<uint32_t> before = AdjacencyOf(mesh);
      ForEachAllocationFailure([&] { return mesh->BuildPatchAdjacency(tolerance); },
                               [&](LyrResult) { EXPECT_EQ(AdjacencyOf(mesh), before); });
    }
    ForEachAllocationFailure(
        [&] {
          Ref<PatchMesh> copy;
          return mesh->ClonePatchMesh(0, kPositionOnly, copy.put());
        },
        [](LyrResult) {});
    uint32_t* ids = nullptr;
    ASSERT_EQ(mesh->LockPatchAttributes(0, &ids), Ok);
    ids[0] = 5;
    int points = ForEachAllocationFailure(
        [&] { return mesh->BuildAttributeTable(); },
        [&](LyrResult r) {
          // A failed build changes nothing; a successful one is undone for the count.
          if (Failed(r)) {
            EXPECT_TRUE(GetPatchMeshInternal(mesh)->AttributeTable().empty());
            EXPECT_EQ(AttributesOf(mesh)[0], 5u);
          }
          mesh->LockPatchAttributes(0, &ids);
        });
    EXPECT_GT(points, 3);
    ASSERT_EQ(mesh->UnlockPatchAttributes(), Ok);
  }
  Ref<Texture> texture;
  ASSERT_EQ(ControlOf(device.get())->MakeTexture(4, 4, 1, kFormatL8, texture.put()), Ok);
  ForEachAllocationFailure([&] { return rect->SetDisplacement(texture.get(), 2, 2, 0, 1, 0); },
                           [&](LyrResult) { rect->SetDisplacement(nullptr, 0, 0, 0, 0, 0); });
}

TEST_F(PatchMeshTest, DeviceFailuresArePassedOnAndChangeNothing) {
  RefDeviceDesc desc;
  const PatchInfo info{1, 1, 0};
  for (uint32_t n : {1u, 2u}) {
    desc.failBufferCreation = n;
    Ref<GraphicsDevice> failing = MakeRefDevice(desc);
    Ref<PatchMesh> m;
    EXPECT_EQ(CreatePatchMesh(&info, 1, 4, 0, kPositionOnly, failing.get(), m.put()),
              desc.failureCode);
    EXPECT_FALSE(m);
    EXPECT_EQ(ControlOf(failing.get())->LiveObjects(), 0u);
  }
  desc = {};
  desc.failLock = 3;  // the two locks of making the mesh succeed, the table's fails
  Ref<GraphicsDevice> failing = MakeRefDevice(desc);
  Ref<PatchMesh> mesh = SeparatePatches(failing.get(), 3);
  uint32_t* ids = nullptr;
  ASSERT_EQ(mesh->LockPatchAttributes(0, &ids), Ok);
  ids[0] = 1;
  EXPECT_EQ(mesh->UnlockPatchAttributes(), desc.failureCode);
  EXPECT_TRUE(GetPatchMeshInternal(mesh.get())->AttributeTable().empty());
  EXPECT_EQ(AttributesOf(mesh.get()), (std::vector<uint32_t>{1, 0, 0}));
  EXPECT_EQ(ControlOf(failing.get())->OutstandingLocks(), 0u);
}

}  // namespace
}  // namespace lyr::test
