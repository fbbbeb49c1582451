// Reading sessions of a virtual disc back into the layout: sessions our own
// image builder made, written onto the virtual recorder, some of them damaged
// on purpose before they were written.

#include <chrono>
#include <functional>
#include <map>
#include <random>

#include "engine/device/qnConst.h"
#include "engine/runtime/DateTime.h"
#include "engine/runtime/Strings.h"
#include "image/SessionDisc.h"
#include "platform/System.h"

namespace qnzb::test {
namespace {

class SessionImportTest : public SessionDiscTest {
protected:
  // Every entry of the layout by path ("\DOCS\a.txt"), depth first.
  static void Collect(const TDEntry* dir, const std::string& path, std::vector<std::string>& out) {
    for (const TFEntry* e = dir->FirstEntry; e; e = e->Next) {
      out.push_back(path + "\\" + e->LongName);
      if (e->Dir)
        Collect(e->Dir, path + "\\" + e->LongName, out);
    }
  }
  std::vector<std::string> Tree() const {
    std::vector<std::string> out;
    Collect(burner.RootDir(), "", out);
    return out;
  }
  // Absolute data sectors of the built layout's files, by long name.
  std::map<std::string, uint32_t> Extents(uint32_t start) const {
    std::map<std::string, uint32_t> out;
    for (const TFEntry* e : Layout.FileTable)
      if (!e->IsDirectory())
        out[e->LongName] = e->IsoSize == 0 ? 0 : start + burner.FirstFileSector + e->IsoExtent;
    return out;
  }
};

TEST_F(SessionImportTest, JolietTreeComesBackWithLongNamesSizesDatesAndOldExtents) {
  const std::string a = tmp.writePattern("src/A long file name.text", 5000, 1);
  tmp.writePattern("src/Docs/notes about things.md", 2048, 2);
  tmp.write("src/Docs/empty", "");
  tmp.write("src/.hidden", "h");
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  // The recorded date keeps whole seconds.
  TDateTime recorded = EncodeDateTime({2021, 3, 4, 5, 6, 7, 0});
  burner.FindEntry(burner.RootDir(), "A long file name.text")->DateTime = recorded;
  const TImage image = Build();
  const uint32_t start = Burn(image);
  const auto extents = Extents(0);  // the first session starts at 0
  ASSERT_EQ(start, 0u);

  burner.ResetLayout(65535, 8191);
  log.clear();
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_TRUE(Logged(">>> IMPORTING SESSION # 1", mtProgress));
  // Records come back in the order the entries were added: sub-folders first.
  EXPECT_EQ(Tree(), (std::vector<std::string>{"\\Docs", "\\Docs\\empty.", "\\Docs\\notes about things.md",
                                              "\\.hidden", "\\A long file name.text"}));
  const TFEntry* e = burner.FindEntry(burner.RootDir(), "A long file name.text");
  EXPECT_TRUE(e->Imported);
  EXPECT_EQ(e->IsoExtent, extents.at("A long file name.text"));
  EXPECT_EQ(e->JolietExtent, e->IsoExtent);
  EXPECT_EQ(e->IsoSize, 5000);
  EXPECT_EQ(e->SourcePath(), "");
  EXPECT_EQ(e->IsoName, "A_LONG_FILE_N");
  EXPECT_NEAR(e->DateTime, recorded, 1e-6);
  EXPECT_EQ(burner.TotalBytes, 0);  // imported data takes no room
  const TFEntry* hidden = burner.FindEntry(burner.RootDir(), ".hidden");
  EXPECT_EQ(hidden->Attr & platform::faHidden, platform::faHidden);
  const TFEntry* docs = burner.FindEntry(burner.RootDir(), "Docs");
  EXPECT_EQ(docs->Attr, platform::faDirectory);
  EXPECT_EQ(burner.FindDirectory("\\DOCS"), docs->Dir);
  // An empty file is recorded without an extent: an ordinary entry of size 0.
  const TFEntry* empty = burner.FindEntry(docs->Dir, "empty.");
  EXPECT_FALSE(empty->Imported);
  EXPECT_EQ(empty->IsoSize, 0);
  EXPECT_EQ(burner.DirectoryCount(), 1);
}

TEST_F(SessionImportTest, PlainIsoSessionGivesUpperCaseNamesWithoutVersion) {
  burner.JolietFileSystem = false;
  tmp.write("src/readme.txt", "r");
  tmp.write("src/sub/noext", "n");
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  Burn(Build());
  burner.ResetLayout(65535, 8191);
  ASSERT_TRUE(burner.ImportPreviousSession(-1, nullptr));
  EXPECT_EQ(Tree(), (std::vector<std::string>{"\\SUB", "\\SUB\\NOEXT.", "\\README.TXT"}));
}

TEST_F(SessionImportTest, SessionNumberPicksTheSessionAndTooLargeOrMinusOneTheLast) {
  std::vector<uint32_t> starts;
  for (int s = 1; s <= 3; ++s) {
    burner.ResetLayout(65535, 8191);
    burner.AddFile("\\", tmp.write("s" + std::to_string(s) + "/session" + std::to_string(s) + ".txt", "x"), false);
    starts.push_back(Burn(Build()));
  }
  ASSERT_EQ(burner.SessionCount(), 3);
  EXPECT_LT(starts[0], starts[1]);
  EXPECT_LT(starts[1], starts[2]);
  for (const auto& [session, name] : std::vector<std::pair<int8_t, std::string>>{
           {1, "\\session1.txt"}, {2, "\\session2.txt"}, {3, "\\session3.txt"}, {-1, "\\session3.txt"},
           {5, "\\session3.txt"}, {127, "\\session3.txt"}}) {
    SCOPED_TRACE(session);
    burner.ResetLayout(65535, 8191);
    log.clear();
    ASSERT_TRUE(burner.ImportPreviousSession(session, nullptr));
    EXPECT_EQ(Tree(), std::vector<std::string>{name});
    const int shown = session < 0 || session > 3 ? 3 : session;
    EXPECT_TRUE(Logged(">>> IMPORTING SESSION # " + std::to_string(shown), mtProgress));
    // Each session's file data lies in that session's track.
    EXPECT_GE(burner.RootDir()->FirstEntry->IsoExtent, starts[static_cast<size_t>(shown - 1)]);
  }
  burner.ResetLayout(65535, 8191);
  log.clear();
  EXPECT_FALSE(burner.ImportPreviousSession(0, nullptr));
  EXPECT_TRUE(log.empty());
}

TEST_F(SessionImportTest, BlankDiscOrEmptyTrayImportNothing) {
  EXPECT_FALSE(burner.ImportPreviousSession(-1, nullptr));
  recorder.Remove();
  EXPECT_FALSE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(burner.EntryCount(), 0);
}

TEST_F(SessionImportTest, DirectoryOfTwoSectorsIsReadCompletely) {
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    const std::string name = Format("a rather long file name number %02d.data", i);
    burner.AddFile("\\", tmp.write(name, "d"), false);
    expected.push_back("\\" + name);
  }
  const TImage image = Build();
  ASSERT_GE(burner.RootDir()->JolietSize, 2 * 2048);
  ASSERT_GE(burner.RootDir()->IsoSize, 2048);
  Burn(image);
  burner.ResetLayout(65535, 8191);
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(Tree(), expected);
}

TEST_F(SessionImportTest, ImportedFoldersMergeWithFoldersOfTheLayout) {
  burner.ForceDirectory("\\old\\Docs");
  burner.AddFile("\\old\\Docs", tmp.write("old/old.txt", "o"), false);
  burner.AddFile("\\old\\Docs", tmp.write("old/both.txt", "disc"), false);
  Burn(Build());

  burner.ResetLayout(65535, 8191);
  burner.ForceDirectory("\\old\\Docs");
  burner.AddFile("\\old\\Docs", tmp.write("new/new.txt", "n"), false);
  burner.AddFile("\\old\\Docs", tmp.write("new/both.txt", "local"), false);
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(burner.DirectoryCount(), 2);
  // A name already in the layout keeps the local file (ReplaceFile is off).
  EXPECT_EQ(Tree(), (std::vector<std::string>{"\\old", "\\old\\Docs", "\\old\\Docs\\new.txt", "\\old\\Docs\\both.txt",
                                              "\\old\\Docs\\old.txt"}));
  EXPECT_FALSE(burner.FindEntry(burner.FindDirectory("\\old\\Docs"), "both.txt")->Imported);
}

TEST_F(SessionImportTest, ImportIntoAGivenFolder) {
  burner.AddFile("\\", tmp.write("a.txt", "a"), false);
  Burn(Build());
  burner.ResetLayout(65535, 8191);
  TDEntry* into = burner.AddDirByName(burner.RootDir(), "previous", platform::faDirectory);
  ASSERT_TRUE(burner.ImportPreviousSession(1, into));
  EXPECT_EQ(Tree(), (std::vector<std::string>{"\\previous", "\\previous\\a.txt"}));
}

// ---- Damaged sessions ----

// A plain ISO session (root: A.TXT and SUB holding B.TXT) whose SUB sector is
// replaced by records a case makes.
class DamagedSessionTest : public SessionImportTest {
protected:
  struct Where {
    uint32_t Start = 0;        // the session's start
    uint32_t Root = 0;         // absolute extents
    uint32_t Sub = 0;
    std::string SubDot;        // the records "." and ".." of SUB as built
    std::string B;             // the record of B.TXT as built
    uint32_t DiscEnd = 0;      // first sector past the written session
  };

