// A varied tree built with `qnzb-cli build-iso` and read back by independent
// readers: every file comes back byte for byte under its name, and folders that
// held nothing are gone. One case corrupts a byte to show the comparison bites.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>

#include "AcceptanceSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t MiB = 1 << 20;

// 100 characters exactly: the longest names users keep on their discs.
const std::string LongFileName = "LongFileName_" + std::string(83, 'x') + ".txt";
const std::string LongFolderName = "A folder whose name runs on and on " + std::string(65, 'f');

// The source tree: folders six deep, long and non-ASCII names, names without an
// extension, a hidden file, empty files, and sizes on both sides of a sector.
TreeContent VariedTree() {
  const std::string six = "tree/level2/level3/level4/level5/level6/";
  const std::vector<std::pair<std::string, uint64_t>> files = {
      {"README", 1},
      {"notes.txt", 2047},
      {".hidden_settings", 100},
      {"empty.txt", 0},
      {"Übersicht café.txt", 2048},
      {"Привет мир.dat", 2049},
      {"日本語のファイル.txt", 300},
      {LongFileName, 65536},
      {"big pattern.bin", 3 * MiB + 123},
      {"tree/top.txt", 10},
      {"tree/level2/level3/zero", 0},
      {"tree/level2/Ελληνικά φάκελος/μουσική.mp3", 4096 + 5},
      {six + "deepest file.txt", 777},
      {six + "NoExtensionEither", 2048},
      {LongFolderName + "/inside.txt", 2049},
      {LongFolderName + "/another file with spaces.txt", 1},
  };
  TreeContent tree;
  uint32_t seed = 1;
  for (const auto& [rel, size] : files)
    tree[rel] = PositionPattern(size, seed++);
  return tree;
}

// Folders that hold nothing (or only other empty folders) and must not appear.
const std::vector<std::string> EmptyFolders = {"Empty Folder", "nested empty/inner/innermost"};

class ReadBack : public ::testing::Test {
protected:
  void SetUp() override {
    tree = VariedTree();
    source = sandbox.dir().mkdir("source");
    WriteTree(source, tree);
    for (const std::string& d : EmptyFolders)
      sandbox.dir().mkdir("source/" + d);
    image = sandbox.dir().at("varied.iso");
  }

  // The default build goes through the read-ahead cache; --quick writes on one thread.
  void Build(bool quick = false) {
    std::vector<std::string> args{"build-iso", image, "--save-path", "unchecked", source};
    if (quick)
      args.push_back("--quick");
    const RunResult r = sandbox.Cli(args);
    ASSERT_EQ(r.exitCode, 0) << r.Describe();
    ASSERT_TRUE(fs::exists(image)) << r.Describe();
    ASSERT_EQ(fs::file_size(image) % SectorSize, 0u);
  }

  // Runs a reader and fails the test when it does not succeed.
  void Read(const std::vector<std::string>& argv) {
    const RunResult r = sandbox.Tool(argv);
    ASSERT_EQ(r.exitCode, 0) << argv[0] << ": " << r.Describe();
  }

  CliSandbox sandbox;
  TreeContent tree;
  std::string source;
  std::string image;
};

// ---- the extracting readers

struct Reader {
  std::string name;
  // The command that extracts IMAGE into OUT (an absent folder).
  std::function<std::vector<std::string>(const std::string& image, const std::string& out)> command;
  bool needsOutFolder = false;
  bool keepsTrailingDot = false;  // "README.;1" comes out as "README." rather than "README"
};

void PrintTo(const Reader& reader, std::ostream* os) {
  *os << reader.name;
}

class ExtractingReader : public ReadBack, public ::testing::WithParamInterface<Reader> {};

