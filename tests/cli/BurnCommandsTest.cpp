// qnzb-cli burn, burn-iso, sessions, ls and extract against a virtual
// recorder attached in-process, with the engine's waits on a virtual clock.

#include <fstream>
#include <sstream>

#include "cli/CliContext.h"
#include "cli/CliFixture.h"
#include "cli/RawSession.h"
#include "engine/runtime/Clock.h"
#include "platform/ScsiPassThrough.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {
namespace {

class BurnCommands : public CliTest {
protected:
  BurnCommands() {
    platform::TSimulatedDrive drive;
    drive.Device = &recorder;
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
  TScopedVirtualClock clock;
  vdrive::Recorder recorder;
};

TEST_F(BurnCommands, TwoSessionsListedAndExtracted) {
  TCliRun run = Run({"burn", tmp.at("one")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, ">>> WRITE/BURNCD PROCESS DONE (300 sectors)\n");
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
