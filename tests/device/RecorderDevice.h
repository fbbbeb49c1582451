#pragma once
// A device component talking to an in-process virtual recorder through the
// fake ASPI manager, under a virtual clock shared by both: a 150-second blank
// or a 30-second ready wait runs in microseconds while the commands keep
// their real-time order. The manager keeps every request sent, so tests can
// check command sequences.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeAspiManager.h"
#include "engine/device/qnDrvLib.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/Thread.h"
#include "vdrive/Media.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {

class RecorderDeviceTest : public testing::Test {
protected:
  RecorderDeviceTest() {
    TThread::SetMainThread();
    device.HaId = device.Target = device.Lun = 0;
    manager.Respond = [this](SRB_ExecSCSICmd& r) { Forward(r); };
    device.OnDebugMessage = [this](TObject*, const std::string& line, uint8_t type) {
      Log.push_back(std::to_string(type) + " " + line);
    };
    CurrentMediaKind = MediaUnknown;
  }

  void Forward(SRB_ExecSCSICmd& r) {
    const ScsiDirection direction = (r.SRB_Flags & SRB_DIR_IN)    ? ScsiDirection::In
                                    : (r.SRB_Flags & SRB_DIR_OUT) ? ScsiDirection::Out
                                                                  : ScsiDirection::None;
    std::span<uint8_t> data(r.SRB_BufPointer, r.SRB_BufPointer ? r.SRB_BufLen : 0);
    const ScsiOutcome outcome = recorder->Execute(std::span<const uint8_t>(r.CDBByte, r.SRB_CDBLen), data, direction,
                                                  std::span<uint8_t>(r.SenseArea, SENSE_LEN));
    r.SRB_TargStat = outcome.Status;
    r.SRB_Status = outcome.Status == ScsiStatusGood ? SS_COMP : SS_ERR;
    if (OnCommand)
      OnCommand(r);
  }

  // A new disc of a kind the recorder knows ("cd-r", "dvd+rw", "none"...).
  void Insert(const std::string& name) {
    const auto choice = vdrive::ParseMediumName(name);
    ASSERT_TRUE(choice.has_value()) << name;
    recorder->Insert(*choice);
  }

  void Use(const vdrive::DriveConfig& config) { recorder->SetConfig(config); }

  // Makes the recorder fail `opcode` with `kind`, `times` times (0: for good).
  void Fail(uint8_t opcode, vdrive::FaultKind kind, uint32_t times = 1) {
    vdrive::FaultPlan plan;
    vdrive::FaultRule rule;
    rule.Opcode = opcode;
    rule.Kind = kind;
    rule.Times = times;
    plan.Add(rule);
    recorder->SetFaultPlan(plan);
  }

  // Opcodes sent since the last call.
  std::vector<uint8_t> Opcodes() {
    std::vector<uint8_t> codes;
    for (size_t i = seen_; i < manager.Sent.size(); ++i)
      codes.push_back(manager.Sent[i].Block.CDBByte[0]);
    seen_ = manager.Sent.size();
    return codes;
  }
  void ForgetSent() { seen_ = manager.Sent.size(); }

  // The data-out bytes of the last command with this opcode.
  std::vector<uint8_t> LastDataOut(uint8_t opcode) const {
    for (auto it = manager.Sent.rbegin(); it != manager.Sent.rend(); ++it)
      if (it->Block.CDBByte[0] == opcode)
        return it->DataOut;
    return {};
  }

  // Writes `blocks` sectors of `fill` at lba and closes the session; with
  // `finalize` no further session may follow. With `volume` the sector at
  // lba + 16 is a primary volume descriptor whose volume ends with the
  // session (at lba + blocks, as the volume of a later session does).
  void RecordSession(uint32_t lba, uint32_t blocks, uint8_t fill, bool finalize = false, bool volume = false) {
    // The page's multi-session field decides whether a next session may follow.
    device.FinalizeDisc = finalize;
    device.SetWriteParameters(false, false, device.MediaKind());
    device.FinalizeDisc = false;
    for (uint32_t done = 0; done < blocks;) {
      const uint32_t n = std::min<uint32_t>(16, blocks - done);
      std::vector<uint8_t> data(2048u * 16u, fill);
      if (volume && done == 16) {
        const uint32_t end = lba + blocks;
        data[0] = 1;
        std::copy_n("CD001", 5, data.begin() + 1);
        for (size_t i = 0; i < 4; ++i)
          data[80 + i] = static_cast<uint8_t>(end >> (8 * i));
      }
      ASSERT_TRUE(device.Write10(lba + done, static_cast<uint16_t>(n), 0x50,
                                 std::span<const uint8_t>(data.data(), n * 2048u)))
          << device.LastErrorText;
      done += n;
    }
    ASSERT_TRUE(device.SynchronizeCache(30000, false));
    device.CloseTrackSession(true, false, false);
    ASSERT_TRUE(device.CloseTrackSession(false, false, false)) << device.LastErrorText;
  }

  TScopedVirtualClock clock;
  std::unique_ptr<vdrive::Recorder> recorder =
      std::make_unique<vdrive::Recorder>(vdrive::DriveState{}, [this] { return clock.clock().TickCount(); });
  TFakeAspiManager manager;
  TSCSIDevice device{nullptr};
  std::vector<std::string> Log;
  // Runs after each command, on the thread that sent it.
  std::function<void(const SRB_ExecSCSICmd&)> OnCommand;

private:
  size_t seen_ = 0;
};

} // namespace qnzb::test
