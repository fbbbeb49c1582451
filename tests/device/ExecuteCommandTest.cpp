// The command executor against a fake ASPI manager: addressing, the outcome
// texts of every status, host status, target status and sense key, the
// time-out with its abort, the report line and the transport refusals.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FakeAspiManager.h"
#include "engine/device/qnDrvLib.h"
#include "engine/runtime/Clock.h"
#include "platform/Event.h"

namespace qnzb::test {
namespace {

class ExecuteCommandTest : public testing::Test {
protected:
  ExecuteCommandTest() {
    device.HaId = 1;
    device.Target = 10;
    device.Lun = 0;
    device.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t type) {
      messages.push_back(text);
      types.push_back(type);
    };
  }

  static SRB_ExecSCSICmd Request(uint8_t opcode, uint8_t flags = 0x40) {
    SRB_ExecSCSICmd r{};
    r.CDBByte[0] = opcode;
    r.SRB_CDBLen = 10;
    r.SRB_Flags = flags;
    return r;
  }

  TFakeAspiManager manager;
  TSCSIDevice device{nullptr};
  std::vector<std::string> messages;
  std::vector<uint8_t> types;
};

struct OutcomeCase {
  uint8_t Status, HaStat, TargStat;
  bool WithSense;
  uint8_t Byte0, Byte2, Asc, Ascq, AddLength;
  const char* Text;
  bool Busy;
};

TEST_F(ExecuteCommandTest, OutcomeTexts) {
  const OutcomeCase cases[] = {
      {0x01, 0, 0, false, 0, 0, 0, 0, 0, "", false},
      {0x02, 0, 0, false, 0, 0, 0, 0, 0, "OPERATION ABORTED BY USER", false},
      {0x03, 0, 0, false, 0, 0, 0, 0, 0, "OPERATION ABORTED BY USER", false},
      {0x80, 0, 0, false, 0, 0, 0, 0, 0, "INVALID REQUEST", false},
      {0x81, 0, 0, false, 0, 0, 0, 0, 0, "INVALID HOST ADAPTER", false},
      {0x82, 0, 0, false, 0, 0, 0, 0, 0, "NO DEVICE", false},
      {0xE0, 0, 0, false, 0, 0, 0, 0, 0, "INVALID SRB", false},
      {0xE1, 0, 0, false, 0, 0, 0, 0, 0, "BUFFER ALIGNMENT", false},
      {0xE5, 0, 0, false, 0, 0, 0, 0, 0, "ASPI IS BUSY", false},
      {0xE6, 0, 0, false, 0, 0, 0, 0, 0, "BUFFER TOO BIG", false},
      {0xE2, 0, 0, false, 0, 0, 0, 0, 0, "UNKNOWN", false},
      {0x05, 0, 0, false, 0, 0, 0, 0, 0, "UNKNOWN", false},
      // Host adapter statuses.
      {0x04, 0x09, 0, false, 0, 0, 0, 0, 0, "COMMAND TIMEOUT", false},
      {0x04, 0x0B, 0, false, 0, 0, 0, 0, 0, "SRB TIMEOUT", false},
      {0x04, 0x0D, 0, false, 0, 0, 0, 0, 0, "MESSAGE REJECT", false},
      {0x04, 0x0E, 0, false, 0, 0, 0, 0, 0, "BUS RESET", false},
      {0x04, 0x0F, 0, false, 0, 0, 0, 0, 0, "PARITY ERROR", false},
      {0x04, 0x10, 0, false, 0, 0, 0, 0, 0, "REQUEST SENSE FAILED", false},
      {0x04, 0x11, 0, false, 0, 0, 0, 0, 0, "SELECTION TIMEOUT", false},
      {0x04, 0x12, 0, false, 0, 0, 0, 0, 0, "DATA OVERRUN", false},
      {0x04, 0x13, 0, false, 0, 0, 0, 0, 0, "UNEXPECTED BUS FREE", false},
      {0x04, 0x14, 0, false, 0, 0, 0, 0, 0, "UNKNOWN", false},
      // Target statuses.
      {0x04, 0, 0x08, false, 0, 0, 0, 0, 0, "TARGET BUSY", true},
      {0x04, 0, 0x18, false, 0, 0, 0, 0, 0, "TARGET RESERVATION CONFLICT", false},
      {0x04, 0, 0x28, false, 0, 0, 0, 0, 0, "TARGET QUEUE FULL", false},
      {0x04, 0, 0x40, false, 0, 0, 0, 0, 0, "UNKNOWN", false},
      // A failure without status and sense (a failed pass-through call), and
      // CHECK CONDITION without sense data, still say what they are.
      {0x04, 0, 0x00, false, 0, 0, 0, 0, 0, "NO ANSWER FROM THE DRIVE", false},
      {0x04, 0, 0x02, false, 0, 0, 0, 0, 0, "CHECK CONDITION WITHOUT SENSE DATA", false},
      // Sense keys.
      {0x04, 0, 0x02, true, 0x70, 0x00, 0, 0, 0, "NO ADDITIONAL SENSE INFORMATION", false},
      {0x04, 0, 0x02, true, 0x70, 0x80, 0, 0, 0, "FILEMARK", false},
      {0x04, 0, 0x02, true, 0x70, 0xC0, 0, 0, 0, "FILEMARK", false},
      {0x04, 0, 0x02, true, 0x70, 0x40, 0, 0, 0, "END OF MEDIA", false},
      {0x04, 0, 0x02, true, 0x70, 0x60, 0, 0, 0, "END OF MEDIA", false},
      {0x04, 0, 0x02, true, 0x70, 0x20, 0, 0, 0, "ILLEGAL LENGTH", false},
      {0x04, 0, 0x02, true, 0x70, 0x01, 0, 0, 0, "RECOVERED ERROR", false},
      {0x04, 0, 0x02, true, 0x70, 0x02, 0, 0, 0, "NOT READY", false},
      {0x04, 0, 0x02, true, 0x70, 0x03, 0, 0, 0, "MEDIUM ERROR", false},
      {0x04, 0, 0x02, true, 0x70, 0x04, 0, 0, 0, "HARDWARE ERROR", false},
      {0x04, 0, 0x02, true, 0x70, 0x05, 0, 0, 0, "ILLEGAL REQUEST", false},
      {0x04, 0, 0x02, true, 0x70, 0x06, 0, 0, 0, "UNIT ATTENTION", false},
      {0x04, 0, 0x02, true, 0x70, 0x07, 0, 0, 0, "DATA PROTECT", false},
      {0x04, 0, 0x02, true, 0x70, 0x08, 0, 0, 0, "ERASE CHECK", false},
      {0x04, 0, 0x02, true, 0x70, 0x09, 0, 0, 0, "CHECK CONDITION", false},
      {0x04, 0, 0x02, true, 0x70, 0x0A, 0, 0, 0, "COPYABORTED", false},
      {0x04, 0, 0x02, true, 0x70, 0x0B, 0, 0, 0, "ABORTED COMMAND", false},
      {0x04, 0, 0x02, true, 0x70, 0x0C, 0, 0, 0, "CHECK CONDITION", false},
      {0x04, 0, 0x02, true, 0x70, 0x0D, 0, 0, 0, "VOLUME OVERFLOW", false},
      {0x04, 0, 0x02, true, 0x70, 0x0E, 0, 0, 0, "MISCOMPARE", false},
      {0x04, 0, 0x02, true, 0x70, 0x0F, 0, 0, 0, "RESERVED", false},
      // Flags above the key and the valid bit don't hide the key.
      {0x04, 0, 0x02, true, 0xF0, 0xE5, 0, 0, 0, "ILLEGAL REQUEST", false},
      {0x04, 0, 0x02, true, 0x71, 0x02, 0, 0, 0, "NOT READY", false},
      // Vendor response codes (descriptor format: DescriptorSenseReadsAsFixed).
      {0x04, 0, 0x02, true, 0x7F, 0x05, 0, 0, 0, "UNKNOWN", false},
      // ASC/ASCQ texts, only when the sense data has additional bytes.
      {0x04, 0, 0x02, true, 0x70, 0x05, 0x24, 0x00, 10, "ILLEGAL REQUEST (INVALID FIELD IN CDB)", false},
      {0x04, 0, 0x02, true, 0x70, 0x05, 0x24, 0x00, 0, "ILLEGAL REQUEST", false},
      {0x04, 0, 0x02, true, 0x70, 0x02, 0x3A, 0x05, 10, "NOT READY (58,5)", false},
      {0x04, 0, 0x02, true, 0x70, 0x02, 0x04, 0x08, 6,
       "NOT READY (LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS)", false},
      // Short sense: the length is believed, the bytes come from the fixed area.
      {0x04, 0, 0x02, true, 0x70, 0x03, 0x00, 0x00, 1, "MEDIUM ERROR (NO ADDITIONAL SENSE INFORMATION)", false},
      // Sense after a non-CHECK CONDITION failure still names its ASC/ASCQ.
      {0x04, 0, 0x08, true, 0x70, 0x02, 0x04, 0x01, 10,
       "TARGET BUSY (LOGICAL UNIT IS IN PROCESS OF BECOMING READY)", true},
      {0x82, 0, 0, true, 0x70, 0x02, 0x11, 0x00, 10, "NO DEVICE (UNRECOVERED READ ERROR)", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "status " << std::hex << int(c.Status) << " ha " << int(c.HaStat) << " targ "
                                    << int(c.TargStat) << " sense " << int(c.Byte0) << "/" << int(c.Byte2));
    manager.Respond = [&](SRB_ExecSCSICmd& r) {
      if (c.WithSense) {
        PutSense(r, c.Byte2, c.Asc, c.Ascq, c.AddLength, c.Byte0);
        r.SenseArea[32] = 0x5A;  // the spare byte travels with the sense
      }
      Complete(r, c.Status, c.HaStat, c.TargStat);
    };
    auto r = Request(0x00);
    EXPECT_EQ(device.ExecuteCommand(r, 5000), 1);
    EXPECT_EQ(device.LastErrorText, c.Text);
    EXPECT_EQ(device.TargetBusy, c.Busy);
    std::array<uint8_t, SENSE_LEN + 1> expectedSense{};
    if (c.Status != 0x01)
      std::memcpy(expectedSense.data(), r.SenseArea, expectedSense.size());
    EXPECT_EQ(device.LastSense, expectedSense);
  }
}

TEST_F(ExecuteCommandTest, AGoodCommandClearsWhatTheLastOneLeft) {
  manager.Respond = [](SRB_ExecSCSICmd& r) {
    PutSense(r, 0x02, 0x3A, 0x00);
    Complete(r, 0x04, 0, 0x08);
  };
  auto bad = Request(0x00);
  (void)device.ExecuteCommand(bad, 0);
  ASSERT_TRUE(device.TargetBusy);
  ASSERT_NE(device.LastSense[12], 0);

  manager.Respond = [](SRB_ExecSCSICmd& r) { Complete(r, 0x01); };
  auto good = Request(0x00);
  EXPECT_EQ(device.ExecuteCommand(good, 0), 1);
  EXPECT_EQ(device.LastErrorText, "");
  EXPECT_FALSE(device.TargetBusy);
  EXPECT_EQ(device.LastSense, (std::array<uint8_t, SENSE_LEN + 1>{}));
}

TEST_F(ExecuteCommandTest, AddressEventAndUnitAreFilledIn) {
  device.Lun = 2;
  auto r = Request(0x12, 0x48);
  r.CDBByte[1] = 0x1F;
  ASSERT_EQ(device.ExecuteCommand(r, 0), 1);
  ASSERT_EQ(manager.Sent.size(), 1u);
  const SRB_ExecSCSICmd& seen = manager.Sent[0].Block;
  EXPECT_EQ(seen.SRB_Cmd, SC_EXEC_SCSI_CMD);
  EXPECT_EQ(seen.SRB_HaId, 1);
  EXPECT_EQ(seen.SRB_Target, 10);
  EXPECT_EQ(seen.SRB_Lun, 2);
  EXPECT_EQ(seen.SRB_SenseLen, SENSE_LEN);  // room for descriptor-format sense
  EXPECT_EQ(seen.CDBByte[1], 0x5F);
  EXPECT_GE(PostProcToEvent(seen.SRB_PostProc), 0);

  // Without the event flag no event is made.
  auto plain = Request(0x00, 0x00);
  plain.SRB_PostProc = reinterpret_cast<void*>(uintptr_t{0x1234});
  ASSERT_EQ(device.ExecuteCommand(plain, 0), 1);
  const void* postProc = manager.Sent.back().Block.SRB_PostProc;  // packed: copy before comparing
  EXPECT_EQ(postProc, nullptr);
}

TEST_F(ExecuteCommandTest, NoTransportOrNoDeviceLeavesTheRequestUntouched) {
  for (const bool initialised : {false, true}) {
    SCOPED_TRACE(initialised);
    Transport().Initialized = initialised;
    device.HaId = initialised ? 254 : 1;
    device.LastErrorText = "OLD";
    device.TargetBusy = true;
    auto r = Request(0x28, 0x48);
    r.CDBByte[1] = 0x1F;
    const SRB_ExecSCSICmd before = r;
    EXPECT_EQ(device.ExecuteCommand(r, 0), SS_ILLEGAL_MODE);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
    EXPECT_EQ(device.LastErrorText, "");
    EXPECT_FALSE(device.TargetBusy);
    EXPECT_TRUE(manager.Sent.empty());
    EXPECT_FALSE(device.FirstCommandChecked);
  }
}

TEST_F(ExecuteCommandTest, ARequestThatNeverCompletesIsAbortedAfterTheTimeOut) {
  TScopedVirtualClock clock(1'000'000);
  manager.Respond = [](SRB_ExecSCSICmd&) {};  // stays pending, never signals
  const struct {
    int32_t Asked;
    uint64_t Waited;
  } cases[] = {{0, 10000}, {5000, 10000}, {-1, 10000}, {30000, 30000}, {180000, 180000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Asked);
    manager.Sent.clear();
    manager.Aborts.clear();
    auto r = Request(0x5B);
    EXPECT_EQ(device.ExecuteCommand(r, c.Asked), 1);
    EXPECT_EQ(r.SRB_Status, SS_ERR);
    EXPECT_EQ(r.SRB_HaStat, HASTAT_TIMEOUT);
    EXPECT_EQ(device.LastErrorText, "DRIVE DID NOT ANSWER IN TIME");
    EXPECT_TRUE(device.TransportFailed);
    ASSERT_EQ(manager.Aborts.size(), 1u);
    const SRB_Abort& abort = manager.Aborts[0].Block;
    EXPECT_EQ(abort.SRB_Cmd, SC_ABORT_SRB);
    EXPECT_EQ(abort.SRB_HaId, 1);
    const void* toAbort = abort.SRB_ToAbort;
    EXPECT_EQ(toAbort, manager.Sent[0].Address);
    EXPECT_EQ(manager.Aborts[0].At - manager.Sent[0].SentAt, c.Waited);
  }
  // A timed-out first command is no failure the report counts.
  EXPECT_TRUE(device.FirstCommandChecked);
  EXPECT_TRUE(messages.empty());
}

TEST_F(ExecuteCommandTest, ARefusedAbortIsWaitedOutBeforeReturning) {
  // The manager runs the request on its own thread and can't take it back:
  // until it lets go, the request on the caller's stack is still its own.
  TScopedVirtualClock clock;
  manager.Asynchronous = true;
  manager.AbortAnswer = SS_ABORT_FAIL;
  std::atomic<bool> released = false;
  std::thread worker;
  manager.Respond = [&](SRB_ExecSCSICmd& r) {
    worker = std::thread([&r, &released] {
      // Real time: the virtual 10 s have long passed when this wakes.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::atomic_ref<uint8_t>(r.SRB_Status).store(SS_COMP, std::memory_order_release);
      released = true;
      platform::SetEvent(PostProcToEvent(r.SRB_PostProc));
    });
  };
  auto r = Request(0x5B);
  EXPECT_EQ(device.ExecuteCommand(r, 0), 1);
  EXPECT_TRUE(released);
  worker.join();
  EXPECT_EQ(manager.Aborts.size(), 1u);
  EXPECT_EQ(r.SRB_Status, SS_ERR);
  EXPECT_EQ(r.SRB_HaStat, HASTAT_TIMEOUT);
  EXPECT_EQ(device.LastErrorText, "DRIVE DID NOT ANSWER IN TIME");
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(),
            ">>> CLOSE TRACK/SESSION: NO ANSWER IN TIME AND THE DRIVE MANAGER REFUSED THE ABORT, WAITING FOR IT TO "
            "LET GO");
}

