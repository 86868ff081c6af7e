#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/alloc.h"
#include "core/object_impl.h"
#include "fault_injection.h"
#include "lyr/guid.h"
#include "lyr/result.h"

namespace lyr {
namespace {

TEST(ResultCodes, ExactValues) {
  EXPECT_EQ(static_cast<uint32_t>(ErrOutOfMemory), 0x8007000Eu);
  EXPECT_EQ(static_cast<uint32_t>(ErrInvalidCall), 0x8876086Cu);
  EXPECT_EQ(static_cast<uint32_t>(ErrFail), 0x80004005u);
  EXPECT_EQ(static_cast<uint32_t>(ErrInvalidArg), 0x80070057u);
  EXPECT_EQ(static_cast<uint32_t>(ErrNoInterface), 0x80004002u);
  EXPECT_EQ(static_cast<uint32_t>(ErrIndexBufferReadOnly), 0x88760B54u);
  EXPECT_EQ(static_cast<uint32_t>(ErrAdjacencyWalkTooLong), 0x88760B55u);
  EXPECT_EQ(static_cast<uint32_t>(ErrVertexSplitForbidden), 0x88760B56u);
  EXPECT_EQ(static_cast<uint32_t>(ErrDeviceCannotBlend), 0x88760B57u);
  EXPECT_EQ(static_cast<uint32_t>(ErrTooManyFaceBones), 0x88760B58u);
  EXPECT_EQ(static_cast<uint32_t>(ErrFileOpenFailed), 0x88760B59u);
  EXPECT_EQ(static_cast<uint32_t>(ErrMeshWithoutData), 0x88760B5Au);
  EXPECT_TRUE(Failed(ErrFail));
  EXPECT_TRUE(Succeeded(Ok));
  EXPECT_TRUE(Succeeded(5));  // index-valued successes are positive
  EXPECT_EQ(static_cast<uint32_t>(ResultFromSystemError(126)), 0x8007007Eu);
  EXPECT_EQ(static_cast<uint32_t>(ResultFromSystemError(0x12345)), 0x80072345u);
  EXPECT_EQ(ResultFromSystemError(0), 0);
  EXPECT_EQ(ResultFromSystemError(-5), -5);
}

TEST(Guid, ParseFormatRoundTripAndByteOrder) {
  Guid g{};
  ASSERT_TRUE(ParseGuid("3D82AB44-62DA-11CF-AB39-0020AF71E433", &g));
  EXPECT_EQ(g.data1, 0x3D82AB44u);
  EXPECT_EQ(g.data2, 0x62DAu);
  EXPECT_EQ(g.data3, 0x11CFu);
  const uint8_t tail[8] = {0xAB, 0x39, 0x00, 0x20, 0xAF, 0x71, 0xE4, 0x33};
  EXPECT_EQ(std::memcmp(g.data4, tail, 8), 0);
  // Stored bytes: the first three fields little-endian.
  const uint8_t stored[16] = {0x44, 0xAB, 0x82, 0x3D, 0xDA, 0x62, 0xCF, 0x11,
                              0xAB, 0x39, 0x00, 0x20, 0xAF, 0x71, 0xE4, 0x33};
  EXPECT_EQ(std::memcmp(&g, stored, 16), 0);
  char text[37];
  FormatGuid(g, text);
  EXPECT_STREQ(text, "3D82AB44-62DA-11CF-AB39-0020AF71E433");
  Guid lower{};
  ASSERT_TRUE(ParseGuid("3d82ab44-62da-11cf-ab39-0020af71e433", &lower));
  EXPECT_EQ(lower, g);
}

TEST(Guid, RejectsMalformedTextWithoutTouchingOutput) {
  const char* bad[] = {"",
                       "3D82AB44-62DA-11CF-AB39-0020AF71E43",    // short
                       "3D82AB44-62DA-11CF-AB39-0020AF71E4333",  // long
                       "3D82AB44_62DA-11CF-AB39-0020AF71E433",   // separator
                       "3D82AB4G-62DA-11CF-AB39-0020AF71E433",   // digit
                       "{3D82AB44-62DA-11CF-AB39-0020AF71E43}"};
  for (const char* t : bad) {
    Guid g = kIidUnknown;
    EXPECT_FALSE(ParseGuid(t, &g)) << t;
    EXPECT_EQ(g, kIidUnknown);
  }
  EXPECT_FALSE(ParseGuid(nullptr, nullptr));
}

TEST(Allocator, FailsExactlyTheNthAllocationAndCounts) {
  const uint64_t count0 = alloc_test::AllocationCount();
  const int64_t live0 = alloc_test::LiveBlocks();
  alloc_test::FailNth(2);
  void* a = Alloc(8);
  void* b = Alloc(8);
  void* c = Alloc(8);
  void* d = Alloc(8);
  EXPECT_TRUE(alloc_test::FailureDelivered());
  alloc_test::Disarm();
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(alloc_test::AllocationCount() - count0, 4u);
  EXPECT_EQ(alloc_test::LiveBlocks() - live0, 3);
  Free(a);
  Free(b);
  Free(d);
  Free(nullptr);
  EXPECT_EQ(alloc_test::LiveBlocks(), live0);
}

TEST(Allocator, AlignmentZeroSizeAndOverflow) {
  for (size_t size = 0; size < 70; ++size) {
    void* p = Alloc(size);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
    Free(p);
  }
  // Around the size from which blocks are placed on large-page boundaries: every byte usable.
  constexpr size_t kMiB = size_t(1) << 20;
  for (size_t size : {4 * kMiB - 16, 4 * kMiB - 1, 4 * kMiB, 4 * kMiB + 1, 6 * kMiB + 17}) {
    unsigned char* p = static_cast<unsigned char*>(Alloc(size));
    ASSERT_NE(p, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
    p[0] = 1;
    p[size - 1] = 2;
    Free(p);
  }
  EXPECT_EQ(AllocArray(SIZE_MAX / 4 + 1, 4), nullptr);
  // Sizes whose rounding up to a large page would wrap.
  for (size_t size : {SIZE_MAX - 3, SIZE_MAX - 2 * kMiB + 1, SIZE_MAX - 2 * kMiB - 15})
    EXPECT_EQ(Alloc(size), nullptr) << size;
  unsigned char* z = static_cast<unsigned char*>(AllocZeroed(33));
  ASSERT_NE(z, nullptr);
  for (int i = 0; i < 33; ++i) EXPECT_EQ(z[i], 0);
  Free(z);
}

TEST(Allocator, ContainersThrowBadAllocThatGuardTurnsIntoCode) {
  LyrResult r = Guard([]() -> LyrResult {
    Vector<int> v;
    alloc_test::FailNth(0);
    v.push_back(1);
    return Ok;
  });
  alloc_test::Disarm();
  EXPECT_EQ(r, ErrOutOfMemory);
  EXPECT_EQ(Guard([]() -> LyrResult { throw 5; }), ErrFail);
}

// Working vectors leave new plain elements unset, but still allocate through the library (counted,
// failable, freed) and still fill when given a value.
TEST(Allocator, WorkVectorAllocatesThroughTheLibraryAndFillsWhenAsked) {
  const int64_t live = alloc_test::LiveBlocks();
  {
    WorkVector<uint32_t> v(1000);
    EXPECT_EQ(alloc_test::LiveBlocks(), live + 1);
    v.assign(300, 7u);
    EXPECT_EQ(std::count(v.begin(), v.end(), 7u), 300);
    v.resize(600, 9u);
    EXPECT_EQ(std::count(v.begin() + 300, v.end(), 9u), 300);
    WorkVector<uint64_t> other(v.begin(), v.end());  // (rebinds the allocator)
    EXPECT_EQ(other[599], 9u);
  }
  EXPECT_EQ(alloc_test::LiveBlocks(), live);
  LyrResult r = Guard([]() -> LyrResult {
    WorkVector<uint32_t> v;
    alloc_test::FailNth(0);
    v.resize(10);
    return Ok;
  });
  alloc_test::Disarm();
  EXPECT_EQ(r, ErrOutOfMemory);
  EXPECT_EQ(alloc_test::LiveBlocks(), live);
}

// A minimal interface and object to exercise the object helper.
inline constexpr Guid kIidCounter = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
inline constexpr Guid kIidCounterAlt = {0x12345678, 0x1111, 0x2222, {8, 7, 6, 5, 4, 3, 2, 1}};
struct Counter : Unknown {
  static constexpr Guid kIid = kIidCounter;
  virtual int LYR_CALL Next() = 0;

 protected:
  ~Counter() = default;
};

int g_destroyed = 0;
class CounterImpl final : public Object<CounterImpl, Counter> {
 public:
  static bool AnswersTo(const Guid& iid) { return iid == kIidCounterAlt; }
  ~CounterImpl() { ++g_destroyed; }
  int LYR_CALL Next() override { return ++n_; }

 private:
  int n_ = 0;
};

TEST(ObjectModel, SlotOrderAndReferenceCounting) {
  CounterImpl* obj = New<CounterImpl>();
  ASSERT_NE(obj, nullptr);
  Counter* c = obj;
  void** vtable = *reinterpret_cast<void***>(c);
  EXPECT_NE(vtable[3], nullptr);
  EXPECT_EQ(c->Next(), 1);

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(c->QueryInterface(kIidUnknown, &out), Ok);
  EXPECT_EQ(out, static_cast<void*>(c));
  EXPECT_EQ(c->QueryInterface(kIidCounterAlt, &out), Ok);
  EXPECT_EQ(c->AddRef(), 4u);
  Guid other = kIidCounter;
  other.data4[7] ^= 1;
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(c->QueryInterface(other, &out), ErrNoInterface);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(c->QueryInterface(kIidCounter, nullptr), ErrInvalidCall);

  g_destroyed = 0;
  EXPECT_EQ(c->Release(), 3u);
  EXPECT_EQ(c->Release(), 2u);
  EXPECT_EQ(c->Release(), 1u);
  EXPECT_EQ(g_destroyed, 0);
  EXPECT_EQ(c->Release(), 0u);
  EXPECT_EQ(g_destroyed, 1);
}

TEST(FaultHarness, DetectsLeaksAndWrongCodesInTheOperation) {
  // A well-behaved two-allocation operation passes with two failure points.
  void* kept = nullptr;
  int points = test::ForEachAllocationFailure(
      [&]() -> LyrResult {
        Block<char> a, b;
        if (!a.allocate(4) || !b.allocate(4)) return ErrOutOfMemory;
        kept = a.release();
        return Ok;
      },
      [&](LyrResult) {
        Free(kept);
        kept = nullptr;
      });
  EXPECT_EQ(points, 2);
}

}  // namespace
}  // namespace lyr
