// Building the layout tree from local files and folders: placement, merging,
// duplicates, replacement and the add events.

#include <algorithm>
#include <filesystem>

#include "image/LayoutFixture.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"
#include "platform/System.h"

namespace qnzb::test {
namespace {

TEST_F(LayoutTest, ResetLeavesTheRootAlone) {
  const std::string file = tmp.write("a.txt", "x");
  ASSERT_EQ(burner.AddFile("\\", file, false), 1);
  EXPECT_TRUE(burner.ResetLayout(600000, 20000));
  EXPECT_EQ(burner.DirectoryCount(), 0);
  EXPECT_EQ(burner.EntryCount(), 0);
  EXPECT_EQ(burner.TotalBytes, 0);
  TDEntry* root = burner.RootDir();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->Path, "\\");
  EXPECT_EQ(root->IsoName, "CD_ROOT");
  EXPECT_EQ(root->LongName, "CD Root Directory");
  EXPECT_EQ(root->Level, 1);
  EXPECT_EQ(root->Parent, root);
  EXPECT_EQ(root->FirstEntry, nullptr);
  EXPECT_EQ(burner.FindDirectory(""), root);
  EXPECT_EQ(burner.FindDirectory("\\"), root);
}

TEST_F(LayoutTest, PlacingByPathKeepsTheWholeFolderOrItsLastFolder) {
  const std::string file = tmp.write("data/A/f.txt", "hello");
  ASSERT_EQ(burner.AddFile("", file, true), 1);
  // The scratch folder's own path lands in the layout, upper-cased.
  const std::string folder = TQNZBurner::LayoutPathOf(tmp.path() + "/data/A/");
  TDEntry* whole = burner.FindDirectory(folder);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(Names(whole), std::vector<std::string>{"f.txt"});
  EXPECT_EQ(whole->Path, UpperCase(folder.substr(0, folder.size() - 1)));

  burner.ResetLayout(600000, 20000);
  burner.LastFolderOnly = true;
  ASSERT_EQ(burner.AddFile("", file, true), 1);
  TDEntry* last = burner.FindDirectory("\\A");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->Parent, burner.RootDir());
  EXPECT_EQ(Names(last), std::vector<std::string>{"f.txt"});
  EXPECT_EQ(burner.DirectoryCount(), 1);
}

TEST(LayoutPaths, DriveLettersNetworkSharesAndLocalPathsMapAlike) {
  const struct {
    const char* source;
    const char* layout;
    const char* lastFolder;
  } rows[] = {
      {"C:\\A\\", "\\A\\", "\\A\\"},
      {"\\\\server\\share\\A\\", "\\A\\", "\\A\\"},
      {"/A/", "\\A\\", "\\A\\"},
      {"C:\\data\\photos\\", "\\data\\photos\\", "\\photos\\"},
      {"/home/u/data/photos", "\\home\\u\\data\\photos", "\\photos"},
      {"\\\\server\\share", "\\", "\\"},
  };
  for (const auto& row : rows) {
    const std::string layout = TQNZBurner::LayoutPathOf(row.source);
    EXPECT_EQ(layout, row.layout) << row.source;
    EXPECT_EQ(TQNZBurner::LastFolderOf(layout), row.lastFolder) << row.source;
  }
}

TEST_F(LayoutTest, MissingSourceAndDestinationAreReported) {
  EXPECT_EQ(burner.AddFile("\\", tmp.at("nope.txt"), false), -1);
  EXPECT_EQ(burner.AddFile("\\NO\\SUCH", tmp.write("a.txt", "x"), false), 0);
  EXPECT_TRUE(Logged("INVALID DESTINATION PATH", 4));
  EXPECT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("missing"), "*.*", 63, true, false, false), 0);
  // A folder is not a file.
  EXPECT_EQ(burner.AddFile("\\", tmp.mkdir("sub"), false), -1);
  EXPECT_EQ(burner.EntryCount(), 0);
  EXPECT_EQ(burner.TotalBytes, 0);
}

