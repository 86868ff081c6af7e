// Runs the built `lyr` program and captures its exit code and output, for tests of the
// command-line tool. Each run gets its own scratch files, since CTest runs tests side by side.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace lyr::test {

struct ToolRun {
  int exitCode = -1;
  std::string out, err;
};

// A folder of its own for one test's files, removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("lyr_cli_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
             (info ? info->name() : "x"));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool ToolBuilt() {
#ifdef LYR_TOOL_PATH
  return true;
#else
  return false;
#endif
}

// Runs `lyr <args>` (args already quoted for the shell) in `dir`.
inline ToolRun RunLyr(const std::string& args, const ScratchDir& dir) {
  ToolRun run;
#ifdef LYR_TOOL_PATH
  const std::string out = dir / ".stdout", err = dir / ".stderr";
  const std::string command = "cd '" + dir.path().string() + "' && " LYR_TOOL_EMULATOR " '" +
                              LYR_TOOL_PATH + "' " + args + " >'" + out + "' 2>'" + err + "'";
  const int status = std::system(command.c_str());
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadText(out);
  run.err = ReadText(err);
#else
  (void)args;
  (void)dir;
#endif
  return run;
}

#define LYR_REQUIRE_TOOL() \
  if (!::lyr::test::ToolBuilt()) GTEST_SKIP() << "the lyr tool is not built here"

}  // namespace lyr::test
