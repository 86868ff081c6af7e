#include <cstdint>

#include "platform/platform.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lyr::platform {

void AdviseLargeBlock(void* block, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only whole large pages inside the block: the advice applies to every page of the range, and
  // the pages around the block may belong to other blocks.
  constexpr uintptr_t kLargePage = kLargePageBytes;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kLargePage - 1) & ~(kLargePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kLargePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace lyr::platform