TEST_F(LayoutTest, DuplicatesAreIgnoredOrReplacedInPlace) {
  const std::string a = tmp.write("one/a.txt", std::string(100, 'a'));
  const std::string b = tmp.write("one/b.txt", "b");
  const std::string a2 = tmp.write("two/A.TXT", std::string(5000, 'z'));
  ASSERT_EQ(burner.AddFile("\\", a, false), 1);
  ASSERT_EQ(burner.AddFile("\\", b, false), 1);
  EXPECT_EQ(burner.TotalBytes, 4096);

  // Same name in another case: ignored without ReplaceFile.
  EXPECT_EQ(burner.AddFile("\\", a2, false), 1);
  EXPECT_EQ(burner.EntryCount(), 2);
  EXPECT_EQ(burner.FindEntry(burner.RootDir(), "a.txt")->SourcePath(), a);

  burner.ReplaceFile = true;
  TFEntry* before = burner.FindEntry(burner.RootDir(), "A.txt");
  ASSERT_EQ(burner.AddFile("\\", a2, false), 1);
  EXPECT_EQ(burner.EntryCount(), 2);
  EXPECT_EQ(Names(burner.RootDir()), (std::vector<std::string>{"A.TXT", "b.txt"}));
  TFEntry* after = burner.FindEntry(burner.RootDir(), "a.txt");
  EXPECT_EQ(after, before);  // same node, same list position
  EXPECT_EQ(after->SourcePath(), a2);
  EXPECT_EQ(after->IsoSize, 5000);
  EXPECT_EQ(burner.TotalBytes, 2048 + 6144);
  EXPECT_EQ(burner.LastEntry, after);
}

// An entry keeps only its source folder when its disc name gives the file's
// name; every other name is kept as it is, and a rename keeps the source.
TEST_F(LayoutTest, EverySourcePathSurvivesWhateverItsDiscName) {
  const std::vector<std::string> names = {"plain.txt", "noext", "two..dots", std::string(130, 'n') + ".txt",
                                          "\xC3\xA9t\xC3\xA9"};
  std::vector<std::string> paths;
  for (const std::string& name : names)
    paths.push_back(tmp.write("src/" + name, name));
#if !defined(_WIN32)
  // Names Windows can't have: the disc changes the first, the second has no extension to drop.
  paths.push_back(tmp.write("src/star*name.txt", "s"));
  paths.push_back(tmp.write("src/trailing.", "t"));
#endif
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  std::vector<std::string> sources;
  for (const TFEntry* e = burner.RootDir()->FirstEntry; e; e = e->Next)
    sources.push_back(e->SourcePath());
  std::sort(sources.begin(), sources.end());
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(sources, paths);
  TFEntry* plain = burner.FindEntry(burner.RootDir(), "plain.txt");
  Layout.RenameEntry(plain, "other.txt");
  EXPECT_EQ(plain->SourcePath(), tmp.at("src/plain.txt"));
}

TEST_F(LayoutTest, NamesWithoutExtensionGetAFullStopAndLongNamesArriveShortened) {
  const std::string plain = tmp.write("MAKEFILE", "all:");
  const std::string longName = tmp.write(std::string(110, 'n'), "x");
  const std::string over = tmp.write(std::string(105, 'm') + ".txt", "x");  // 109 characters
  const std::string limit = tmp.write(std::string(104, 'k') + ".txt", "x");  // 108 characters
  std::vector<std::pair<std::string, bool>> offered;
  burner.OnAddFile = [&](TObject* sender, const std::string&, std::string& longFile, std::string&, TDateTime&,
                         int32_t, int64_t, bool& skip) {
    EXPECT_EQ(sender, &burner);
    offered.emplace_back(longFile, skip);
  };
  for (const std::string& file : {plain, longName, over, limit})
    ASSERT_EQ(burner.AddFile("\\", file, false), 1);
  ASSERT_EQ(offered.size(), 4u);
  EXPECT_EQ(offered[0], std::make_pair(std::string("MAKEFILE."), false));
  // Over the limit: cut to 108 characters, the extension kept, a tag of the
  // whole name before it, and the change logged.
  EXPECT_EQ(offered[1].first.size(), 108u);
  EXPECT_TRUE(offered[1].first.starts_with(std::string(98, 'n') + "~")) << offered[1].first;
  EXPECT_TRUE(offered[1].first.ends_with(".")) << offered[1].first;
  EXPECT_EQ(offered[2].first.size(), 108u);
  EXPECT_TRUE(offered[2].first.ends_with(".txt")) << offered[2].first;
  EXPECT_FALSE(offered[1].second || offered[2].second);
  EXPECT_EQ(offered[3].first, std::string(104, 'k') + ".txt");
  EXPECT_EQ(burner.EntryCount(), 4);
  EXPECT_TRUE(burner.LeftOut.empty());
  EXPECT_TRUE(Logged(">>> NAME TOO LONG FOR THE DISC, PUT ON IT AS \"" + offered[2].first + "\": " + over, 0));
  EXPECT_EQ(burner.FindEntry(burner.RootDir(), "makefile.")->IsoName, "MAKEFILE.");
  // The same long name gives the same short one: a second add is a duplicate.
  EXPECT_EQ(DiscName(std::string(105, 'm') + ".txt", true), offered[2].first);
  EXPECT_NE(DiscName(std::string(104, 'm') + "x.txt", true), offered[2].first);
}

