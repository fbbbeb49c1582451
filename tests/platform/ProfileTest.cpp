// Private-profile files: reading with Windows semantics, editing that keeps
// every other line, atomic replacement, bad files, and where the settings
// file lives.

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <linux/capability.h>
#endif
#include <sys/stat.h>
#if !defined(_WIN32)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Profile.h"
#include "platform/System.h"
#include "support/TempDir.h"
#include "PlatformTestSupport.h"

namespace qnzb::platform {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr const char* Missing = "<missing>";

#if !defined(_WIN32)
TEST(Profile, ReadFollowsWindowsRules) {
  TempDir dir;
  const std::string ini = dir.write("a.ini",
                                    "\xEF\xBB\xBF"
                                    "[Options]\r\n"
                                    "orphan=never\r\n"  // inside [Options]: found
                                    "  Joliet  =  1  \r\n"
                                    "Label=\"  spaced  \"\r\n"
                                    "Single='x'\r\n"
                                    "Mixed=\"x'\r\n"
                                    "Empty=\r\n"
                                    "; Commented=1\r\n"
                                    "NoEquals\r\n"
                                    "=nokey\r\n"
                                    "Twice=first\r\n"
                                    "Twice=second\r\n"
                                    "Path=a=b=c\r\n"
                                    "\t[ Other Section ]\t\r\n"
                                    "Key=\t tabbed\t\r\n"
                                    "[options]\r\n"
                                    "Later=found\r\n"
                                    "Twice=third");
  const struct {
    const char* section;
    const char* key;
    const char* expected;
  } rows[] = {
      {"Options", "orphan", "never"},       // first line after a byte order mark
      {"OPTIONS", "joliet", "1"},           // names compare case-insensitively, blanks trimmed
      {"Options", "Label", "  spaced  "},   // one pair of quotes goes, what's inside stays
      {"Options", "Single", "x"},
      {"Options", "Mixed", "\"x'"},         // quotes that don't match stay
      {"Options", "Empty", ""},             // present but empty: not the default
      {"Options", "; Commented", Missing},
      {"Options", "NoEquals", Missing},
      {"Options", "", Missing},
      {"Options", "Twice", "first"},
      {"Options", "Path", "a=b=c"},         // only the first "=" splits
      {"other section", "key", "tabbed"},
      {"Options", "Later", "found"},        // a second section of the same name is searched too
      {"Options", "Key", Missing},
      {"Nowhere", "Joliet", Missing},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ReadProfileString(row.section, row.key, Missing, ini), row.expected) << row.section << "/" << row.key;
  EXPECT_EQ(ReadProfileString("Options", "Joliet", Missing, dir.at("absent.ini")), Missing);
}
#endif

TEST(Profile, ReadIntTakesWholeDecimalNumbersOnly) {
  TempDir dir;
  const struct {
    const char* stored;
    int32_t expected;
  } rows[] = {
      {"12", 12},           {"-1", -1},          {"+3", 3},           {" 7 ", 7},
      {"\"5\"", 5},         {"0", 0},            {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},                {"2147483648", -99}, {"99999999999999999999", -99},
      {"12abc", -99},       {"1.5", -99},        {"", -99},           {"-", -99},
      {"0x10", -99},        {"1 2", -99},
  };
  for (const auto& row : rows) {
    const std::string ini = dir.write("n.ini", std::string("[S]\nN=") + row.stored + "\n");
    EXPECT_EQ(ReadProfileInt("S", "N", -99, ini), row.expected) << row.stored;
  }
  EXPECT_EQ(ReadProfileInt("S", "Other", 42, dir.at("n.ini")), 42);
}

#if !defined(_WIN32)
TEST(Profile, WriteEditsOnlyWhatItMust) {
  const struct {
    std::optional<std::string> before;  // nullopt: no file
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  } rows[] = {
      {std::nullopt, "Options", "SavePath", "Grayed", "[Options]\nSavePath=Grayed\n"},
      {"", "Options", "A", "1", "[Options]\nA=1\n"},
      // In place: the key keeps its spelling, comments and other lines stay.
      {"; mine\n[options]\n  KEY = old  \nother=1\n", "Options", "key", "new",
       "; mine\n[options]\n  KEY=new\nother=1\n"},
      // A new key goes after the section's last non-blank line.
      {"[A]\nx=1\n\n[B]\ny=2\n", "a", "z", "3", "[A]\nx=1\nz=3\n\n[B]\ny=2\n"},
      {"[A]\n\n[B]\n", "A", "k", "v", "[A]\nk=v\n\n[B]\n"},
      // A new section is appended after a blank line.
      {"[A]\nx=1\n", "B", "k", "v", "[A]\nx=1\n\n[B]\nk=v\n"},
      {"[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n"},
      {"junk", "B", "k", "v", "junk\n\n[B]\nk=v\n"},
      // The file's own line ends are used.
      {"[A]\r\nx=1\r\n", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
      {"[A]\r\nx=1\r\n", "A", "x", "9", "[A]\r\nx=9\r\n"},
      // Only the first of a duplicated key changes.
      {"[A]\nx=1\nx=2\n", "A", "x", "3", "[A]\nx=3\nx=2\n"},
      // Values reading would change are quoted.
      {"", "S", "k", " padded ", "[S]\nk=\" padded \"\n"},
      {"", "S", "k", "\"q\"", "[S]\nk=\"\"q\"\"\n"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const std::string ini = row.before ? dir.write("s.ini", *row.before) : dir.at("s.ini");
    ASSERT_TRUE(StoreProfileString(row.section, row.key, row.value, ini)) << row.after;
    EXPECT_EQ(test::readFile(ini), row.after);
    EXPECT_EQ(ReadProfileString(row.section, row.key, Missing, ini), row.value) << row.after;
  }
}
#endif

TEST(Profile, EveryStorableValueReadsBackAsWritten) {
  TempDir dir;
  const std::string ini = dir.at("r.ini");
  const char* values[] = {"",       "plain", " lead",     "trail ", "\"quoted\"", "'single'", "\"",  "a=b=c",
                          "x;y #z", "\t",    "caf\xC3\xA9", "[Not]", "\xFF\xFE",   "\" mixed'", "  \"\"  "};
  for (const char* value : values) {
    ASSERT_TRUE(StoreProfileString("Options", "Value", value, ini)) << value;
    EXPECT_EQ(ReadProfileString("Options", "Value", Missing, ini), value);
    ASSERT_TRUE(StoreProfileString("Options", "Other", "kept", ini));
    EXPECT_EQ(ReadProfileString("Options", "Other", Missing, ini), "kept");
  }
}

TEST(Profile, UnstorableWritesAreRefusedAndChangeNothing) {
  TempDir dir;
  const std::string original = "[S]\nk=v\n";
  const std::string ini = dir.write("s.ini", original);
  const struct {
    std::string section, key, value;
  } rows[] = {
      {"", "k", "v"},       {"  ", "k", "v"},   {"S", "", "v"},          {"S", " ", "v"},
      {"S", "k", "a\nb"},   {"S", "k", "a\rb"}, {"S\n", "k", "v"},       {"S", "k\n", "v"},
      {"S]", "k", "v"},     {"S", "a=b", "v"},  {"S", "[k", "v"},        {"S", ";k", "v"},
      {"S", "k", std::string("a\0b", 3)},
  };
  for (const auto& row : rows)
    EXPECT_FALSE(StoreProfileString(row.section, row.key, row.value, ini)) << row.section << "/" << row.key;
  EXPECT_EQ(test::readFile(ini), original);
  EXPECT_FALSE(StoreProfileString("S", "k", "v", ""));
}

#if !defined(_WIN32)
TEST(Profile, BadFilesNeitherCrashNorLoseTheirBytes) {
  TempDir dir;
  std::string junk;
  for (int i = 0; i < 4096; ++i)
    junk += static_cast<char>((i * 131 + 7) & 0xFF);  // NULs, CRs, stray "[" and "="
  const std::string hugeLine(3 << 20, 'x');
  const std::string contents[] = {
      junk,
      hugeLine + "\n[S]\nk=found\n",
      "[\n[]\n=\n===\n[S\nk=v\n]\n",
      std::string("[S]\nk=\0\0\n", 9),
  };
  for (const std::string& content : contents) {
    const std::string ini = dir.write("bad.ini", content);
    (void)ReadProfileString("S", "k", Missing, ini);
    (void)ReadProfileInt("S", "k", 0, ini);
    ASSERT_TRUE(StoreProfileString("Fresh", "Key", "v", ini));
    EXPECT_EQ(ReadProfileString("Fresh", "Key", Missing, ini), "v");
    EXPECT_EQ(test::readFile(ini).substr(0, content.size()), content);  // appended, nothing lost
  }
  EXPECT_EQ(ReadProfileString("S", "k", Missing, dir.write("big.ini", hugeLine + "\n[S]\nk=found\n")), "found");
}
#endif

#if !defined(_WIN32)
TEST(Profile, FilesThatAreNoIniFilesAreLeftAlone) {
  TempDir dir;
  const std::string tooLarge = dir.writeSparse("large.ini", ProfileMaxBytes + 1);
  EXPECT_EQ(ReadProfileString("S", "k", Missing, tooLarge), Missing);
  EXPECT_FALSE(StoreProfileString("S", "k", "v", tooLarge));
  EXPECT_EQ(fs::file_size(tooLarge), static_cast<uintmax_t>(ProfileMaxBytes + 1));

  // Neither is opened to be read (a FIFO without a writer would block the
  // read for ever) nor replaced by a write; the refusal is logged.
  const std::string fifo = dir.at("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string fifoLink = dir.at("fifo-link.ini");
  fs::create_symlink("fifo.ini", fifoLink);
  std::vector<std::string> log;
  SetPlatformLog([&log](const std::string& line) { log.push_back(line); });
  for (const std::string& path : {dir.mkdir("folder.ini"), fifo, fifoLink}) {
    SCOPED_TRACE(path);
    const fs::file_type type = fs::status(path).type();
    EXPECT_EQ(ReadProfileString("S", "k", Missing, path), Missing);
    EXPECT_EQ(ReadProfileInt("S", "k", 7, path), 7);
    EXPECT_FALSE(StoreProfileString("S", "k", "v", path));
    EXPECT_EQ(fs::status(path).type(), type);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("is not a regular file"), std::string::npos) << log.back();
    log.clear();
  }
  SetPlatformLog(nullptr);

  // A file where the folder should be: nothing can be created there.
  const std::string file = dir.write("plain.txt", "data");
  EXPECT_FALSE(StoreProfileString("S", "k", "v", file + "/QNZB.ini"));
  EXPECT_EQ(test::readFile(file), "data");
}
#endif

#if !defined(_WIN32)
TEST(Profile, WriteReplacesTheFileWhole) {
  TempDir dir;
  // Created with its folders on the first write.
  const std::string ini = dir.at("deep/er/QNZB.ini");
  ASSERT_TRUE(StoreProfileString("S", "a", "1", ini));

  // The file's permissions survive; no side file stays behind.
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(StoreProfileString("S", "b", "2", ini));
  EXPECT_EQ(fs::status(ini).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.at("deep/er")), fs::directory_iterator()), 1);

  // A write that changes nothing doesn't replace the file.
  struct stat before {}, after {};
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);
  ASSERT_TRUE(StoreProfileString("s", "A", "1", ini));
  ASSERT_EQ(::stat(ini.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);

  // A link stays a link; its target gets the change.
  const std::string link = dir.at("link.ini");
  fs::create_symlink("deep/er/QNZB.ini", link);
  ASSERT_TRUE(StoreProfileString("S", "c", "3", link));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(test::readFile(ini), "[S]\na=1\nb=2\nc=3\n");
}
#endif
#if !defined(_WIN32)

// Capabilities belong to a thread: without these the calling thread obeys
// file permissions even when it runs as root.
bool DropPermissionOverrides() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0)
    return false;
  for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
    data[cap / 32].effective &= ~(1u << (cap % 32));
  return ::syscall(SYS_capset, &header, data) == 0;
}
#endif

