// The Mesh object on the reference device: creation and growth, drawing, locks, the attribute
// table, clones, and the optimiser through the object with its failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "core/object_impl.h"
#include "fault_injection.h"
#include "grid_mesh.h"
#include "lyr/mesh.h"
#include "mesh/mesh_impl.h"
#include "mesh/reference_device.h"
#include "ref_device.h"

namespace lyr {
namespace {

namespace OF = OptimizeFlags;
namespace MO = MeshOptions;
constexpr uint32_t N = 0xFFFFFFFFu;

const VertexElement kPosition[] = {
    {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0}, kEndElement};
const VertexElement kPositionNormal[] = {
    {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0},
    {0, 12, ElementType::F32x3, ElementMethod::Default, ElementUsage::Normal, 0},
    kEndElement};

using test::MakeRefDevice;

class MeshTest : public ::testing::Test {
 protected:
  void SetUp() override { mesh_test::ResetVertexCacheRecord(); }
};

// Fills a Mesh with indices, one attribute id per face and position x = vertex number.
template <class T>
void Fill(Mesh* mesh, const std::vector<uint32_t>& idx, const std::vector<uint32_t>& attr) {
  void* p = nullptr;
  ASSERT_EQ(mesh->LockIndices(0, &p), Ok);
  T* t = static_cast<T*>(p);
  for (size_t i = 0; i < idx.size(); ++i) t[i] = static_cast<T>(idx[i]);
  ASSERT_EQ(mesh->UnlockIndices(), Ok);
  ASSERT_EQ(mesh->LockVertices(0, &p), Ok);
  const uint32_t stride = mesh->GetVertexStride();
  for (uint32_t v = 0; v < mesh->GetVertexCount(); ++v) {
    float pos[3] = {float(v), float(v % 7), 1};
    std::memcpy(static_cast<uint8_t*>(p) + v * stride, pos, sizeof pos);
  }
  ASSERT_EQ(mesh->UnlockVertices(), Ok);
  uint32_t* a = nullptr;
  ASSERT_EQ(mesh->LockAttributeIds(0, &a), Ok);
  std::copy(attr.begin(), attr.end(), a);
  ASSERT_EQ(mesh->UnlockAttributeIds(), Ok);
}

// Reads a Mesh's faces back as 32-bit indices (all ones kept) and vertex x coordinates.
struct Snapshot {
  std::vector<uint32_t> idx, attr;
  std::vector<float> x;
  std::vector<AttributeRange> table;
};
Snapshot Read(Mesh* mesh) {
  Snapshot s;
  const bool wide = mesh->GetOptionBits() & MO::Index32;
  void* p = nullptr;
  EXPECT_EQ(mesh->LockIndices(kLockReadOnly, &p), Ok);
  for (uint32_t i = 0; i < mesh->GetFaceCount() * 3; ++i) {
    uint32_t v = wide ? static_cast<uint32_t*>(p)[i] : static_cast<uint16_t*>(p)[i];
    s.idx.push_back(!wide && v == 0xFFFF ? N : v);
  }
  mesh->UnlockIndices();
  EXPECT_EQ(mesh->LockVertices(kLockReadOnly, &p), Ok);
  for (uint32_t v = 0; v < mesh->GetVertexCount(); ++v) {
    float x;
    std::memcpy(&x, static_cast<uint8_t*>(p) + v * mesh->GetVertexStride(), 4);
    s.x.push_back(x);
  }
  mesh->UnlockVertices();
  uint32_t* a = nullptr;
  EXPECT_EQ(mesh->LockAttributeIds(kLockReadOnly, &a), Ok);
  s.attr.assign(a, a + mesh->GetFaceCount());
  uint32_t n = 0;
  mesh->CopyAttributeTable(nullptr, &n);
  s.table.resize(n);
  mesh->CopyAttributeTable(s.table.data(), nullptr);
  return s;
}

bool SameSnapshot(const Snapshot& a, const Snapshot& b) {
  return a.idx == b.idx && a.attr == b.attr && a.x == b.x && a.table.size() == b.table.size() &&
         std::equal(a.table.begin(), a.table.end(), b.table.begin(),
                    [](const AttributeRange& l, const AttributeRange& r) {
                      return std::memcmp(&l, &r, sizeof l) == 0;
                    });
}

// ---- Creation and growth ---------------------------------------------------------------------

TEST_F(MeshTest, CreateChecksArgumentsAndTheSixteenBitLimits) {
  auto device = MakeRefDevice();
  auto control = test::ControlOf(device.get());
  Ref<Mesh> m;
  const VertexElement twoStreams[] = {
      {1, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0}, kEndElement};
  EXPECT_EQ(CreateMesh(1, 3, 0x2000, kPosition, device.get(), m.put()), ErrInvalidCall);
  EXPECT_EQ(CreateMesh(1, 3, MO::ShareVertexBuffer, kPosition, device.get(), m.put()),
            ErrInvalidCall);
  EXPECT_EQ(CreateMesh(1, 3, 0, kPosition, nullptr, m.put()), ErrInvalidCall);
  EXPECT_EQ(CreateMesh(1, 3, 0, kPosition, device.get(), nullptr), ErrInvalidCall);
  EXPECT_EQ(CreateMesh(0, 3, 0, kPosition, device.get(), m.put()), ErrInvalidCall);
  EXPECT_EQ(CreateMesh(1, 0, 0, kPosition, device.get(), m.put()), ErrInvalidCall);
  EXPECT_EQ(CreateMesh(1, 3, 0, twoStreams, device.get(), m.put()), ErrInvalidCall);
  EXPECT_EQ(CreateMesh(0x10000, 3, 0, kPosition, device.get(), m.put()), ErrInvalidCall);
  EXPECT_EQ(control->CallCount(kRefCallMakeIndexBuffer), 0u);
  // 0xFFFF passes the first check and is refused by the resize; nothing is left behind.
  EXPECT_EQ(CreateMesh(0xFFFF, 3, 0, kPosition, device.get(), m.put()), ErrInvalidCall);
  EXPECT_EQ(CreateMesh(3, 0xFFFF, 0, kPosition, device.get(), m.put()), ErrInvalidCall);
  EXPECT_FALSE(m);
  EXPECT_EQ(control->LiveObjects(), 0u);
  ASSERT_EQ(CreateMesh(0xFFFE, 0xFFFE, 0, kPosition, device.get(), m.put()), Ok);
  EXPECT_EQ(m->GetFaceCount(), 0xFFFEu);
  ASSERT_EQ(CreateMesh(0xFFFF, 3, MO::Index32, kPosition, device.get(), m.put()), Ok);
  EXPECT_EQ(m->GetFaceCount(), 0xFFFFu);
}

TEST_F(MeshTest, OptionsGiveBufferPoolsUsagesAndIndexFormat) {
  auto device = MakeRefDevice();
  Ref<Mesh> m;
  ASSERT_EQ(
      CreateMesh(2, 4,
                 MO::NoClip | MO::VertexSystemMemory | MO::VertexManaged | MO::VertexWriteOnly |
                     MO::IndexManaged | MO::IndexDynamic | MO::IndexSoftware,
                 kPosition, device.get(), m.put()),
      Ok);
  Ref<VertexBuffer> vb;
  Ref<IndexBuffer> ib;
  ASSERT_EQ(m->GetVertexBufferRef(vb.put()), Ok);
  ASSERT_EQ(m->GetIndexBufferRef(ib.put()), Ok);
  BufferInfo vi = {}, ii = {};
  ASSERT_EQ(vb->ReadBufferInfo(&vi), Ok);
  ASSERT_EQ(ib->ReadBufferInfo(&ii), Ok);
  EXPECT_EQ(vi.pool, kPoolSystemMemory);
  EXPECT_EQ(vi.usage, kUsageNoClipping | kUsageWriteOnly);
  EXPECT_EQ(vi.size, 4u * 12);
  EXPECT_EQ(vi.formatCode, 0x2u);
  EXPECT_EQ(ii.pool, kPoolManaged);
  EXPECT_EQ(ii.usage, kUsageNoClipping | kUsageDynamic | kUsageSoftwareProcessing);
  EXPECT_EQ(ii.format, kIndexFormat16);
  EXPECT_EQ(ii.size, 2u * 6);
  EXPECT_EQ(m->GetFormatCode(), 0x2u);
  EXPECT_EQ(m->GetVertexStride(), 12u);
  ASSERT_EQ(CreateMesh(2, 4, MO::Index32, kPosition, device.get(), m.put()), Ok);
  ASSERT_EQ(m->GetIndexBufferRef(ib.put()), Ok);
  ASSERT_EQ(ib->ReadBufferInfo(&ii), Ok);
  EXPECT_EQ(ii.format, kIndexFormat32);
  EXPECT_EQ(ii.size, 2u * 12);
}

TEST_F(MeshTest, ResizeKeepsOldContentsAndZeroesTheRest) {
  auto device = MakeRefDevice();
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(2, 4, 0, kPosition, device.get(), m.put()), Ok);
  Fill<uint16_t>(m.get(), {0, 1, 2, 2, 1, 3}, {5, 6});
  MeshInternal* in = GetMeshInternal(m.get());
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(in->Resize(5, 9), Ok);
  Snapshot s = Read(m.get());
  EXPECT_EQ(s.idx, (std::vector<uint32_t>{0, 1, 2, 2, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s.attr, (std::vector<uint32_t>{5, 6, 0, 0, 0}));
  EXPECT_EQ(s.x, (std::vector<float>{0, 1, 2, 3, 0, 0, 0, 0, 0}));
  // Shrinking keeps the buffers and only changes the counts.
  Ref<VertexBuffer> before, after;
  m->GetVertexBufferRef(before.put());
  ASSERT_EQ(in->Resize(1, 3), Ok);
  m->GetVertexBufferRef(after.put());
  EXPECT_EQ(before.get(), after.get());
  EXPECT_EQ(m->GetFaceCount(), 1u);
}

TEST_F(MeshTest, DeclarationObjectIsRequestedWithDebugOutputMuted) {
  auto device = MakeRefDevice();
  auto control = test::ControlOf(device.get());
  // A usage the device does not know: it refuses the declaration object with a message.
  const VertexElement odd[] = {
      {0, 0, ElementType::F32x3, ElementMethod::Default, static_cast<ElementUsage>(14), 0},
      kEndElement};
  RefDebugState before = {}, after = {};
  ASSERT_TRUE(ReadReferenceDebugState(&before));
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(1, 3, 0, odd, device.get(), m.put()), Ok);
  ASSERT_EQ(m->ReplaceDeclaration(odd), Ok);
  ASSERT_TRUE(ReadReferenceDebugState(&after));
  EXPECT_EQ(after.suppressed, before.suppressed + 2);
  EXPECT_EQ(after.written, before.written);
  EXPECT_EQ(after.muted, 0);
  // Without a declaration object the Mesh still draws, selecting none.
  uint32_t* ids = nullptr;
  ASSERT_EQ(m->LockAttributeIds(0, &ids), Ok);
  EXPECT_EQ(m->DrawAttributeGroup(0), Ok);
  EXPECT_EQ(control->DrawCount(), 1u);
}

TEST_F(MeshTest, ThirtyTwoBitMeshDrawsFromMemoryOnSmallDevices) {
  RefDeviceDesc small;
  small.maxVertexIndex = 0xFFFF;
  auto device = MakeRefDevice(small);
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(2, 4, MO::Index32, kPosition, device.get(), m.put()), Ok);
  EXPECT_TRUE(GetMeshInternal(m.get())->StateBits() & kMeshDrawFromMemory);
  auto big = MakeRefDevice();
  ASSERT_EQ(CreateMesh(2, 4, MO::Index32, kPosition, big.get(), m.put()), Ok);
  EXPECT_FALSE(GetMeshInternal(m.get())->StateBits() & kMeshDrawFromMemory);
  ASSERT_EQ(CreateMesh(2, 4, 0, kPosition, device.get(), m.put()), Ok);
  EXPECT_FALSE(GetMeshInternal(m.get())->StateBits() & kMeshDrawFromMemory);
}

TEST_F(MeshTest, VertexCacheIsDetectedOncePerDeviceWithItsFallbacks) {
  auto device = MakeRefDevice();
  auto control = test::ControlOf(device.get());
  Ref<Mesh> a, b;
  ASSERT_EQ(CreateMesh(1, 3, 0, kPosition, device.get(), a.put()), Ok);
  const uint32_t queries = control->CallCount(kRefCallMakeQuery);
  EXPECT_EQ(queries, 2u);  // the support test and the query itself
  ASSERT_EQ(CreateMesh(1, 3, MO::Index32, kPosition, device.get(), b.put()), Ok);
  EXPECT_EQ(control->CallCount(kRefCallMakeQuery), queries);
  uint32_t size = 0, magic = 0;
  GetMeshInternal(b.get())->VertexCacheParameters(&size, &magic);
  EXPECT_EQ(size, 24u);
  EXPECT_EQ(magic, 7u);

  struct Case {
    RefDeviceDesc desc;
    uint32_t size, magic;
  };
  std::vector<Case> cases;
  RefDeviceDesc d;
  d.vendorId = 0x1002;
  d.deviceId = 0x5146;
  cases.push_back({d, 0, 0});
  d.deviceId = 0x5148;  // another adapter of that vendor asks the query
  cases.push_back({d, 24, 7});
  for (uint32_t step = kRefQuerySupportTest; step <= kRefQueryPoll; ++step) {
    RefDeviceDesc f;
    f.failQueryStep = step;
    cases.push_back({f, 12, 7});
  }
  RefDeviceDesc unsupported;
  unsupported.vertexCacheSupported = 0;
  cases.push_back({unsupported, 12, 7});
  RefDeviceDesc none;
  none.vertexCache = {0, 0, 16, 5};
  cases.push_back({none, 0, 0});
  for (const Case& c : cases) {
    auto other = MakeRefDevice(c.desc);
    Ref<Mesh> m;
    ASSERT_EQ(CreateMesh(1, 3, 0, kPosition, other.get(), m.put()), Ok);
    GetMeshInternal(m.get())->VertexCacheParameters(&size, &magic);
    EXPECT_EQ(size, c.size) << c.desc.failQueryStep << " " << c.desc.deviceId;
    EXPECT_EQ(magic, c.magic);
    m = Ref<Mesh>();
    mesh_test::ResetVertexCacheRecord();
  }
}

// ---- Drawing ----------------------------------------------------------------------------------

TEST_F(MeshTest, DrawScansRunsOrUsesTheTableAndNeverDrawsAnAbsentId) {
  auto device = MakeRefDevice();
  auto control = test::ControlOf(device.get());
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(4, 6, 0, kPosition, device.get(), m.put()), Ok);
  Fill<uint16_t>(m.get(), {0, 1, 2, 2, 1, 3, 2, 3, 4, 4, 3, 5}, {1, 1, 2, 1});
  ASSERT_EQ(m->DrawAttributeGroup(7), Ok);
  EXPECT_EQ(control->DrawCount(), 0u);
  ASSERT_EQ(m->DrawAttributeGroup(1), Ok);
  ASSERT_EQ(control->DrawCount(), 2u);
  RefDrawRecord r = {};
  control->ReadDraw(0, &r);
  EXPECT_EQ(r.minVertexIndex, 0u);
  EXPECT_EQ(r.vertexCount, 6u);
  EXPECT_EQ(r.firstIndex, 0u);
  EXPECT_EQ(r.primitiveCount, 2u);
  EXPECT_EQ(r.stride, 12u);
  control->ReadDraw(1, &r);
  EXPECT_EQ(r.firstIndex, 9u);
  EXPECT_EQ(r.primitiveCount, 1u);