  DamagedSessionTest() { burner.JolietFileSystem = false; }

  void Compose() {
    burner.ResetLayout(65535, 8191);
    burner.AddFile("\\", tmp.write("a.txt", "alpha"), false);
    burner.ForceDirectory("\\SUB");
    burner.AddFile("\\SUB", tmp.writePattern("sub/b.txt", 3000, 3), false);
  }

  // Burns the session with SUB's sector made by `records` (given the
  // addresses); imports it and returns how long that took.
  template <typename Records>
  std::chrono::milliseconds BurnAndImport(Records records) {
    Compose();
    Burn(Build(), [&](TImage& image, uint32_t start) {
      Where w;
      w.Start = start;
      uint8_t* pvd = Descriptor(image, 1);
      w.Root = GetLE32(pvd + 158);
      const size_t sub = FindRecord(image, w.Root - start, 2048, "SUB");
      ASSERT_NE(sub, 0u);
      w.Sub = GetLE32(image.data() + sub + 2);
      uint8_t* sector = SectorOf(image, w.Sub - start);
      w.SubDot.assign(reinterpret_cast<char*>(sector), sector[0] + sector[sector[0]]);
      const size_t b = FindRecord(image, w.Sub - start, 2048, "B.TXT;1");
      ASSERT_NE(b, 0u);
      w.B.assign(reinterpret_cast<const char*>(image.data() + b), image[b]);
      w.DiscEnd = start + static_cast<uint32_t>(image.size() / 2048);
      const std::string bytes = records(w);
      ASSERT_LE(bytes.size(), 2048u);
      std::memset(sector, 0, 2048);
      std::memcpy(sector, bytes.data(), bytes.size());
    });
    burner.ResetLayout(65535, 8191);
    log.clear();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(burner.ImportPreviousSession(1, nullptr));
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  }