#if !defined(_WIN32)
TEST(Profile, UnwritableFolderKeepsTheOldFile) {
  TempDir dir;
  const std::string ini = dir.write("locked/s.ini", "[S]\nk=old\n");
  fs::permissions(dir.at("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  bool written = true;
  std::thread([&] {
    ASSERT_TRUE(DropPermissionOverrides());
    written = StoreProfileString("S", "k", "new", ini);
  }).join();
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadProfileString("S", "k", Missing, ini), "old");
}
#endif

TEST(Profile, ConcurrentWritersLoseNoKey) {
  TempDir dir;
  const std::string ini = dir.at("c.ini");
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&ini, t] {
      for (int k = 0; k < 10; ++k)
        EXPECT_TRUE(StoreProfileString("S", "k" + std::to_string(t) + "_" + std::to_string(k), "v", ini));
    });
  }
  for (std::thread& w : writers)
    w.join();
  for (int t = 0; t < 4; ++t)
    for (int k = 0; k < 10; ++k)
      EXPECT_EQ(ReadProfileString("S", "k" + std::to_string(t) + "_" + std::to_string(k), Missing, ini), "v");
}

#if !defined(_WIN32)
TEST(Profile, SettingsFileLocation) {
  const struct {
    std::optional<std::string> ini, config, home;
    const char* expected;
  } rows[] = {
      {"/etc/x/my.ini", "/cfg", "/home/u", "/etc/x/my.ini"},
      {std::nullopt, "/cfg", "/home/u", "/cfg/QNZB.ini"},
      {std::nullopt, "/cfg//", "/home/u", "/cfg/QNZB.ini"},
      {"", "/cfg", "/home/u", "/cfg/QNZB.ini"},
      {std::nullopt, "relative/cfg", "/home/u", "/home/u/.config/QNZB.ini"},  // ignored as the base-dir rules say
      {std::nullopt, "", "/home/u", "/home/u/.config/QNZB.ini"},
      {std::nullopt, std::nullopt, "/home/u", "/home/u/.config/QNZB.ini"},
      {std::nullopt, std::nullopt, "/", "/.config/QNZB.ini"},
  };
  for (const auto& row : rows) {
    const test::TScopedEnv ini("QNZB_INI", row.ini);
    const test::TScopedEnv config("XDG_CONFIG_HOME", row.config);
    const test::TScopedEnv home("HOME", row.home);
    EXPECT_EQ(SettingsFilePath(), row.expected);
  }
}
#endif

} // namespace
} // namespace qnzb::platform
