// Every result code a public header defines has its own name and sentence: the headers are read
// as text, so that a code added later without an entry fails here.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "lyr/result.h"

namespace lyr {
namespace {

// The constants declared as "inline constexpr LyrResult Name = value;", value a decimal number
// or static_cast<LyrResult>(0x...u), in the order they appear.
std::vector<std::pair<std::string, LyrResult>> DeclaredCodes(const std::string& text) {
  static const std::string kDecl = "inline constexpr LyrResult ";
  std::vector<std::pair<std::string, LyrResult>> out;
  for (size_t at = text.find(kDecl); at != std::string::npos; at = text.find(kDecl, at + 1)) {
    const size_t name = at + kDecl.size(), eq = text.find(" = ", name), end = text.find(';', name);
    if (eq == std::string::npos || end == std::string::npos || eq > end) continue;
    std::string value = text.substr(eq + 3, end - eq - 3);
    const size_t hex = value.find("0x");
    const LyrResult code = hex != std::string::npos
                               ? static_cast<LyrResult>(std::stoul(value.substr(hex), nullptr, 16))
                               : static_cast<LyrResult>(std::stol(value));
    out.emplace_back(text.substr(name, eq - name), code);
  }
  return out;
}

TEST(ResultText, EveryCodeOfThePublicHeadersIsNamed) {
  const std::filesystem::path dir = std::filesystem::path(LYR_TEST_DATA_DIR) / "../../include/lyr";
  std::set<std::string> names;
  std::set<std::string> messages;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    for (const auto& [name, code] : DeclaredCodes(text.str())) {
      SCOPED_TRACE(entry.path().filename().string() + ": " + name);
      const char* got = ResultName(code);
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(std::string(got), name);
      EXPECT_GT(std::strlen(ResultMessage(code)), 5u);
      EXPECT_TRUE(messages.insert(ResultMessage(code)).second)
          << "sentence shared with another code";
      names.insert(name);
    }
  }
  // A parse that silently matches nothing must not pass.
  EXPECT_GE(names.size(), 30u);
  EXPECT_TRUE(names.count("ErrInvalidCall") && names.count("ErrVekBadData"));
}

TEST(ResultText, CodesTheLibraryDoesNotDefine) {
  struct Case {
    uint32_t code;
    const char* messageStart;
  } cases[] = {
      {0x8007007Eu, "an operating-system error"},              // a module not found
      {0x80070002u, "an operating-system error"},              // a file not found
      {0x8876017Cu, "a failure the library does not define"},  // a device's own failure
      {0xC0000005u, "a failure the library does not define"},
      {2, "a success code"},
  };
  for (const Case& c : cases) {
    const LyrResult code = static_cast<LyrResult>(c.code);
    EXPECT_EQ(ResultName(code), nullptr) << std::hex << c.code;
    EXPECT_EQ(std::string(ResultMessage(code)).rfind(c.messageStart, 0), 0u) << std::hex << c.code;
  }
}

}  // namespace
}  // namespace lyr
