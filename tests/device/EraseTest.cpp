// Blanking: the commands that start an erase for each medium, the watching
// thread's polls and progress under the virtual clock, the restore of the
// drive, and exactly one OnEraseDone on the main thread.

#include "RecorderDevice.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace qnzb::test {
namespace {

class EraseTest : public RecorderDeviceTest {
protected:
  EraseTest() {
    device.OnEraseDone = [this](TObject* sender, bool withError) {
      EXPECT_TRUE(TThread::IsMainThread());
      EXPECT_EQ(sender, &device);
      EXPECT_FALSE(device.Erasing);
      Done.push_back(withError);
    };
    EXPECT_TRUE(device.ReadCapabilities());
  }
  void RealTime(uint32_t quickBlankMs) {
    vdrive::DriveConfig config;
    config.Time.RealTime = true;
    config.Time.CdQuickBlankMs = quickBlankMs;
    config.Time.DvdQuickBlankMs = quickBlankMs;
    config.Time.FormatMs = quickBlankMs;
    Use(config);
  }

  // Runs the main thread's queue until the erase reported.
  void WaitForDone() {
    for (int i = 0; i < 100000 && Done.empty(); ++i)
      TThread::CheckSynchronize(5);
    ASSERT_EQ(Done.size(), 1u);
  }

  // Opcodes of the requests written so far with the progress at each.
  std::vector<std::pair<uint8_t, int32_t>> Trace() {
    const std::lock_guard lock(traceMutex_);
    return trace_;
  }
  void TraceProgress() {
    OnCommand = [this](const SRB_ExecSCSICmd& r) {
      const std::lock_guard lock(traceMutex_);
      trace_.emplace_back(r.CDBByte[0], device.EraseProgress());
    };
  }

  std::vector<bool> Done;

private:
  std::mutex traceMutex_;
  std::vector<std::pair<uint8_t, int32_t>> trace_;
};

TEST_F(EraseTest, CdRwQuickErasePollsAndRisesByFiveOf150PerStep) {
  RealTime(40000);
  Insert("cd-rw");
  RecordSession(0, 500, 0x77);
  ASSERT_EQ(device.DiscStatus(), 1);
  TraceProgress();
  ASSERT_TRUE(device.StartErase(1));
  EXPECT_TRUE(device.Erasing);
  WaitForDone();
  OnCommand = nullptr;
  EXPECT_FALSE(Done[0]);
  EXPECT_FALSE(device.Erasing);
  EXPECT_EQ(device.EraseProgress(), 0);
  EXPECT_EQ(device.DiscStatus(), 0);

  const auto trace = Trace();
  const auto blank = std::find_if(trace.begin(), trace.end(), [](const auto& t) { return t.first == 0xA1; });
  ASSERT_NE(blank, trace.end());
  std::vector<uint8_t> polls;
  std::vector<int32_t> progress;
  for (auto it = blank + 1; it != trace.end() && it->first != 0x5A; ++it) {
    polls.push_back(it->first);
    if (it->first == 0x51)
      progress.push_back(it->second);
  }
  // TEST UNIT READY finds the drive busy; disc information every 5 s until
  // the 40-second blank is over; then ready, sense clear.
  std::vector<uint8_t> expected{0x00};
  expected.insert(expected.end(), 9, 0x51);
  expected.insert(expected.end(), {0x00, 0x03});
  EXPECT_EQ(polls, expected);
  EXPECT_EQ(progress, (std::vector<int32_t>{0, 3, 7, 10, 13, 17, 20, 23, 27}));

  // Then the drive is put back: data page, slowest write speed, rezero,
  // unlock, load, rezero, ready.
  ASSERT_GE(trace.size(), 6u);
  std::vector<uint8_t> tail;
  for (auto it = trace.end() - 6; it != trace.end(); ++it)
    tail.push_back(it->first);
  EXPECT_EQ(tail, (std::vector<uint8_t>{0xBB, 0x01, 0x1E, 0x1B, 0x01, 0x00}));
  EXPECT_EQ(trace.back().second, 100);
  EXPECT_TRUE(std::any_of(Log.begin(), Log.end(),
                          [](const std::string& l) { return l.starts_with("1 >>> STARTING ERASE PROCESS ON CD-RW AT "); }));
}

TEST_F(EraseTest, RefusedBlankReportsAtOnce) {
  Insert("cd-r");
  EXPECT_FALSE(device.StartErase(1));
  ASSERT_EQ(Done.size(), 1u);
  EXPECT_TRUE(Done[0]);
  EXPECT_FALSE(device.Erasing);
  EXPECT_FALSE(device.LastErrorText.empty());
  EXPECT_TRUE(std::any_of(Log.begin(), Log.end(), [&](const std::string& l) {
    return l.find(device.LastErrorText) != std::string::npos && l.starts_with("4 ");
  }));
}

TEST_F(EraseTest, NoMediumIsNotStartedAndNotReported) {
  Insert("none");
  const uint64_t start = clock.clock().TickCount();
  EXPECT_FALSE(device.StartErase(0));
  EXPECT_TRUE(Done.empty());
  EXPECT_FALSE(device.Erasing);
  // The ready wait gave up within its 30 s, on the virtual clock.
  const uint64_t waited = clock.clock().TickCount() - start;
  EXPECT_GT(waited, 0u);
  EXPECT_LE(waited, 30000u);
}

TEST_F(EraseTest, EveryRewritableMedium) {
  const struct {
    const char* Medium;
    uint8_t Type;
    uint8_t StartCommand;
  } cases[] = {
      {"dvd-rw", 0, 0xA1}, {"dvd-rw", 1, 0xA1},          {"dvd-rw-ro", 1, 0xA1},
      {"dvd+rw", 1, 0x04}, {"dvd+rw-formatted", 0, 0x04}, {"dvd-ram", 0, 0x04},
      {"dvd-ram", 1, 0x2A}, {"cd-rw", 0, 0xA1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Medium << " type " << int(c.Type));
    RealTime(12000);
    Insert(c.Medium);
    Done.clear();
    ForgetSent();
    ASSERT_TRUE(device.StartErase(c.Type)) << device.LastErrorText;
    WaitForDone();
    EXPECT_FALSE(Done[0]);
    const auto codes = Opcodes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), c.StartCommand), codes.end());
    EXPECT_TRUE(device.TestUnitReady(5000)) << device.LastErrorText;
    // Whatever the medium held before, nothing of a file system is left at its start.
    EXPECT_EQ(device.ReadVolumeSize(), 0u);
  }
}

