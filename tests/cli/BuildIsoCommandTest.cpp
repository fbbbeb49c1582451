// qnzb-cli build-iso run in-process: usage errors, bad paths and targets,
// settings from QNZB.ini under the command-line options, what goes where on
// the two output streams, and the exit status.

#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "cli/CliContext.h"
#include "cli/CliFixture.h"

namespace qnzb::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t Sector = 2048;

// Volume descriptor type of an image's sector (16 = primary, then boot record 0,
// Joliet 2, terminator 255).
int DescriptorType(const std::string& image, size_t sector) {
  return image.size() > sector * Sector ? static_cast<uint8_t>(image[sector * Sector]) : -1;
}

// The primary descriptor's volume identifier, trailing blanks dropped.
std::string VolumeId(const std::string& image) {
  if (image.size() < 17 * Sector)
    return "<no image>";
  std::string id = image.substr(16 * Sector + 40, 32);
  return id.substr(0, id.find_last_not_of(' ') + 1);
}

TEST_F(CliTest, CommandLineMistakesExitWithUsageStatus) {
  const std::string src = tmp.write("src/a.txt", "a");
  const struct {
    std::vector<std::string> args;
    int status;
    const char* said;  // on standard output for 0, else on standard error
  } rows[] = {
      {{"--help"}, 0, "build-iso"},
      {{"build-iso", "--help"}, 0, "--save-path"},
      {{}, 2, "a command is required"},
      {{"--verbose"}, 2, "a command is required"},
      {{"frobnicate"}, 2, "frobnicate"},
      {{"build-iso"}, 2, "OUT is required"},
      {{"build-iso", "x.iso"}, 2, "PATH is required"},
      {{"build-iso", "--save-path", "half", "x.iso", src}, 2, "--save-path"},
      {{"build-iso", "--cache-size", "-1", "x.iso", src}, 2, "--cache-size"},
      {{"build-iso", "--cache-size", "2G", "x.iso", src}, 2, "--cache-size"},
      {{"build-iso", "--cache-size", "lots", "x.iso", src}, 2, "--cache-size"},
      {{"--verbose", "--quiet", "build-iso", "x.iso", src}, 2, "--quiet"},
      {{"build-iso", "--bogus", "x.iso", src}, 2, "--bogus"},
  };
  for (const auto& row : rows) {
    const TCliRun run = Run(row.args);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_NE((row.status == 0 ? run.out : run.err).find(row.said), std::string::npos) << run.out << run.err;
  }
  EXPECT_FALSE(fs::exists("x.iso"));
}

