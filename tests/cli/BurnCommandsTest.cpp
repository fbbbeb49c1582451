// qnzb-cli burn, burn-iso, sessions, ls and extract against a virtual
// recorder attached in-process, with the engine's waits on a virtual clock.

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

#include "cli/CliContext.h"
#include "cli/CliFixture.h"
#include "cli/RawSession.h"
#include "engine/runtime/Clock.h"
#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {
namespace {

// The recorder behind a log of every command it got and the bytes sent with it.
class TLoggedDrive final : public SimulatedDevice {
public:
  struct TSent {
    std::vector<uint8_t> Cdb, Data;
  };
  explicit TLoggedDrive(SimulatedDevice& drive) : drive_(drive) {}
  ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                      std::span<uint8_t> sense) override {
    {
      const std::lock_guard lock(mutex_);
      sent_.push_back({{cdb.begin(), cdb.end()},
                       direction == ScsiDirection::Out ? std::vector<uint8_t>(data.begin(), data.end())
                                                       : std::vector<uint8_t>()});
    }
    return drive_.Execute(cdb, data, direction, sense);
  }
  std::vector<TSent> Sent(std::optional<uint8_t> opcode = std::nullopt) const {
    const std::lock_guard lock(mutex_);
    std::vector<TSent> found;
    std::copy_if(sent_.begin(), sent_.end(), std::back_inserter(found),
                 [&](const TSent& s) { return !opcode || s.Cdb[0] == *opcode; });
    return found;
  }
  void Clear() {
    const std::lock_guard lock(mutex_);
    sent_.clear();
  }

private:
  SimulatedDevice& drive_;
  mutable std::mutex mutex_;
  std::vector<TSent> sent_;
};

constexpr uint8_t OpWrite10 = 0x2A, OpModeSelect10 = 0x55, OpCloseTrackSession = 0x5B, OpSetCdSpeed = 0xBB;

