// A burn job end to end in-process, on the virtual recorder under a virtual
// clock: the WRITE (10) commands the drive gets (sizes, addresses, retries),
// the closing, and exactly one OnWriteDone on the main thread whatever
// happens, also when the job is aborted at any moment.

#include "image/SessionDisc.h"

#include <atomic>
#include <random>

#include "engine/image/qnCDBCWriter.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/Thread.h"

namespace qnzb::test {
namespace {

class BurnJobTest : public SessionDiscTest {
protected:
  BurnJobTest() {
    TThread::SetMainThread();
    burner.OnWriteDone = [this](TObject* sender, const std::string& error) {
      EXPECT_TRUE(TThread::IsMainThread());
      EXPECT_EQ(sender, &burner);
      EXPECT_FALSE(WriteJobRunning);
      Reports.push_back(error);
    };
    tmp.write("src/a.txt", std::string(100000, 'a'));
    tmp.write("src/b.bin", std::string(3 << 20, 'b'));
  }

  void Compile() {
    burner.ResetLayout(600000, 20000);
    burner.AddFolder(burner.RootDir(), tmp.at("src") + "/", "*.*", 0xFF, true, false, false);
  }

  // Starts the burn and runs the main thread's queue until it has reported;
  // `during` runs at every turn of the loop.
  void Burn(const std::function<void()>& during = {}) {
    Reports.clear();
    const bool started = burner.StartBurn();
    for (int turn = 0; turn < 200000 && burner.JobActive(); ++turn) {
      TThread::CheckSynchronize(1);
      if (during)
        during();
    }
    ASSERT_FALSE(burner.JobActive());
    ASSERT_EQ(Reports.size(), 1u) << "started " << started;
  }

  struct TWrite {
    uint32_t Lba;
    uint16_t Blocks;
  };
  std::vector<TWrite> Writes() const {
    std::vector<TWrite> writes;
    for (const auto& sent : manager.Sent)
      if (sent.Block.CDBByte[0] == 0x2A) {
        const uint8_t* c = sent.Block.CDBByte;
        writes.push_back({static_cast<uint32_t>(c[2] << 24 | c[3] << 16 | c[4] << 8 | c[5]),
                          static_cast<uint16_t>(c[7] << 8 | c[8])});
      }
    return writes;
  }
  bool Sent(uint8_t opcode) const {
    return std::any_of(manager.Sent.begin(), manager.Sent.end(),
                       [&](const auto& s) { return s.Block.CDBByte[0] == opcode; });
  }
  void FailWrites(vdrive::FaultKind kind, uint32_t after, uint32_t times) {
    vdrive::FaultPlan plan;
    vdrive::FaultRule rule;
    rule.Opcode = 0x2A;
    rule.Kind = kind;
    rule.After = after;
    rule.Times = times;
    plan.Add(rule);
    recorder.SetFaultPlan(plan);
  }

  TScopedVirtualClock clock;
  std::vector<std::string> Reports;
};

TEST_F(BurnJobTest, CdWritesOf27SectorsAtConsecutiveAddresses) {
  Insert("cd-r");
  Compile();
  Burn();
  EXPECT_EQ(Reports[0], "");
  const auto writes = Writes();
  ASSERT_FALSE(writes.empty());
  uint32_t next = writes[0].Lba, total = 0;
  for (size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].Lba, next) << i;
    if (i + 1 < writes.size()) {
      EXPECT_EQ(writes[i].Blocks, 27) << i;
    }
    next += writes[i].Blocks;
    total += writes[i].Blocks;
  }
  EXPECT_EQ(total, burner.TrackLength());
  EXPECT_EQ(burner.BytesWritten(), burner.TrackLength() * 2048);
  EXPECT_TRUE(Sent(0x5B));  // the session was closed
  EXPECT_EQ(burner.SessionCount(), 1);
}

TEST_F(BurnJobTest, DvdWritesAreAlwaysWhole32SectorBlocks) {
  Insert("dvd+r");
  Compile();
  Burn();
  EXPECT_EQ(Reports[0], "");
  for (const TWrite& w : Writes()) {
    EXPECT_EQ(w.Blocks, 32);
  }
  EXPECT_EQ(burner.BytesWritten(), burner.TrackLength() * 2048);
}

