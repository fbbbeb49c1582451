// What users get wrong: paths that are not there, targets that can't be written,
// a boot image that is missing, a file too large for the format. Every case ends
// in bounded time with a message that names the culprit, and a failed build
// leaves no image (or piece of one) behind.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "AcceptanceSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;

// Everything in a folder, sorted, for "nothing was left behind".
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class BadInput : public ::testing::Test {
protected:
  void SetUp() override {
    source = sandbox.dir().mkdir("source");
    tree = {{"keep.txt", PositionPattern(5000, 1)}, {"sub/also.txt", PositionPattern(3, 2)}};
    WriteTree(source, tree);
    target = sandbox.dir().mkdir("target");
  }

  // Extracts `image` and compares it with `expected`.
  void ExpectImageHolds(const std::string& image, const TreeContent& expected) {
    const std::string out = sandbox.dir().at("out");
    const RunResult x = sandbox.Extract(image, out);
    ASSERT_EQ(x.exitCode, 0) << x.Describe();
    const std::vector<std::string> problems = CompareTrees(expected, out);
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
  }

  CliSandbox sandbox;
  std::string source;
  TreeContent tree;
  std::string target;
};

TEST_F(BadInput, MissingSourcePathFailsAndNamesIt) {
  const std::string missing = sandbox.dir().at("no such folder/nor file.txt");
  // Alone, and next to a good folder: a build that quietly leaves out what the
  // user asked for is no success either.
  const std::vector<std::vector<std::string>> sources = {{missing}, {source, missing}};
  for (const auto& paths : sources) {
    SCOPED_TRACE(paths.size() == 1 ? "alone" : "with a good folder");
    const std::string image = target + "/out.iso";
    std::vector<std::string> args{"build-iso", image, "--save-path", "unchecked"};
    args.insert(args.end(), paths.begin(), paths.end());
    const RunResult r = sandbox.Cli(args);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0) << r.Describe();
    EXPECT_NE(r.exitCode, 0) << r.Describe();
    EXPECT_NE(r.err.find(missing), std::string::npos) << "the message names the path:\n" << r.Describe();
    EXPECT_TRUE(Listing(target).empty()) << ::testing::PrintToString(Listing(target));
  }
}

// A target that can't be written: its folder is missing, it is a folder, or the
// writes fail part way (a file size limit stands in for a full disk). No partial
// image may stay behind.
TEST_F(BadInput, UnwritableTargetFailsWithoutPartialFile) {
  const std::string big = PositionPattern(3 << 20, 5);
  WriteTree(source, {{"big.bin", big}});

  struct Case {
    std::string name;
    std::string image;
    RunOptions options;
  };
  std::vector<Case> cases;
  cases.push_back({"missing folder", target + "/not/there/out.iso", {}});
  fs::create_directories(target + "/a folder.iso");
  cases.push_back({"target is a folder", target + "/a folder.iso", {}});
  RunOptions limited;
  limited.fileSizeLimit = 1 << 20;
  cases.push_back({"writes fail part way", target + "/out.iso", limited});
  if (::geteuid() != 0) {
    // Permission bits hold back only users other than root.
    fs::create_directories(target + "/read-only");
    fs::permissions(target + "/read-only", fs::perms::owner_read | fs::perms::owner_exec);
    cases.push_back({"read-only folder", target + "/read-only/out.iso", {}});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> before = Listing(target);
    const RunResult r = sandbox.Cli({"build-iso", c.image, "--save-path", "unchecked", source}, c.options);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0) << r.Describe();
    EXPECT_NE(r.exitCode, 0) << r.Describe();
    EXPECT_FALSE(r.err.empty()) << "an error text on failure";
    EXPECT_FALSE(fs::is_regular_file(c.image)) << "partial image left at " << c.image;
    EXPECT_EQ(Listing(target), before) << "something was left in the target folder";
  }
}

