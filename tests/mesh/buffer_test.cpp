#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "fault_injection.h"
#include "lyr/buffer.h"

namespace lyr {
namespace {

using MakeFn = LyrResult (*)(uint32_t, Buffer**);

LyrResult MakeStringList(uint32_t size, Buffer** out) {
  StringListBuffer* s = nullptr;
  LyrResult r = CreateStringListBuffer(size, out ? &s : nullptr);
  if (out && r == Ok) *out = s;
  return r;
}

const MakeFn kKinds[] = {CreateBuffer, CreateAlignedBuffer, MakeStringList};

TEST(Buffer, CreationContractOfEveryKind) {
  for (MakeFn make : kKinds) {
    EXPECT_EQ(make(16, nullptr), ErrInvalidCall);
    Buffer* b = nullptr;
    ASSERT_EQ(make(0, &b), Ok);
    EXPECT_NE(b->GetBytes(), nullptr);
    EXPECT_EQ(b->GetByteCount(), 0u);

    void* q = reinterpret_cast<void*>(1);
    EXPECT_EQ(b->QueryInterface(kIidUnknown, &q), Ok);
    EXPECT_EQ(q, b);
    EXPECT_EQ(b->QueryInterface(Buffer::kIid, &q), Ok);
    EXPECT_EQ(q, b);
    const Guid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(b->QueryInterface(other, &q), ErrNoInterface);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(b->Release(), 2u);
    EXPECT_EQ(b->Release(), 1u);
    EXPECT_EQ(b->Release(), 0u);
  }
}

TEST(Buffer, AllocationFailureInEveryCreationLeaksNothing) {
  for (MakeFn make : kKinds) {
    Buffer* b = nullptr;
    test::ForEachAllocationFailure([&] { return make(100, &b); },
                                   [&](LyrResult r) {
                                     if (r == Ok) SafeRelease(b);
                                   });
  }
}

TEST(AlignedBuffer, DataIsOnA16ByteBoundaryForEverySize) {
  for (uint32_t size = 0; size <= 64; ++size) {
    Buffer* b = nullptr;
    ASSERT_EQ(CreateAlignedBuffer(size, &b), Ok);
    auto* p = static_cast<uint8_t*>(b->GetBytes());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << size;
    EXPECT_EQ(b->GetByteCount(), size);
    EXPECT_GE(p[-1], 1u);
    EXPECT_LE(p[-1], 16u);
    std::memset(p, 0xAB, size);  // the whole requested size is usable
    b->Release();
  }
}

std::vector<std::string> Entries(Buffer* b, size_t n) {
  std::vector<std::string> out;
  auto* entries = static_cast<const char* const*>(b->GetBytes());
  for (size_t i = 0; i < n; ++i) out.emplace_back(entries[i]);
  return out;
}

TEST(StringListBuffer, ExactRoomTakesEveryNameWithoutGrowing) {
  const char* names[] = {"a", "bc", "def", "g"};
  uint32_t room = 0;
  for (const char* n : names) room += static_cast<uint32_t>(sizeof(char*) + std::strlen(n) + 1);
  StringListBuffer* b = nullptr;
  ASSERT_EQ(CreateStringListBuffer(room, &b), Ok);
  void* block = b->GetBytes();
  for (const char* n : names) ASSERT_EQ(b->AppendString(n), Ok);
  EXPECT_EQ(b->GetBytes(), block);
  EXPECT_EQ(b->GetByteCount(), room);
  EXPECT_EQ(Entries(b, 4), (std::vector<std::string>{"a", "bc", "def", "g"}));
  // The last string ends exactly at the end of the block, the first entry at its start.
  auto* bytes = static_cast<const char*>(b->GetBytes());
  EXPECT_EQ(static_cast<const char* const*>(b->GetBytes())[0], bytes + room - 2);
  EXPECT_EQ(b->AppendString(nullptr), ErrInvalidCall);
  b->Release();
}

TEST(StringListBuffer, GrowthKeepsEveryEntryInOrder) {
  StringListBuffer* b = nullptr;
  ASSERT_EQ(CreateStringListBuffer(10, &b), Ok);
  // First growth: max(trunc(1.2f * 10) = 12, 10 + 20 + 1 + entry).
  const std::string longName(20, 'x');
  ASSERT_EQ(b->AppendString(longName.c_str()), Ok);
  EXPECT_EQ(b->GetByteCount(), 10u + 21u + sizeof(char*));

  std::vector<std::string> expected = {longName};
  for (int i = 0; i < 300; ++i) {
    std::string name = "bone_" + std::to_string(i) + std::string(i % 7, 'q');
    ASSERT_EQ(b->AppendString(name.c_str()), Ok);
    expected.push_back(name);
  }
  EXPECT_EQ(Entries(b, expected.size()), expected);
  // Entries and strings never overlap, and the strings end at the end of the block.
  auto* bytes = static_cast<const char*>(b->GetBytes());
  auto* entries = static_cast<const char* const*>(b->GetBytes());
  EXPECT_GE(entries[expected.size() - 1], bytes + expected.size() * sizeof(char*));
  EXPECT_EQ(entries[0] + longName.size() + 1, bytes + b->GetByteCount());
  b->Release();
}

TEST(StringListBuffer, GrowthByTheFactorWhenItIsLarger) {
  StringListBuffer* b = nullptr;
  ASSERT_EQ(CreateStringListBuffer(1000, &b), Ok);
  std::string name(995 - sizeof(char*), 'n');  // fills the block but for 4 bytes
  ASSERT_EQ(b->AppendString(name.c_str()), Ok);
  EXPECT_EQ(b->GetByteCount(), 1000u);
  ASSERT_EQ(b->AppendString("abc"), Ok);
  EXPECT_EQ(b->GetByteCount(), static_cast<uint32_t>(1.2f * 1000.0f));
  EXPECT_EQ(Entries(b, 2), (std::vector<std::string>{name, "abc"}));
  b->Release();
}

TEST(StringListBuffer, FailedGrowthKeepsTheStringsAddedSoFar) {
  StringListBuffer* b = nullptr;
  ASSERT_EQ(CreateStringListBuffer(0, &b), Ok);
  ASSERT_EQ(b->AppendString("first"), Ok);
  const uint32_t size = b->GetByteCount();
  alloc_test::FailNth(0);
  EXPECT_EQ(b->AppendString("second, which needs more room"), ErrOutOfMemory);
  alloc_test::Disarm();
  EXPECT_EQ(b->GetByteCount(), size);
  EXPECT_EQ(Entries(b, 1), std::vector<std::string>{"first"});
  ASSERT_EQ(b->AppendString("second"), Ok);
  EXPECT_EQ(Entries(b, 2), (std::vector<std::string>{"first", "second"}));
  b->Release();
}

}  // namespace
}  // namespace lyr