TEST_F(CliTest, BuildPrintsOneSummaryLineThatMatchesTheFile) {
  tmp.write("src/a.txt", std::string(3000, 'a'));
  tmp.write("src/sub/b", "b");
  const std::string out = tmp.at("out.iso");
  const TCliRun run = Run({"build-iso", out, tmp.at("src")});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto bytes = fs::file_size(out);
  ASSERT_EQ(bytes % Sector, 0u);
  EXPECT_EQ(run.out, out + ": " + std::to_string(bytes / Sector) + " sectors, " + std::to_string(bytes) + " bytes\n");
  EXPECT_NE(run.err.find(">>> START BUILDING .ISO FILE"), std::string::npos);

  // Quiet: the summary line alone, also when the switch follows the subcommand.
  const TCliRun quiet = Run({"build-iso", out, tmp.at("src"), "--quiet"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, run.out);
  EXPECT_EQ(quiet.err, "");
}

#if !defined(_WIN32)
TEST_F(CliTest, PathsThatCannotBeBuiltFailBeforeAnythingIsWritten) {
  const std::string keep = tmp.write("src/keep.txt", "precious");
  tmp.mkdir("empty");
  tmp.mkdir("target.iso");
  ASSERT_EQ(::mkfifo(tmp.at("pipe").c_str(), 0600), 0);
  const struct {
    std::vector<std::string> args;
    const char* said;
  } rows[] = {
      {{"build-iso", tmp.at("o.iso"), tmp.at("src"), tmp.at("missing.txt")}, "no such file or folder: "},
      {{"build-iso", tmp.at("o.iso"), tmp.at("src/gone/")}, "no such file or folder: "},
      {{"build-iso", tmp.at("o.iso"), ""}, "empty PATH"},
      {{"build-iso", tmp.at("o.iso"), tmp.at("pipe")}, "not a regular file or folder: "},
      {{"build-iso", tmp.at("o.iso"), tmp.at("empty")}, "nothing to build"},
      {{"build-iso", tmp.at("target.iso"), tmp.at("src")}, "is a folder"},
      {{"build-iso", keep, keep}, "replace its own source"},
      {{"build-iso", tmp.at("no/such/dir/o.iso"), tmp.at("src")}, "o.iso"},
      // Never replaced by a regular file: a pipe, a device.
      {{"build-iso", tmp.at("pipe"), tmp.at("src")}, "not a regular file"},
      {{"build-iso", "/dev/null", tmp.at("src")}, "not a regular file"},
  };
  for (const auto& row : rows) {
    const TCliRun run = Run(row.args);
    EXPECT_EQ(run.status, 1) << row.said;
    EXPECT_EQ(run.out, "");
    // The reason is the last line; log lines may precede it.
    const size_t last = run.err.rfind('\n', run.err.size() - 2);
    const std::string reason = run.err.substr(last == std::string::npos ? 0 : last + 1);
    EXPECT_EQ(reason.rfind("qnzb-cli: ", 0), 0u) << run.err;
    EXPECT_NE(reason.find(row.said), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fs::exists(tmp.at("o.iso")));
  EXPECT_EQ(readFile(keep), "precious");
  // The first bad path is named as given.
  EXPECT_NE(Run({"build-iso", tmp.at("o.iso"), "rel/none"}).err.find("no such file or folder: rel/none\n"),
            std::string::npos);
}
#endif

TEST_F(CliTest, SettingsFileGivesDefaultsAndOptionsOverrideThem) {
  tmp.write("src/a.txt", "a");
  const std::string out = tmp.at("o.iso");
  const struct {
    const char* ini;
    std::vector<std::string> options;
    const char* volume;
    int secondDescriptor;  // 2 with Joliet names, 255 without
  } rows[] = {
      {"", {}, "", 2},
      {"VolumeLable=FROMINI\nJolietFS=0\n", {}, "FROMINI", 255},
      {"VolumeLable=FROMINI\nJolietFS=1\n", {"--volume", "OVERRIDE", "--no-joliet"}, "OVERRIDE", 255},
  };
  for (const auto& row : rows) {
    Ini(row.ini);
    std::vector<std::string> args = {"build-iso"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.insert(args.end(), {out, tmp.at("src")});
    ASSERT_EQ(Run(args).status, 0) << row.ini;
    const std::string image = readFile(out);
    EXPECT_EQ(DescriptorType(image, 16), 1);
    EXPECT_EQ(VolumeId(image), row.volume) << row.ini;
    EXPECT_EQ(DescriptorType(image, 17), row.secondDescriptor) << row.ini;
  }
  EXPECT_EQ(readFile(tmp.at("QNZB.ini")), "[Options]\nVolumeLable=FROMINI\nJolietFS=1\n");  // never written
}

TEST_F(CliTest, MissingBootImageIsReportedAndLeftOut) {
  tmp.write("src/a.txt", "a");
  const std::string out = tmp.at("o.iso");
  // Named on the command line: a wrong command line, nothing built.
  const TCliRun named = Run({"build-iso", "--boot", tmp.at("nope.img"), out, tmp.at("src")});
  EXPECT_EQ(named.status, cli::ExitUsage);
  EXPECT_NE(named.err.find(tmp.at("nope.img")), std::string::npos) << named.err;
  EXPECT_FALSE(fs::exists(out));

  // From the settings file: reported even when quiet, as the image differs
  // from what was asked for.
  Ini("Bootable=1\nBootImage=" + tmp.at("nope.img") + "\n");
  const TCliRun run = Run({"build-iso", "--quiet", out, tmp.at("src")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "qnzb-cli: warning: boot image not found, building without a boot record: " +
                         tmp.at("nope.img") + "\n");
  EXPECT_EQ(DescriptorType(readFile(out), 17), 2);  // Joliet follows the primary: no boot record

  Ini("Bootable=1\n");
  EXPECT_NE(Run({"build-iso", out, tmp.at("src")}).err.find("(none given)"), std::string::npos);
}

// A settings path that is no regular file is not read: a FIFO would block
// the command until something wrote to it.
#if !defined(_WIN32)
TEST_F(CliTest, ASettingsPathThatIsNoFileIsNotRead) {
  tmp.write("src/a.txt", "a");
  ASSERT_EQ(::mkfifo(tmp.at("QNZB.ini").c_str(), 0600), 0);
  const TCliRun run = Run({"build-iso", tmp.at("o.iso"), tmp.at("src")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("qnzb-cli: warning: the settings file is not a regular file, so it was not read: " +
                         tmp.at("QNZB.ini") + "\n"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(fs::is_fifo(tmp.at("QNZB.ini")));
}
#endif

TEST_F(CliTest, AnEarlierImageInsideTheSourceIsRefusedAndKept) {
  tmp.write("src/a.txt", std::string(100000, 'a'));
  const std::string out = tmp.at("src/deeper/image.iso");
  tmp.mkdir("src/deeper");
  // Not there yet: the image may go into a source folder.
  const TCliRun first = Run({"build-iso", out, tmp.at("src")});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string image = readFile(out);
  // There now: the second build would read it while replacing it.
  const TCliRun second = Run({"build-iso", out, tmp.at("src")});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("replace its own source file: " + out), std::string::npos) << second.err;
  EXPECT_EQ(readFile(out), image);
}

TEST_F(CliTest, TheImageIsWrittenBesideItsTargetUnderANameOfItsOwn) {
  tmp.write("src/a.txt", "a");
  const std::string out = tmp.at("o.iso");
  // A file of the user's that happens to carry the old side file's name.
  const std::string users = tmp.write("o.iso.part", "mine");
  for (const bool quick : {false, true}) {
    tmp.write("o.iso", "old");
    ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
    std::vector<std::string> args = {"build-iso", out, tmp.at("src")};
    if (quick)
      args.push_back("--quick");
    ASSERT_EQ(Run(args).status, 0);
    EXPECT_EQ(readFile(users), "mine");
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
#if !defined(_WIN32)
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replaced image's permissions";
#endif
    EXPECT_EQ(st.st_size % Sector, 0);
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(tmp.path()))
      left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"src", "o.iso", "o.iso.part"})) << "no side file stays";
  }
}

} // namespace
} // namespace qnzb::test