TEST_F(ExecuteCommandTest, ARequestTheManagerNeverLetsGoIsLeftToIt) {
  // The manager refuses the abort and writes the request and its data long
  // after the time-out: the caller's request and buffer are no longer its.
  TScopedVirtualClock clock;
  manager.Asynchronous = true;
  manager.AbortAnswer = SS_ABORT_FAIL;
  std::thread worker;
  manager.Respond = [&](SRB_ExecSCSICmd& r) {
    worker = std::thread([&r] {
      std::this_thread::sleep_for(std::chrono::milliseconds(3000));
      std::memset(r.SRB_BufPointer, 0xEE, r.SRB_BufLen);
      std::atomic_ref<uint8_t>(r.SRB_Status).store(SS_COMP, std::memory_order_release);
      platform::SetEvent(PostProcToEvent(r.SRB_PostProc));
    });
  };
  alignas(4) std::array<uint8_t, 64> data{};
  auto r = Request(0x28, 0x48);
  r.SRB_BufPointer = data.data();
  r.SRB_BufLen = data.size();
  EXPECT_EQ(device.ExecuteCommand(r, 0), 1);
  EXPECT_EQ(r.SRB_Status, SS_ERR);
  EXPECT_EQ(device.LastErrorText, "DRIVE DID NOT ANSWER IN TIME");
  EXPECT_EQ(messages.back(), ">>> READ (10): THE DRIVE MANAGER STILL HOLDS THE REQUEST, GIVING UP");
  worker.join();
  EXPECT_EQ(data, (std::array<uint8_t, 64>{})) << "the late answer reached the caller's buffer";
  EXPECT_EQ(r.SRB_Status, SS_ERR);
}