TEST(DiscNames, JolietForbiddenAndControlCharactersAreReplaced) {
  const struct {
    const char* given;
    bool file;
    const char* expected;
  } rows[] = {
      {"a:b*c?d;e.txt", true, "a_b_c_d_e.txt"}, {"tab\there", false, "tab_here"}, {"back\\slash", false, "back_slash"},
      {"del\x7f.txt", true, "del_.txt"},       {"Grüße.txt", true, "Grüße.txt"},   {"plain", false, "plain"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(DiscName(row.given, row.file), row.expected) << row.given;
  // Folders may use the two units that files spend on ";1"; a cut never
  // splits a character.
  EXPECT_EQ(DiscName(std::string(110, 'f'), false), std::string(110, 'f'));
  const std::string wide = DiscName(std::string(60, 'a') + std::string(30, ' ') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80" +
                                        std::string(40, 'b'),
                                    false);
  EXPECT_LE(platform::Utf16Length(wide), MaxFolderNameUnits);
}

TEST(DiscNames, LocalNamesDropTheFullStopOfFilesWithoutExtension) {
  const struct {
    const char* disc;
    int32_t attr;
    const char* local;
  } rows[] = {{"README.", 0x20, "README"}, {"a.b.", 0x20, "a.b"}, {"a.txt", 0x20, "a.txt"},
              {"v1.", 0x10, "v1."},        {".", 0x20, "."},       {"", 0x20, ""}};
  for (const auto& row : rows) {
    TFEntry entry;
    entry.LongName = row.disc;
    entry.Attr = row.attr;
    EXPECT_EQ(LocalName(entry), row.local) << row.disc;
  }
}

TEST_F(LayoutTest, AddFileHandlerRenamesAndSkips) {
  const std::string a = tmp.write("a.txt", "x");
  const std::string b = tmp.write("b.txt", "y");
  burner.OnAddFile = [](TObject*, const std::string& path, std::string& longFile, std::string& shortFile,
                        TDateTime& when, int32_t, int64_t, bool& skip) {
    if (path.ends_with("b.txt")) {
      skip = true;
      return;
    }
    longFile = "Renamed File.txt";
    shortFile = "renam~1.txt";
    when = EncodeDate(2004, 7, 4);
  };
  ASSERT_EQ(burner.AddFile("\\", a, false), 1);
  ASSERT_EQ(burner.AddFile("\\", b, false), 1);
  ASSERT_EQ(burner.EntryCount(), 1);
  TFEntry* e = burner.FindEntry(burner.RootDir(), "renamed file.TXT");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->IsoName, "RENAM~1.TXT");
  EXPECT_EQ(e->DateTime, EncodeDate(2004, 7, 4));
  EXPECT_EQ(burner.FindEntry(burner.RootDir(), "a.txt"), nullptr);
}

TEST_F(LayoutTest, FoldersMergeWhateverTheCaseOfTheirNames) {
  tmp.write("x/Photos/one.jpg", "1");
  tmp.write("y/PHOTOS/two.jpg", "22");
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("x"), "*.*", 63, true, false, false), 1);
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("y/"), "*.*", 63, true, false, false), 1);
  EXPECT_EQ(burner.DirectoryCount(), 1);
  TDEntry* photos = burner.FindDirectory("\\photos\\");
  ASSERT_NE(photos, nullptr);
  EXPECT_EQ(photos->LongName, "Photos");
  EXPECT_EQ(photos->Path, "\\PHOTOS");
  EXPECT_EQ(Names(photos), (std::vector<std::string>{"one.jpg", "two.jpg"}));
}

