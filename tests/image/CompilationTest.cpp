// Filling the layout from the compilation list: placement by the "Save path"
// state, recursion, archive-only, empty folders, the empty list and the
// session import hook.

#include <string>
#include <vector>

#include "engine/image/Compilation.h"
#include "image/LayoutFixture.h"
#include "platform/FileFind.h"
#include "platform/FileIO.h"

namespace qnzb::test {
namespace {

class CompilationTest : public LayoutTest {
protected:
  // True when the layout holds a file at `path` ("\DIR\SUB\name").
  [[nodiscard]] bool Holds(const std::string& path) const {
    const size_t cut = path.rfind('\\');
    const TDEntry* dir = burner.FindDirectory(path.substr(0, cut + 1));
    return dir && burner.FindEntry(dir, path.substr(cut + 1));
  }
  // Files (not folders) anywhere in the layout.
  [[nodiscard]] static int Files(const TDEntry* dir) {
    int count = 0;
    for (const TFEntry* e = dir->FirstEntry; e; e = e->Next)
      count += e->IsDirectory() ? (e->Dir ? Files(e->Dir) : 0) : 1;
    return count;
  }
  [[nodiscard]] int Files() const { return Files(burner.RootDir()); }
  // The layout path of a scratch folder placed with its whole path.
  [[nodiscard]] std::string Whole(const std::string& relative) const {
    return TQNZBurner::LayoutPathOf(tmp.at(relative));
  }
};

TEST(CompilationRows, FolderRowsEndWithExactlyOneSlash) {
  const struct {
    const char* path;
    const char* row;
  } rows[] = {{"/a/b", "/a/b/"}, {"/a/b/", "/a/b/"}, {"/a/b///", "/a/b/"}, {"/", "/"}, {"///", "/"}};
  for (const auto& row : rows)
    EXPECT_EQ(FolderRow(row.path).Path, row.row) << row.path;

  TempDir tmp;
  const std::string file = tmp.write("f.txt", "x");
  const TCompilationRow folder = RowForPath(tmp.path());
  EXPECT_EQ(folder.Path, tmp.path() + "/");
  EXPECT_TRUE(folder.Recursive);
  const TCompilationRow plain = RowForPath(file);
  EXPECT_EQ(plain.Path, file);
  EXPECT_FALSE(plain.Recursive);
  EXPECT_EQ(RowForPath(tmp.at("gone/")).Path, tmp.at("gone/"));  // decided again at fill time
}

TEST(CompilationRows, SavePathWords) {
  const struct {
    const char* text;
    TSavePath state;
  } rows[] = {{"GRAYED", TSavePath::Grayed},   {"cHeCkEd", TSavePath::Checked}, {"", TSavePath::Unchecked},
              {"Greyed", TSavePath::Unchecked}, {" Checked", TSavePath::Unchecked}};
  for (const auto& row : rows)
    EXPECT_EQ(SavePathFromText(row.text), row.state) << row.text;
  for (TSavePath state : {TSavePath::Unchecked, TSavePath::Checked, TSavePath::Grayed})
    EXPECT_EQ(SavePathFromText(SavePathText(state)), state);
}

TEST_F(CompilationTest, SavePathDecidesWhereRowsLand) {
  tmp.write("Docs/Work/f1.txt", "1");
  tmp.write("Docs/Work/sub/f2.txt", "2");
  const std::string single = tmp.write("Other/a.txt", "a");
  const TCompilation rows = {FolderRow(tmp.at("Docs/Work")), FileRow(single)};

  const struct {
    TSavePath state;
    std::vector<std::string> files;
    bool lastFolderOnly;
  } cases[] = {
      {TSavePath::Unchecked, {"\\f1.txt", "\\sub\\f2.txt", "\\a.txt"}, false},
      {TSavePath::Checked,
       {Whole("Docs/Work/f1.txt"), Whole("Docs/Work/sub/f2.txt"), Whole("Other/a.txt")},
       false},
      {TSavePath::Grayed, {"\\Work\\f1.txt", "\\Work\\sub\\f2.txt", "\\Other\\a.txt"}, true},
  };
  for (const auto& c : cases) {
    burner.ResetLayout(600000, 20000);
    burner.LastFolderOnly = !c.lastFolderOnly;
    ASSERT_TRUE(FillCompilation(burner, rows, c.state, false));
    for (const std::string& file : c.files)
      EXPECT_TRUE(Holds(file)) << SavePathText(c.state) << " " << file;
    EXPECT_EQ(Files(), 3) << SavePathText(c.state);
    EXPECT_EQ(burner.LastFolderOnly, c.lastFolderOnly);
  }
}

TEST_F(CompilationTest, RecursionFollowsTheRowAndEmptyFoldersVanish) {
  tmp.write("a/top.txt", "t");
  tmp.write("a/sub/deep.txt", "d");
  tmp.mkdir("a/empty/emptier");
  tmp.write("b/top.txt", "t");
  tmp.write("b/sub/deep.txt", "d");
  const TCompilation rows = {FolderRow(tmp.at("a"), true), FolderRow(tmp.at("b"), false)};
  ASSERT_TRUE(FillCompilation(burner, rows, TSavePath::Grayed, false));
  EXPECT_TRUE(Holds("\\a\\top.txt"));
  EXPECT_TRUE(Holds("\\a\\sub\\deep.txt"));
  EXPECT_EQ(burner.FindDirectory("\\a\\empty"), nullptr);
  EXPECT_TRUE(Holds("\\b\\top.txt"));
  EXPECT_EQ(burner.FindDirectory("\\b\\sub"), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 3);  // \a, \a\sub, \b
}

TEST_F(CompilationTest, RowsAreJudgedWhenFilled) {
  tmp.write("bare/inside.txt", "i");
  const std::string file = tmp.write("kept.txt", "k");
  const TCompilation rows = {
      {tmp.at("bare"), false},  // a folder, although its row lacks the "/"
      FileRow(tmp.at("gone.txt")),  // vanished since it was added: nothing, the rest goes on
      FolderRow(tmp.at("gone-folder")),
      FileRow(file),
  };
  ASSERT_TRUE(FillCompilation(burner, rows, TSavePath::Unchecked, false));
  EXPECT_TRUE(Holds("\\inside.txt"));
  EXPECT_TRUE(Holds("\\kept.txt"));
  EXPECT_EQ(Files(), 2);
}

TEST_F(CompilationTest, ArchiveOnlyFiltersFolderRowsNotFileRows) {
  tmp.write("src/marked.txt", "m");
  const std::string archived = tmp.write("src/archived.txt", "a");
  if (!platform::ApplyFileAttributes(archived, 0) || (platform::FileAttributesOf(archived) & platform::faArchive))
    GTEST_SKIP() << "the scratch file system keeps no archive bits";
  const TCompilation rows = {FolderRow(tmp.at("src")), FileRow(archived)};
  ASSERT_TRUE(FillCompilation(burner, rows, TSavePath::Checked, true));
  EXPECT_TRUE(Holds(Whole("src/marked.txt")));
  EXPECT_TRUE(Holds(Whole("src/archived.txt")));  // from its file row only
  EXPECT_EQ(Files(), 2);

  burner.ResetLayout(600000, 20000);
  ASSERT_TRUE(FillCompilation(burner, {FolderRow(tmp.at("src"))}, TSavePath::Unchecked, true));
  EXPECT_EQ(Names(burner.RootDir()), std::vector<std::string>{"marked.txt"});
}

TEST_F(CompilationTest, EmptyListImportsFirstThenAsksForSomething) {
  std::vector<std::string> order;
  burner.SessionToImport = 2;
  burner.OnDebugMessage = [&](TObject*, const std::string& message, uint8_t type) {
    order.push_back(message + "/" + std::to_string(type));
  };
  const TImportSessionFunc import = [&](TQNZBurner& b, int16_t session) {
    order.push_back("import " + std::to_string(session) + " with component session " +
                    std::to_string(b.SessionToImport));
  };
  EXPECT_FALSE(FillCompilation(burner, {}, TSavePath::Grayed, false, 2, import));
  EXPECT_EQ(order, (std::vector<std::string>{"import 2 with component session 0",
                                             "Atleast one file/directory should be selected/0"}));
  EXPECT_EQ(burner.DirectoryCount() + burner.EntryCount(), 0);
}

TEST_F(CompilationTest, SessionHookRunsOnlyForASession) {
  const std::string file = tmp.write("f.txt", "f");
  const struct {
    int16_t session;
    bool hooked;
    int calls;
  } cases[] = {{0, true, 0}, {-1, true, 1}, {3, true, 1}, {3, false, 0}};
  for (const auto& c : cases) {
    burner.ResetLayout(600000, 20000);
    int calls = 0;
    int16_t seen = 0;
    TImportSessionFunc import;
    if (c.hooked)
      import = [&](TQNZBurner&, int16_t session) {
        ++calls;
        seen = session;
      };
    EXPECT_TRUE(FillCompilation(burner, {FileRow(file)}, TSavePath::Unchecked, false, c.session, import));
    EXPECT_EQ(calls, c.calls) << c.session;
    EXPECT_EQ(seen, c.calls ? c.session : 0);
    EXPECT_TRUE(Holds("\\f.txt"));
  }
}

} // namespace
} // namespace qnzb::test
