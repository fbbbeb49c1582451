// Time zone bias, code page conversion (UTF-8 by hand and through iconv), the
// platform log and the well-known folders.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/FileIO.h"
#include "platform/System.h"
#if !defined(_WIN32)
#include "platform/posix/CodePage.h"
#endif
#include "PlatformTestSupport.h"

namespace qnzb::platform {
namespace {

#if !defined(_WIN32)
TEST(System, TimeZoneBiasFollowsTz) {
  const struct {
    const char* tz;
    int32_t bias;
  } rows[] = {{"UTC", 0}, {"CET-1CEST", -60}, {"EST5EDT", 300}, {"IST-5:30", -330}};
  for (const auto& row : rows) {
    const test::TScopedEnv tz("TZ", row.tz);
    EXPECT_EQ(TimeZoneBias(), row.bias) << row.tz;
  }
  ::tzset();  // back to the zone of the restored TZ
}
#endif

#if !defined(_WIN32)
TEST(System, Utf8AndUtf16RoundTrip) {
  // The test runner never calls setlocale: the C locale counts as UTF-8.
  const struct {
    const char* utf8;
    std::u16string utf16;
  } rows[] = {
      {"", u""},
      {"plain ASCII", u"plain ASCII"},
      {"caf\xC3\xA9", u"caf\u00E9"},
      {"\xE2\x82\xAC 10", u"\u20AC 10"},
      {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"a\xF4\x8F\xBF\xBFz", u"a\xDBFF\xDFFFz"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(AnsiToUtf16(row.utf8), row.utf16) << row.utf8;
    EXPECT_EQ(Utf16ToAnsi(row.utf16), row.utf8) << row.utf8;
    EXPECT_EQ(Utf16Length(row.utf8), row.utf16.size()) << row.utf8;
  }
}

TEST(System, InvalidTextBecomesReplacementCharacters) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } rows[] = {
      {"\xFF", u"\uFFFD"},
      {"a\xE2\x82", u"a\uFFFD"},                // truncated: one replacement
      {"\xE2\x82z", u"\uFFFDz"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong "/"
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\x80x", u"\uFFFDx"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(AnsiToUtf16(row.utf8), row.utf16);
    EXPECT_EQ(Utf16Length(row.utf8), row.utf16.size());
  }
  EXPECT_EQ(Utf16ToAnsi(u"a\xD800z"), "a?z");
  EXPECT_EQ(Utf16ToAnsi(u"\xDC00\xD83D"), "??");
}
#endif

#if !defined(_WIN32)
TEST(System, OtherCodeSetsGoThroughIconv) {
  EXPECT_EQ(posix::CodeSetToUtf16("caf\xE9", "ISO-8859-1"), u"caf\u00E9");
  EXPECT_EQ(posix::CodeSetToUtf16("\x80 5", "CP1252"), u"\u20AC 5");
  EXPECT_EQ(posix::CodeSetToUtf16("a\x81z", "CP1252"), u"a\uFFFDz");  // undefined in CP1252
  EXPECT_EQ(posix::CodeSetToUtf16("\xFF\xA4", "EUC-JP"), u"\uFFFD\uFFFD");
  EXPECT_EQ(posix::CodeSetToUtf16("x\xA4", "EUC-JP"), u"x\uFFFD");    // ends inside a character
  EXPECT_EQ(posix::CodeSetToUtf16("\xA4\xA2", "EUC-JP"), u"\u3042");

  EXPECT_EQ(posix::Utf16ToCodeSet(u"caf\u00E9", "ISO-8859-1"), "caf\xE9");
  EXPECT_EQ(posix::Utf16ToCodeSet(u"\u20AC\u3042!", "ISO-8859-1"), "?" "?!");
  EXPECT_EQ(posix::Utf16ToCodeSet(u"<\xD83D\xDE00>", "ISO-8859-1"), "<?>");
  EXPECT_EQ(posix::Utf16ToCodeSet(u"<\xD83D>", "ISO-8859-1"), "<?>");
  EXPECT_EQ(posix::Utf16ToCodeSet(u"\u20AC", "CP1252"), "\x80");

  // A long text makes the output grow past the first guess.
  const std::u16string many(5000, u'\u3042');
  EXPECT_EQ(posix::CodeSetToUtf16(posix::Utf16ToCodeSet(many, "EUC-JP"), "EUC-JP"), many);
  // A code set iconv doesn't know is taken as UTF-8.
  EXPECT_EQ(posix::CodeSetToUtf16("caf\xC3\xA9", "NO-SUCH-CODESET"), u"caf\u00E9");
}
#endif

TEST(System, PlatformLogDeliversEveryLineUntilReset) {
  std::atomic<int> lines{0};
  SetPlatformLog([&](const std::string&) { ++lines; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i)
        PlatformLog("line");
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(lines.load(), 2000);

  // A log that reports through the log itself must not deadlock.
  int depth = 0;
  SetPlatformLog([&](const std::string& line) {
    if (++depth < 3)
      PlatformLog(line + "+");
  });
  PlatformLog("x");
  EXPECT_EQ(depth, 3);

  SetPlatformLog(nullptr);
  PlatformLog("nobody listens");
  EXPECT_EQ(depth, 3);
}

#if !defined(_WIN32)
TEST(System, ProgramAndHomeDirectories) {
  const std::string program = ProgramDirectory();
  ASSERT_FALSE(program.empty());
  EXPECT_NE(program.back(), '/');
  EXPECT_TRUE(FileExists(program + "/test_platform"));

  {
    const test::TScopedEnv home("HOME", "/some/where");
    EXPECT_EQ(HomeDirectory(), "/some/where");
  }
  const test::TScopedEnv noHome("HOME", std::nullopt);
  const std::string fromPasswd = HomeDirectory();
  EXPECT_FALSE(fromPasswd.empty());
  EXPECT_TRUE(DirectoryExists(fromPasswd) || fromPasswd == "/nonexistent");
}
#endif

} // namespace
} // namespace qnzb::platform