  // After the sort, group 2 (face 2) comes last with its own copies of the shared vertices.
  control->ClearDrawLog();
  ASSERT_EQ(m->OptimizeSelf(OF::AttributeSort, nullptr, nullptr, nullptr, nullptr), Ok);
  ASSERT_EQ(m->DrawAttributeGroup(2), Ok);
  ASSERT_EQ(control->DrawCount(), 1u);
  control->ReadDraw(0, &r);
  EXPECT_EQ(r.firstIndex, 9u);
  EXPECT_EQ(r.primitiveCount, 1u);
  EXPECT_EQ(r.minVertexIndex, 6u);
  EXPECT_EQ(r.vertexCount, 3u);
  EXPECT_EQ(m->DrawAttributeGroup(9), Ok);
  EXPECT_EQ(control->DrawCount(), 1u);
}

TEST_F(MeshTest, DrawFailuresFollowEachVariantsRule) {
  for (uint32_t options : {0u, MO::Index32}) {
    RefDeviceDesc desc;
    desc.failDraw = 1;
    auto device = MakeRefDevice(desc);
    auto control = test::ControlOf(device.get());
    Ref<Mesh> m;
    ASSERT_EQ(CreateMesh(3, 5, options, kPosition, device.get(), m.put()), Ok);
    if (options)
      Fill<uint32_t>(m.get(), {0, 1, 2, 2, 1, 3, 2, 3, 4}, {1, 2, 1});
    else
      Fill<uint16_t>(m.get(), {0, 1, 2, 2, 1, 3, 2, 3, 4}, {1, 2, 1});
    const LyrResult r = m->DrawAttributeGroup(1);
    if (options) {
      EXPECT_EQ(r, desc.failureCode);
      EXPECT_EQ(control->CallCount(kRefCallDraw), 1u);  // stopped at the failing draw
    } else {
      EXPECT_EQ(r, Ok);
      EXPECT_EQ(control->CallCount(kRefCallDraw), 2u);
    }
  }
}