TEST_F(LayoutTest, FolderTreesKeepFilesAndDropEmptyFolders) {
  tmp.write("src/top.txt", "t");
  tmp.write("src/a/b/deep.txt", "d");
  tmp.mkdir("src/empty/emptier");
  tmp.mkdir("src/a/nothing");
  tmp.write("src/.hidden", "h");
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  EXPECT_EQ(Names(burner.RootDir()), (std::vector<std::string>{"a", ".hidden", "top.txt"}));
  EXPECT_EQ(burner.FindDirectory("\\EMPTY"), nullptr);
  EXPECT_EQ(burner.FindDirectory("\\A\\NOTHING"), nullptr);
  TDEntry* b = burner.FindDirectory("\\A\\B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Level, 3);
  EXPECT_EQ(Names(b), std::vector<std::string>{"deep.txt"});
  EXPECT_EQ(burner.DirectoryCount(), 2);
  EXPECT_EQ(burner.EntryCount(), 5);  // a, b, deep.txt, .hidden, top.txt
  EXPECT_TRUE(burner.FindEntry(burner.RootDir(), ".hidden")->Attr & 0x02);

  // Not recursive: only the folder's own files.
  burner.ResetLayout(600000, 20000);
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, false, false, false), 1);
  EXPECT_EQ(burner.DirectoryCount(), 0);
  EXPECT_EQ(Names(burner.RootDir()), (std::vector<std::string>{".hidden", "top.txt"}));
}

TEST_F(LayoutTest, FolderPlacedByPathAndUnderItsOwnName) {
  tmp.write("data/photos/p.jpg", "p");
  burner.LastFolderOnly = true;
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("data/photos/"), "*.*", 63, true, true, false), 1);
  TDEntry* photos = burner.FindDirectory("\\PHOTOS");
  ASSERT_NE(photos, nullptr);
  EXPECT_EQ(Names(photos), std::vector<std::string>{"p.jpg"});
  EXPECT_EQ(photos->IsoName, "PHOTOS");  // made by name
}

TEST_F(LayoutTest, AddDirHandlerSkipsAndRenamesFolders) {
  tmp.write("src/keep/k.txt", "k");
  tmp.write("src/skip/s.txt", "s");
  burner.OnAddDir = [](TObject*, std::string& longName, std::string& shortName, bool& skip) {
    if (longName == "skip")
      skip = true;
    else {
      longName = "Kept Folder";
      shortName = "KEPTFO~1";
    }
  };
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  EXPECT_EQ(burner.DirectoryCount(), 1);
  TDEntry* kept = burner.FindDirectory("\\KEPT FOLDER");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->IsoName, "KEPTFO~1");
  EXPECT_EQ(Names(kept), std::vector<std::string>{"k.txt"});
}

TEST_F(LayoutTest, FolderResultIsThatOfItsLastStep) {
  tmp.write("src/a.txt", "a");
  tmp.write("src/b.txt", "b");
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  // Adding again: every file is a duplicate, so the last step gives 0.
  EXPECT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 0);
  EXPECT_EQ(burner.EntryCount(), 2);
}

#if !defined(_WIN32)
TEST_F(LayoutTest, BackslashesInLocalNamesCannotForgeLayoutPaths) {
  tmp.write("src/a\\b/f.txt", "f");
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  EXPECT_EQ(burner.FindDirectory("\\A\\B"), nullptr);
  TDEntry* dir = burner.FindDirectory("\\A_B");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->Level, 2);
}
#endif

#if !defined(_WIN32)
TEST_F(LayoutTest, SymbolicLinkLoopsEndAndAreCountedAsLeftOut) {
  tmp.write("src/a/f.txt", "f");
  std::filesystem::create_directory_symlink(tmp.at("src"), tmp.at("src/a/loop"));
  EXPECT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  EXPECT_EQ(burner.DirectoryCount(), 1);
  EXPECT_EQ(burner.EntryCount(), 2);
  ASSERT_EQ(burner.LeftOut.size(), 1u);
  EXPECT_EQ(burner.LeftOut[0].Path, tmp.at("src/a/loop"));
  EXPECT_TRUE(Logged(">>> LINK TO A FOLDER THAT HOLDS IT, NOT ADDED: " + tmp.at("src/a/loop"), 4));
}
#endif

