// Process-wide test set-up: every test must leave the library's live-block count where it found
// it, and no test may leave the allocation-failure hook armed.
#include <gtest/gtest.h>

#include "core/alloc.h"
#include "fault_injection.h"

namespace lyr::test {
namespace {

bool g_skipLeakCheck = false;

class LeakCheck : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    g_skipLeakCheck = false;
    before_ = alloc_test::LiveBlocks();
  }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    alloc_test::Disarm();
    if (g_skipLeakCheck) return;
    int64_t after = alloc_test::LiveBlocks();
    if (after != before_) {
      // Reported as a failure of the test that just ended.
      ADD_FAILURE_AT(info.file(), info.line())
          << "test left " << (after - before_) << " library blocks allocated";
    }
  }
  int64_t before_ = 0;
};

struct Register {
  Register() { ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck); }
};
const Register g_register;

}  // namespace

void SkipLeakCheck() { g_skipLeakCheck = true; }

}  // namespace lyr::test