TEST_P(ExtractingReader, GetsEveryFileBackByteForByte) {
  ASSERT_NO_FATAL_FAILURE(Build());
  const Reader& reader = GetParam();
  const std::string out = sandbox.dir().at("out-" + reader.name);
  if (reader.needsOutFolder)
    fs::create_directories(out);
  ASSERT_NO_FATAL_FAILURE(Read(reader.command(image, out)));
  const std::vector<std::string> problems = CompareTrees(reader.keepsTrailingDot ? AsJolietNames(tree) : tree, out);
  EXPECT_TRUE(problems.empty()) << reader.name << " read back:\n"
                                << ::testing::PrintToString(problems);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ExtractingReader,
    ::testing::Values(
        Reader{"xorriso",
               [](const std::string& img, const std::string& out) {
                 return std::vector<std::string>{"xorriso", "-osirrox", "on", "-indev", img, "-extract", "/", out};
               }},
        Reader{"7z",
               [](const std::string& img, const std::string& out) {
                 return std::vector<std::string>{"7z", "x", "-y", "-o" + out, img};
               }},
        Reader{"bsdtar",
               [](const std::string& img, const std::string& out) {
                 return std::vector<std::string>{"bsdtar", "-xf", img, "-C", out};
               },
               true, true}),
    [](const ::testing::TestParamInfo<Reader>& row) { return row.param.name == "7z" ? std::string("SevenZip") : row.param.name; });

TEST_F(ReadBack, QuickBuildGetsEveryFileBackToo) {
  ASSERT_NO_FATAL_FAILURE(Build(true));
  const std::string out = sandbox.dir().at("out-quick");
  const RunResult x = sandbox.Extract(image, out);
  ASSERT_EQ(x.exitCode, 0) << x.Describe();
  const std::vector<std::string> problems = CompareTrees(tree, out);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
}

// ---- isoinfo, which lists and extracts one file at a time

struct Listed {
  std::string dir;   // "/" or "/A/B/"
  std::string name;  // as isoinfo prints it
  bool isDir = false;
  uint64_t size = 0;
  uint32_t extent = 0;
};

std::vector<Listed> ParseListing(const std::string& text) {
  static const std::regex header(R"(^Directory listing of (/.*)$)");
  static const std::regex entry(R"(^([d-])\S{9}\s+\d+\s+\d+\s+\d+\s+(\d+)\s+.*?\[\s*(\d+)\s+[0-9a-fA-F]+\]\s\s(.*?) ?$)");
  std::vector<Listed> entries;
  std::string dir;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_match(line, m, header)) {
      dir = m[1];
    } else if (std::regex_match(line, m, entry)) {
      Listed e{dir, m[4], m[1] == "d", std::stoull(m[2]), static_cast<uint32_t>(std::stoul(m[3]))};
      if (e.name != "." && e.name != "..")
        entries.push_back(e);
    }
  }
  return entries;
}

// isoinfo turns Joliet names into Latin-1 and prints "_" for every UTF-16 unit
// outside it; expected names are rendered the same way.
std::string AsIsoinfoJolietName(const std::string& utf8) {
  const std::string units = Utf16BE(utf8);
  std::string out;
  for (size_t i = 0; i + 1 < units.size(); i += 2) {
    const unsigned unit = (static_cast<uint8_t>(units[i]) << 8) | static_cast<uint8_t>(units[i + 1]);
    out.push_back(unit <= 0xFF ? static_cast<char>(unit) : '_');
  }
  return out;
}

std::string StripVersion(const std::string& name) {
  return name.size() > 2 && name.ends_with(";1") ? name.substr(0, name.size() - 2) : name;
}

TEST_F(ReadBack, IsoinfoJolietTreeListsAndExtractsEveryFile) {
  ASSERT_NO_FATAL_FAILURE(Build());
  const RunResult listing = sandbox.Tool({"isoinfo", "-i", image, "-J", "-l"});
  ASSERT_EQ(listing.exitCode, 0) << listing.Describe();

  TreeContent expected;
  for (const auto& [rel, content] : AsJolietNames(tree)) {
    std::string mapped;
    std::istringstream parts(rel);
    for (std::string part; std::getline(parts, part, '/');)
      mapped += (mapped.empty() ? "" : "/") + AsIsoinfoJolietName(part);
    expected[mapped] = content;
  }

  const std::string out = sandbox.dir().mkdir("out-isoinfo-J");
  for (const Listed& e : ParseListing(listing.out)) {
    const std::string rel = e.dir.substr(1) + StripVersion(e.name);
    if (e.isDir) {
      fs::create_directories(out + "/" + rel);
      continue;
    }
    const RunResult x = sandbox.Tool({"isoinfo", "-i", image, "-J", "-x", e.dir + e.name});
    ASSERT_EQ(x.exitCode, 0) << e.dir + e.name << ": " << x.Describe();
    EXPECT_EQ(x.out.size(), e.size) << "listed size of " << rel;
    fs::create_directories(fs::path(out + "/" + rel).parent_path());
    std::ofstream(out + "/" + rel, std::ios::binary).write(x.out.data(), static_cast<std::streamsize>(x.out.size()));
  }
  const std::vector<std::string> problems = CompareTrees(expected, out);
  EXPECT_TRUE(problems.empty()) << "isoinfo -J read back:\n" << ::testing::PrintToString(problems);
}