  std::vector<std::string> Sub() const {
    std::vector<std::string> out;
    const TDEntry* sub = burner.FindDirectory("\\SUB");
    if (sub)
      Collect(sub, "", out);
    return out;
  }
};

TEST_F(DamagedSessionTest, BadRecordsAreSkippedAndTheSoundOnesImported) {
  const uint8_t badDate[6] = {120, 13, 40, 99, 99, 99};
  const uint8_t leapDay[6] = {120, 2, 29, 25, 61, 200};
  struct Case {
    const char* Name;
    std::function<std::string(const Where&)> Records;
    std::vector<std::string> Sub;  // what SUB holds afterwards
    std::string Logged;            // part of a type 4 line
  };
  const std::vector<Case> cases = {
      {"directory pointing at the root",
       [](const Where& w) { return w.SubDot + Record(w.Root, 2048, 2, "LOOP") + w.B; },
       {"\\B.TXT"}, "SESSION 1: \\SUB\\LOOP SKIPPED (DIRECTORY ALREADY READ)"},
      {"directory pointing at itself",
       [](const Where& w) { return w.SubDot + w.B + Record(w.Sub, 2048, 2, "SELF"); },
       {"\\B.TXT"}, "\\SUB\\SELF SKIPPED (DIRECTORY ALREADY READ)"},
      {"record shorter than its fixed part",
       [](const Where& w) {
         std::string r = Record(0, 0, 0, "SHORT.TXT;1");
         r[0] = 20;
         return w.SubDot + w.B + r;
       },
       {"\\B.TXT"}, "BAD RECORD LENGTH"},
      {"record running past the sector",
       [](const Where& w) {
         std::string s = w.SubDot;
         int n = 0;
         while (s.size() < 1900)
           s += Record(0, 0, 0, Format("F%02d.TXT;1", n++));
         std::string r = Record(0, 0, 0, std::string(200, 'X'));
         return s + r.substr(0, 2048 - s.size());
       },
       {}, "BAD RECORD LENGTH"},
      {"name longer than its record",
       [](const Where& w) {
         std::string r = Record(0, 0, 0, "NAME.TXT;1");
         r[32] = 100;
         return w.SubDot + r + w.B;
       },
       {"\\B.TXT"}, "BAD NAME LENGTH"},
      {"file data far outside the disc",
       [](const Where& w) { return w.SubDot + Record(0xFFFFFF00u, 10, 0, "FAR.TXT;1") + w.B; },
       {"\\B.TXT"}, "\\SUB\\FAR.TXT SKIPPED (OUTSIDE THE DISC)"},
      {"file data running past the disc",
       [](const Where& w) { return w.SubDot + Record(w.Start + 20, 0xFFFFFFF0u, 0, "LONG.BIN;1") + w.B; },
       {"\\B.TXT"}, "\\SUB\\LONG.BIN SKIPPED (OUTSIDE THE DISC)"},
      {"directory outside the disc",
       [](const Where& w) { return w.SubDot + Record(0xFFFFFF00u, 2048, 2, "FARDIR") + w.B; },
       {"\\B.TXT"}, "\\SUB\\FARDIR SKIPPED (OUTSIDE THE DISC)"},
      {"directory without data",
       [](const Where& w) { return w.SubDot + Record(w.Start + 18, 0, 2, "NODATA") + w.B; },
       {"\\B.TXT"}, "\\SUB\\NODATA SKIPPED (NO DIRECTORY DATA)"},
      {"directory of 4 GB",
       [](const Where& w) { return w.SubDot + w.B + Record(w.DiscEnd - 3, 0xFFFFFFFFu, 2, "HUGE"); },
       {"\\B.TXT", "\\HUGE"}, "DIRECTORY \\SUB\\HUGE READ ONLY IN PART (LARGER THAN 64 MB)"},
      {"directory running past the disc",
       [](const Where& w) { return w.SubDot + w.B + Record(w.DiscEnd - 1, 0x100000u, 2, "TAIL"); },
       {"\\B.TXT", "\\TAIL"}, "DIRECTORY \\SUB\\TAIL READ ONLY IN PART (OUTSIDE THE DISC)"},
      {"name that is only a version",
       [](const Where& w) { return w.SubDot + Record(0, 0, 0, ";1") + w.B; },
       {"\\B.TXT"}, "NO NAME"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Insert("dvd+r");
    const auto took = BurnAndImport(c.Records);
    EXPECT_LT(took.count(), 2000);
    // The rest of the session is there.
    EXPECT_NE(burner.FindEntry(burner.RootDir(), "A.TXT"), nullptr);
    std::vector<std::string> sub = Sub();
    sub.erase(std::remove_if(sub.begin(), sub.end(),
                             [](const std::string& n) { return n.starts_with("\\F") || n.find("\\HUGE\\") == 0 ||
                                                               n.find("\\TAIL\\") == 0; }),
              sub.end());
    EXPECT_EQ(sub, c.Sub);
    EXPECT_TRUE(LoggedContaining(c.Logged, mtError)) << c.Logged;
  }
  // Dates out of range: an invalid date is day 0, times are clamped.
  Insert("dvd+r");
  BurnAndImport([&](const Where& w) {
    return w.SubDot + Record(0, 0, 0, "BAD.TXT;1", badDate) + Record(0, 0, 0, "LEAP.TXT;1", leapDay);
  });
  const TDEntry* sub = burner.FindDirectory("\\SUB");
  ASSERT_NE(sub, nullptr);
  EXPECT_NEAR(burner.FindEntry(sub, "BAD.TXT")->DateTime, EncodeTime(23, 59, 59, 0), 1e-6);
  EXPECT_NEAR(burner.FindEntry(sub, "LEAP.TXT")->DateTime, EncodeDateTime({2020, 2, 29, 23, 59, 59, 0}), 1e-6);
}

TEST_F(DamagedSessionTest, ChainDeeperThanTheLayoutEndsAtItsLimit) {
  constexpr uint32_t Depth = 300;
  Compose();
  Burn(Build(), [&](TImage& image, uint32_t start) {
    const uint32_t first = start + static_cast<uint32_t>(image.size() / 2048);
    const uint32_t root = GetLE32(Descriptor(image, 1) + 158);
    const size_t sub = FindRecord(image, root - start, 2048, "SUB");
    PutBoth32(image.data() + sub + 2, first);
    for (uint32_t k = 0; k < Depth; ++k) {
      std::string s = Record(first + k, 2048, 2, std::string(1, '\0')) + Record(root, 2048, 2, std::string(1, '\1'));
      if (k + 1 < Depth)
        s += Record(first + k + 1, 2048, 2, "D");
      s.resize(2048, '\0');
      image.insert(image.end(), s.begin(), s.end());
    }
  });
  burner.ResetLayout(65535, 8191);
  log.clear();
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  int levels = 0;
  for (const TDEntry* d : Layout.DirTable)
    levels = std::max<int>(levels, d->Level);
  EXPECT_EQ(levels, 255);
  EXPECT_TRUE(LoggedContaining("MORE THAN 255 LEVELS", mtError));
}

TEST_F(SessionImportTest, OverlongJolietNameIsReportedAndLeftOut) {
  burner.ForceDirectory("\\sub");
  burner.AddFile("\\sub", tmp.write("sub/b.txt", "b"), false);
  Burn(Build(), [](TImage& image, uint32_t start) {
    const uint32_t root = GetLE32(Descriptor(image, 2) + 158);
    const size_t sub = FindRecord(image, root - start, 2048, JolietIdentifier("sub", false));
    uint8_t* sector = SectorOf(image, GetLE32(image.data() + sub + 2) - start);
    const size_t dots = sector[0] + sector[sector[0]];
    std::string b(reinterpret_cast<char*>(sector) + dots, sector[dots]);
    const std::string name(108, 'n');  // 216 bytes of UTF-16
    const std::string r = Record(0, 0, 0, JolietIdentifier(name, false).substr(0, 216));
    std::memcpy(sector + dots, r.data(), r.size());
    std::memcpy(sector + dots + r.size(), b.data(), b.size());
  });
  burner.ResetLayout(65535, 8191);
  log.clear();
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_TRUE(
      Logged("ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS\n\r" + std::string(108, 'n'), mtError));
  EXPECT_EQ(Tree(), (std::vector<std::string>{"\\sub", "\\sub\\b.txt"}));
}

TEST_F(SessionImportTest, UnusableJolietTreeFallsBackToTheIsoTree) {
  burner.AddFile("\\", tmp.write("Mixed Case.txt", "m"), false);
  const TImage image = Build();
  const std::string isoName = burner.RootDir()->FirstEntry->IsoName;
  ASSERT_NE(isoName, "Mixed Case.txt");
  Burn(image, [](TImage& i, uint32_t) { PutBoth32(Descriptor(i, 2) + 156 + 2, 0xFFFFFFF0u); });
  burner.ResetLayout(65535, 8191);
  log.clear();
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_TRUE(Logged(">>> SESSION 1: JOLIET DIRECTORY TREE UNUSABLE (OUTSIDE THE DISC)", mtError));
  EXPECT_EQ(Tree(), std::vector<std::string>{"\\" + isoName});
}

TEST_F(SessionImportTest, NoUsableDescriptorMeansNoFileSystem) {
  burner.AddFile("\\", tmp.write("a.txt", "a"), false);
  const TImage image = Build();
  // Both roots unusable; then no descriptor at all.
  Burn(image, [](TImage& i, uint32_t) {
    PutBoth32(Descriptor(i, 2) + 156 + 10, 0);
    PutBoth32(Descriptor(i, 1) + 156 + 2, 0xFFFFFFF0u);
  });
  Burn(image, [](TImage& i, uint32_t) {
    for (uint32_t s = 16; s < 40; ++s)
      std::memset(SectorOf(i, s), 0xA5, 2048);
  });
  for (const int8_t session : {int8_t{1}, int8_t{2}}) {
    SCOPED_TRACE(session);
    burner.ResetLayout(65535, 8191);
    log.clear();
    EXPECT_FALSE(burner.ImportPreviousSession(session, nullptr));
    EXPECT_TRUE(Logged(Format(">>> ERROR IMPORTING SESSION %d (ISO IMAGE NOT FOUND)", session), mtError));
    EXPECT_EQ(burner.EntryCount(), 0);
  }
}

TEST_F(SessionImportTest, FullLayoutStopsTheImport) {
  for (int i = 0; i < 30; ++i)
    burner.AddFile("\\", tmp.write(Format("f%02d.txt", i), "f"), false);
  Burn(Build());
  burner.ResetLayout(10, 10);
  log.clear();
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(burner.EntryCount(), 10);
  EXPECT_TRUE(Logged("MAXIMUM FILES CAN BE 10", mtTable));
  EXPECT_TRUE(Logged(">>> SESSION 1: IMPORT STOPPED, THE LAYOUT IS FULL", mtError));
}

// ---- Names that are not safe as file names ----

// A session whose folder "sub", in the tree the import reads (Joliet or
// ISO), holds the records of the rows below, then its own b.txt. Folder rows
// get a directory of their own holding in.txt.
class UnsafeNameTest : public SessionImportTest, public testing::WithParamInterface<bool> {
protected:
  struct Row {
    std::u16string Recorded;  // before the version; ISO rows use units below 100h as bytes
    bool Folder = false;
    std::string Safe;         // the long name the layout gets ("." added to a file's without one)
    std::string Shown;        // the recorded name in the change's log line; empty: unchanged
    std::string ChangedTo;    // the name the log line gives
    bool JolietOnly = false;
  };
  static std::vector<Row> Rows() {
    return {
        {u"../../../evil.txt", false, ".._.._.._evil.txt", "../../../evil.txt", ".._.._.._evil.txt"},
        {u"/abs", false, "_abs.", "/abs", "_abs"},
        {u"a\\b.txt", false, "a_b.txt", "a\\b.txt", "a_b.txt"},
        {u".", true, "_", ".", "_"},
        {u"..", true, "__", "..", "__"},
        {u"ctl\x1B[2J.txt", false, "ctl_[2J.txt", "ctl\\x1B[2J.txt", "ctl_[2J.txt"},
        {std::u16string(u"nul\0x.txt", 9), false, "nul_x.txt", "nul\\x00x.txt", "nul_x.txt"},
        {u"del\x7F.txt", false, "del_.txt", "del\\x7F.txt", "del_.txt"},
        {u"c1\x9B.txt", false, "c1_.txt", "c1\\x9B.txt", "c1_.txt", true},
        {u"...", false, "___.", "...", "___"},
        {u"plain.txt", false, "plain.txt", "", ""},
    };
  }
  bool Joliet() const { return GetParam(); }
  std::string Id(const std::u16string& name, bool folder) const {
    const std::u16string full = folder ? name : name + u";1";
    std::string out;
    for (const char16_t u : full) {
      if (Joliet())
        out += static_cast<char>(u >> 8);
      out += static_cast<char>(u & 0xFF);
    }
    return out;
  }

  // Burns the session; `extra` adds records after the rows'. Returns the
  // extent and size of b.txt's data.
  std::pair<uint32_t, uint32_t> BurnRows(const std::function<std::string(uint32_t, uint32_t)>& extra) {
    burner.JolietFileSystem = Joliet();
    burner.ForceDirectory("\\sub");
    burner.AddFile("\\sub", tmp.write("sub/b.txt", "bravo"), false);
    std::pair<uint32_t, uint32_t> b;
    Burn(Build(), [&](TImage& image, uint32_t start) {
      const uint32_t root = GetLE32(Descriptor(image, Joliet() ? 2 : 1) + 158);
      const size_t subRecord = FindRecord(image, root - start, 2048, Id(Joliet() ? u"sub" : u"SUB", true));
      ASSERT_NE(subRecord, 0u);
      const uint32_t sub = GetLE32(image.data() + subRecord + 2);
      const size_t bRecord = FindRecord(image, sub - start, 2048, Id(Joliet() ? u"b.txt" : u"B.TXT", false));
      ASSERT_NE(bRecord, 0u);
      const std::string bBytes(reinterpret_cast<const char*>(image.data() + bRecord), image[bRecord]);
      b = {GetLE32(image.data() + bRecord + 2), GetLE32(image.data() + bRecord + 10)};
      std::string records;
      for (const Row& row : Rows()) {
        if (row.JolietOnly && !Joliet())
          continue;
        uint32_t extent = 0;
        if (row.Folder) {
          extent = start + static_cast<uint32_t>(image.size() / 2048);
          std::string dir = Record(extent, 2048, 2, std::string(1, '\0')) + Record(sub, 2048, 2, std::string(1, '\1')) +
                            Record(0, 0, 0, Id(u"in.txt", false));
          dir.resize(2048, '\0');
          image.insert(image.end(), dir.begin(), dir.end());
        }
        records += Record(extent, row.Folder ? 2048 : 0, row.Folder ? 2 : 0, Id(row.Recorded, row.Folder));
      }
      records += extra(b.first, b.second) + bBytes;
      uint8_t* sector = SectorOf(image, sub - start);
      const size_t dots = sector[0] + sector[sector[0]];
      ASSERT_LE(dots + records.size(), 2048u);
      std::memcpy(sector + dots, records.data(), records.size());
      std::memset(sector + dots + records.size(), 0, 2048 - dots - records.size());
    });
    return b;
  }

  void Import() {
    burner.ResetLayout(65535, 8191);
    log.clear();
    ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  }
  std::vector<std::string> Sub() const {
    std::vector<std::string> out;
    if (const TDEntry* sub = burner.FindDirectory("\\SUB"))
      Collect(sub, "", out);
    return out;
  }
  std::string SubName() const { return Joliet() ? "\\sub" : "\\SUB"; }
};

TEST_P(UnsafeNameTest, NamesAreMadeSafeWhenReadAndEachChangeIsLogged) {
  BurnRows([](uint32_t, uint32_t) { return std::string(); });
  Import();
  std::vector<std::string> expected;
  for (const Row& row : Rows()) {
    if (row.JolietOnly && !Joliet())
      continue;
    SCOPED_TRACE(row.Safe);
    expected.push_back("\\" + row.Safe);
    if (row.Folder)
      expected.push_back("\\" + row.Safe + "\\in.txt");
    if (row.Shown.empty())
      EXPECT_FALSE(LoggedContaining(row.Safe + " CHANGED TO", mtError));
    else
      EXPECT_TRUE(Logged(">>> SESSION 1: NAME " + SubName() + "\\" + row.Shown + " CHANGED TO " + row.ChangedTo +
                             " (NOT A SAFE FILE NAME)",
                         mtError));
  }
  expected.push_back(Joliet() ? "\\b.txt" : "\\B.TXT");
  EXPECT_EQ(Sub(), expected);
  for (const auto& [line, type] : log)
    EXPECT_EQ(line.find_first_of(std::string("\x1B\x7F\0", 3)), std::string::npos) << line;
}

// Names made equal by the changes, or recorded equal, are duplicates: the
// second is left out (or replaces the first under ReplaceFile), and said so;
// a folder never takes the name of a file.
TEST_P(UnsafeNameTest, RecordsOfOneNameInAFolderAreReportedDuplicates) {
  const uint32_t size = BurnRows([this](uint32_t bExtent, uint32_t bSize) {
    return Record(bExtent, bSize, 0, Id(u"q/r.txt", false)) + Record(0, 0, 0, Id(u"q_r.txt", false)) +
           Record(0, 0, 0, Id(u"x.y", false)) + Record(bExtent, 2048, 2, Id(u"x.y", true));
  }).second;
  for (const bool replace : {false, true}) {
    SCOPED_TRACE(replace);
    burner.ReplaceFile = replace;
    Import();
    const TFEntry* q = burner.FindEntry(burner.FindDirectory("\\SUB"), "q_r.txt");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->IsoSize, replace ? 0 : static_cast<int64_t>(size));
    EXPECT_EQ(q->Imported, !replace);
    EXPECT_TRUE(Logged(">>> SESSION 1: " + SubName() + "\\q_r.txt SKIPPED (ANOTHER ENTRY OF THE FOLDER HAS THIS NAME)",
                       mtError));
    EXPECT_TRUE(Logged(">>> SESSION 1: " + SubName() + "\\x.y SKIPPED (ANOTHER ENTRY OF THE FOLDER HAS THIS NAME)",
                       mtError));
    const std::vector<std::string> sub = Sub();
    EXPECT_EQ(std::count(sub.begin(), sub.end(), "\\q_r.txt"), 1);
    EXPECT_EQ(std::count(sub.begin(), sub.end(), "\\x.y"), 1);
    EXPECT_FALSE(burner.FindEntry(burner.FindDirectory("\\SUB"), "x.y")->IsDirectory());
  }
}

INSTANTIATE_TEST_SUITE_P(Trees, UnsafeNameTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& tree) { return tree.param ? "Joliet" : "Iso"; });