TEST_F(MeshTest, DrawFromMemoryCopiesEachTriangleAndRefusesBadIndices) {
  RefDeviceDesc desc;
  desc.maxVertexIndex = 0xFFFF;
  auto device = MakeRefDevice(desc);
  auto control = test::ControlOf(device.get());
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(3, 5, MO::Index32, kPosition, device.get(), m.put()), Ok);
  Fill<uint32_t>(m.get(), {0, 1, 2, N, N, N, 4, 3, 2}, {1, 1, 1});
  ASSERT_EQ(m->DrawAttributeGroup(1), Ok);
  ASSERT_EQ(control->DrawCount(), 2u);
  float data[9];
  ASSERT_EQ(control->ReadDrawData(1, data, sizeof data), Ok);
  EXPECT_EQ(data[0], 4.0f);
  EXPECT_EQ(data[3], 3.0f);
  EXPECT_EQ(data[6], 2.0f);
  EXPECT_EQ(control->OutstandingLocks(), 0u);
  Fill<uint32_t>(m.get(), {0, 1, 2, 0, 1, 5, 4, 3, 2}, {1, 1, 1});
  EXPECT_EQ(m->DrawAttributeGroup(1), ErrInvalidCall);
  EXPECT_EQ(control->OutstandingLocks(), 0u);
}

