// Buffer: the reference-counted block of bytes through which variable-sized results (adjacency,
// materials, effect instances, bone combinations, remap tables, bone names) are handed out.
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API. The shared
// library does not export these functions.
#pragma once

#include "lyr/object.h"

namespace lyr {

// One public interface for every kind of Buffer. The caller owns the reference it receives.
struct Buffer : Unknown {
  static constexpr Guid kIid = {
      0x6D692283, 0xC3BE, 0x4FD8, {0x95, 0x37, 0xBC, 0xBA, 0x0D, 0xEB, 0xA0, 0x0F}};

  // The first byte of the block (never null once created; a 0-byte Buffer still has one).
  virtual void* LYR_CALL GetBytes() = 0;
  // The size in bytes that was asked for (or that the block has grown to).
  virtual uint32_t LYR_CALL GetByteCount() = 0;

 protected:
  ~Buffer() = default;
};

// A Buffer holding an array of string pointers at the front and the strings themselves packed
// from the back of the same block. It answers to the Buffer identifier only; reading it as an
// array of `const char*` gives the strings in the order they were appended.
struct StringListBuffer : Buffer {
  // Copies text (zero-terminated) into the block and appends a pointer to the copy, growing the
  // block when the free gap cannot take it. Growing moves every string and rewrites every entry
  // (pointers taken from GetBytes() before the call are then stale). ErrOutOfMemory when the
  // block cannot grow (the strings appended so far stay valid); ErrInvalidCall for a null text.
  virtual LyrResult LYR_CALL AppendString(const char* text) = 0;

 protected:
  ~StringListBuffer() = default;
};

// Each creation function makes a Buffer of `size` bytes with a reference count of one.
// ErrInvalidCall for a null out (nothing allocated); ErrOutOfMemory when the object or its block
// cannot be allocated (nothing is returned and *out is left untouched).

// Exactly `size` bytes.
LyrResult CreateBuffer(uint32_t size, Buffer** out);
// A block whose data pointer is on a 16-byte boundary; GetByteCount returns `size`.
LyrResult CreateAlignedBuffer(uint32_t size, Buffer** out);
// An empty string list with room for `size` bytes of entries and strings.
LyrResult CreateStringListBuffer(uint32_t size, StringListBuffer** out);

}  // namespace lyr