// Only a supplementary descriptor whose escape sequences name UCS-2 (levels
// 1 to 3) is read as Joliet; another (ISO 9660:1999's enhanced descriptor
// has none) gives way to the primary tree.
TEST_F(SessionImportTest, SupplementaryDescriptorIsJolietOnlyWithItsEscapeSequence) {
  burner.AddFile("\\", tmp.write("Mixed Case.txt", "m"), false);
  const TImage image = Build();
  const std::string isoName = burner.RootDir()->FirstEntry->IsoName;
  struct Case {
    std::vector<uint8_t> Escapes;  // bytes 88 on
    bool Joliet;
  };
  for (const Case& c : {Case{{0x25, 0x2F, 0x40}, true}, Case{{0x25, 0x2F, 0x43}, true}, Case{{0x25, 0x2F, 0x45}, true},
                        Case{{0x25, 0x28, 0x42, 0x25, 0x2F, 0x45}, true}, Case{{}, false},
                        Case{{0x25, 0x2F, 0x41}, false}, Case{{0x1B, 0x25, 0x47}, false}}) {
    SCOPED_TRACE(testing::PrintToString(c.Escapes));
    Burn(image, [&](TImage& i, uint32_t) {
      uint8_t* d = Descriptor(i, 2);
      std::memset(d + 88, 0, 32);
      std::copy(c.Escapes.begin(), c.Escapes.end(), d + 88);
    });
    burner.ResetLayout(65535, 8191);
    ASSERT_TRUE(burner.ImportPreviousSession(-1, nullptr));
    EXPECT_EQ(Tree(), std::vector<std::string>{"\\" + (c.Joliet ? std::string("Mixed Case.txt") : isoName)});
  }
}

