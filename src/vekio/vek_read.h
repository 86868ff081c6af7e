// Small pieces shared by the Vek loaders: reading a data object's name and comparing template
// identifiers.
#pragma once

#include "core/alloc.h"
#include "lyr/vekfile.h"

namespace lyr::vekio {

// A data object's name: up to kLocalSize bytes (terminator included) in the object itself, so
// that the usual short names cost no allocation; longer ones in a library block.
class NameBuffer {
 public:
  static constexpr uint32_t kLocalSize = 1024;

  NameBuffer() = default;
  NameBuffer(const NameBuffer&) = delete;
  NameBuffer& operator=(const NameBuffer&) = delete;

  // Reads the name of `object`; get() stays null for an unnamed one.
  LyrResult Read(VekDataObject* object) {
    uint32_t size = 0;
    LyrResult r = object->ReadName(nullptr, &size);
    if (Failed(r) || size == 0) return r;
    char* buffer = local_;
    if (size > kLocalSize) {
      if (!heap_.allocate(size)) return ErrOutOfMemory;
      buffer = heap_.get();
    }
    uint32_t filled = size;
    r = object->ReadName(buffer, &filled);
    if (Failed(r)) return r;
    buffer[size - 1] = '\0';  // whatever the component wrote, the name ends inside the buffer
    name_ = buffer;
    return Ok;
  }

  const char* get() const { return name_; }

 private:
  char local_[kLocalSize];
  Block<char> heap_;
  const char* name_ = nullptr;
};

inline bool TemplateIs(const Guid* id, const Guid& expected) {
  return id && *id == expected;
}

}  // namespace lyr::vekio
