#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "math/fast_functions.h"
#include "platform/platform.h"
#include "ref_device.h"

namespace lyr {
namespace {

using test::ControlOf;
using test::MakeRefDevice;

Ref<VertexBuffer> VB(GraphicsDevice* d, uint32_t length, FormatCode code = kFormatPosition) {
  VertexBuffer* b = nullptr;
  EXPECT_EQ(d->MakeVertexBuffer(length, kUsageWriteOnly, code, kPoolManaged, &b, nullptr), Ok);
  return Ref<VertexBuffer>(b);
}

Ref<IndexBuffer> IB(GraphicsDevice* d, const std::vector<uint16_t>& indices) {
  IndexBuffer* b = nullptr;
  EXPECT_EQ(d->MakeIndexBuffer(static_cast<uint32_t>(indices.size() * 2), 0, kIndexFormat16,
                               kPoolDefault, &b, nullptr),
            Ok);
  void* p = nullptr;
  EXPECT_EQ(b->LockBuffer(0, 0, &p, 0), Ok);
  std::memcpy(p, indices.data(), indices.size() * 2);
  EXPECT_EQ(b->UnlockBuffer(), Ok);
  return Ref<IndexBuffer>(b);
}

TEST(RefDevice, BuffersReportWhatTheyWereMadeWith) {
  auto device = MakeRefDevice();
  auto control = ControlOf(device.get());
  {
    auto vb = VB(device.get(), 96, kFormatPosition | kFormatNormal);
    BufferInfo info{};
    ASSERT_EQ(vb->ReadBufferInfo(&info), Ok);
    EXPECT_EQ(info.format, kVertexDataFormat);
    EXPECT_EQ(info.resourceType, kResourceVertexBuffer);
    EXPECT_EQ(info.usage, kUsageWriteOnly);
    EXPECT_EQ(info.pool, kPoolManaged);
    EXPECT_EQ(info.size, 96u);
    EXPECT_EQ(info.formatCode, kFormatPosition | kFormatNormal);

    IndexBuffer* ib = nullptr;
    ASSERT_EQ(
        device->MakeIndexBuffer(12, kUsageDynamic, kIndexFormat32, kPoolSystemMemory, &ib, nullptr),
        Ok);
    ASSERT_EQ(ib->ReadBufferInfo(&info), Ok);
    EXPECT_EQ(info.format, kIndexFormat32);
    EXPECT_EQ(info.pool, kPoolSystemMemory);
    ib->Release();
    EXPECT_EQ(control->LiveObjects(), 1u);
  }
  EXPECT_EQ(control->LiveObjects(), 0u);
}

TEST(RefDevice, RefusesMalformedBufferRequests) {
  auto device = MakeRefDevice();
  VertexBuffer* vb = nullptr;
  IndexBuffer* ib = nullptr;
  int dummy = 0;
  EXPECT_EQ(device->MakeVertexBuffer(0, 0, 0, 0, &vb, nullptr), ErrInvalidCall);
  EXPECT_EQ(device->MakeVertexBuffer(16, 0x1, 0, 0, &vb, nullptr), ErrInvalidCall);
  EXPECT_EQ(device->MakeVertexBuffer(16, 0, 0, 7, &vb, nullptr), ErrInvalidCall);
  EXPECT_EQ(device->MakeVertexBuffer(16, 0, 0, 0, &vb, &dummy), ErrInvalidCall);
  EXPECT_EQ(device->MakeVertexBuffer(16, 0, 0, 0, nullptr, nullptr), ErrInvalidCall);
  EXPECT_EQ(device->MakeIndexBuffer(16, 0, 100, 0, &ib, nullptr), ErrInvalidCall);
  EXPECT_EQ(vb, nullptr);
  EXPECT_EQ(ib, nullptr);
}

TEST(RefDevice, LocksStayInsideTheBuffer) {
  auto device = MakeRefDevice();
  auto control = ControlOf(device.get());
  auto vb = VB(device.get(), 64);
  void *whole = nullptr, *range = nullptr, *rest = nullptr;
  ASSERT_EQ(vb->LockBuffer(0, 0, &whole, 0), Ok);
  ASSERT_EQ(vb->LockBuffer(16, 32, &range, kLockReadOnly), Ok);  // locks nest
  ASSERT_EQ(vb->LockBuffer(60, 0, &rest, 0), Ok);                // to the end
  EXPECT_EQ(static_cast<uint8_t*>(range), static_cast<uint8_t*>(whole) + 16);
  EXPECT_EQ(static_cast<uint8_t*>(rest), static_cast<uint8_t*>(whole) + 60);
  EXPECT_EQ(control->OutstandingLocks(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(vb->UnlockBuffer(), Ok);
  EXPECT_EQ(vb->UnlockBuffer(), ErrInvalidCall);
  EXPECT_EQ(control->OutstandingLocks(), 0u);

  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(vb->LockBuffer(0, 65, &p, 0), ErrInvalidCall);
  EXPECT_EQ(vb->LockBuffer(33, 32, &p, 0), ErrInvalidCall);
  EXPECT_EQ(vb->LockBuffer(64, 0, &p, 0), ErrInvalidCall);
  EXPECT_EQ(vb->LockBuffer(0xFFFFFFF0u, 0x20, &p, 0), ErrInvalidCall);
  EXPECT_EQ(vb->LockBuffer(0, 0, nullptr, 0), ErrInvalidCall);
  EXPECT_EQ(p, reinterpret_cast<void*>(1));
  EXPECT_EQ(control->OutstandingLocks(), 0u);
}

TEST(RefDevice, WritesUnderAReadOnlyLockAreCounted) {
  auto device = MakeRefDevice();
  auto control = ControlOf(device.get());
  auto vb = VB(device.get(), 32);
  void* p = nullptr;
  ASSERT_EQ(vb->LockBuffer(0, 0, &p, kLockReadOnly | kLockNoSystemLock), Ok);
  ASSERT_EQ(vb->UnlockBuffer(), Ok);
  EXPECT_EQ(control->ReadOnlyViolations(), 0u);
  ASSERT_EQ(vb->LockBuffer(8, 8, &p, kLockReadOnly), Ok);
  static_cast<uint8_t*>(p)[3] ^= 0xFF;
  ASSERT_EQ(vb->UnlockBuffer(), Ok);
  EXPECT_EQ(control->ReadOnlyViolations(), 1u);
}

TEST(RefDevice, DeclarationObjectsKeepACopy) {
  auto device = MakeRefDevice();
  auto control = ControlOf(device.get());
  VertexElement d[MaxElementEntries];
  ASSERT_EQ(FormatCodeToElements(kFormatPosition | kFormatNormal, d), Ok);
  DeclarationObject* decl = nullptr;
  ASSERT_EQ(device->MakeDeclarationObject(d, &decl), Ok);
  d[0].offset = 4;  // the caller's array may change afterwards
  VertexElement back[MaxElementEntries];
  uint32_t count = 0;
  ASSERT_EQ(control->ReadDeclaration(decl, nullptr, &count), Ok);
  EXPECT_EQ(count, 3u);
  ASSERT_EQ(control->ReadDeclaration(decl, back, &count), Ok);
  d[0].offset = 0;
  EXPECT_TRUE(ElementsEqual(back, d));
  decl->Release();
}

TEST(RefDevice, InvalidDeclarationsAreRefusedWithAMessageUnlessMuted) {
  auto device = MakeRefDevice();
  const VertexElement P = {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position,
                           0};
  std::vector<std::vector<VertexElement>> bad = {
      {{16, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0}, kEndElement},
      {P,
       {0, 12, ElementType::NoData, ElementMethod::Default, ElementUsage::Normal, 0},
       kEndElement},
      {P,
       {0, 14, ElementType::F32x3, ElementMethod::Default, ElementUsage::Normal, 0},
       kEndElement},
      {P,
       {0, 12, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0},
       kEndElement},
      std::vector<VertexElement>(MaxElementEntries, P),  // no end marker
  };
  auto setMute = reinterpret_cast<RefDebugSetMuteFn>(
      platform::FindProcedure(platform::LoadModule(kRefModuleName), kRefDebugSetMuteName));
  ASSERT_NE(setMute, nullptr);
  for (int muted = 0; muted <= 1; ++muted) {
    setMute(muted);
    const RefDebugState before = test::DebugState();
    EXPECT_EQ(before.muted, muted);
    for (auto& d : bad) {
      DeclarationObject* decl = reinterpret_cast<DeclarationObject*>(1);
      EXPECT_EQ(device->MakeDeclarationObject(d.data(), &decl), ErrInvalidCall);
    }
    const RefDebugState after = test::DebugState();
    EXPECT_EQ(after.written - before.written, muted ? 0u : bad.size());
    EXPECT_EQ(after.suppressed - before.suppressed, muted ? bad.size() : 0u);
  }
  setMute(0);
}

struct DrawSetup {
  Ref<GraphicsDevice> device = MakeRefDevice();
  Ref<RefDeviceControl> control = ControlOf(device.get());
  Ref<VertexBuffer> vb = VB(device.get(), 12 * 6);
  Ref<IndexBuffer> ib = IB(device.get(), {0, 1, 2, 2, 1, 3, 3, 4, 5});
  DrawSetup() {
    EXPECT_EQ(device->BindVertexStream(0, vb.get(), 0, 12), Ok);
    EXPECT_EQ(device->BindIndexBuffer(ib.get()), Ok);
  }
};

TEST(RefDevice, DrawsAreLoggedWithTheIndicesTheyUse) {
  DrawSetup s;
  VertexElement d[MaxElementEntries];
  ASSERT_EQ(FormatCodeToElements(kFormatPosition, d), Ok);
  DeclarationObject* decl = nullptr;
  ASSERT_EQ(s.device->MakeDeclarationObject(d, &decl), Ok);
  ASSERT_EQ(s.device->BindDeclaration(decl), Ok);
  decl->Release();  // the binding keeps it alive
  ASSERT_EQ(s.device->DrawIndexedTriangles(kTriangleList, 0, 1, 3, 3, 1), Ok);
  ASSERT_EQ(s.control->DrawCount(), 1u);
  RefDrawRecord r{};
  ASSERT_EQ(s.control->ReadDraw(0, &r), Ok);
  EXPECT_EQ(r.fromMemory, 0u);
  EXPECT_EQ(r.primitiveType, kTriangleList);
  EXPECT_EQ(r.minVertexIndex, 1u);
  EXPECT_EQ(r.vertexCount, 3u);
  EXPECT_EQ(r.firstIndex, 3u);
  EXPECT_EQ(r.primitiveCount, 1u);
  EXPECT_EQ(r.stride, 12u);
  EXPECT_EQ(r.indexFormat, kIndexFormat16);
  EXPECT_EQ(r.declaration, decl);
  EXPECT_EQ(r.vertexBuffer, s.vb.get());
  EXPECT_EQ(r.indexBuffer, s.ib.get());
  uint16_t used[3] = {};
  ASSERT_EQ(r.dataSize, 6u);
  ASSERT_EQ(s.control->ReadDrawData(0, used, sizeof used), Ok);
  EXPECT_EQ(used[0], 2);
  EXPECT_EQ(used[2], 3);
  EXPECT_EQ(s.control->ReadDraw(1, &r), ErrInvalidCall);
  s.control->ClearDrawLog();
  EXPECT_EQ(s.control->DrawCount(), 0u);
  EXPECT_EQ(s.device->BindDeclaration(nullptr), Ok);
  EXPECT_EQ(s.control->LiveObjects(), 2u);
}

TEST(RefDevice, DrawsOutsideTheBoundBuffersAreRefused) {
  DrawSetup s;
  auto* d = s.device.get();
  // index range: 9 indices in the buffer
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 3, 3), ErrInvalidCall);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 0xFFFFFFFFu, 1), ErrInvalidCall);
  // vertex range: 6 vertices in the buffer
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 7, 0, 3), ErrInvalidCall);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 1, 0, 6, 0, 3), ErrInvalidCall);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, -1, 0, 6, 0, 3), ErrInvalidCall);
  // an index outside the declared vertex range
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 5, 0, 3), ErrInvalidCall);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 1, 5, 0, 1), ErrInvalidCall);
  // bad type, no primitives, a stride shorter than the bound declaration
  EXPECT_EQ(d->DrawIndexedTriangles(9, 0, 0, 6, 0, 1), ErrInvalidCall);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 0, 0), ErrInvalidCall);
  // a locked buffer cannot be drawn
  void* p = nullptr;
  ASSERT_EQ(s.ib->LockBuffer(0, 0, &p, kLockReadOnly), Ok);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 0, 3), ErrInvalidCall);
  ASSERT_EQ(s.ib->UnlockBuffer(), Ok);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 0, 3), Ok);
  // with the stream offset the same draw no longer fits
  ASSERT_EQ(d->BindVertexStream(0, s.vb.get(), 12, 12), Ok);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 0, 3), ErrInvalidCall);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 5, 0, 2), Ok);
  // nothing bound
  ASSERT_EQ(d->BindIndexBuffer(nullptr), Ok);
  EXPECT_EQ(d->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 0, 1), ErrInvalidCall);
  EXPECT_EQ(s.control->DrawCount(), 2u);
}

