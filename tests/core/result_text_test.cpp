// Every result code a public header defines has its own name and sentence: the headers are read
// as text, so that a code added later without an entry fails here.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "lyr/result.h"

namespace lyr {
namespace {

TEST(ResultText, EveryCodeOfThePublicHeadersIsNamed) {
  const std::filesystem::path dir = std::filesystem::path(LYR_TEST_DATA_DIR) / "../../include/lyr";
  // inline constexpr LyrResult Name = value;   (value: decimal, or static_cast<LyrResult>(0x..u))
  const std::regex decl(
      R"(inline constexpr LyrResult (\w+) =\s*(?:static_cast<LyrResult>\((0x[0-9A-Fa-f]+)u?\)|(-?[0-9]+));)");
  std::set<std::string> names;
  std::set<std::string> messages;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    for (std::sregex_iterator it(s.begin(), s.end(), decl), end; it != end; ++it) {
      const std::string name = (*it)[1];
      const LyrResult code = (*it)[2].matched
                                 ? static_cast<LyrResult>(std::stoul((*it)[2], nullptr, 16))
                                 : static_cast<LyrResult>(std::stol((*it)[3]));
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
