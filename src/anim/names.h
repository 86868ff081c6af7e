// Owned copies and comparison of the names that identify interpolators, sets and outputs.
#pragma once

#include <cstring>

#include "core/alloc.h"

namespace lyr {

// A library-owned copy of a zero-terminated name (length + 1 bytes); null when `name` is null or
// the allocation fails (tell the two apart by `name`).
inline char* CopyName(const char* name) noexcept {
  if (!name) return nullptr;
  const size_t size = std::strlen(name) + 1;
  char* copy = static_cast<char*>(Alloc(size));
  if (copy) std::memcpy(copy, name, size);
  return copy;
}

// Byte-wise order of two names, bytes compared as unsigned values (a prefix sorts first).
inline int CompareNames(const char* a, const char* b) noexcept {
  return std::strcmp(a, b);
}

}  // namespace lyr
