// The three Buffer kinds. They share the public interface and differ only in how the block is
// allocated and released.
#include "lyr/buffer.h"

#include <cstring>

#include "core/object_impl.h"

namespace lyr {
namespace {

// Common part: the block, its size, and the two public queries.
template <class Derived, class Iface>
class BufferBase : public Object<Derived, Iface> {
 public:
  void* LYR_CALL GetBytes() override { return data_; }
  uint32_t LYR_CALL GetByteCount() override { return size_; }

 protected:
  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};

class PlainBuffer final : public BufferBase<PlainBuffer, Buffer> {
 public:
  ~PlainBuffer() { Free(data_); }
  LyrResult Allocate(uint32_t size) {
    data_ = static_cast<uint8_t*>(Alloc(size));
    if (!data_) return ErrOutOfMemory;
    size_ = size;
    return Ok;
  }
};

// The block is allocated 16 bytes larger and the data pointer moved forward by s (1..16) bytes
// to the next 16-byte boundary; s is kept in the byte just before the data pointer so that the
// allocation can be found again.
class AlignedBuffer final : public BufferBase<AlignedBuffer, Buffer> {
 public:
  ~AlignedBuffer() {
    if (data_) Free(data_ - data_[-1]);
  }
  LyrResult Allocate(uint32_t size) {
    if (size_t{size} > SIZE_MAX - 16) return ErrOutOfMemory;
    auto* raw = static_cast<uint8_t*>(Alloc(size_t{size} + 16));
    if (!raw) return ErrOutOfMemory;
    auto shift = static_cast<uint8_t>(16 - (reinterpret_cast<uintptr_t>(raw) & 15));
    data_ = raw + shift;
    data_[-1] = shift;
    size_ = size;
    return Ok;
  }
};

// Entries (one pointer each) grow up from the start of the block; strings are packed down from
// its end. Positions are kept as byte offsets so that no pointer is ever formed outside the
// block.
class StringList final : public BufferBase<StringList, StringListBuffer> {
 public:
  static constexpr size_t kEntry = sizeof(char*);

  ~StringList() { Free(data_); }

  LyrResult Allocate(uint32_t size) {
    data_ = static_cast<uint8_t*>(Alloc(size));
    if (!data_) return ErrOutOfMemory;
    size_ = size;
    nextEntry_ = 0;
    lowestString_ = size;
    return Ok;
  }

  LyrResult LYR_CALL AppendString(const char* text) override {
    if (!text) return ErrInvalidCall;
    size_t need = std::strlen(text) + 1;  // with the terminator
    if (need > UINT32_MAX || lowestString_ < nextEntry_ + kEntry + need) {
      LyrResult r = Grow(need);
      if (Failed(r)) return r;
    }
    lowestString_ -= need;
    std::memcpy(data_ + lowestString_, text, need);
    char* entry = reinterpret_cast<char*>(data_ + lowestString_);
    std::memcpy(data_ + nextEntry_, &entry, kEntry);
    nextEntry_ += kEntry;
    return Ok;
  }

 private:
  // Moves everything into a block of max(trunc(1.2f * size), size + need + entry) bytes (the
  // allocation rounded up to a multiple of 4), the strings ending exactly at the new size.
  LyrResult Grow(size_t need) {
    const float grown = 1.2f * static_cast<float>(size_);
    uint64_t n = grown >= 4294967296.0f ? UINT64_MAX : static_cast<uint64_t>(grown);
    uint64_t least = uint64_t{size_} + need + kEntry;
    if (least > n) n = least;
    if (n > UINT32_MAX - 3) return ErrOutOfMemory;  // the size must stay a 32-bit count
    const auto newSize = static_cast<uint32_t>(n);
    auto* block = static_cast<uint8_t*>(Alloc((newSize + 3u) & ~3u));
    if (!block) return ErrOutOfMemory;

    const size_t packed = size_ - lowestString_;
    const size_t newLowest = newSize - packed;
    std::memcpy(block + newLowest, data_ + lowestString_, packed);
    // Every entry points into the old packed area; it keeps its distance from the lowest string.
    for (size_t at = 0; at < nextEntry_; at += kEntry) {
      char* old;
      std::memcpy(&old, data_ + at, kEntry);
      char* moved = reinterpret_cast<char*>(block + newLowest) +
                    (old - reinterpret_cast<char*>(data_ + lowestString_));
      std::memcpy(block + at, &moved, kEntry);
    }
    Free(data_);
    data_ = block;
    size_ = newSize;
    lowestString_ = newLowest;
    return Ok;
  }

  size_t nextEntry_ = 0;
  size_t lowestString_ = 0;
};

template <class Kind, class Out>
LyrResult Create(uint32_t size, Out** out) {
  if (!out) return ErrInvalidCall;
  Kind* b = New<Kind>();
  if (!b) return ErrOutOfMemory;
  LyrResult r = b->Allocate(size);
  if (Failed(r)) {
    b->Release();
    return r;
  }
  *out = b;
  return Ok;
}

}  // namespace

LyrResult CreateBuffer(uint32_t size, Buffer** out) {
  return Create<PlainBuffer>(size, out);
}

LyrResult CreateAlignedBuffer(uint32_t size, Buffer** out) {
  return Create<AlignedBuffer>(size, out);
}

LyrResult CreateStringListBuffer(uint32_t size, StringListBuffer** out) {
  return Create<StringList>(size, out);
}

}  // namespace lyr