// The plain ISO 9660 tree carries 8.3 aliases, not the source names, so its files
// are matched to their sources by content (every non-empty source file is unique)
// and the folder structure is checked to map one to one.
TEST_F(ReadBack, IsoinfoPlainTreeHoldsEveryFileUnderItsShortName) {
  ASSERT_NO_FATAL_FAILURE(Build());
  const RunResult listing = sandbox.Tool({"isoinfo", "-i", image, "-l"});
  ASSERT_EQ(listing.exitCode, 0) << listing.Describe();
  const std::vector<Listed> entries = ParseListing(listing.out);
  ASSERT_FALSE(entries.empty()) << listing.out;

  std::map<std::string, std::string> sourceByContent;  // non-empty files only
  std::map<std::string, int> emptyFilesPerSourceDir;
  for (const auto& [rel, content] : tree) {
    const std::string dir = fs::path(rel).parent_path().generic_string();
    if (content.empty())
      ++emptyFilesPerSourceDir[dir];
    else
      sourceByContent[content] = rel;
  }

  static const std::regex shortName(R"(^[A-Z0-9_~!#$%&'()@^{}-]{1,8}(\.[A-Z0-9_~!#$%&'()@^{}-]{0,3})?$)");
  std::map<std::string, std::string> sourceDirOfIsoDir{{"/", ""}};
  std::map<std::string, int> emptyFilesPerIsoDir;
  std::set<std::string> found;
  std::set<std::string> isoDirs{"/"};
  std::map<std::string, std::string> isoPathOfSource;
  for (const Listed& e : entries) {
    const std::string bare = StripVersion(e.name);
    EXPECT_TRUE(std::regex_match(bare, shortName)) << "not an upper-case 8.3 name: " << e.dir << e.name;
    if (e.isDir) {
      isoDirs.insert(e.dir + e.name + "/");
      continue;
    }
    EXPECT_TRUE(e.name.ends_with(";1")) << e.dir << e.name;
    const RunResult x = sandbox.Tool({"isoinfo", "-i", image, "-x", e.dir + e.name});
    ASSERT_EQ(x.exitCode, 0) << x.Describe();
    ASSERT_EQ(x.out.size(), e.size) << e.dir << e.name;
    if (x.out.empty()) {
      ++emptyFilesPerIsoDir[e.dir];
      continue;
    }
    const auto match = sourceByContent.find(x.out);
    if (match == sourceByContent.end()) {
      ADD_FAILURE() << e.dir << e.name << " (" << e.size << " bytes) matches no source file";
      continue;
    }
    EXPECT_TRUE(found.insert(match->second).second) << match->second << " appears twice";
    isoPathOfSource[match->second] = e.dir + bare;
    // The ISO folder must stand for exactly one source folder.
    const std::string sourceDir = fs::path(match->second).parent_path().generic_string();
    const auto [it, inserted] = sourceDirOfIsoDir.emplace(e.dir, sourceDir);
    EXPECT_EQ(it->second, sourceDir) << e.dir << " holds files of two source folders";
  }
  for (const auto& [content, rel] : sourceByContent)
    EXPECT_TRUE(found.count(rel)) << "source file not in the ISO tree: " << rel;
  for (const auto& [isoDir, count] : emptyFilesPerIsoDir)
    EXPECT_EQ(count, emptyFilesPerSourceDir[sourceDirOfIsoDir[isoDir]]) << "empty files in " << isoDir;
  // Every folder with content, and no other: the empty ones are gone.
  EXPECT_EQ(isoDirs.size(), FoldersOf(tree).size() + 1) << listing.out;

  // Names that follow from the alias rule without doubt.
  const std::map<std::string, std::string> knownShortNames = {
      {"notes.txt", "/NOTES.TXT"},
      {"README", "/README."},
      {LongFileName, "/LONGFI~1.TXT"},
      {"tree/top.txt", "/TREE/TOP.TXT"},
      {"tree/level2/level3/level4/level5/level6/deepest file.txt", "/TREE/LEVEL2/LEVEL3/LEVEL4/LEVEL5/LEVEL6/DEEPES~1.TXT"},
  };
  for (const auto& [rel, isoPath] : knownShortNames)
    EXPECT_EQ(isoPathOfSource[rel], isoPath) << rel;
}