TEST_F(ExecuteCommandTest, DescriptorSenseReadsAsFixed) {
  // Response code 72h/73h: key in byte 1, ASC/ASCQ in bytes 2-3, then
  // descriptors (information 00h, sense-key specific 02h, stream 04h).
  const struct {
    std::vector<uint8_t> Sense;
    const char* Text;
    uint8_t Byte0, Byte2, Asc, Ascq;
    std::vector<uint8_t> Tail;  // fixed bytes 3-6 and 15-17
  } cases[] = {
      {{0x72, 0x02, 0x04, 0x01, 0, 0, 0, 0}, "NOT READY (LOGICAL UNIT IS IN PROCESS OF BECOMING READY)", 0x70, 0x02,
       0x04, 0x01, {0, 0, 0, 0, 0, 0, 0}},
      {{0x73, 0x03, 0x11, 0x00, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34},
       "MEDIUM ERROR (UNRECOVERED READ ERROR)", 0xF1, 0x03, 0x11, 0x00, {0, 0, 0x12, 0x34, 0, 0, 0}},
      {{0x72, 0x05, 0x24, 0x00, 0, 0, 0, 8, 0x02, 0x06, 0, 0, 0xC8, 0x00, 0x02, 0},
       "ILLEGAL REQUEST (INVALID FIELD IN CDB)", 0x70, 0x05, 0x24, 0x00, {0, 0, 0, 0, 0xC8, 0x00, 0x02}},
      // An information field beyond 32 bits can't be valid in the fixed format.
      {{0x72, 0x03, 0x11, 0x00, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 1, 0, 0, 0, 9},
       "MEDIUM ERROR (UNRECOVERED READ ERROR)", 0x70, 0x03, 0x11, 0x00, {0, 0, 0, 9, 0, 0, 0}},
      {{0x72, 0x00, 0x00, 0x00, 0, 0, 0, 4, 0x04, 0x02, 0, 0x80}, "FILEMARK (NO ADDITIONAL SENSE INFORMATION)", 0x70,
       0x80, 0, 0, {0, 0, 0, 0, 0, 0, 0}},
      // A descriptor that claims more than the data holds is left out.
      {{0x72, 0x06, 0x28, 0x00, 0, 0, 0, 30, 0x02, 0x40},
       "UNIT ATTENTION (NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED)", 0x70, 0x06, 0x28, 0x00,
       {0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    manager.Respond = [&](SRB_ExecSCSICmd& r) {
      std::copy(c.Sense.begin(), c.Sense.end(), r.SenseArea);
      Complete(r, SS_ERR, 0, 0x02);
    };
    auto r = Request(0x00);
    ASSERT_EQ(device.ExecuteCommand(r, 0), 1);
    EXPECT_EQ(device.LastErrorText, c.Text);
    EXPECT_EQ(device.LastSense[0], c.Byte0);
    EXPECT_EQ(device.LastSense[2], c.Byte2);
    EXPECT_EQ(device.LastSense[7], 10);
    EXPECT_EQ(device.LastSense[12], c.Asc);
    EXPECT_EQ(device.LastSense[13], c.Ascq);
    const std::vector<uint8_t> tail = {device.LastSense[3],  device.LastSense[4],  device.LastSense[5],
                                       device.LastSense[6],  device.LastSense[15], device.LastSense[16],
                                       device.LastSense[17]};
    EXPECT_EQ(tail, c.Tail);
    EXPECT_FALSE(device.TransportFailed);
  }
}

TEST_F(ExecuteCommandTest, CompletionSignalledFromTheManagersThread) {
  manager.Asynchronous = true;
  std::vector<std::thread> workers;
  manager.Respond = [&](SRB_ExecSCSICmd& r) {
    workers.emplace_back([&r] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      PutSense(r, 0x05, 0x20, 0x00);
      r.SRB_TargStat = 0x02;
      std::atomic_ref<uint8_t>(r.SRB_Status).store(SS_ERR, std::memory_order_release);
      platform::SetEvent(PostProcToEvent(r.SRB_PostProc));
    });
  };
  auto r = Request(0xAC, 0x48);
  EXPECT_EQ(device.ExecuteCommand(r, 0), 1);
  for (auto& w : workers)
    w.join();
  EXPECT_EQ(r.SRB_Status, SS_ERR);
  EXPECT_EQ(device.LastErrorText, "ILLEGAL REQUEST (INVALID COMMAND OPERATION CODE)");
  EXPECT_TRUE(manager.Aborts.empty());

  manager.Respond = [&](SRB_ExecSCSICmd& r2) {
    workers.emplace_back([&r2] {
      std::atomic_ref<uint8_t>(r2.SRB_Status).store(SS_COMP, std::memory_order_release);
      platform::SetEvent(PostProcToEvent(r2.SRB_PostProc));
    });
  };
  workers.clear();
  auto good = Request(0x00);
  EXPECT_EQ(device.ExecuteCommand(good, 0), 1);
  for (auto& w : workers)
    w.join();
  EXPECT_EQ(good.SRB_Status, SS_COMP);
  EXPECT_EQ(device.LastErrorText, "");
}

TEST_F(ExecuteCommandTest, ReportLineOfAFailedFirstCommand) {
  manager.Respond = [](SRB_ExecSCSICmd& r) {
    // What the drive sent before it failed (the executor cleared the buffer).
    if (r.SRB_BufLen >= 4)
      std::copy_n(std::array<uint8_t, 4>{0xDE, 0xAD, 0xBE, 0xEF}.begin(), 4, r.SRB_BufPointer);
    PutSense(r, 0x03, 0x11, 0x00);
    Complete(r, 0x04, 0x00, 0x02);
  };
  alignas(4) std::array<uint8_t, 4> data{0x11, 0x22, 0x33, 0x44};
  auto r = Request(0x28, 0x48);
  r.CDBByte[5] = 0x10;
  r.CDBByte[8] = 0x02;
  r.SRB_BufPointer = data.data();
  r.SRB_BufLen = 4;
  ASSERT_EQ(device.ExecuteCommand(r, 0), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(types[0], 0);
  const std::string expected = "<<< READ (10)" + std::string(13, ' ') +
                               " (28) {48|0A} - 1:A:0 <04> [00004] "
                               "00 00 00 00 10 00 00 02 00 00 00 00 00 00 00  |DE AD BE EF "
                               "= 00 02 70 03 ASC:11,ASQ:00 MEDIUM ERROR (UNRECOVERED READ ERROR)";
  EXPECT_EQ(messages[0], expected);

  // Only the first command of a component is checked.
  auto again = Request(0x28, 0x48);
  (void)device.ExecuteCommand(again, 0);
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(ExecuteCommandTest, FirstCommandsThatStayQuiet) {
  struct QuietCase {
    uint8_t Opcode, Status, Asc, Ascq;
    bool Reported;
  };
  const QuietCase cases[] = {
      {0x00, 0x04, 0x3A, 0x00, false}, {0x01, 0x04, 0x3A, 0x00, false}, {0x04, 0x04, 0x3A, 0x00, false},
      {0x12, 0x04, 0x3A, 0x00, false}, {0x1B, 0x04, 0x3A, 0x00, false}, {0x1E, 0x04, 0x3A, 0x00, false},
      {0x23, 0x04, 0x3A, 0x00, false}, {0x35, 0x04, 0x3A, 0x00, false}, {0x43, 0x04, 0x3A, 0x00, false},
      {0x46, 0x04, 0x3A, 0x00, false}, {0x51, 0x04, 0x3A, 0x00, false}, {0x52, 0x04, 0x3A, 0x00, false},
      {0x55, 0x04, 0x3A, 0x00, false}, {0x5A, 0x04, 0x3A, 0x00, false}, {0x5C, 0x04, 0x3A, 0x00, false},
      {0xB6, 0x04, 0x3A, 0x00, false}, {0xBB, 0x04, 0x3A, 0x00, false},
      // A long write in progress is expected whatever the command.
      {0x2A, 0x04, 0x04, 0x08, false},
      {0x2A, 0x04, 0x04, 0x07, true},
      {0x2A, 0x01, 0x00, 0x00, false},
      {0xA1, 0x82, 0x00, 0x00, true},
      {0xFF, 0x04, 0x3A, 0x00, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.Opcode));
    TSCSIDevice fresh(nullptr);
    fresh.HaId = fresh.Target = fresh.Lun = 0;
    int reports = 0;
    fresh.OnDebugMessage = [&](TObject*, const std::string& text, uint8_t) { reports += text.starts_with("<<< "); };
    manager.Respond = [&](SRB_ExecSCSICmd& r) {
      PutSense(r, 0x02, c.Asc, c.Ascq);
      Complete(r, c.Status, 0, 0x02);
    };
    auto r = Request(c.Opcode);
    (void)fresh.ExecuteCommand(r, 0);
    EXPECT_TRUE(fresh.FirstCommandChecked);
    EXPECT_EQ(reports, c.Reported ? 1 : 0);
  }
}

TEST_F(ExecuteCommandTest, UnalignedBufferIsReported) {
  device.FirstCommandChecked = true;
  alignas(8) std::array<uint8_t, 16> data{};
  auto r = Request(0x28, 0x48);
  r.SRB_BufPointer = data.data() + 1;
  r.SRB_BufLen = 8;
  ASSERT_EQ(device.ExecuteCommand(r, 0), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "aaaa" + std::to_string(reinterpret_cast<uintptr_t>(data.data() + 1)));

  r = Request(0x28, 0x48);
  r.SRB_BufPointer = data.data() + 4;
  r.SRB_BufLen = 8;
  ASSERT_EQ(device.ExecuteCommand(r, 0), 1);
  EXPECT_EQ(messages.size(), 1u);
}

TEST(CommandNames, NamedOpcodesArePaddedOthersAreHex) {
  const auto& names = CommandNames();
  ASSERT_EQ(names.size(), 255u);
  EXPECT_EQ(names[0x00], "TEST UNIT READY       ");
  EXPECT_EQ(names[0x4A], "GET EVENT/STATUS NOTIF");
  EXPECT_EQ(names[0x52], "READ TRACK INFORMATION");
  EXPECT_EQ(names[0xBF], "SEND DVD STRUCTURE    ");
  EXPECT_EQ(names[0x02], "02");
  EXPECT_EQ(names[0xAB], "AB");
  EXPECT_EQ(names[0xFE], "FE");
  int named = 0;
  for (const auto& name : names) {
    EXPECT_TRUE(name.size() == 22 || name.size() == 2) << name;
    named += name.size() == 22;
  }
  EXPECT_EQ(named, 51);
}

} // namespace
} // namespace qnzb::test