TEST_F(EraseTest, DvdPlusRwQuickEraseOverwritesTheFirst65Pieces) {
  Insert("dvd+rw-formatted");
  TraceProgress();
  ASSERT_TRUE(device.StartErase(1));
  WaitForDone();
  const auto trace = Trace();
  const auto writes = std::count_if(trace.begin(), trace.end(), [](const auto& t) { return t.first == 0x2A; });
  EXPECT_EQ(writes, 65);
  EXPECT_NE(std::find_if(trace.begin(), trace.end(), [](const auto& t) { return t.first == 0x5B; }), trace.end());
}

TEST_F(EraseTest, SecondEraseWhileOneRunsIsRefused) {
  RealTime(60000);
  Insert("cd-rw");
  // Hold the erase thread inside its first poll until the main thread has tried again.
  std::atomic<bool> held = false, release = false;
  std::atomic<int> commands = 0;
  OnCommand = [&](const SRB_ExecSCSICmd& r) {
    ++commands;
    if (r.CDBByte[0] == 0x51 && !release) {
      held = true;
      // Sleeps rather than yields: under Wine a yielding spin starved the waiting thread.
      while (!release)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  ASSERT_TRUE(device.StartErase(1));
  while (!held)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const int before = commands;
  EXPECT_FALSE(device.StartErase(1));
  EXPECT_EQ(commands, before);
  release = true;
  WaitForDone();
}

TEST_F(EraseTest, ADvdPlusRwFormatThatNeverEndsFailsAfterTheBudget) {
  vdrive::DriveConfig config;
  config.Time.RealTime = true;
  config.Time.FormatMs = 100'000'000;  // longer than any erase's budget
  Use(config);
  Insert("dvd+rw-formatted");
  const uint64_t start = clock.clock().TickCount();
  ASSERT_TRUE(device.StartErase(1));
  WaitForDone();
  EXPECT_TRUE(Done[0]);
  // The quick erase's 600 s, polled every 2 s, and nothing written over the format.
  const uint64_t waited = clock.clock().TickCount() - start;
  EXPECT_GE(waited, 600'000u);
  EXPECT_LT(waited, 700'000u);
  EXPECT_EQ(device.LastErrorText,
            "THE DRIVE WAS STILL FORMATTING THE DISC AFTER 602 SECONDS: GIVING UP; ERASE IT AGAIN OR TRY ANOTHER DISC");
  const auto codes = Opcodes();
  EXPECT_EQ(std::find(codes.begin(), codes.end(), 0x2A), codes.end());
}

} // namespace
} // namespace qnzb::test
