#include "fault_injection.h"

#include <gtest/gtest.h>

namespace lyr::test {

int ForEachAllocationFailure(const std::function<LyrResult()>& op,
                             const std::function<void(LyrResult)>& cleanup,
                             const FaultOptions& options) {
  for (int n = 0; n < options.maxPoints; ++n) {
    const int64_t before = alloc_test::LiveBlocks();
    alloc_test::FailNth(n);
    LyrResult r = op();
    const bool delivered = alloc_test::FailureDelivered();
    alloc_test::Disarm();
    if (!delivered) {
      EXPECT_TRUE(Succeeded(r)) << "run without injected failure returned 0x" << std::hex
                                << static_cast<uint32_t>(r);
      if (cleanup) cleanup(r);
      EXPECT_EQ(alloc_test::LiveBlocks(), before) << "leak after the successful run";
      return n;
    }
    if (!(options.allowRecovery && Succeeded(r))) {
      EXPECT_EQ(r, options.expected) << "allocation point " << n;
    }
    if (cleanup) cleanup(r);
    EXPECT_EQ(alloc_test::LiveBlocks(), before) << "leak with allocation point " << n << " failing";
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "operation never completed without an injected failure";
  return options.maxPoints;
}

uint64_t CountAllocations(const std::function<void()>& f) {
  uint64_t before = alloc_test::AllocationCount();
  f();
  return alloc_test::AllocationCount() - before;
}

}  // namespace lyr::test