TEST_F(MeshTest, DrawingAllocatesNothing) {
  RefDeviceDesc small;
  small.maxVertexIndex = 0xFFFF;
  auto device = MakeRefDevice();
  auto smallDevice = MakeRefDevice(small);
  Ref<Mesh> scan, table, memory;
  ASSERT_EQ(CreateMesh(3, 5, 0, kPosition, device.get(), scan.put()), Ok);
  ASSERT_EQ(CreateMesh(3, 5, 0, kPosition, device.get(), table.put()), Ok);
  ASSERT_EQ(CreateMesh(3, 5, MO::Index32, kPosition, smallDevice.get(), memory.put()), Ok);
  Fill<uint16_t>(scan.get(), {0, 1, 2, 2, 1, 3, 2, 3, 4}, {1, 2, 1});
  Fill<uint16_t>(table.get(), {0, 1, 2, 2, 1, 3, 2, 3, 4}, {1, 2, 1});
  Fill<uint32_t>(memory.get(), {0, 1, 2, 2, 1, 3, 2, 3, 4}, {1, 2, 1});
  ASSERT_EQ(table->OptimizeSelf(OF::AttributeSort, nullptr, nullptr, nullptr, nullptr), Ok);
  for (Mesh* m : {scan.get(), table.get(), memory.get()})
    EXPECT_EQ(test::CountAllocations([&] {
                EXPECT_EQ(m->DrawAttributeGroup(1), Ok);
                EXPECT_EQ(m->DrawAttributeGroup(2), Ok);
              }),
              0u);
}

// ---- Locks and the attribute table -------------------------------------------------------------

TEST_F(MeshTest, WritableAttributeLockDiscardsTheTableAndReplaceChecksEntries) {
  auto device = MakeRefDevice();
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(2, 4, 0, kPosition, device.get(), m.put()), Ok);
  Fill<uint16_t>(m.get(), {0, 1, 2, 2, 1, 3}, {0, 0});
  ASSERT_EQ(m->OptimizeSelf(OF::AttributeSort, nullptr, nullptr, nullptr, nullptr), Ok);
  uint32_t n = 0;
  uint32_t* ids = nullptr;
  ASSERT_EQ(m->LockAttributeIds(kLockReadOnly, &ids), Ok);
  m->CopyAttributeTable(nullptr, &n);
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(GetMeshInternal(m.get())->StateBits() & kMeshTableValid);
  ASSERT_EQ(m->LockAttributeIds(0, &ids), Ok);
  m->CopyAttributeTable(nullptr, &n);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(GetMeshInternal(m.get())->StateBits() & kMeshTableValid);

  const AttributeRange good[] = {{0, 0, 2, 0, 4}}, faces[] = {{0, 1, 2, 0, 4}},
                       verts[] = {{0, 0, 2, 3, 2}};
  EXPECT_EQ(m->ReplaceAttributeTable(good, 0), ErrInvalidCall);
  EXPECT_EQ(m->ReplaceAttributeTable(faces, 1), ErrInvalidCall);
  EXPECT_EQ(m->ReplaceAttributeTable(verts, 1), ErrInvalidCall);
  ASSERT_EQ(m->ReplaceAttributeTable(good, 1), Ok);
  m->CopyAttributeTable(nullptr, &n);
  EXPECT_EQ(n, 1u);
  EXPECT_FALSE(GetMeshInternal(m.get())->StateBits() & kMeshTableValid);  // left as it was
  ASSERT_EQ(m->ReplaceAttributeTable(nullptr, 0), Ok);
  m->CopyAttributeTable(nullptr, &n);
  EXPECT_EQ(n, 0u);
}

TEST_F(MeshTest, ReplaceAttributeTableRefusesRangesPastTheFacesOrVertices) {
  auto device = MakeRefDevice();
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(2, 4, 0, kPosition, device.get(), m.put()), Ok);
  const AttributeRange kept[] = {{5, 0, 2, 0, 4}};
  constexpr uint32_t kAll = 0xFFFFFFFFu;
  const struct {
    AttributeRange entry;
    bool accepted;
  } cases[] = {
      {{0, 0, 2, 0, 4}, true},     {{0, 2, 0, 4, 0}, true},     {{0, 1, 1, 3, 1}, true},
      {{0, 1, 2, 0, 4}, false},    {{0, 3, 0, 0, 4}, false},    {{0, 0, 2, 1, 4}, false},
      {{0, 0, 2, 5, 0}, false},    {{0, kAll, 3, 0, 4}, false}, {{0, 1, kAll, 0, 4}, false},
      {{0, 0, 2, kAll, 5}, false}, {{0, 0, 2, 2, kAll}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "faces " << c.entry.firstFace << "+" << c.entry.faceCount << ", vertices "
                 << c.entry.firstVertex << "+" << c.entry.vertexCount);
    ASSERT_EQ(m->ReplaceAttributeTable(kept, 1), Ok);
    // The entry alone and behind a good one: a refusal keeps the old table whole.
    const AttributeRange pair[] = {kept[0], c.entry};
    for (uint32_t count : {1u, 2u}) {
      const AttributeRange* entries = count == 1 ? &c.entry : pair;
      EXPECT_EQ(m->ReplaceAttributeTable(entries, count), c.accepted ? Ok : ErrInvalidCall);
      AttributeRange got[2] = {};
      uint32_t n = 0;
      ASSERT_EQ(m->CopyAttributeTable(nullptr, &n), Ok);
      ASSERT_EQ(n, c.accepted ? count : 1u);
      ASSERT_EQ(m->CopyAttributeTable(got, nullptr), Ok);
      const AttributeRange& want = c.accepted ? entries[n - 1] : kept[0];
      EXPECT_EQ(std::memcmp(&got[n - 1], &want, sizeof want), 0);
      ASSERT_EQ(m->ReplaceAttributeTable(kept, 1), Ok);
    }
  }
}

