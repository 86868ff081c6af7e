// Failure-injection harness: runs an operation once per allocation point with that allocation
// failing, and checks the result code and that nothing leaked.
#pragma once

#include <functional>

#include "core/alloc.h"
#include "lyr/result.h"

namespace lyr::test {

struct FaultOptions {
  // The code every failing run must return.
  LyrResult expected = ErrOutOfMemory;
  // Allow an injected failure to be absorbed (the operation still succeeds), for operations
  // whose allocations are optional (a cache that falls back to a slower path).
  bool allowRecovery = false;
  // Safety bound on the number of allocation points tried.
  int maxPoints = 100000;
};

// Calls `op` with allocation 0, 1, 2, ... failing until a run completes with no failure delivered.
// For every failing run: the result must be options.expected, and the live-block count must be
// back to its value before the run (after `cleanup`, which is called with the result of every
// run to release whatever the operation handed out). The final, successful run must return a
// success code. Returns the number of allocation points found.
int ForEachAllocationFailure(const std::function<LyrResult()>& op,
                             const std::function<void(LyrResult)>& cleanup,
                             const FaultOptions& options = {});

// Counts the allocations made by f.
uint64_t CountAllocations(const std::function<void()>& f);

// Stops the per-test leak check for the current test (for tests that deliberately keep
// process-wide blocks).
void SkipLeakCheck();

}  // namespace lyr::test