// Random damage to every metadata sector of a real session: whatever the
// bytes say, the import ends, quickly, without a crash.
TEST_F(SessionImportTest, RandomlyDamagedMetadataNeverHangsOrCrashes) {
  for (const char* dir : {"src/one", "src/one/two", "src/one/two/three", "src/four"})
    tmp.mkdir(dir);
  for (int i = 0; i < 12; ++i)
    tmp.write(Format("src/%s/file with a long name %d.bin", i % 2 ? "one/two" : "four", i), std::string(i * 700, 'x'));
  tmp.write("src/one/two/three/deep.txt", "deep");
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  const TImage pristine = Build();
  const size_t metadataSectors = burner.FirstFileSector;
  Insert("dvd+rw-formatted");
  Write(0, pristine);

  std::mt19937 random(20240611);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  int runs = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    TImage image(pristine.begin(), pristine.begin() + static_cast<std::ptrdiff_t>(metadataSectors * 2048));
    const int mutations = 1 + static_cast<int>(random() % 24);
    for (int m = 0; m < mutations; ++m) {
      const size_t at = 16 * 2048 + random() % (image.size() - 16 * 2048);
      switch (random() % 3) {
        case 0: image[at] = static_cast<uint8_t>(random()); break;
        case 1: image[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
        default: image[at] = random() % 2 ? 0xFF : 0x00; break;
      }
    }
    Write(0, image);
    burner.ResetLayout(65535, 8191);
    const auto began = std::chrono::steady_clock::now();
    (void)burner.ImportPreviousSession(1, nullptr);
    ASSERT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2)) << "run " << runs;
    manager.Sent.clear();
    log.clear();
    ++runs;
  }
  Write(0, pristine);
  burner.ResetLayout(65535, 8191);
  ASSERT_TRUE(burner.ImportPreviousSession(1, nullptr));
  EXPECT_EQ(burner.EntryCount(), 17);
  EXPECT_GT(runs, 100);
}

} // namespace
} // namespace qnzb::test