TEST_F(MeshTest, ConsistencyCheckCatchesHalfUnusedFacesAndLyingTables) {
  auto device = MakeRefDevice();
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(3, 5, 0, kPosition, device.get(), m.put()), Ok);
  Fill<uint16_t>(m.get(), {0, 1, 2, N, N, N, 4, 3, 2}, {1, 1, 2});
  EXPECT_EQ(m->CheckConsistency(nullptr), 1);
  const AttributeRange lying[] = {{1, 1, 2, 0, 5}};
  ASSERT_EQ(m->ReplaceAttributeTable(lying, 1), Ok);
  EXPECT_EQ(m->CheckConsistency(nullptr), 0);
  const AttributeRange honest[] = {{1, 0, 2, 0, 5}, {2, 2, 1, 0, 5}};
  ASSERT_EQ(m->ReplaceAttributeTable(honest, 2), Ok);
  EXPECT_EQ(m->CheckConsistency(nullptr), 1);
  const uint16_t halfUnused[] = {0, 1, 2, 0xFFFF, 3, 0xFFFF, 4, 3, 2};
  EXPECT_EQ(m->CheckConsistency(halfUnused), 0);
}

TEST_F(MeshTest, ReplaceDeclarationNeedsTheSameStride) {
  auto device = MakeRefDevice();
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(1, 3, 0, kPosition, device.get(), m.put()), Ok);
  EXPECT_EQ(m->ReplaceDeclaration(kPositionNormal), ErrInvalidCall);
  EXPECT_EQ(m->ReplaceDeclaration(nullptr), ErrInvalidCall);
  const VertexElement texture[] = {
      {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::TexCoord, 0}, kEndElement};
  ASSERT_EQ(m->ReplaceDeclaration(texture), Ok);
  VertexElement out[MaxElementEntries];
  ASSERT_EQ(m->CopyDeclaration(out), Ok);
  EXPECT_TRUE(ElementsEqual(out, texture));
  EXPECT_EQ(m->GetFormatCode(), 0x2u);  // left as it was
}

// ---- Clones ------------------------------------------------------------------------------------

TEST_F(MeshTest, SharingNeedsTheSameDeclarationAndDevice) {
  auto device = MakeRefDevice();
  auto other = MakeRefDevice();
  Ref<Mesh> m, c;
  ASSERT_EQ(CreateMesh(2, 4, 0, kPosition, device.get(), m.put()), Ok);
  Fill<uint16_t>(m.get(), {0, 1, 2, 2, 1, 3}, {0, 1});
  EXPECT_EQ(m->CloneWithDeclaration(MO::ShareVertexBuffer, kPositionNormal, device.get(), c.put()),
            ErrInvalidCall);
  EXPECT_EQ(m->CloneWithDeclaration(MO::ShareVertexBuffer, nullptr, other.get(), c.put()),
            ErrInvalidCall);
  EXPECT_FALSE(GetMeshInternal(m.get())->StateBits() & kMeshSharedVertexBuffer);
  ASSERT_EQ(m->CloneWithDeclaration(MO::ShareVertexBuffer, kPosition, device.get(), c.put()), Ok);
  Ref<VertexBuffer> a, b;
  m->GetVertexBufferRef(a.put());
  c->GetVertexBufferRef(b.put());
  EXPECT_EQ(a.get(), b.get());
  EXPECT_TRUE(GetMeshInternal(m.get())->StateBits() & kMeshSharedVertexBuffer);
  EXPECT_TRUE(GetMeshInternal(c.get())->StateBits() & kMeshSharedVertexBuffer);
  // A shared buffer keeps its vertices: splitting is refused and the source is unchanged.
  const Snapshot before = Read(m.get());
  EXPECT_EQ(m->OptimizeSelf(OF::AttributeSort, nullptr, nullptr, nullptr, nullptr),
            ErrVertexSplitForbidden);
  EXPECT_TRUE(SameSnapshot(before, Read(m.get())));
  EXPECT_EQ(m->CloneWithDeclaration(0x20000, nullptr, device.get(), c.put()), ErrInvalidCall);
}

