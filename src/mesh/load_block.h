// Bounds-checked reading of Vek data blocks and the walk over a data object's children, shared
// by the readers of mesh data and materials.
#pragma once

#include <cstring>

#include "core/object_impl.h"
#include "lyr/vekfile.h"

namespace lyr::meshload {

// Reads packed members front to back. Every read checks the remaining length first; sizes are
// computed in 64 bits so that counts from a file cannot wrap.
class BlockReader {
 public:
  BlockReader(const void* data, uint32_t size)
      : p_(static_cast<const uint8_t*>(data)), size_(data ? size : 0) {}

  uint32_t size() const { return size_; }
  uint64_t remaining() const { return size_ - pos_; }
  bool Has(uint64_t bytes) const { return bytes <= remaining(); }
  const uint8_t* here() const { return p_ + pos_; }

  bool U32(uint32_t* out) { return Copy(out, 4); }
  bool U16(uint16_t* out) { return Copy(out, 2); }
  bool F32(float* out) { return Copy(out, 4); }
  bool Str(const char** out) { return Copy(out, sizeof(const char*)); }
  bool Skip(uint64_t bytes) {
    if (!Has(bytes)) return false;
    pos_ += static_cast<uint32_t>(bytes);
    return true;
  }
  // The next count elements of elemSize bytes, or null when the block is shorter.
  const uint8_t* Take(uint64_t count, uint64_t elemSize) {
    if (elemSize && count > remaining() / elemSize) return nullptr;
    const uint8_t* at = here();
    pos_ += static_cast<uint32_t>(count * elemSize);
    return at;
  }

 private:
  bool Copy(void* out, uint32_t n) {
    if (!Has(n)) return false;
    std::memcpy(out, p_ + pos_, n);
    pos_ += n;
    return true;
  }

  const uint8_t* p_;
  uint32_t size_;
  uint32_t pos_ = 0;
};

template <class T>
inline T LoadAt(const uint8_t* at, size_t index) {
  T v;
  std::memcpy(&v, at + index * sizeof(T), sizeof(T));
  return v;
}

// The whole data block of an object.
inline LyrResult ReadBlock(VekDataObject* object, BlockReader* out) {
  uint32_t size = 0;
  const void* data = nullptr;
  LyrResult r = object->ReadData(nullptr, &size, &data);
  if (Failed(r)) return r;
  *out = BlockReader(data, size);
  return Ok;
}

inline bool TemplateIs(VekDataObject* object, const Guid& id) {
  const Guid* t = nullptr;
  return Succeeded(object->ReadTemplateId(&t)) && t && *t == id;
}

// The child as a data object with one reference: a data object as it is, a reference resolved.
// Ok with a null *out for children that are neither (binary data).
inline LyrResult AsDataObject(Unknown* child, VekDataObject** out) {
  *out = nullptr;
  void* p = nullptr;
  if (Succeeded(child->QueryInterface(VekDataObject::kIid, &p)) && p) {
    *out = static_cast<VekDataObject*>(p);
    return Ok;
  }
  if (Succeeded(child->QueryInterface(VekReference::kIid, &p)) && p) {
    Ref<VekReference> ref(static_cast<VekReference*>(p));
    return ref->Resolve(out);
  }
  return Ok;
}

// Calls f(VekDataObject*) for each child of parent in file order, references resolved and binary
// children skipped. The first failure of f or of a resolution ends the walk and is returned; a
// failing NextChild only means that there are no more children.
template <class F>
LyrResult ForEachDataChild(VekDataObject* parent, F&& f) {
  for (;;) {
    Ref<Unknown> child;
    if (Failed(parent->NextChild(child.put())) || !child) return Ok;
    Ref<VekDataObject> data;
    LyrResult r = AsDataObject(child.get(), data.put());
    if (Failed(r)) return r;
    if (!data) continue;
    r = f(data.get());
    if (Failed(r)) return r;
  }
}

// The children a loader did not handle, each with one reference, in an array that grows to
// twice its capacity plus two when full and is handed out whole.
class ChildList {
 public:
  ChildList() = default;
  ChildList(const ChildList&) = delete;
  ChildList& operator=(const ChildList&) = delete;
  ~ChildList() {
    for (uint32_t i = 0; i < count_; ++i) items_[i]->Release();
    Free(items_);
  }

  LyrResult Add(VekDataObject* child) {
    if (count_ == capacity_) {
      const uint64_t capacity = 2 * uint64_t(capacity_) + 2;
      if (capacity > UINT32_MAX) return ErrOutOfMemory;
      auto* grown = static_cast<VekDataObject**>(AllocArray(capacity, sizeof(VekDataObject*)));
      if (!grown) return ErrOutOfMemory;
      if (count_) std::memcpy(grown, items_, count_ * sizeof(VekDataObject*));
      Free(items_);
      items_ = grown;
      capacity_ = static_cast<uint32_t>(capacity);
    }
    child->AddRef();
    items_[count_++] = child;
    return Ok;
  }

  // Hands the array (null when empty) and its references to the caller.
  void Take(VekDataObject*** list, uint32_t* count) {
    *list = items_;
    *count = count_;
    items_ = nullptr;
    count_ = capacity_ = 0;
  }

 private:
  VekDataObject** items_ = nullptr;
  uint32_t count_ = 0, capacity_ = 0;
};

}  // namespace lyr::meshload
