// Discs whose names would write outside the target, and discs whose
// supplementary descriptor is not Joliet, burnt onto the virtual recorder and
// read back by `ls` and `extract`.
//
// The hostile disc is an image of our own `build-iso` whose Joliet records
// are patched in place (same lengths) to "../../../evil.txt", "/name", "a\b",
// ".", "..", a control character and a NUL unit; the import must list and
// extract them under safe names, inside TARGET, and must not carry them into
// the next session (read back by xorriso and isoinfo). The ISO
// 9660:1999 discs are made by genisoimage:
//   genisoimage -iso-level 4 -o x.iso tree   (an enhanced descriptor, no Joliet)
//   genisoimage -J -o x.iso tree
//   genisoimage -iso-level 4 -J -o x.iso tree (the enhanced descriptor first)
//
// Real-clock runs of the command line; the media run side by side in threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;

// A name of the source tree and what its Joliet record is patched to.
struct THostileName {
  std::string Source;     // first component of the source path; a folder when Folder
  bool Folder;
  std::u16string OnDisc;  // as many units as the recorded name (a file's "." included)
  std::string Safe;       // what ls and extract show
  std::string Shown;      // the recorded name in the log line; empty: not changed
};

const std::vector<THostileName>& HostileNames() {
  static const std::vector<THostileName> names = {
      {"p1xxxxxxxevil.txt", false, u"../../../evil.txt", ".._.._.._evil.txt", "../../../evil.txt"},
      {"Qqnzbabs.txt", false, u"/qnzbabs.txt", "_qnzbabs.txt", "/qnzbabs.txt"},
      {"a-b.txt", false, u"a\\b.txt", "a_b.txt", "a\\b.txt"},
      {"d", true, u".", "_", "."},
      {"dd", true, u"..", "__", ".."},
      {"ctlQx.txt", false, u"ctl\x1Bx.txt", "ctl_x.txt", "ctl\\x1Bx.txt"},
      {"nulQx.txt", false, std::u16string(u"nul\0x.txt", 9), "nul_x.txt", "nul\\x00x.txt"},
      // Readers that drop a file name's last full stop make it "..".
      {"ab", false, u"...", "___", "..."},
  };
  return names;
}

TreeContent HostileSource() {
  TreeContent tree;
  uint32_t seed = 300;
  for (const THostileName& n : HostileNames()) {
    tree[n.Folder ? n.Source + "/in" + n.Source + ".txt" : n.Source] = PositionPattern(1000 + seed, seed);
    ++seed;
  }
  return tree;
}

// The source tree under the names the import gives.
TreeContent SafeTree(const TreeContent& source) {
  TreeContent tree;
  for (const auto& [rel, content] : source) {
    const std::string first = rel.substr(0, rel.find('/'));
    for (const THostileName& n : HostileNames())
      if (n.Source == first)
        tree[n.Safe + rel.substr(first.size())] = content;
  }
  return tree;
}

std::string Utf16Be(const std::u16string& units) {
  std::string out;
  for (const char16_t u : units) {
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  }
  return out;
}

// Patches the Joliet records of `image` (a file) whose names are a hostile
// row's source name; the problems found.
std::vector<std::string> PatchJolietNames(const std::string& image) {
  std::string bytes = test::readFile(image);
  const ImageBytes view(bytes);  // a copy: read while `bytes` is patched
  uint64_t svd = 0;
  for (uint32_t s = 16; s < 32 && view.U8(s * SectorSize) != 0xFF; ++s)
    if (view.U8(s * SectorSize) == 2)
      svd = s * SectorSize;
  if (svd == 0)
    return {"no supplementary descriptor in " + image};
  std::set<std::string> patched;
  std::vector<uint32_t> dirs = {view.U32LE(svd + 158)};  // every folder here fits one sector
  while (!dirs.empty()) {
    const uint64_t sector = uint64_t{dirs.back()} * SectorSize;
    dirs.pop_back();
    // Past "." and "..".
    uint64_t at = sector + view.U8(sector);
    at += view.U8(at);
    for (; at < sector + SectorSize && view.U8(at) != 0; at += view.U8(at)) {
      const std::string id(view.Range(at + 33, view.U8(at + 32)));
      const bool folder = view.U8(at + 25) & 0x02;
      if (folder)
        dirs.push_back(view.U32LE(at + 2));
      for (const THostileName& n : HostileNames()) {
        const std::string name = Utf16Be(std::u16string(n.Source.begin(), n.Source.end()) +
                                         (n.Folder || n.Source.find('.') != std::string::npos ? u"" : u"."));
        if (n.Folder != folder || id != name + (folder ? "" : Utf16Be(u";1")))
          continue;
        const std::string onDisc = Utf16Be(n.OnDisc);
        if (onDisc.size() != name.size())
          return {n.Source + ": the patched name must keep the length"};
        bytes.replace(at + 33, onDisc.size(), onDisc);
        patched.insert(n.Source);
      }
    }
  }
  if (patched.size() != HostileNames().size())
    return {"only " + std::to_string(patched.size()) + " names patched"};
  std::ofstream(image, std::ios::binary | std::ios::trunc) << bytes;
  return {};
}