TEST_F(MeshTest, CloneChangesWidthKeepingUnusedFacesAllOnes) {
  auto device = MakeRefDevice();
  Ref<Mesh> m, c, back;
  ASSERT_EQ(CreateMesh(3, 5, 0, kPosition, device.get(), m.put()), Ok);
  Fill<uint16_t>(m.get(), {0, 1, 2, N, N, N, 4, 3, 2}, {3, 0, 3});
  ASSERT_EQ(
      m->CloneWithDeclaration(MO::Index32 | MO::VertexSystemMemory, nullptr, device.get(), c.put()),
      Ok);
  EXPECT_EQ(c->GetOptionBits(), MO::Index32 | MO::VertexSystemMemory);
  Snapshot s = Read(c.get());
  EXPECT_EQ(s.idx, (std::vector<uint32_t>{0, 1, 2, N, N, N, 4, 3, 2}));
  EXPECT_EQ(s.attr, (std::vector<uint32_t>{3, 0, 3}));
  EXPECT_EQ(s.x, (std::vector<float>{0, 1, 2, 3, 4}));
  ASSERT_EQ(c->CloneFromFormatCode(0, 0x2, device.get(), back.put()), Ok);
  EXPECT_TRUE(SameSnapshot(Read(m.get()), Read(back.get())));
  // Another declaration converts each vertex, new components zero.
  Ref<Mesh> wide;
  ASSERT_EQ(m->CloneFromFormatCode(0, 0x12, device.get(), wide.put()), Ok);
  EXPECT_EQ(wide->GetVertexStride(), 24u);
  EXPECT_EQ(Read(wide.get()).x, s.x);
  void* p = nullptr;
  ASSERT_EQ(wide->LockVertices(kLockReadOnly, &p), Ok);
  float v4[6];
  std::memcpy(v4, static_cast<uint8_t*>(p) + 4 * 24, sizeof v4);
  wide->UnlockVertices();
  EXPECT_EQ(v4[1], 4.0f);
  EXPECT_EQ(v4[2], 1.0f);
  EXPECT_EQ(v4[3], 0.0f);
  EXPECT_EQ(v4[5], 0.0f);
  EXPECT_EQ(m->CloneFromFormatCode(0, 0x1, device.get(), wide.put()), ErrInvalidCall);
  Ref<Mesh> big;
  ASSERT_EQ(CreateMesh(0x10000, 3, MO::Index32, kPosition, device.get(), big.put()), Ok);
  EXPECT_EQ(big->CloneWithDeclaration(0, nullptr, device.get(), c.put()), ErrInvalidCall);
  Ref<Mesh> writeOnly;
  ASSERT_EQ(CreateMesh(1, 3, MO::VertexWriteOnly, kPosition, device.get(), writeOnly.put()), Ok);
  EXPECT_EQ(writeOnly->CloneWithDeclaration(0, nullptr, device.get(), c.put()), ErrInvalidCall);
  EXPECT_EQ(writeOnly->OptimizeSelf(OF::Compact, nullptr, nullptr, nullptr, nullptr),
            ErrInvalidCall);
}

// ---- Optimiser through the object
// ----------------------------------------------------------------

using GridMesh = test::TestGrid;

// A shuffled grid whose face 1 is unused.
GridMesh RandomGrid(uint32_t w, uint32_t h, uint32_t ids, uint32_t seed) {
  GridMesh g = test::ShuffledGrid(w, h, ids, seed);
  g.idx[3] = g.idx[4] = g.idx[5] = N;
  return g;
}

Ref<Mesh> MakeGridMesh(GraphicsDevice* device, const GridMesh& g, uint32_t options) {
  Ref<Mesh> m;
  EXPECT_EQ(CreateMesh(static_cast<uint32_t>(g.attr.size()), g.vertices, options, kPosition, device,
                       m.put()),
            Ok);
  if (options & MO::Index32)
    Fill<uint32_t>(m.get(), g.idx, g.attr);
  else
    Fill<uint16_t>(m.get(), g.idx, g.attr);
  return m;
}

// The optimised Mesh holds the same triangles (by vertex position) with the same attribute per
// face through the face remap, and its table and adjacency agree with it.
void ExpectOptimised(const Snapshot& before, const GridMesh& g, Mesh* after, uint32_t flags,
                     const std::vector<uint32_t>& faceRemap, const std::vector<uint32_t>& adjOut,
                     Buffer* vertexRemap) {
  SCOPED_TRACE(testing::Message() << "flags " << std::hex << flags);
  const Snapshot s = Read(after);
  const uint32_t F = after->GetFaceCount();
  ASSERT_EQ(F, before.attr.size() - 1);  // the unused face is dropped
  std::vector<uint32_t> oldToNew(before.attr.size(), N);
  for (uint32_t p = 0; p < F; ++p) {
    const uint32_t f =
        (flags & OF::FaceRemapOldToNew)
            ? uint32_t(std::find(faceRemap.begin(), faceRemap.end(), p) - faceRemap.begin())
            : faceRemap[p];
    ASSERT_LT(f, before.attr.size());
    oldToNew[f] = p;
    EXPECT_EQ(s.attr[p], before.attr[f]);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(s.x[s.idx[3 * p + k]], before.x[before.idx[3 * f + k]]);
  }
  if (vertexRemap) {
    ASSERT_EQ(vertexRemap->GetByteCount(), after->GetVertexCount() * 4);
    const uint32_t* vr = static_cast<const uint32_t*>(vertexRemap->GetBytes());
    for (uint32_t v = 0; v < after->GetVertexCount(); ++v) EXPECT_EQ(s.x[v], before.x[vr[v]]);
  }
  for (uint32_t p = 0; p < F && !adjOut.empty(); ++p) {
    const uint32_t f = std::find(oldToNew.begin(), oldToNew.end(), p) - oldToNew.begin();
    for (int k = 0; k < 3; ++k) {
      const uint32_t n = g.adj[3 * f + k];
      EXPECT_EQ(adjOut[3 * p + k], n == N ? N : oldToNew[n]);
    }
  }
  uint32_t covered = 0;
  for (const AttributeRange& r : s.table) {
    covered += r.faceCount;
    for (uint32_t p = r.firstFace; p < r.firstFace + r.faceCount; ++p)
      EXPECT_EQ(s.attr[p], r.attributeId);
  }
  EXPECT_EQ(covered, F);
  EXPECT_EQ(after->CheckConsistency(nullptr), 1);
}

TEST_F(MeshTest, OptimiseSelfAndToNewMeshKeepTrianglesForEveryLegalFlagCombination) {
  auto device = MakeRefDevice();
  auto control = test::ControlOf(device.get());
  const uint32_t reorders[] = {0, OF::StripReorder, OF::VertexCache,
                               OF::VertexCache | OF::DeviceIndependent};
  for (uint32_t options : {0u, MO::Index32})
    for (uint32_t r : reorders)
      for (uint32_t extra : {0u, OF::DoNotSplit, OF::Compact})
        for (int toNew = 0; toNew < 2; ++toNew) {
          const GridMesh g = RandomGrid(6, 4, 3, r + extra + options + toNew);
          Ref<Mesh> m = MakeGridMesh(device.get(), g, options);
          const Snapshot before = Read(m.get());
          const uint32_t flags = OF::AttributeSort | r | extra;
          const uint32_t F = static_cast<uint32_t>(g.attr.size());
          std::vector<uint32_t> remap(F), adj(g.adj);
          Ref<Buffer> vr;
          Ref<Mesh> made;
          if (toNew) {
            ASSERT_EQ(m->OptimizeToNewMesh(flags | MO::VertexSystemMemory, g.adj.data(), adj.data(),
                                           remap.data(), vr.put(), made.put()),
                      Ok);
            EXPECT_TRUE(SameSnapshot(before, Read(m.get())));
            EXPECT_EQ(made->GetOptionBits(), MO::VertexSystemMemory | options);
          } else {
            // The adjacency output is the input array itself.
            ASSERT_EQ(m->OptimizeSelf(flags, adj.data(), adj.data(), remap.data(), vr.put()), Ok);
            made = m;
          }
          ExpectOptimised(before, g, made.get(), flags, remap, adj, vr.get());
          EXPECT_EQ(control->OutstandingLocks(), 0u);
        }
}

