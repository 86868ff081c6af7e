// The library's one allocator. Every allocation of the library, its objects and its containers
// goes through here, so that tests can count live blocks and fail any allocation on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "lyr/result.h"

namespace lyr {

// Returns a block of at least `size` bytes aligned to 16 bytes, or null when the allocation fails
// (or the fault-injection hook fails it). A zero size gives a valid, distinct block.
void* Alloc(size_t size) noexcept;
// Like Alloc, with the block zero-filled.
void* AllocZeroed(size_t size) noexcept;
// Like Alloc for count elements of elemSize bytes; null when the product overflows.
void* AllocArray(size_t count, size_t elemSize) noexcept;
// Frees a block from Alloc; null is ignored.
void Free(void* p) noexcept;

// Constructs a T in library memory. Returns null when the allocation fails or the constructor
// throws; nothing is leaked either way.
template <class T, class... A>
T* New(A&&... args) noexcept {
  void* p = Alloc(sizeof(T));
  if (!p) return nullptr;
  try {
    return new (p) T(std::forward<A>(args)...);
  } catch (...) {
    Free(p);
    return nullptr;
  }
}

// Destroys and frees an object made by New. Null is ignored.
template <class T>
void Delete(T* p) noexcept {
  if (p) {
    p->~T();
    Free(p);
  }
}

// Standard-container adaptor over the library allocator. Allocation failure throws
// std::bad_alloc, which the exception guard at every boundary turns into ErrOutOfMemory.
template <class T>
struct Allocator {
  using value_type = T;
  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}
  T* allocate(size_t n) {
    void* p = AllocArray(n, sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { Free(p); }
  template <class U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using Vector = std::vector<T, Allocator<T>>;

// Allocator whose containers default-initialise the elements they make without a value (resize,
// the count constructor): plain numbers are left unset instead of zero-filled. For large working
// arrays that are fully written before they are read.
template <class T>
struct DefaultInitAllocator : Allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() noexcept = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
};

template <class T>
using WorkVector = std::vector<T, DefaultInitAllocator<T>>;
using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

// Owning pointer to a library block (from Alloc), freed on scope exit unless released.
template <class T>
class Block {
 public:
  Block() = default;
  explicit Block(T* p) : p_(p) {}
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  Block(Block&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Block& operator=(Block&& o) noexcept {
    if (this != &o) {
      Free(p_);
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  ~Block() { Free(p_); }
  T* get() const { return p_; }
  T* release() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  // Replaces the block with a fresh one of count elements; false (block empty) on failure.
  bool allocate(size_t count) {
    Free(p_);
    p_ = static_cast<T*>(AllocArray(count, sizeof(T)));
    return p_ != nullptr;
  }
  T& operator[](size_t i) const { return p_[i]; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// Fault injection and accounting, for tests.
namespace alloc_test {
// Makes the n-th allocation from now fail (0 = the next one); every other allocation succeeds.
// A negative n disarms the hook.
void FailNth(int64_t n) noexcept;
// Disarms the hook.
void Disarm() noexcept;
// True once an armed failure has been delivered (cleared by FailNth and Disarm).
bool FailureDelivered() noexcept;
// Allocations attempted since the process started (failed ones included).
uint64_t AllocationCount() noexcept;
// Blocks currently allocated and not yet freed.
int64_t LiveBlocks() noexcept;
}  // namespace alloc_test

}  // namespace lyr