// The checks above compare bytes: one flipped byte in a file's data is reported,
// and only for that file.
TEST_F(ReadBack, OneCorruptedByteIsCaught) {
  ASSERT_NO_FATAL_FAILURE(Build());
  const RunResult listing = sandbox.Tool({"isoinfo", "-i", image, "-l"});
  ASSERT_EQ(listing.exitCode, 0) << listing.Describe();
  uint32_t extent = 0;
  for (const Listed& e : ParseListing(listing.out))
    if (e.dir == "/" && e.name == "NOTES.TXT;1")
      extent = e.extent;
  ASSERT_GT(extent, 0u) << listing.out;

  std::string bytes = test::readFile(image);
  const uint64_t at = uint64_t{extent} * SectorSize + 1000;
  ASSERT_LT(at, bytes.size());
  bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
  const std::string corrupt = sandbox.dir().write("corrupt.iso", bytes);

  const std::string out = sandbox.dir().at("out-corrupt");
  const RunResult x = sandbox.Extract(corrupt, out);
  ASSERT_EQ(x.exitCode, 0) << x.Describe();
  const std::vector<std::string> problems = CompareTrees(tree, out);
  ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
  EXPECT_NE(problems[0].find("notes.txt"), std::string::npos) << problems[0];
  EXPECT_NE(problems[0].find("offset 1000"), std::string::npos) << problems[0];
}

// ---- placing the compilation: where a folder's contents land in the image

struct Placement {
  std::string name;
  std::vector<std::string> options;
  // Relative path under which Docs/Work/a.txt and Docs/Work/sub/b.txt land; empty: absent.
  std::function<std::string(const std::string& sourceParent)> prefix;
  bool recursive = true;
};

void PrintTo(const Placement& placement, std::ostream* os) {
  *os << placement.name;
}

class PlacementOption : public ::testing::TestWithParam<Placement> {};

TEST_P(PlacementOption, PutsTheFolderWhereTheOptionSays) {
  const Placement& p = GetParam();
  CliSandbox sandbox;
  const std::string work = sandbox.dir().mkdir("Docs/Work");
  WriteTree(work, {{"a.txt", PositionPattern(3000, 1)}, {"sub/b.txt", PositionPattern(10, 2)}});
  const std::string image = sandbox.dir().at("placed.iso");
  std::vector<std::string> args{"build-iso", image};
  args.insert(args.end(), p.options.begin(), p.options.end());
  args.push_back(work);
  const RunResult r = sandbox.Cli(args);
  ASSERT_EQ(r.exitCode, 0) << r.Describe();

  const std::string out = sandbox.dir().at("out");
  const RunResult x = sandbox.Extract(image, out);
  ASSERT_EQ(x.exitCode, 0) << x.Describe();
  const std::string prefix = p.prefix(sandbox.dir().path());
  TreeContent expected{{prefix + "a.txt", PositionPattern(3000, 1)}};
  if (p.recursive)
    expected[prefix + "sub/b.txt"] = PositionPattern(10, 2);
  const std::vector<std::string> problems = CompareTrees(expected, out);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
}

INSTANTIATE_TEST_SUITE_P(
    SavePath, PlacementOption,
    ::testing::Values(
        Placement{"Unchecked", {"--save-path", "unchecked"}, [](const std::string&) { return std::string(); }},
        Placement{"Grayed", {"--save-path", "grayed"}, [](const std::string&) { return std::string("Work/"); }},
        Placement{"Checked", {"--save-path", "checked"},
                  [](const std::string& root) { return root.substr(1) + "/Docs/Work/"; }},
        Placement{"NotRecursive", {"--save-path", "unchecked", "--no-recursive"},
                  [](const std::string&) { return std::string(); }, false}),
    [](const ::testing::TestParamInfo<Placement>& row) { return row.param.name; });

} // namespace
} // namespace qnzb::acceptance