TEST_F(LayoutTest, FilesOfFourGibibytesAreRefusedAndTheRestIsAdded) {
  tmp.write("src/a.txt", "a");
  const std::string big = tmp.writeSparse("src/big.bin", int64_t{1} << 32);
  tmp.write("src/c.txt", "c");
  tmp.writeSparse("src/under.bin", (int64_t{1} << 32) - 1);
  bool offeredBig = false;
  burner.OnAddFile = [&](TObject*, const std::string& path, std::string&, std::string&, TDateTime&, int32_t,
                         int64_t, bool&) { offeredBig |= path == big; };
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  EXPECT_EQ(Names(burner.RootDir()), (std::vector<std::string>{"a.txt", "c.txt", "under.bin"}));
  EXPECT_FALSE(offeredBig);
  EXPECT_TRUE(Logged(">>> FILE TOO LARGE (4 GB OR MORE), NOT ADDED: " + big, 4));
  EXPECT_EQ(burner.TotalBytes, 2048 + 2048 + (int64_t{1} << 32));
  EXPECT_EQ(burner.FindEntry(burner.RootDir(), "under.bin")->IsoSize, (int64_t{1} << 32) - 1);
}

TEST_F(LayoutTest, ArchiveOnlyAddsMarkedFilesAndClearsTheirBits) {
  const std::string a = tmp.write("src/a.txt", "a");
  const std::string b = tmp.write("src/b.txt", "b");
  if (!platform::ApplyFileAttributes(b, 0) || (platform::FileAttributesOf(b) & platform::faArchive))
    GTEST_SKIP() << "the scratch file system keeps no archive bits";
  ASSERT_EQ(platform::FileAttributesOf(b) & 0x20, 0);
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, true);
  EXPECT_EQ(Names(burner.RootDir()), std::vector<std::string>{"a.txt"});
  EXPECT_TRUE(burner.FindEntry(burner.RootDir(), "a.txt")->ArchiveOnly);
  EXPECT_TRUE(burner.ClearArchiveBits());
  EXPECT_EQ(platform::FileAttributesOf(a) & 0x20, 0);
}

TEST_F(LayoutTest, FolderSizeCountsEveryFileBelow) {
  tmp.write("s/a.bin", std::string(1000, 'a'));
  tmp.write("s/sub/b.bin", std::string(3000, 'b'));
  tmp.mkdir("s/empty");
  EXPECT_EQ(burner.FolderSize(tmp.at("s/")), 4000);
  EXPECT_EQ(burner.FolderSize(tmp.at("s/a.bin")), 1000);
  EXPECT_EQ(burner.FolderSize(tmp.at("s/*.bin")), 1000);
  EXPECT_EQ(burner.FolderSize(tmp.at("none/")), 0);
}

TEST_F(LayoutTest, ForceDirectoryCreatesParentsAndNamesThemByRule) {
  TDEntry* d = burner.ForceDirectory("\\My docs\\2024 {new}");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Path, "\\MY DOCS\\2024 {NEW}");
  EXPECT_EQ(d->IsoName, "2024__NEW_");
  EXPECT_EQ(d->Parent->IsoName, "MY_DOCS");
  EXPECT_EQ(d->Parent->OwnEntry->Attr, 0x10);
  EXPECT_EQ(burner.ForceDirectory("\\My docs\\"), d->Parent);  // exists: found
  EXPECT_EQ(burner.ForceDirectory("\\New\\"), nullptr);        // made, but named by no last part
  EXPECT_NE(burner.FindDirectory("\\NEW"), nullptr);
  EXPECT_EQ(burner.ForceDirectory("\\my DOCS\\2024 {new}"), d);
  EXPECT_EQ(burner.DirectoryCount(), 3);
  EXPECT_EQ(burner.ForceDirectory("relative\\path"), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 3);
}

} // namespace
} // namespace qnzb::test