// Every path below `root`, relative.
std::set<std::string> PathsBelow(const std::string& root) {
  std::set<std::string> paths;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    paths.insert(fs::relative(it->path(), root).generic_string());
  return paths;
}

// The names of the session at `start` that a reader would take for a path,
// a control sequence or a folder of its own, as isoinfo lists both trees.
std::vector<std::string> UnsafeNames(const CliSandbox& sandbox, const std::string& disc, uint32_t start) {
  std::vector<std::string> found;
  for (const bool joliet : {false, true}) {
    std::vector<std::string> argv = {"isoinfo", "-f", "-i", disc, "-T", std::to_string(start)};
    if (joliet)
      argv.push_back("-J");
    const RunResult r = sandbox.Tool(argv);
    if (r.exitCode != 0 || r.out.empty())
      return {"isoinfo failed: " + r.Describe()};
    for (const std::string& path : LinesStartingWith(r.out, "")) {
      for (size_t at = 1, end = 0; at <= path.size(); at = end + 1) {
        end = std::min(path.find('/', at), path.size());
        const std::string name = path.substr(at, std::min(end, path.find(';', at)) - at);
        if (name == "." || name == ".." || std::any_of(name.begin(), name.end(), [](char c) {
              return c == '\\' || (c >= 0 && c < 0x20) || c == 0x7F;
            }))
          found.push_back((joliet ? "Joliet " : "ISO ") + path);
      }
    }
  }
  return found;
}