TEST_F(MeshTest, OptimiseChecksFlagsAndSharesTheVertexBufferWhenAsked) {
  auto device = MakeRefDevice();
  const GridMesh g = RandomGrid(3, 3, 1, 5);
  Ref<Mesh> m = MakeGridMesh(device.get(), g, 0), made;
  std::vector<uint32_t> adj(g.adj), remap(g.attr.size());
  for (uint32_t bad : {OF::FaceRemapOldToNew, OF::KeepAll, OF::KeepTableOrder, 0x10u,
                       OF::VertexCache | OF::StripReorder})
    EXPECT_EQ(m->OptimizeSelf(OF::Compact | bad, g.adj.data(), nullptr, nullptr, nullptr),
              ErrInvalidCall)
        << std::hex << bad;
  EXPECT_EQ(m->OptimizeSelf(OF::StripReorder, nullptr, nullptr, nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(m->OptimizeSelf(OF::Compact, nullptr, adj.data(), nullptr, nullptr), ErrInvalidCall);
  for (uint32_t bad : {uint32_t(MO::Index32), uint32_t(MO::IndexWriteOnly), OF::KeepAll, 0x20000u})
    EXPECT_EQ(
        m->OptimizeToNewMesh(OF::Compact | bad, nullptr, nullptr, nullptr, nullptr, made.put()),
        ErrInvalidCall)
        << std::hex << bad;
  EXPECT_EQ(m->OptimizeToNewMesh(OF::Compact, nullptr, nullptr, nullptr, nullptr, nullptr),
            ErrInvalidCall);

  const Snapshot before = Read(m.get());
  ASSERT_EQ(m->OptimizeToNewMesh(OF::VertexCache | MO::ShareVertexBuffer, g.adj.data(), nullptr,
                                 remap.data(), nullptr, made.put()),
            Ok);
  Ref<VertexBuffer> a, b;
  m->GetVertexBufferRef(a.put());
  made->GetVertexBufferRef(b.put());
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(made->GetVertexCount(), m->GetVertexCount());
  EXPECT_EQ(made->GetOptionBits(), MO::ShareVertexBuffer);
  ExpectOptimised(before, g, made.get(), OF::VertexCache, remap, {}, nullptr);
  EXPECT_TRUE(SameSnapshot(before, Read(m.get())));
}

TEST_F(MeshTest, InternalOptimiserTakesEveryFlag) {
  auto device = MakeRefDevice();
  const GridMesh g = RandomGrid(5, 4, 3, 21);
  Ref<Mesh> m = MakeGridMesh(device.get(), g, MO::Index32);
  const Snapshot before = Read(m.get());
  MeshInternal* in = GetMeshInternal(m.get());
  const uint32_t F = static_cast<uint32_t>(g.attr.size());
  std::vector<uint32_t> oldToNew(F), adj(g.adj);
  EXPECT_EQ(
      in->OptimizeInternal(OF::KeepAll | OF::StripReorder, g.adj.data(), nullptr, nullptr, nullptr),
      ErrInvalidCall);  // no table yet
  ASSERT_EQ(in->OptimizeInternal(OF::AttributeSort | OF::FaceRemapOldToNew, g.adj.data(),
                                 adj.data(), oldToNew.data(), nullptr),
            Ok);
  ExpectOptimised(before, g, m.get(), OF::FaceRemapOldToNew, oldToNew, adj, nullptr);
  EXPECT_EQ(oldToNew[1], N);  // the unused face was dropped
  // Keeping faces, vertices and table: only the order inside each range changes.
  const Snapshot sorted = Read(m.get());
  std::vector<uint32_t> newToOld(m->GetFaceCount());
  ASSERT_EQ(in->OptimizeInternal(OF::KeepAll | OF::VertexCache | OF::DeviceIndependent, adj.data(),
                                 nullptr, newToOld.data(), nullptr),
            Ok);
  const Snapshot after = Read(m.get());
  ASSERT_EQ(after.table.size(), sorted.table.size());
  for (size_t i = 0; i < after.table.size(); ++i) {
    EXPECT_EQ(after.table[i].firstFace, sorted.table[i].firstFace);
    EXPECT_EQ(after.table[i].faceCount, sorted.table[i].faceCount);
    for (uint32_t p = after.table[i].firstFace;
         p < after.table[i].firstFace + after.table[i].faceCount; ++p) {
      EXPECT_GE(newToOld[p], after.table[i].firstFace);
      EXPECT_LT(newToOld[p], after.table[i].firstFace + after.table[i].faceCount);
    }
  }
  EXPECT_EQ(m->CheckConsistency(nullptr), 1);
}

TEST_F(MeshTest, EmbeddedMeshPassesReferencesToItsOuterObject) {
  struct Outer final : Unknown {
    uint32_t refs = 1;
    LyrResult LYR_CALL QueryInterface(const Guid&, void** out) override {
      *out = this;
      ++refs;
      return Ok;
    }
    uint32_t LYR_CALL AddRef() override { return ++refs; }
    uint32_t LYR_CALL Release() override { return --refs; }
  } outer;
  auto device = MakeRefDevice();
  Ref<Mesh> m;
  ASSERT_EQ(CreateMesh(1, 3, 0, kPosition, device.get(), m.put()), Ok);
  GetMeshInternal(m.get())->SetOuter(&outer);
  EXPECT_EQ(m->AddRef(), 2u);
  void* p = nullptr;
  ASSERT_EQ(m->QueryInterface(Mesh::kIid, &p), Ok);
  EXPECT_EQ(p, &outer);
  EXPECT_EQ(m->Release(), 2u);
  EXPECT_EQ(outer.refs, 2u);
  GetMeshInternal(m.get())->SetOuter(nullptr);
}

TEST_F(MeshTest, FailuresDuringCreateCloneAndOptimiseLeaveNothingBehind) {
  auto device = MakeRefDevice();
  auto control = test::ControlOf(device.get());
  const GridMesh g = RandomGrid(4, 3, 2, 11);
  Ref<Mesh> source = MakeGridMesh(device.get(), g, 0);
  const Snapshot before = Read(source.get());
  const uint32_t live = control->LiveObjects();
  Ref<Mesh> out;
  std::vector<uint32_t> adj(g.adj), remap(g.attr.size());
  Ref<Buffer> vr;
  auto cleanup = [&](LyrResult) {
    out = Ref<Mesh>();
    vr = Ref<Buffer>();
    EXPECT_EQ(control->LiveObjects(), live);
    EXPECT_EQ(control->OutstandingLocks(), 0u);
  };
  test::ForEachAllocationFailure(
      [&] { return CreateMesh(4, 9, MO::Index32, kPosition, device.get(), out.put()); }, cleanup);
  test::ForEachAllocationFailure(
      [&] { return source->CloneWithDeclaration(MO::Index32, nullptr, device.get(), out.put()); },
      cleanup);
  test::ForEachAllocationFailure(
      [&] {
        return source->OptimizeToNewMesh(OF::VertexCache | OF::DeviceIndependent, g.adj.data(),
                                         adj.data(), remap.data(), vr.put(), out.put());
      },
      cleanup);
  EXPECT_TRUE(SameSnapshot(before, Read(source.get())));
  // In place: every failing run leaves the Mesh as it was, until a run succeeds.
  for (int n = 0;; ++n) {
    const int64_t blocks = alloc_test::LiveBlocks();
    Ref<Mesh> copy;
    ASSERT_EQ(source->CloneWithDeclaration(0, nullptr, device.get(), copy.put()), Ok);
    alloc_test::FailNth(n);
    const LyrResult r =
        copy->OptimizeSelf(OF::StripReorder, g.adj.data(), adj.data(), remap.data(), vr.put());
    const bool delivered = alloc_test::FailureDelivered();
    alloc_test::Disarm();
    if (!delivered) {
      EXPECT_EQ(r, Ok);
      break;
    }
    EXPECT_EQ(r, ErrOutOfMemory);
    EXPECT_TRUE(SameSnapshot(before, Read(copy.get())));
    copy = Ref<Mesh>();
    EXPECT_EQ(alloc_test::LiveBlocks(), blocks);
    cleanup(r);
  }
}

TEST_F(MeshTest, DeviceFailuresAtEveryPointArePassedOnAndLeaveTheSourceUnchanged) {
  const GridMesh g = RandomGrid(4, 3, 2, 12);
  using Op = std::function<LyrResult(Mesh*, GraphicsDevice*)>;
  const std::vector<std::pair<const char*, Op>> ops = {
      {"create",
       [](Mesh*, GraphicsDevice* d) {
         Ref<Mesh> out;
         return CreateMesh(40, 90, MO::Index32, kPosition, d, out.put());
       }},
      {"clone",
       [](Mesh* m, GraphicsDevice* d) {
         Ref<Mesh> out;
         return m->CloneFromFormatCode(MO::Index32, 0x12, d, out.put());
       }},
      {"to new mesh",
       [&](Mesh* m, GraphicsDevice*) {
         Ref<Mesh> out;
         return m->OptimizeToNewMesh(OF::StripReorder, g.adj.data(), nullptr, nullptr, nullptr,
                                     out.put());
       }},
      {"self",
       [&](Mesh* m, GraphicsDevice*) {
         std::vector<uint32_t> adj(g.adj);
         return m->OptimizeSelf(OF::VertexCache, adj.data(), adj.data(), nullptr, nullptr);
       }},
  };
  // Buffer creations and locks are counted over the device's life: a probe run finds the ones
  // an operation makes after the setup, then each of them fails in turn.
  const RefCall kinds[] = {kRefCallMakeVertexBuffer, kRefCallLock};
  for (const auto& [name, op] : ops)
    for (RefCall kind : kinds) {
      auto count = [&](RefDeviceControl* c) {
        return kind == kRefCallLock
                   ? c->CallCount(kRefCallLock)
                   : c->CallCount(kRefCallMakeVertexBuffer) + c->CallCount(kRefCallMakeIndexBuffer);
      };
      uint32_t setup = 0, total = 0;
      {
        auto device = MakeRefDevice();
        auto control = test::ControlOf(device.get());
        Ref<Mesh> m = MakeGridMesh(device.get(), g, 0);
        Read(m.get());
        setup = count(control.get());
        ASSERT_EQ(op(m.get(), device.get()), Ok) << name;
        total = count(control.get());
      }
      if (kind == kRefCallMakeVertexBuffer) {
        EXPECT_GT(total, setup) << name;
      }
      for (uint32_t n = setup + 1; n <= total; ++n) {
        RefDeviceDesc desc;
        (kind == kRefCallLock ? desc.failLock : desc.failBufferCreation) = n;
        auto device = MakeRefDevice(desc);
        auto control = test::ControlOf(device.get());
        Ref<Mesh> m = MakeGridMesh(device.get(), g, 0);
        const Snapshot before = Read(m.get());
        EXPECT_EQ(op(m.get(), device.get()), desc.failureCode) << name << " " << kind << " " << n;
        EXPECT_TRUE(SameSnapshot(before, Read(m.get()))) << name;
        EXPECT_EQ(control->OutstandingLocks(), 0u);
        m = Ref<Mesh>();
        EXPECT_EQ(control->LiveObjects(), 0u) << name << " " << n;
      }
    }
}

}  // namespace
}  // namespace lyr
