// The tool's front door: help, version, and usage errors, which every subcommand shares.
#include <sys/wait.h>

#include "cli_test_util.h"

namespace lyr::test {
namespace {

TEST(ToolCli, HelpVersionAndUsageErrors) {
  LYR_REQUIRE_TOOL();
  ScratchDir dir;
  struct Case {
    const char* args;
    int exitCode;
    const char* inOutput;  // expected in standard output (exit 0) or standard error
  } cases[] = {
      {"--help", 0, "Subcommands:"},
      {"--version", 0, "lyr 0."},
      {"", 2, "subcommand is required"},
      {"no-such-command", 2, "no-such-command"},
      {"demo --no-such-option", 2, "no-such-option"},
      {"demo", 0, "LyrFrameDestroy freed 5 of the 5 frames made"},
  };
  for (const Case& c : cases) {
    const ToolRun run = RunLyr(c.args, dir);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.args << "\n" << run.err;
    const std::string& text = c.exitCode == 0 ? run.out : run.err;
    EXPECT_NE(text.find(c.inOutput), std::string::npos) << c.args << ":\n" << text;
  }
}

}  // namespace
}  // namespace lyr::test
