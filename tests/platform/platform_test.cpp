#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace lyr::platform {
namespace {

TEST(Modules, MissingModuleAndProcedureSetTheLastError) {
  SetLastError(0);
  EXPECT_EQ(LoadModule("no_such_module_here.dll"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorModNotFound);
  EXPECT_EQ(static_cast<uint32_t>(LastErrorResult()), 0x8007007Eu);
  EXPECT_EQ(FindLoadedModule("no_such_module_here.dll"), nullptr);
  EXPECT_EQ(LoadModule(nullptr), nullptr);
}

TEST(Modules, OwnDirectoryEndsWithSeparator) {
  const char* dir = OwnDirectory();
  ASSERT_NE(dir, nullptr);
  size_t n = std::strlen(dir);
  ASSERT_GT(n, 0u);
  EXPECT_TRUE(dir[n - 1] == '/' || dir[n - 1] == '\\');
}

TEST(LastError, IsPerThread) {
  SetLastError(5);
  uint32_t other = 1;
  std::thread t([&] { other = GetLastError(); });
  t.join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 5u);
}

#if !defined(_WIN32)
// Threads run their function once; a thread joined twice, or never started, is harmless.
TEST(Threads, RunOnceAndJoin) {
  std::atomic<int> runs{0};
  const auto count = [](void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); };
  {
    platform::Thread threads[3];
    for (platform::Thread& t : threads) ASSERT_TRUE(t.Start(count, &runs));
    threads[0].Join();
    threads[0].Join();
    ASSERT_TRUE(threads[1].Start(count, &runs));  // joins the first run, then starts again
  }                                               // the rest are joined here
  EXPECT_EQ(runs.load(), 4);
  platform::Thread idle;
  idle.Join();
  EXPECT_GE(platform::ProcessorCount(), 1u);
}

// A started thread runs beside its starter: it waits for a flag set only after Start returned.
TEST(Threads, RunBesideTheStarter) {
  struct Shared {
    std::atomic<bool> go{false}, done{false};
  } shared;
  platform::Thread t;
  ASSERT_TRUE(t.Start(
      [](void* arg) {
        Shared& s = *static_cast<Shared*>(arg);
        while (!s.go.load()) std::this_thread::yield();
        s.done.store(true);
      },
      &shared));
  EXPECT_FALSE(shared.done.load());
  shared.go.store(true);
  t.Join();
  EXPECT_TRUE(shared.done.load());
}

TEST(Registry, EnvironmentValuesAreTypedLikeRegistryValues) {
  ClearRegistryOverrides();
  uint32_t v = 77;
  unsetenv("LyrTestValue");
  EXPECT_EQ(ReadRegistryValue("LyrTestValue", &v), RegistryValueKind::kMissing);
  setenv("LyrTestValue", "42", 1);
  EXPECT_EQ(ReadRegistryValue("LyrTestValue", &v), RegistryValueKind::kDword);
  EXPECT_EQ(v, 42u);
  setenv("LyrTestValue", "0xFFFFFFFF", 1);
  EXPECT_TRUE(ReadRegistryDword("LyrTestValue", &v));
  EXPECT_EQ(v, 0xFFFFFFFFu);
  // Text that is not a 32-bit number is a value of another type, which counts as missing.
  for (const char* text : {"yes", "0x100000000", "4294967296", "", "1 ", "-1", "0x"}) {
    setenv("LyrTestValue", text, 1);
    v = 9;
    EXPECT_EQ(ReadRegistryValue("LyrTestValue", &v), RegistryValueKind::kOther) << text;
    EXPECT_FALSE(ReadRegistryDword("LyrTestValue", &v)) << text;
    EXPECT_EQ(v, 9u);
  }
  unsetenv("LyrTestValue");
}
#endif

TEST(Registry, OverridesStandInAndHideRealValues) {
  ClearRegistryOverrides();
  uint32_t v = 0;
  SetRegistryOverride("DisablePSGP", RegistryValueKind::kDword, 2);
  EXPECT_TRUE(ReadRegistryDword("DisablePSGP", &v));
  EXPECT_EQ(v, 2u);
  SetRegistryOverride("DisablePSGP", RegistryValueKind::kOther, 0);
  EXPECT_FALSE(ReadRegistryDword("DisablePSGP", &v));
#if !defined(_WIN32)
  setenv("DisableLyrPSGP", "1", 1);
  SetRegistryOverride("DisableLyrPSGP", RegistryValueKind::kMissing, 0);
  EXPECT_EQ(ReadRegistryValue("DisableLyrPSGP", &v), RegistryValueKind::kMissing);
  ClearRegistryOverride("DisableLyrPSGP");
  EXPECT_TRUE(ReadRegistryDword("DisableLyrPSGP", &v));
  EXPECT_EQ(v, 1u);
  unsetenv("DisableLyrPSGP");
#endif
  ClearRegistryOverrides();
}

TEST(DebugOutput, SinkReceivesTextAndDefaultIsSilent) {
  std::string got;
  SetDebugSink([](const char* text, void* ctx) { *static_cast<std::string*>(ctx) += text; }, &got);
  DebugOutput("one ");
  DebugOutput(nullptr);
  DebugOutput("two");
  SetDebugSink(nullptr, nullptr);
  DebugOutput("three");  // no sink: silent unless LYR_DEBUG_OUTPUT=1
  EXPECT_EQ(got, "one two");
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[1024];
    ASSERT_TRUE(TempDirectory(dir, sizeof dir));
    ASSERT_TRUE(MakeTempFile(dir, "lyt", path_, sizeof path_));
  }
  void TearDown() override { DeleteFile(path_); }
  char path_[1100];
};