TEST(HostileDisc, UnsafeNamesAreListedAndExtractedSafelyAndNotCarriedOver) {
  if (!HaveTool("xorriso") || !HaveTool("isoinfo"))
    GTEST_SKIP() << "xorriso or isoinfo is not installed";
  const BurnSandbox sandbox("cd-r");
  const TreeContent source = HostileSource();
  WriteTree(sandbox.dir().mkdir("source"), source);
  const std::string image = sandbox.dir().at("hostile.iso");
  RunResult r = sandbox.Cli({"build-iso", "--quick", "--save-path", "unchecked", image, sandbox.dir().at("source")});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  for (const std::string& p : PatchJolietNames(image))
    FAIL() << p;
  r = sandbox.OnDrive({"burn-iso", image});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  // The check the next session must pass sees what this one holds.
  EXPECT_FALSE(UnsafeNames(sandbox, sandbox.DiscImage(), 0).empty());

  // Listed under their safe names, each change logged; nothing a terminal acts on.
  r = sandbox.OnDrive({"ls", "--session", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  std::set<std::string> listed, wanted;
  for (const std::string& line : LinesStartingWith(r.out, ""))
    listed.insert(line.size() > 35 ? line.substr(35) : "odd line: " + line);
  for (const THostileName& n : HostileNames()) {
    wanted.insert(n.Safe + (n.Folder ? "/" : ""));
    if (!n.Shown.empty()) {
      EXPECT_NE(r.err.find(">>> SESSION 1: NAME \\" + n.Shown + " CHANGED TO " + n.Safe + " (NOT A SAFE FILE NAME)\n"),
                std::string::npos)
          << n.Shown << "\n" << r.err;
    }
  }
  EXPECT_EQ(listed, wanted);
  EXPECT_EQ((r.out + r.err).find_first_of(std::string("\x1B\0", 2)), std::string::npos) << r.Describe();

  // Extracted inside TARGET only: TARGET lies deep enough in the sandbox
  // that "../../../" from it still lands in the sandbox, where the scan sees it.
  const std::string target = sandbox.dir().mkdir("a/b/c/out");
  const bool absoluteThere = fs::exists("/qnzbabs.txt");
  const std::set<std::string> before = PathsBelow(sandbox.dir().path());
  r = sandbox.OnDrive({"extract", "--session", "1", "/", target});
  EXPECT_EQ(r.exitCode, 0) << r.Describe();
  for (const std::string& path : PathsBelow(sandbox.dir().path()))
    if (!before.contains(path) && !path.starts_with("a/b/c/out/") && !path.starts_with("vdrive/"))
      ADD_FAILURE() << "created outside TARGET: " << path;
  EXPECT_EQ(fs::exists("/qnzbabs.txt"), absoluteThere);
  for (const std::string& p : CompareTrees(SafeTree(source), target))
    ADD_FAILURE() << "extract: " << p;

  // The next session carries the files over under their safe names only.
  const TreeContent added{{"new.txt", PositionPattern(3000, 399)}};
  WriteTree(sandbox.dir().mkdir("next"), added);
  r = sandbox.OnDrive({"burn", "--import-session", "-1", "--save-path", "unchecked", sandbox.dir().at("next")});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  std::vector<std::string> problems;
  const std::vector<SessionRow> rows = sandbox.Sessions(problems);
  ASSERT_EQ(rows.size(), 2u) << testing::PrintToString(problems);
  TreeContent carried = SafeTree(source);
  carried.insert(added.begin(), added.end());
  for (const std::string& p : sandbox.CheckSession(2, rows[1].Start, carried, "carried"))
    problems.push_back(p);
  for (const std::string& p : UnsafeNames(sandbox, sandbox.DiscImage(), rows[1].Start))
    problems.push_back("session 2: " + p);
  for (const std::string& p : problems)
    ADD_FAILURE() << p;
}

struct TForeignImage {
  const char* Name;
  std::vector<std::string> Options;  // genisoimage's
};

// Only a Joliet supplementary descriptor is read as Joliet: an ISO
// 9660:1999 enhanced descriptor gives way to the primary tree, whose names
// that level keeps as they are.
std::vector<std::string> ReadForeignImage(const TForeignImage& kind) {
  const BurnSandbox sandbox("cd-r");
  const TreeContent tree{{"A long Name.txt", PositionPattern(5000, 501)},
                         {"sub/lower case.txt", PositionPattern(70000, 502)}};
  WriteTree(sandbox.dir().mkdir("tree"), tree);
  const std::string image = sandbox.dir().at("foreign.iso");
  std::vector<std::string> argv = {"genisoimage", "-quiet"};
  argv.insert(argv.end(), kind.Options.begin(), kind.Options.end());
  argv.insert(argv.end(), {"-o", image, sandbox.dir().at("tree")});
  RunResult r = sandbox.Tool(argv);
  if (r.exitCode != 0)
    return {std::string(kind.Name) + ": genisoimage failed: " + r.Describe()};
  r = sandbox.OnDrive({"burn-iso", image});
  if (r.exitCode != 0)
    return {std::string(kind.Name) + ": burn-iso failed: " + r.Describe()};
  return sandbox.CheckSession(1, 0, tree, kind.Name);
}

TEST(HostileDisc, SupplementaryDescriptorIsJolietOnlyWhenItSaysSo) {
  if (!HaveTool("genisoimage") || !HaveTool("xorriso"))
    GTEST_SKIP() << "genisoimage or xorriso is not installed";
  const std::vector<TForeignImage> kinds = {{"iso-level-4", {"-iso-level", "4"}},
                                            {"joliet", {"-J"}},
                                            {"iso-level-4-and-joliet", {"-iso-level", "4", "-J"}}};
  std::vector<std::future<std::vector<std::string>>> runs;
  for (const TForeignImage& kind : kinds)
    runs.push_back(std::async(std::launch::async, [kind] { return ReadForeignImage(kind); }));
  for (auto& run : runs)
    for (const std::string& p : run.get())
      ADD_FAILURE() << p;
}

} // namespace
} // namespace qnzb::acceptance