// Named on the command line a missing boot image is a wrong command line; the
// settings file's one is left out with a warning.
TEST_F(BadInput, MissingBootImageBuildsWithoutBootRecord) {
  const std::string boot = sandbox.dir().at("missing-boot.img");
  const std::string image = target + "/out.iso";
  const RunResult named = sandbox.Cli({"build-iso", image, "--save-path", "unchecked", "--boot", boot, source});
  EXPECT_EQ(named.exitCode, 2) << named.Describe();
  EXPECT_FALSE(fs::exists(image));

  sandbox.dir().write("QNZB.ini", "[Options]\nBootable=1\nBootImage=" + boot + "\n");
  const RunResult r = sandbox.Cli({"build-iso", image, "--save-path", "unchecked", source});
  EXPECT_EQ(r.exitCode, 0) << r.Describe();
  EXPECT_NE(r.err.find("missing-boot.img"), std::string::npos) << "the log tells the boot image is missing:\n"
                                                                 << r.Describe();
  ASSERT_TRUE(fs::exists(image));
  const ImageBytes img = ImageBytes::Load(image);
  // No boot record: the Joliet descriptor moves up to 17, the terminator to 18.
  EXPECT_EQ(img.U8(17 * SectorSize), 2);
  EXPECT_EQ(img.U8(18 * SectorSize), 0xFF);
  ExpectImageHolds(image, tree);
}

// A file of 4 GiB does not fit the 32-bit size of a directory record: it is left
// out with a message that names it, and everything else is built.
TEST_F(BadInput, FileOf4GiBIsRefusedAndTheRestIsBuilt) {
  sandbox.dir().writeSparse("source/huge.bin", int64_t{1} << 32);
  const std::string image = target + "/out.iso";
  const RunResult r = sandbox.Cli({"build-iso", image, "--save-path", "unchecked", source});
  EXPECT_FALSE(r.timedOut) << r.Describe();
  EXPECT_EQ(r.signal, 0) << r.Describe();
  EXPECT_NE(r.err.find("huge.bin"), std::string::npos) << "the message names the file:\n" << r.Describe();
  ASSERT_TRUE(fs::exists(image)) << r.Describe();
  EXPECT_LT(fs::file_size(image), 1u << 20) << "the huge file must not be in the image";
  ExpectImageHolds(image, tree);
}

// Two builds of different trees into one OUT at the same moment, each
// mode: each writes its own side file, both succeed, and OUT is one whole
// image or the other, never a mix of the two.
TEST_F(BadInput, TwoBuildsOfOneImageNeverShareAFile) {
  const std::string other = sandbox.dir().mkdir("other");
  const TreeContent otherTree{{"different.bin", PositionPattern(3 << 20, 7)}, {"x/y.txt", PositionPattern(9, 8)}};
  WriteTree(other, otherTree);
  for (const char* mode : {"--quick", "--cache-size=2M"}) {
    SCOPED_TRACE(mode);
    const std::string image = target + "/same.iso";
    auto build = [&](const std::string& from) {
      return sandbox.Cli({"build-iso", mode, "--save-path", "unchecked", image, from});
    };
    auto first = std::async(std::launch::async, build, source);
    auto second = std::async(std::launch::async, build, other);
    const RunResult a = first.get();
    const RunResult b = second.get();
    EXPECT_EQ(a.exitCode, 0) << a.Describe();
    EXPECT_EQ(b.exitCode, 0) << b.Describe();
    EXPECT_EQ(Listing(target), std::vector<std::string>{"same.iso"});
    const std::string out = sandbox.dir().at(std::string("read") + mode);
    ASSERT_EQ(sandbox.Extract(image, out).exitCode, 0);
    const bool isFirst = CompareTrees(tree, out).empty();
    const bool isSecond = CompareTrees(otherTree, out).empty();
    EXPECT_TRUE(isFirst != isSecond) << "the image is neither tree whole";
  }
}

} // namespace
} // namespace qnzb::acceptance
