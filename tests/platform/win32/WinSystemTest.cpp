// Text through the ANSI code page, the program's and the user's folders, and
// libraries loaded the Windows way.

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/DynamicLibrary.h"
#include "platform/FileIO.h"
#include "platform/PathText.h"
#include "platform/System.h"
#include "support/ScopedEnv.h"

namespace qnzb::platform {
namespace {

TEST(WinSystem, AnsiCodePageRoundTripsAndMarksWhatItLacks) {
  if (AnsiToUtf16("\xE9") != u"\u00E9")
    GTEST_SKIP() << "the rows are for a Western code page (1252)";
  const struct {
    std::string ansi;
    std::u16string utf16;
  } rows[] = {
      {"", u""},
      {"plain ASCII", u"plain ASCII"},
      {"caf\xE9", u"caf\u00E9"},
      {"\x80 10", u"\u20AC 10"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(AnsiToUtf16(row.ansi), row.utf16) << row.ansi;
    EXPECT_EQ(Utf16ToAnsi(row.utf16), row.ansi) << row.ansi;
    EXPECT_EQ(Utf16Length(row.ansi), row.utf16.size()) << row.ansi;
  }
  // Characters the code page lacks come back as its default character.
  EXPECT_EQ(Utf16ToAnsi(u"\u3042!"), "?!");
}

TEST(WinSystem, PathsKeepNamesOfTheCodePage) {
  if (AnsiToUtf16("\xE9") != u"\u00E9")
    GTEST_SKIP() << "the names are for a Western code page (1252)";
  const std::filesystem::path path = PathOf("C:\\Donn\xE9" "es\\caf\xE9.txt");
  EXPECT_EQ(path.filename().wstring(), L"caf\u00E9.txt");
  EXPECT_EQ(PathText(path), "C:/Donn\xE9" "es/caf\xE9.txt");
  EXPECT_EQ(PathText(path.parent_path() / PathOf("na\xEFve")), "C:/Donn\xE9" "es/na\xEFve");
}

TEST(WinSystem, ProgramAndHomeFolders) {
  const std::string program = ProgramDirectory();
  ASSERT_FALSE(program.empty());
  EXPECT_NE(program.back(), '\\');
  EXPECT_TRUE(FileExists(program + "\\test_platform.exe")) << program;
  {
    const test::TScopedEnv profile("USERPROFILE", "C:\\Users\\someone");
    EXPECT_EQ(HomeDirectory(), "C:\\Users\\someone");
  }
  const test::TScopedEnv noProfile("USERPROFILE", std::nullopt);
  const test::TScopedEnv drive("HOMEDRIVE", "D:");
  const test::TScopedEnv path("HOMEPATH", "\\home");
  EXPECT_EQ(HomeDirectory(), "D:\\home");
}

TEST(WinSystem, LibrariesLoadFromTheProgramFolderAndTheSystem) {
  const std::string folder = ProgramDirectory();
  EXPECT_EQ(LibraryLoadPath(".\\WNASPI32.DLL"), folder + "\\WNASPI32.DLL");
  EXPECT_EQ(LibraryLoadPath("./WNASPI32.DLL"), folder + "\\WNASPI32.DLL");
  EXPECT_EQ(LibraryLoadPath("WNASPI32.DLL"), "WNASPI32.DLL");

  const TLibraryHandle kernel = LoadDynamicLibrary("KERNEL32.DLL");
  ASSERT_NE(kernel, nullptr) << LastLibraryError();
  EXPECT_NE(GetProcAddress(kernel, "GetTickCount"), nullptr);
  EXPECT_EQ(GetProcAddress(kernel, "NoSuchExport"), nullptr);
  EXPECT_FALSE(LastLibraryError().empty());
  EXPECT_TRUE(FreeLibrary(kernel));
}

} // namespace
} // namespace qnzb::platform
