// qnzb-cli extract against a disc of the virtual recorder: what already lies
// at the target is never replaced by anything but a regular file's copy nor
// followed out of TARGET, and a signal stops the extraction leaving no
// partial file (the command run as its own program).

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "cli/CliContext.h"
#include "cli/CliFixture.h"
#include "engine/runtime/Clock.h"
#include "platform/ScsiPassThrough.h"
#include "support/SignalRun.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {
namespace {

namespace fs = std::filesystem;

// The disc: a.txt and docs/b.txt in session 1, kept in the state folder so
// that a second process finds it.
class ExtractCommand : public CliTest {
protected:
  ExtractCommand() {
    std::string error;
    recorder_ = vdrive::Recorder::Open(tmp.at("vdrive"), error);
    EXPECT_NE(recorder_, nullptr) << error;
    recorder_->Insert(*vdrive::ParseMediumName("dvd+r"));
    platform::TSimulatedDrive drive;
    drive.Device = recorder_.get();
    drive.Address = platform::SCSI_ADDRESS{};
    EXPECT_TRUE(platform::AttachSimulatedDrive('E', drive));
  }
  ~ExtractCommand() override { platform::DetachAllSimulatedDrives(); }

  void BurnDisc() {
    tmp.write("src/a.txt", "alpha\n");
    tmp.write("src/docs/b.txt", std::string(70000, 'b'));
    const TCliRun run = Run({"burn", tmp.at("src")});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  TScopedEnv drives_{"QNZB_DRIVES", std::string()};
  TScopedEnv vdrive_{"QNZB_VDRIVE", tmp.at("vdrive")};
  TScopedVirtualClock clock_;
  std::unique_ptr<vdrive::Recorder> recorder_;
};

std::string Kind(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    return "missing";
  if (S_ISLNK(st.st_mode))
    return "link";
  if (S_ISFIFO(st.st_mode))
    return "fifo";
  if (S_ISCHR(st.st_mode))
    return "device";
  if (S_ISDIR(st.st_mode))
    return "folder";
  return "file:" + readFile(path);
}

TEST_F(ExtractCommand, WhatIsInTheWayIsReportedAndLeftAsItIs) {
  BurnDisc();
  struct Case {
    const char* What;
    std::function<void(const TempDir&)> Make;  // prepares out/
    std::vector<std::string> Args;             // after "extract --session 1"
    std::string InTheWay;                      // relative to the scratch folder
    std::string Message;                       // after "qnzb-cli: not extracted: "
    std::string Extracted;                     // a file the rest of the run still wrote
  };
  const std::vector<Case> cases = {
      {"a pipe as the target of a file",
       [](const TempDir& t) { ASSERT_EQ(::mkfifo(t.at("out").c_str(), 0600), 0); },
       {"a.txt", "out"}, "out", "a.txt: out exists and is not a regular file", ""},
      {"a pipe in the target folder",
       [](const TempDir& t) { ASSERT_EQ(::mkfifo(t.mkdir("out").append("/a.txt").c_str(), 0600), 0); },
       {"/", "out"}, "out/a.txt", "a.txt: out/a.txt exists and is not a regular file",
       "out/docs/b.txt"},
      {"a file where a folder goes", [](const TempDir& t) { t.write("out/docs", "mine"); }, {"/", "out"},
       "out/docs", "docs: out/docs exists and is not a folder", "out/a.txt"},
      {"a link out of the target where a folder goes",
       [](const TempDir& t) { fs::create_directory_symlink(t.mkdir("elsewhere"), t.mkdir("out") + "/docs"); },
       {"/", "out"}, "out/docs", "docs: out/docs exists and is not a folder", "out/a.txt"},
      {"a link to /dev/null where a file goes",
       [](const TempDir& t) { fs::create_symlink("/dev/null", t.mkdir("out/docs").append("/b.txt")); },
       {"/", "out"}, "out/docs/b.txt",
       "docs/b.txt: out/docs/b.txt exists and is not a regular file", "out/a.txt"},
  };
  // Relative paths, as a user types them.
  struct TInFolder {
    explicit TInFolder(const std::string& dir) : was(fs::current_path()) { fs::current_path(dir); }
    ~TInFolder() { fs::current_path(was); }
    fs::path was;
  };
  std::optional<TInFolder> inScratch(std::in_place, tmp.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove_all(tmp.at("out"));
    fs::remove_all(tmp.at("elsewhere"));
    c.Make(tmp);
    const std::string before = Kind(tmp.at(c.InTheWay));
    std::vector<std::string> args = {"extract", "--session", "1"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const TCliRun run = Run(args);
    EXPECT_EQ(run.status, cli::ExitFailure) << run.err;
    EXPECT_NE(run.err.find("qnzb-cli: not extracted: " + c.Message +
                           " (left as it is: move it aside or choose another TARGET)\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(Kind(tmp.at(c.InTheWay)), before);
    if (!c.Extracted.empty()) {
      EXPECT_NE(Kind(tmp.at(c.Extracted)), "missing");
    }
    EXPECT_TRUE(!fs::exists(tmp.at("elsewhere")) || fs::is_empty(tmp.at("elsewhere")));
  }
  inScratch.reset();

  // The user's own "a.txt.part" beside the target stays as it was.
  fs::remove_all(tmp.at("out"));
  tmp.write("out/a.txt.part", "the user's own");
  const TCliRun run = Run({"extract", "--session", "1", "a.txt", tmp.at("out")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(tmp.at("out/a.txt")), "alpha\n");
  EXPECT_EQ(readFile(tmp.at("out/a.txt.part")), "the user's own");
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.at("out")), fs::directory_iterator()), 2);
}

#ifdef QNZB_CLI_PATH
// SIGINT, SIGTERM and SIGHUP while a folder is extracted: the command stops
// with 128 + the signal, and neither the file being written nor its side
// file is left.
TEST_F(ExtractCommand, SignalStopsTheExtractionAndLeavesNoPartialFile) {
  constexpr int64_t Size = 64 << 20;
  for (int i = 0; i < 2; ++i)
    tmp.writePattern("big/big" + std::to_string(i) + ".bin", Size, i);
  ASSERT_EQ(Run({"burn", tmp.at("big")}).status, 0);
  std::string error;
  ASSERT_TRUE(recorder_->Save(error)) << error;

  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const std::string out = tmp.mkdir("out" + std::to_string(signal));
    const std::string errFile = tmp.at("err" + std::to_string(signal) + ".txt");
    // Signalled the moment the first side file appears.
    const TSignalRun run = RunAndSignalOnCreate(
        {QNZB_CLI_PATH, "extract", "--virtual", "--session", "1", "/", out}, out, ".big", signal, errFile);
    const std::string& err = run.Err;
    ASSERT_TRUE(run.Seen) << err;
    ASSERT_TRUE(WIFEXITED(run.Status)) << err;
    EXPECT_EQ(WEXITSTATUS(run.Status), 128 + signal) << err;
    EXPECT_NE(err.find("qnzb-cli: OPERATION ABORTED BY USER: "), std::string::npos) << err;
    // A file finished before the signal may stay, whole; nothing else.
    int left = 0;
    for (const auto& item : fs::directory_iterator(out)) {
      ++left;
      EXPECT_FALSE(item.path().filename().string().starts_with(".")) << item.path();
      EXPECT_EQ(fs::file_size(item.path()), static_cast<uintmax_t>(Size)) << item.path();
    }
    EXPECT_LT(left, 2);
  }
}
#endif

} // namespace
} // namespace qnzb::test