TEST_F(BurnJobTest, ABusyDriveGetsTheSameBlockAgainAfterAPause) {
  Insert("cd-r");
  Compile();
  FailWrites(vdrive::FaultKind::LongWrite, 3, 3);
  Burn();
  EXPECT_EQ(Reports[0], "");
  const auto writes = Writes();
  ASSERT_GT(writes.size(), 7u);
  for (size_t i = 4; i < 7; ++i)
    EXPECT_EQ(writes[i].Lba, writes[3].Lba);
  EXPECT_EQ(writes[7].Lba, writes[3].Lba + writes[3].Blocks);
  // Three pauses of 600 ms on the virtual clock between the tries.
  std::vector<uint64_t> at;
  for (const auto& sent : manager.Sent)
    if (sent.Block.CDBByte[0] == 0x2A)
      at.push_back(sent.SentAt);
  EXPECT_GE(at[6] - at[3], 3u * 600u);
}

TEST_F(BurnJobTest, AWriteTheTransportFailsIsNeverRetriedAsBusy) {
  // Failures without an answer of the drive carry no sense: ASC 00h, which
  // a busy drive may answer too. Only the host status tells them apart.
  const struct {
    uint8_t Status, HaStat;
    const char* Report;
  } rows[] = {
      {SS_ERR, HASTAT_OK, "WRITER ERROR [NO ANSWER FROM THE DRIVE]"},
      {SS_ERR, HASTAT_SEL_TO, "WRITER ERROR [SELECTION TIMEOUT]"},
      {SS_ERR, HASTAT_TIMEOUT, "WRITER ERROR [COMMAND TIMEOUT]"},
      {SS_NO_DEVICE, HASTAT_OK, "WRITER ERROR [NO DEVICE]"},
  };
  const auto forward = manager.Respond;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Report);
    Insert("cd-r");
    Compile();
    int writes = 0;
    manager.Respond = [&](SRB_ExecSCSICmd& r) {
      if (r.CDBByte[0] == 0x2A && ++writes == 3)
        Complete(r, row.Status, row.HaStat);
      else
        forward(r);
    };
    Burn();
    EXPECT_EQ(Reports[0], row.Report);
    EXPECT_EQ(writes, 3);
    manager.Respond = forward;
  }
}

TEST_F(BurnJobTest, AnIllegalRequestEndsTheJobAndLeavesTheDiscOpen) {
  Insert("cd-r");
  Compile();
  Burn();
  ASSERT_EQ(Reports[0], "");
  // The drive refuses the third WRITE of the next session's address.
  const auto forward = manager.Respond;
  int writes = 0;
  manager.Respond = [&](SRB_ExecSCSICmd& r) {
    if (r.CDBByte[0] == 0x2A && ++writes == 3) {
      Complete(r, SS_ERR, HASTAT_OK, 0x02);
      PutSense(r, 0x05, 0x21, 0x02);
      return;
    }
    forward(r);
  };
  manager.Sent.clear();
  Compile();
  Burn();
  manager.Respond = forward;
  EXPECT_EQ(Reports[0], "WRITER ERROR [ILLEGAL REQUEST (INVALID ADDRESS FOR WRITE)]");
  EXPECT_FALSE(Sent(0x5B));
  EXPECT_EQ(burner.DiscStatus(), 1);
  EXPECT_EQ(burner.SessionCount(), 1);
}

TEST_F(BurnJobTest, AbortAtAnyMomentReportsOnce) {
  // The abort comes from the drive's side of the n-th WRITE (as a click of
  // the window lands between two commands), or from the main thread's loop.
  const auto forward = manager.Respond;
  std::atomic<int> writes = 0, abortAt = 0;
  manager.Respond = [&](SRB_ExecSCSICmd& r) {
    if (r.CDBByte[0] == 0x2A && ++writes == abortAt)
      burner.AbortWrite();
    forward(r);
  };
  std::mt19937 random(7);
  int aborted = 0;
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    Insert("dvd+r");
    Compile();
    manager.Sent.clear();
    writes = 0;
    abortAt = static_cast<int>(random() % 60);
    const bool fromLoop = round % 3 == 0;
    int turn = 0;
    Burn([&] {
      if (fromLoop && turn++ == abortAt % 4)
        burner.AbortWrite();
    });
    EXPECT_TRUE(Reports[0].empty() || Reports[0] == "OPERATION ABORTED BY USER") << Reports[0];
    if (!Reports[0].empty()) {
      ++aborted;
      EXPECT_FALSE(Sent(0x5B));  // flushed, never closed
    }
  }
  EXPECT_GT(aborted, 10);
}

TEST_F(BurnJobTest, TestWriteRecordsAndClosesNothing) {
  Insert("cd-r");
  Compile();
  burner.TestWrite = true;
  Burn();
  EXPECT_EQ(Reports[0], "");
  EXPECT_FALSE(Sent(0x5B));
  EXPECT_EQ(burner.DiscStatus(), 0);
  EXPECT_TRUE(LoggedContaining("TEST/DUMMY WRITE", 1));
}

} // namespace
} // namespace qnzb::test