TEST_F(FileTest, TempFileIsNewEmptyAndMapsToANullView) {
  EXPECT_NE(std::strstr(path_, "lyt"), nullptr);
  uint64_t size = 1;
  ASSERT_TRUE(FileSize(path_, &size));
  EXPECT_EQ(size, 0u);
  MappedFile m;
  ASSERT_EQ(m.Open(path_), Ok);
  EXPECT_EQ(m.data(), nullptr);
  EXPECT_EQ(m.size(), 0u);
  // A second name with the same prefix is a different file.
  char dir[1024], second[1100];
  ASSERT_TRUE(TempDirectory(dir, sizeof dir));
  ASSERT_TRUE(MakeTempFile(dir, "lyt", second, sizeof second));
  EXPECT_STRNE(second, path_);
  EXPECT_TRUE(DeleteFile(second));
  EXPECT_FALSE(DeleteFile(second));
}

TEST_F(FileTest, WriteThenMapReadsTheSameBytes) {
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  ASSERT_EQ(WriteWholeFile(path_, data.data(), data.size()), Ok);
  MappedFile m;
  ASSERT_EQ(m.Open(path_), Ok);
  ASSERT_EQ(m.size(), data.size());
  EXPECT_EQ(std::memcmp(m.data(), data.data(), data.size()), 0);
  m.Close();
  EXPECT_EQ(m.data(), nullptr);
  // Rewriting truncates.
  ASSERT_EQ(WriteWholeFile(path_, "ab", 2), Ok);
  uint64_t size = 0;
  ASSERT_TRUE(FileSize(path_, &size));
  EXPECT_EQ(size, 2u);
}

TEST(Files, MissingAndUncreatableFilesFail) {
  MappedFile m;
  EXPECT_EQ(m.Open("/no/such/dir/file.vek"), ErrFileOpenFailed);
  EXPECT_EQ(m.Open(nullptr), ErrFileOpenFailed);
  EXPECT_EQ(WriteWholeFile("/no/such/dir/file.vek", "x", 1), ErrFileOpenFailed);
  char small[4];
  EXPECT_FALSE(TempDirectory(small, sizeof small));
  char dir[1024], out[8];
  ASSERT_TRUE(TempDirectory(dir, sizeof dir));
  EXPECT_FALSE(MakeTempFile(dir, "pmv", out, sizeof out));
}

TEST(Names, Utf16ToUtf8) {
  char out[64];
  ASSERT_TRUE(Utf16ToUtf8(u"abc", out, sizeof out));
  EXPECT_STREQ(out, "abc");
  ASSERT_TRUE(Utf16ToUtf8(u"\u00e9\u20ac\U0001F600", out, sizeof out));
  EXPECT_STREQ(out, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf8LengthOfUtf16(u"\u00e9\u20ac\U0001F600"), 9u);
  // Unpaired surrogates are ill-formed; the output buffer must hold the terminator too.
  const char16_t loneHigh[] = {0xD800, u'a', 0};
  const char16_t loneLow[] = {u'a', 0xDC00, 0};
  const char16_t highAtEnd[] = {u'a', 0xDBFF, 0};
  EXPECT_FALSE(Utf16ToUtf8(loneHigh, out, sizeof out));
  EXPECT_FALSE(Utf16ToUtf8(loneLow, out, sizeof out));
  EXPECT_FALSE(Utf16ToUtf8(highAtEnd, out, sizeof out));
  EXPECT_EQ(Utf8LengthOfUtf16(loneLow), SIZE_MAX);
  EXPECT_FALSE(Utf16ToUtf8(u"abc", out, 3));
  EXPECT_TRUE(Utf16ToUtf8(u"abc", out, 4));
  EXPECT_FALSE(Utf16ToUtf8(nullptr, out, sizeof out));
}

TEST(Locale, ScopedCLocaleFormatsWithAPointAndRestores) {
  // Use a locale with a decimal comma when the machine has one; the scope must still print 1.5.
  const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "C.UTF-8"};
  const char* before = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = before ? before : "C";
  for (const char* name : candidates)
    if (std::setlocale(LC_NUMERIC, name)) break;
  char host[32];
  std::snprintf(host, sizeof host, "%.1f", 1.5);
  {
    ScopedCLocale scope;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", 1.5);
    EXPECT_STREQ(buf, "1.5");
    EXPECT_DOUBLE_EQ(std::strtod("2.25", nullptr), 2.25);
  }
  char after[32];
  std::snprintf(after, sizeof after, "%.1f", 1.5);
  EXPECT_STREQ(after, host);  // the host's own formatting is back
  std::setlocale(LC_NUMERIC, saved.c_str());
}

}  // namespace
}  // namespace lyr::platform

namespace lyr::platform {
namespace {

TEST(Modules, DllNameFindsTheSharedLibraryBesideTheLibrary) {
  ModuleHandle before = FindLoadedModule("lyrtestmod.dll");
  EXPECT_EQ(before, nullptr);  // nothing loads it before this test
  ModuleHandle m = LoadModule("lyrtestmod.dll");
  ASSERT_NE(m, nullptr) << "expected liblyrtestmod.so in " << OwnDirectory();
  using Fn = int (*)();
  Fn answer = reinterpret_cast<Fn>(FindProcedure(m, "LyrTestModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  SetLastError(0);
  EXPECT_EQ(FindProcedure(m, "no_such_procedure_xyz"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorProcNotFound);
  EXPECT_EQ(static_cast<uint32_t>(LastErrorResult()), 0x8007007Fu);
  EXPECT_EQ(FindProcedure(nullptr, "LyrTestModuleAnswer"), nullptr);
  EXPECT_NE(FindLoadedModule("lyrtestmod.dll"), nullptr);
}

}  // namespace
}  // namespace lyr::platform