TEST(RefDevice, ObjectsOfAnotherDeviceCannotBeBound) {
  DrawSetup s;
  auto other = MakeRefDevice();
  auto foreign = VB(other.get(), 48);
  EXPECT_EQ(s.device->BindVertexStream(0, foreign.get(), 0, 12), ErrInvalidCall);
  EXPECT_EQ(s.device->BindVertexStream(16, s.vb.get(), 0, 12), ErrInvalidCall);
  EXPECT_EQ(s.device->BindVertexStream(0, s.vb.get(), 73, 12), ErrInvalidCall);
}

TEST(RefDevice, DrawingFromMemoryCapturesTheVertices) {
  DrawSetup s;
  const float tri[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  EXPECT_EQ(s.device->DrawTrianglesFromMemory(kTriangleList, 1, nullptr, 12), ErrInvalidCall);
  EXPECT_EQ(s.device->DrawTrianglesFromMemory(kTriangleList, 1, tri, 0), ErrInvalidCall);
  ASSERT_EQ(s.device->DrawTrianglesFromMemory(kTriangleList, 1, tri, 12), Ok);
  RefDrawRecord r{};
  ASSERT_EQ(s.control->ReadDraw(0, &r), Ok);
  EXPECT_EQ(r.fromMemory, 1u);
  EXPECT_EQ(r.vertexCount, 3u);
  ASSERT_EQ(r.dataSize, sizeof tri);
  float back[9];
  ASSERT_EQ(s.control->ReadDrawData(0, back, sizeof back), Ok);
  EXPECT_EQ(std::memcmp(back, tri, sizeof tri), 0);
  // Stream 0 is unbound afterwards.
  EXPECT_EQ(s.device->DrawIndexedTriangles(kTriangleList, 0, 0, 6, 0, 3), ErrInvalidCall);
}

TEST(RefDevice, DescribedCapabilitiesAdapterAndModes) {
  for (uint32_t blend : {0u, 1u, 2u, 4u}) {
    for (uint32_t indexed : {0u, 255u}) {
      RefDeviceDesc desc;
      desc.adapterOrdinal = 1;
      desc.maxVertexBlendMatrices = blend;
      desc.maxVertexBlendMatrixIndex = indexed;
      desc.maxVertexIndex = 0xFFFF;
      desc.creationFlags = kCreateMixedProcessing;
      desc.vendorId = 0x1002;
      desc.deviceId = 0x5146;
      auto device = MakeRefDevice(desc);
      DeviceCapabilities caps{};
      ASSERT_EQ(device->ReadCapabilities(&caps), Ok);
      EXPECT_EQ(caps.adapterOrdinal, 1u);
      EXPECT_EQ(caps.maxVertexBlendMatrices, blend);
      EXPECT_EQ(caps.maxVertexBlendMatrixIndex, indexed);
      EXPECT_EQ(caps.maxVertexIndex, 0xFFFFu);
      DeviceCreationParameters params{};
      ASSERT_EQ(device->ReadCreationFlags(&params), Ok);
      EXPECT_EQ(params.behaviorFlags, kCreateMixedProcessing);
      PlatformRoot* root = nullptr;
      ASSERT_EQ(device->GetPlatformRoot(&root), Ok);
      AdapterIds ids{};
      EXPECT_EQ(root->ReadAdapterIds(0, 0, &ids), ErrInvalidCall);
      ASSERT_EQ(root->ReadAdapterIds(caps.adapterOrdinal, 0, &ids), Ok);
      EXPECT_EQ(ids.vendorId, 0x1002u);
      EXPECT_EQ(ids.deviceId, 0x5146u);
      root->Release();
    }
  }
  RefDeviceDesc mixed;
  mixed.creationFlags = kCreateMixedProcessing;
  auto device = MakeRefDevice(mixed);
  EXPECT_EQ(device->ReadSoftwareMode(), 0);
  ASSERT_EQ(device->WriteSoftwareMode(1), Ok);
  EXPECT_EQ(device->ReadSoftwareMode(), 1);
  auto hardware = MakeRefDevice();
  EXPECT_EQ(hardware->WriteSoftwareMode(1), ErrInvalidCall);
  EXPECT_EQ(hardware->ReadSoftwareMode(), 0);
}

TEST(RefDevice, VertexCacheQuery) {
  RefDeviceDesc desc;
  desc.vertexCache = {1, 2, 16, 9};
  desc.pollsBeforeReady = 3;
  auto device = MakeRefDevice(desc);
  EXPECT_EQ(device->MakeQuery(kQueryVertexCache, nullptr), Ok);
  EXPECT_EQ(device->MakeQuery(7, nullptr), ErrNotAvailable);
  Query* q = nullptr;
  ASSERT_EQ(device->MakeQuery(kQueryVertexCache, &q), Ok);
  VertexCacheInfo info{};
  EXPECT_EQ(q->PollQuery(&info, sizeof info, kQueryFlush), ErrInvalidCall);  // not started
  ASSERT_EQ(q->StartQuery(kQueryIssueEnd), Ok);
  int polls = 0;
  LyrResult r;
  while ((r = q->PollQuery(&info, sizeof info, kQueryFlush)) == kQueryNotReady) ++polls;
  EXPECT_EQ(r, Ok);
  EXPECT_EQ(polls, 3);
  EXPECT_EQ(info.method, 2u);
  EXPECT_EQ(info.cacheSize, 16u);
  EXPECT_EQ(info.magicNumber, 9u);
  EXPECT_EQ(q->PollQuery(&info, 8, kQueryFlush), ErrInvalidCall);
  q->Release();

  desc.vertexCacheSupported = 0;
  auto without = MakeRefDevice(desc);
  EXPECT_EQ(without->MakeQuery(kQueryVertexCache, nullptr), ErrNotAvailable);
  EXPECT_EQ(without->MakeQuery(kQueryVertexCache, &q), ErrNotAvailable);
}

TEST(RefDevice, InjectedQueryFailuresHitTheirStep) {
  for (uint32_t step = kRefQuerySupportTest; step <= kRefQueryPoll; ++step) {
    RefDeviceDesc desc;
    desc.failQueryStep = step;
    desc.pollsBeforeReady = 0;
    auto device = MakeRefDevice(desc);
    Query* q = nullptr;
    LyrResult r = device->MakeQuery(kQueryVertexCache, nullptr);
    if (r == Ok) r = device->MakeQuery(kQueryVertexCache, &q);
    if (r == Ok) r = q->StartQuery(kQueryIssueEnd);
    VertexCacheInfo info{};
    if (r == Ok) r = q->PollQuery(&info, sizeof info, kQueryFlush);
    EXPECT_EQ(r, desc.failureCode) << step;
    if (q) q->Release();
  }
}

TEST(RefDevice, InjectedFailuresHitTheNthCall) {
  RefDeviceDesc desc;
  desc.failBufferCreation = 2;
  desc.failLock = 3;
  desc.failDeclarationCreation = 1;
  desc.failDraw = 2;
  desc.failPlatformRoot = 1;
  auto device = MakeRefDevice(desc);
  auto control = ControlOf(device.get());
  VertexBuffer* vb = nullptr;
  IndexBuffer* ib = nullptr;
  ASSERT_EQ(device->MakeVertexBuffer(36, 0, 0, 0, &vb, nullptr), Ok);
  EXPECT_EQ(device->MakeIndexBuffer(6, 0, kIndexFormat16, 0, &ib, nullptr), desc.failureCode);
  ASSERT_EQ(device->MakeIndexBuffer(6, 0, kIndexFormat16, 0, &ib, nullptr), Ok);

  void* p = nullptr;
  ASSERT_EQ(vb->LockBuffer(0, 0, &p, 0), Ok);
  ASSERT_EQ(vb->UnlockBuffer(), Ok);
  ASSERT_EQ(ib->LockBuffer(0, 0, &p, 0), Ok);
  const uint16_t tri[3] = {0, 1, 2};
  std::memcpy(p, tri, sizeof tri);
  ASSERT_EQ(ib->UnlockBuffer(), Ok);
  EXPECT_EQ(vb->LockBuffer(0, 0, &p, 0), desc.failureCode);
  EXPECT_EQ(control->OutstandingLocks(), 0u);

  VertexElement d[MaxElementEntries];
  ASSERT_EQ(FormatCodeToElements(kFormatPosition, d), Ok);
  DeclarationObject* decl = nullptr;
  EXPECT_EQ(device->MakeDeclarationObject(d, &decl), desc.failureCode);
  ASSERT_EQ(device->MakeDeclarationObject(d, &decl), Ok);
  decl->Release();

  ASSERT_EQ(device->BindVertexStream(0, vb, 0, 12), Ok);
  ASSERT_EQ(device->BindIndexBuffer(ib), Ok);
  EXPECT_EQ(device->DrawIndexedTriangles(kTriangleList, 0, 0, 3, 0, 1), Ok);
  EXPECT_EQ(device->DrawIndexedTriangles(kTriangleList, 0, 0, 3, 0, 1), desc.failureCode);
  EXPECT_EQ(control->DrawCount(), 1u);
  EXPECT_EQ(control->CallCount(kRefCallDraw), 2u);

  PlatformRoot* root = nullptr;
  EXPECT_EQ(device->GetPlatformRoot(&root), desc.failureCode);
  vb->Release();
  ib->Release();
}

TEST(RefDevice, TexturesHaveLockableMipLevels) {
  auto device = MakeRefDevice();
  auto control = ControlOf(device.get());
  Texture* t = nullptr;
  ASSERT_EQ(control->MakeTexture(8, 2, 0, kFormatL8, &t), Ok);
  ASSERT_EQ(t->GetLevelCount(), 4u);  // 8x2, 4x1, 2x1, 1x1
  const uint32_t widths[] = {8, 4, 2, 1}, heights[] = {2, 1, 1, 1};
  for (uint32_t l = 0; l < 4; ++l) {
    TextureLevelDesc desc{};
    ASSERT_EQ(t->ReadLevelDesc(l, &desc), Ok);
    EXPECT_EQ(desc.format, kFormatL8);
    EXPECT_EQ(desc.width, widths[l]);
    EXPECT_EQ(desc.height, heights[l]);
    LockedRect rect{};
    ASSERT_EQ(t->LockLevel(l, &rect, nullptr, 0), Ok);
    EXPECT_EQ(rect.pitch, static_cast<int32_t>(widths[l]));
    std::memset(rect.bits, static_cast<int>(l), size_t(rect.pitch) * heights[l]);
    EXPECT_EQ(t->LockLevel(l, &rect, nullptr, 0), ErrInvalidCall);
  }
  EXPECT_EQ(control->OutstandingLocks(), 4u);
  for (uint32_t l = 0; l < 4; ++l) EXPECT_EQ(t->UnlockLevel(l), Ok);
  EXPECT_EQ(t->UnlockLevel(0), ErrInvalidCall);
  TextureLevelDesc desc{};
  EXPECT_EQ(t->ReadLevelDesc(4, &desc), ErrInvalidCall);
  // The texture answers to the platform texture identifier.
  void* q = nullptr;
  ASSERT_EQ(t->QueryInterface(Texture::kIid, &q), Ok);
  static_cast<Texture*>(q)->Release();
  t->Release();
  EXPECT_EQ(control->MakeTexture(8, 8, 5, kFormatL8, &t), ErrInvalidCall);
  EXPECT_EQ(control->MakeTexture(8, 8, 1, 999, &t), ErrInvalidCall);
  EXPECT_EQ(control->MakeTexture(0, 8, 1, kFormatL8, &t), ErrInvalidCall);
}

TEST(RefDevice, ObjectsOutliveTheDeviceThatMadeThem) {
  auto device = MakeRefDevice();
  auto vb = VB(device.get(), 24);
  ASSERT_EQ(device->BindVertexStream(0, vb.get(), 0, 12), Ok);
  device = Ref<GraphicsDevice>();
  void* p = nullptr;
  ASSERT_EQ(vb->LockBuffer(0, 0, &p, 0), Ok);
  std::memset(p, 1, 24);
  ASSERT_EQ(vb->UnlockBuffer(), Ok);
}

TEST(RefDevice, CreationRefusesAForeignRecord) {
  RefDeviceDesc desc;
  desc.size = 4;
  GraphicsDevice* d = nullptr;
  EXPECT_EQ(LoadReferenceDevice(desc, &d), ErrInvalidCall);
  EXPECT_EQ(LoadReferenceDevice(RefDeviceDesc{}, nullptr), ErrInvalidCall);
  EXPECT_EQ(d, nullptr);
}

}  // namespace
}  // namespace lyr

namespace lyr {
namespace {

// The library's mute switch reaches the module once the module is loaded in the process.
TEST(RefDevice, LibraryMuteSwitchReachesTheModule) {
  auto device = test::MakeRefDevice();  // loads the module
  platform::SetRegistryOverride("LyrDoNotMute", platform::RegistryValueKind::kMissing, 0);
  dispatch_test::ResetDebugQuiet(nullptr, nullptr);
  SetPlatformDebugQuiet(1);
  EXPECT_EQ(test::DebugState().muted, 1);
  const RefDebugState before = test::DebugState();
  DeclarationObject* decl = nullptr;
  EXPECT_EQ(device->MakeDeclarationObject(nullptr, &decl), ErrInvalidCall);
  EXPECT_EQ(test::DebugState().suppressed, before.suppressed + 1);
  EXPECT_EQ(test::DebugState().written, before.written);
  SetPlatformDebugQuiet(0);
  EXPECT_EQ(test::DebugState().muted, 0);
  platform::ClearRegistryOverride("LyrDoNotMute");
  dispatch_test::ResetDebugQuiet(nullptr, nullptr);
}

}  // namespace
}  // namespace lyr
