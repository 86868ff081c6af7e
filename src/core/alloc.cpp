#include "core/alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace lyr {
namespace {

std::atomic<int64_t> g_failCountdown{-1};
std::atomic<bool> g_failDelivered{false};
std::atomic<uint64_t> g_allocations{0};
std::atomic<int64_t> g_live{0};

// Counts the attempt and decides whether the armed hook fails it.
bool InjectFailure() noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  int64_t c = g_failCountdown.load(std::memory_order_relaxed);
  while (c >= 0) {
    if (g_failCountdown.compare_exchange_weak(c, c - 1, std::memory_order_relaxed)) {
      if (c == 0) {
        g_failDelivered.store(true, std::memory_order_relaxed);
        return true;
      }
      return false;
    }
  }
  return false;
}

}  // namespace

void* Alloc(size_t size) noexcept {
  if (InjectFailure()) return nullptr;
  // malloc's alignment is 16 on the supported hosts; aligned_alloc makes it a guarantee. Large
  // blocks start and end on large-page boundaries, so that all their pages can be large ones.
  size_t rounded = (size + 15) & ~static_cast<size_t>(15);
  if (rounded < size) return nullptr;
  if (rounded == 0) rounded = 16;
  size_t alignment = 16;
  if (rounded >= platform::kLargeBlockBytes && rounded <= SIZE_MAX - platform::kLargePageBytes) {
    alignment = platform::kLargePageBytes;
    rounded = (rounded + alignment - 1) & ~(alignment - 1);
  }
#if defined(_WIN32)
  void* p = _aligned_malloc(rounded, alignment);
#else
  void* p = std::aligned_alloc(alignment, rounded);
#endif
  if (!p) return nullptr;
  g_live.fetch_add(1, std::memory_order_relaxed);
  if (alignment > 16) platform::AdviseLargeBlock(p, rounded);
  return p;
}

void* AllocZeroed(size_t size) noexcept {
  void* p = Alloc(size);
  if (p) std::memset(p, 0, size);
  return p;
}

void* AllocArray(size_t count, size_t elemSize) noexcept {
  if (elemSize != 0 && count > SIZE_MAX / elemSize) {
    InjectFailure();  // still an allocation point, so failure-injection runs stay aligned
    return nullptr;
  }
  return Alloc(count * elemSize);
}

void Free(void* p) noexcept {
  if (!p) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

namespace alloc_test {
void FailNth(int64_t n) noexcept {
  g_failDelivered.store(false, std::memory_order_relaxed);
  g_failCountdown.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}
void Disarm() noexcept {
  FailNth(-1);
}
bool FailureDelivered() noexcept {
  return g_failDelivered.load(std::memory_order_relaxed);
}
uint64_t AllocationCount() noexcept {
  return g_allocations.load(std::memory_order_relaxed);
}
int64_t LiveBlocks() noexcept {
  return g_live.load(std::memory_order_relaxed);
}
}  // namespace alloc_test

}  // namespace lyr