class BurnCommands : public CliTest {
protected:
  BurnCommands() {
    platform::TSimulatedDrive drive;
    drive.Device = &logged;
    drive.Address = platform::SCSI_ADDRESS{};
    EXPECT_TRUE(platform::AttachSimulatedDrive('E', drive));
    recorder.Insert(*vdrive::ParseMediumName("cd-r"));
    tmp.write("one/a.txt", "first session\n");
    tmp.write("one/docs/b.txt", std::string(70000, 'b'));
    tmp.write("two/c.txt", "second session\n");
  }
  ~BurnCommands() override { platform::DetachAllSimulatedDrives(); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  TScopedEnv drives_{"QNZB_DRIVES", std::string()};
  TScopedEnv vdrive_{"QNZB_VDRIVE", tmp.at("vdrive")};
  // An image file of `sectors` sectors of a pattern.
  std::string Image(const std::string& name, size_t sectors) const {
    std::string bytes(sectors * 2048, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(i * 7 / 2048 + 1);
    return tmp.write(name, bytes);
  }
  void Blank() { recorder.Insert(*vdrive::ParseMediumName("cd-r")); }

  TScopedVirtualClock clock;
  vdrive::Recorder recorder;
  TLoggedDrive logged{recorder};
};

TEST_F(BurnCommands, AnImageReportsItsOwnSizeAndThePaddingApart) {
  const struct {
    size_t sectors;
    std::vector<std::string> options;
    const char* done;
  } rows[] = {
      {151, {}, "151 sectors of image + 149 sectors of padding"},
      {400, {}, "400 sectors of image"},
      {151, {"--no-post-gap"}, "151 sectors of image"},
  };
  for (const auto& row : rows) {
    Blank();
    std::vector<std::string> args = {"burn-iso", Image("i.iso", row.sectors)};
    args.insert(args.end(), row.options.begin(), row.options.end());
    const TCliRun run = Run(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::string(">>> WRITE/BURNCD PROCESS DONE (") + row.done + ")\n");
  }
}

#if !defined(_WIN32)
TEST_F(BurnCommands, ImagesThatCannotBeBurntAreRefusedBeforeTheDriveIsOpened) {
  const std::string fifo = tmp.at("fifo.iso");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, const char*> rows[] = {
      {tmp.write("empty.iso", ""), "the image file is empty, nothing to burn: "},
      {tmp.mkdir("folder.iso"), "the image file is a folder: "},
      {fifo, "the image file is not a regular file: "},
  };
  for (const auto& [file, message] : rows) {
    logged.Clear();
    const TCliRun run = Run({"burn-iso", file});
    EXPECT_EQ(run.status, cli::ExitFailure);
    EXPECT_EQ(run.err, "qnzb-cli: " + std::string(message) + file + "\n");
    EXPECT_TRUE(logged.Sent().empty()) << file;
  }
}
#endif

TEST_F(BurnCommands, SpeedTextsAreCheckedAndTheSpeedTheDriveTookIsShown) {
  const std::string image = Image("i.iso", 1);
  const struct {
    const char* speed;
    int status;
    std::string shown;  // in the error stream
    uint16_t asked;     // the write speed of SET CD SPEED, KB/s
  } rows[] = {
      {"garbage", cli::ExitUsage, "--speed: not a speed: \"garbage\"", 0},
      {"-4X", cli::ExitUsage, "not a speed", 0},
      {"0.001X", cli::ExitUsage, "not a speed", 0},  // would go out as 0: the maximum
      {"3X", 0, "write speed: 4X (706 KB/s), the drive's nearest to 3X\n", 531},
      {"16x", 0, "write speed: 16X (2,822 KB/s)\n", 2832},
      {"16", 0, "write speed: 16X (2,822 KB/s)\n", 2832},
      {"8.0X", 0, "write speed: 8X (1,411 KB/s)\n", 1416},
      {"max", 0, "write speed: 40X (7,056 KB/s), the drive's fastest\n", 0xFFFF},
      {"99999X", 0, "qnzb-cli: warning: 99999X is faster than this drive writes; its fastest is 40X (7,056 KB/s)\n",
       0xFFFF},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.speed);
    logged.Clear();
    const TCliRun run = Run({"burn-iso", "--test-write", "--speed", row.speed, image});
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_NE(run.err.find(row.shown), std::string::npos) << run.err;
    const auto speeds = logged.Sent(OpSetCdSpeed);
    EXPECT_EQ(row.status != 0, speeds.empty());
    EXPECT_TRUE(std::any_of(speeds.begin(), speeds.end(), [&](const auto& s) {
      return (s.Cdb[4] << 8 | s.Cdb[5]) == row.asked;
    }) || row.status != 0);
  }
  // A notice: quiet hides it.
  EXPECT_EQ(Run({"burn-iso", "-q", "--test-write", "--speed", "3X", image}).err, "");
}

TEST_F(BurnCommands, ASessionThatIsNotOnTheDiscIsRefusedBeforeAnythingIsBurnt) {
  ASSERT_EQ(Run({"burn", tmp.at("one")}).status, 0);
  ASSERT_EQ(Run({"burn", "--import-session", "-1", tmp.at("two")}).status, 0);
  const struct {
    const char* ini;
    std::vector<std::string> options;
    const char* error;
  } rows[] = {
      {"", {"--import-session", "7"}, "no session 7 to import (--import-session): the disc holds 2;"},
      {"ImportSession=1\nSessionNo=7\n", {}, "no session 7 to import (SessionNo of the settings file): the disc holds 2;"},
      {"ImportSession=1\nSessionNo=-3\n", {}, "no session -3 to import"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    Ini(row.ini);
    logged.Clear();
    std::vector<std::string> args = {"burn", tmp.at("two")};
    args.insert(args.end(), row.options.begin(), row.options.end());
    const TCliRun run = Run(args);
    EXPECT_EQ(run.status, cli::ExitFailure);
    EXPECT_NE(run.err.find(row.error), std::string::npos) << run.err;
    EXPECT_TRUE(logged.Sent(OpWrite10).empty());
  }
  Ini("");
  EXPECT_NE(Run({"sessions"}).out.find("\n  002 "), std::string::npos);

  // A blank disc has no last session: -1 imports nothing, 1 is not there.
  Blank();
  TCliRun run = Run({"burn", "--import-session", "1", tmp.at("two")});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("no session 1 to import (--import-session): the disc is blank"), std::string::npos);
  run = Run({"burn", "--import-session", "-1", tmp.at("two")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("the disc holds no session: nothing to import\n"), std::string::npos) << run.err;
}

TEST_F(BurnCommands, ATestWriteSaysSoAndLeavesTheArchiveMarks) {
  TCliRun run = Run({"burn", "--test-write", "--archive-only", tmp.at("one")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, ">>> WRITE/BURNCD PROCESS DONE (TEST WRITE: NOTHING WAS RECORDED; 186 sectors of image + "
                     "114 sectors of padding)\n");
  EXPECT_NE(Run({"ls", "--session", "1"}).err.find("the disc holds no session"), std::string::npos);
  // The real backup that follows still finds every file.
  run = Run({"burn", "--archive-only", tmp.at("one")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(Run({"ls", "--session", "1"}).out.find("  a.txt\n"), std::string::npos);
  // A drive that can't simulate would record for real: refused.
  vdrive::DriveConfig config;
  config.Drive.TestWrite = false;
  recorder.SetConfig(config);
  Blank();
  logged.Clear();
  run = Run({"burn", "--test-write", tmp.at("one")});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("this drive can't do a test write"), std::string::npos) << run.err;
  EXPECT_TRUE(logged.Sent(OpWrite10).empty());
  recorder.SetConfig({});
  if (Run({"burn", "--archive-only", tmp.at("one")}).status == 0)
    GTEST_SKIP() << "the file system keeps no archive marks (no extended attributes)";
}

TEST_F(BurnCommands, TheCommandLineOverridesTheSettingsFile) {
  const std::string image = Image("i.iso", 1);
  const struct {
    const char* ini;
    std::vector<std::string> options;
    bool testWrite, closed;
  } rows[] = {
      {"TestWrite=1\n", {}, true, false},
      {"TestWrite=1\n", {"--no-test-write"}, false, false},
      {"CloseDisc=1\n", {}, false, true},
      {"CloseDisc=1\n", {"--no-close-disc"}, false, false},
      {"", {"--close-disc"}, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ini + ::testing::PrintToString(row.options));
    Blank();
    Ini(row.ini);
    std::vector<std::string> args = {"burn-iso", image};
    args.insert(args.end(), row.options.begin(), row.options.end());
    const TCliRun run = Run(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("TEST WRITE") != std::string::npos, row.testWrite) << run.out;
    const std::string info = Run({"info"}).out;
    EXPECT_EQ(info.find("Sessions : 1") != std::string::npos, !row.testWrite) << info;
    EXPECT_EQ(info.find("Disc Closed") != std::string::npos, row.closed) << info;
  }
  const struct {
    const char* ini;
    std::vector<std::string> options;
    bool verified;
  } verifies[] = {{"", {}, true}, {"Verify=0\n", {}, false}, {"Verify=0\n", {"--verify"}, true}, {"", {"--no-verify"}, false}};
  for (const auto& row : verifies) {
    SCOPED_TRACE(row.ini + ::testing::PrintToString(row.options));
    Blank();
    Ini(row.ini);
    std::vector<std::string> args = {"burn-iso", image};
    args.insert(args.end(), row.options.begin(), row.options.end());
    const TCliRun run = Run(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ((run.out + run.err).find(">>> VERIFY PASSED") != std::string::npos, row.verified) << run.out << run.err;
  }
  EXPECT_EQ(Run({"burn-iso", "--verify", "--no-verify", image}).status, cli::ExitUsage);
  EXPECT_EQ(Run({"burn-iso", "--test-write", "--no-test-write", image}).status, cli::ExitUsage);
  EXPECT_EQ(Run({"burn-iso", "--close-disc", "--no-close-disc", image}).status, cli::ExitUsage);
}

TEST_F(BurnCommands, RecorderOptionsReachTheDrive) {
  const std::string image = Image("i.iso", 1);
  // A write parameters page with byte 2 bit 6 (BUFE) set was selected (the
  // drive's return to idle selects one without).
  const auto underrunFree = [this] {
    const auto pages = logged.Sent(OpModeSelect10);
    return std::any_of(pages.begin(), pages.end(), [](const auto& p) {
      return p.Data.size() > 10 && p.Data[8] == 0x05 && (p.Data[10] & 0x40) != 0;
    });
  };
  // A CD's track and session end with one CLOSE TRACK/SESSION (close the session).
  const auto closed = [this] { return !logged.Sent(OpCloseTrackSession).empty(); };
  const auto readSpeedSent = [this](uint16_t speed) {
    const auto sent = logged.Sent(OpSetCdSpeed);
    return std::any_of(sent.begin(), sent.end(), [&](const auto& s) { return (s.Cdb[2] << 8 | s.Cdb[3]) == speed; });
  };
  const struct {
    std::vector<std::string> options;
    std::function<bool()> holds;
  } rows[] = {
      {{}, [&] { return underrunFree() && closed() && readSpeedSent(0xFFFF); }},
      {{"--no-underrun-protection"}, [&] { return !underrunFree(); }},
      {{"--no-close-track"}, [&] { return !closed(); }},
      {{"--read-speed", "8X"}, [&] { return readSpeedSent(1416) && !readSpeedSent(0xFFFF); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.options));
    Blank();
    logged.Clear();
    std::vector<std::string> args = {"burn-iso", image};
    args.insert(args.end(), row.options.begin(), row.options.end());
    const TCliRun run = Run(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(row.holds());
  }
}

// A burnt session's descriptor carries the identifiers given and the job's
// date (fixed here through SOURCE_DATE_EPOCH); build-iso's are read back by
// peer tools in the acceptance tests.
TEST_F(BurnCommands, TheVolumeCarriesTheIdentifiersAndTheDate) {
  const TScopedEnv epoch("SOURCE_DATE_EPOCH", "1700000000");
  const TCliRun run = Run({"burn", "--system-id", "Sys", "--bibliographic-file", "b.txt", tmp.at("one")});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<uint8_t> pvd(2048);
  ASSERT_TRUE(recorder.ReadBlocks(16, pvd));
  const std::string sector(pvd.begin(), pvd.end());
  EXPECT_EQ(sector.substr(8, 32), "SYS" + std::string(29, ' '));
  EXPECT_EQ(sector.substr(776, 37), "B.TXT" + std::string(32, ' '));
  EXPECT_EQ(sector.substr(813, 34), std::string("2023111422132000\0002023111422132000\0", 34));
  // Longer than its field holds: a wrong command line.
  EXPECT_EQ(Run({"burn", "--system-id", std::string(33, 's'), tmp.at("one")}).status, cli::ExitUsage);
}

TEST_F(BurnCommands, TwoSessionsListedAndExtracted) {
  TCliRun run = Run({"burn", tmp.at("one")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, ">>> WRITE/BURNCD PROCESS DONE (186 sectors of image + 114 sectors of padding)\n");
  run = Run({"burn", "--import-session", "-1", tmp.at("two")});
  ASSERT_EQ(run.status, 0) << run.err;

  run = Run({"sessions"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')), " Number     Start     Size");
  EXPECT_NE(run.out.find("\n  002 "), std::string::npos) << run.out;

  run = Run({"ls", "--session", "1"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("  a.txt\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("c.txt"), std::string::npos) << run.out;
  run = Run({"ls", "--session", "2", "docs"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("       70000  b.txt\n"), std::string::npos) << run.out;

  // The earlier files come back from the second session's tree.
  run = Run({"extract", "--session", "2", "/", tmp.at("out")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "3 file(s) extracted to " + tmp.at("out") + "\n");
  EXPECT_EQ(Read(tmp.at("out/a.txt")), "first session\n");
  EXPECT_EQ(Read(tmp.at("out/docs/b.txt")), std::string(70000, 'b'));
  EXPECT_EQ(Read(tmp.at("out/c.txt")), "second session\n");
  run = Run({"extract", "--session", "1", "DOCS/B.TXT", tmp.at("out")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Read(tmp.at("out/b.txt")), std::string(70000, 'b'));
}

// -q hides progress and notices, never what the command was asked to show.
TEST_F(BurnCommands, QuietKeepsTheResults) {
  ASSERT_EQ(Run({"burn", "-q", tmp.at("one")}).status, 0);
  const std::vector<std::vector<std::string>> commands = {
      {"info"}, {"sessions"}, {"ls", "--session", "1"}, {"drives"}, {"caps"}, {"ready"}};
  for (std::vector<std::string> args : commands) {
    SCOPED_TRACE(args.front());
    const TCliRun plain = Run(args);
    ASSERT_EQ(plain.status, 0) << plain.err;
    args.push_back("-q");
    const TCliRun quiet = Run(args);
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_NE(plain.out, "");
    EXPECT_EQ(quiet.out, plain.out);
    EXPECT_EQ(quiet.err, "");
  }
  EXPECT_EQ(Run({"ready"}).out, "ready\n");
}

TEST_F(BurnCommands, WhatCannotBeDone) {
  TCliRun run = Run({"ls", "--session", "1"});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("the disc holds no session"), std::string::npos) << run.err;
  ASSERT_EQ(Run({"burn", tmp.at("one")}).status, 0);
  run = Run({"ls", "--session", "3"});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("no session 3: the disc holds 1"), std::string::npos) << run.err;
  run = Run({"extract", "--session", "1", "nothing/here.txt", tmp.at("out")});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("not in session 1: nothing/here.txt"), std::string::npos) << run.err;
  run = Run({"burn-iso", tmp.at("missing.iso")});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("CAN'T OPEN FILE \"" + tmp.at("missing.iso") + "\" OR FILE IS IN USES BY OTHER SOFTWARE"),
            std::string::npos)
      << run.err;
  tmp.mkdir("empty");
  run = Run({"burn", tmp.at("empty")});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("nothing to burn"), std::string::npos) << run.err;
}

TEST_F(BurnCommands, ImageBurnGoesToTheStartOfABlankDisc) {
  ASSERT_EQ(Run({"build-iso", "--quick", tmp.at("image.iso"), tmp.at("one")}).status, 0);
  const TCliRun run = Run({"burn-iso", tmp.at("image.iso")});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string image = Read(tmp.at("image.iso"));
  std::vector<uint8_t> disc(image.size());
  ASSERT_TRUE(recorder.ReadBlocks(0, disc));
  EXPECT_TRUE(std::equal(disc.begin(), disc.end(), image.begin(), [](uint8_t a, char b) {
    return a == static_cast<uint8_t>(b);
  }));
}

// A sequential DVD-RW that already holds a session (written by another
// program) is not quick-formatted, which would erase it: the burn goes after
// its last session.
TEST_F(BurnCommands, ASequentialDvdRwWithASessionIsAppendedToNotErased) {
  recorder.Insert(*vdrive::ParseMediumName("dvd-rw"));
  // Incremental writing, multi-session 11b, fixed packets of 16.
  WriteRawSession(recorder, 0x20, 0xC5, 16, 32, 0x5A);
  const std::vector<uint8_t> data(32 * 2048, 0x5A);

  const TCliRun burn = Run({"burn", tmp.at("two")});
  ASSERT_EQ(burn.status, 0) << burn.err;
  EXPECT_FALSE(recorder.State().Medium.Restricted());
  std::vector<uint8_t> first(32 * 2048);
  ASSERT_TRUE(recorder.ReadBlocks(0, first));
  EXPECT_EQ(first, data);
  const TCliRun sessions = Run({"sessions"});
  EXPECT_NE(sessions.out.find("\n  002 "), std::string::npos) << sessions.out;
  const TCliRun list = Run({"ls", "--session", "2"});
  EXPECT_NE(list.out.find("  c.txt\n"), std::string::npos) << list.out << list.err;
}

} // namespace
} // namespace qnzb::test
