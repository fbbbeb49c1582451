// The command executor of the device component: addressing the selected
// device, waiting for completion, the time-out and its abort, turning a
// failure into LastErrorText, and the report line of a failed command.

#include "engine/device/qnDrvLib.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/device/ScsiSense.h"
#include "engine/device/Transport.h"
#include "engine/device/qnConst.h"
#include "engine/device/qnConstSense.h"
#include "engine/device/qnSPTI.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/Strings.h"
#include "platform/Event.h"

namespace qnzb {

namespace {

// Below this the drive is not given a chance: every command may take 10 s.
constexpr int32_t MinimumTimeoutMs = 10000;
// The whole sense area: descriptor-format sense needs its 8-byte header and
// the descriptors after it.
constexpr uint8_t RequestSenseLength = SENSE_LEN;
// After a refused abort the manager gets this long to let go before the
// request (a copy) is left to it.
constexpr uint32_t ReleaseWaitMs = 2000;
constexpr uint64_t MinimumPollMs = 1;
constexpr uint64_t MaximumPollMs = 50;
// The data bytes a report line shows at most.
constexpr uint32_t ReportDataBytes = 257;

// A manager publishes SRB_Status last, possibly from its own thread.
uint8_t LoadStatus(SRB_ExecSCSICmd& request) {
  return std::atomic_ref<uint8_t>(request.SRB_Status).load(std::memory_order_acquire);
}

std::string Hex2(uint8_t value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

std::string HexMin(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

const char* TargetStatusText(uint8_t targetStatus, bool& busy) {
  switch (targetStatus) {
    case ScsiStatusGood:
    case ScsiStatusCheckCondition: return "CHECK CONDITION";
    case ScsiStatusBusy: busy = true; return "TARGET BUSY";
    case ScsiStatusReservationConflict: return "TARGET RESERVATION CONFLICT";
    case ScsiStatusTaskSetFull: return "TARGET QUEUE FULL";
    default: return "UNKNOWN";
  }
}

const char* HostStatusText(const SRB_ExecSCSICmd& request, bool& busy) {
  switch (request.SRB_HaStat) {
    case HASTAT_OK: return TargetStatusText(request.SRB_TargStat, busy);
    case HASTAT_TIMEOUT: return "COMMAND TIMEOUT";
    case HASTAT_COMMAND_TIMEOUT: return "SRB TIMEOUT";
    case HASTAT_MESSAGE_REJECT: return "MESSAGE REJECT";
    case HASTAT_BUS_RESET: return "BUS RESET";
    case HASTAT_PARITY_ERROR: return "PARITY ERROR";
    case HASTAT_REQUEST_SENSE_FAILED: return "REQUEST SENSE FAILED";
    case HASTAT_SEL_TO: return "SELECTION TIMEOUT";
    case HASTAT_DO_DU: return "DATA OVERRUN";
    case HASTAT_BUS_FREE: return "UNEXPECTED BUS FREE";
    default: return "UNKNOWN";
  }
}

const char* StatusText(const SRB_ExecSCSICmd& request, bool& busy) {
  switch (request.SRB_Status) {
    case SS_PENDING:
    case SS_COMP: return "";
    case SS_ABORTED:
    case SS_ABORT_FAIL: return "OPERATION ABORTED BY USER";
    case SS_ERR: return HostStatusText(request, busy);
    case SS_INVALID_CMD: return "INVALID REQUEST";
    case SS_INVALID_HA: return "INVALID HOST ADAPTER";
    case SS_NO_DEVICE: return "NO DEVICE";
    case SS_INVALID_SRB: return "INVALID SRB";
    case SS_BUFFER_ALIGN: return "BUFFER ALIGNMENT";
    case SS_ASPI_IS_BUSY: return "ASPI IS BUSY";
    case SS_BUFFER_TO_BIG: return "BUFFER TOO BIG";
    default: return "UNKNOWN";
  }
}

// CHECK CONDITION told by the sense key of fixed-format sense data.
const char* SenseKeyText(const uint8_t* sense) {
  if (sense[0] == 0)
    return "";
  if ((sense[0] & 0x7E) != 0x70)
    return "UNKNOWN";
  switch (sense[2] & 0x0F) {
    case 0x0:
      // No sense key: the flags of byte 2 say what happened (tape heritage).
      if (sense[2] & 0x80)
        return "FILEMARK";
      if (sense[2] & 0x40)
        return "END OF MEDIA";
      if (sense[2] & 0x20)
        return "ILLEGAL LENGTH";
      return "NO ADDITIONAL SENSE INFORMATION";
    case 0x1: return "RECOVERED ERROR";
    case 0x2: return "NOT READY";
    case 0x3: return "MEDIUM ERROR";
    case 0x4: return "HARDWARE ERROR";
    case 0x5: return "ILLEGAL REQUEST";
    case 0x6: return "UNIT ATTENTION";
    case 0x7: return "DATA PROTECT";
    case 0x8: return "ERASE CHECK";
    case 0xA: return "COPYABORTED";
    case 0xB: return "ABORTED COMMAND";
    case 0xD: return "VOLUME OVERFLOW";
    case 0xE: return "MISCOMPARE";
    case 0xF: return "RESERVED";
    default: return "CHECK CONDITION";
  }
}

std::string TrimmedName(uint8_t opcode) {
  std::string name = opcode < CommandNames().size() ? CommandNames()[opcode] : Hex2(opcode);
  name.erase(name.find_last_not_of(' ') + 1);
  return name;
}

// After a time-out whose abort the manager refused, the manager still owns
// the request (its copy) and may write it and signal its event. Its thread
// runs in real time whatever clock the engine waits by, so this wait does
// too. True when the manager let go.
bool WaitForRelease(SRB_ExecSCSICmd& request, platform::TEventHandle event) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReleaseWaitMs);
  while (std::chrono::steady_clock::now() < until) {
    if (event != platform::InvalidEvent) {
      // Signalled after the manager's last write to the request.
      if (platform::WaitForEvent(event, 100) == platform::TWaitResult::Signalled)
        return true;
    } else {
      if (LoadStatus(request) != SS_PENDING)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return false;
}

// A request as a manager gets it: a copy of the caller's request pointing at
// a copy of its data.
struct TInFlight {
  explicit TInFlight(const SRB_ExecSCSICmd& request) : Srb(request), Caller(request.SRB_BufPointer) {
    if (Caller != nullptr && request.SRB_BufLen > 0) {
      Data.assign(Caller, Caller + request.SRB_BufLen);
      Srb.SRB_BufPointer = Data.data();
    }
  }
  // The outcome and, for data in, the data go back to the caller.
  void CopyBack(SRB_ExecSCSICmd& request) const {
    request.SRB_Status = Srb.SRB_Status;
    request.SRB_HaStat = Srb.SRB_HaStat;
    request.SRB_TargStat = Srb.SRB_TargStat;
    std::memcpy(request.SenseArea, Srb.SenseArea, sizeof request.SenseArea);
    if ((request.SRB_Flags & SRB_DIR_IN) && Caller != nullptr && !Data.empty())
      std::memcpy(Caller, Data.data(), Data.size());
  }

  SRB_ExecSCSICmd Srb;
  uint8_t* Caller;
  std::vector<uint8_t> Data;
};

// Requests a manager never let go of, with their events; freed once the
// manager has signalled them, never before.
struct TAbandoned {
  std::mutex Lock;
  std::vector<std::pair<std::unique_ptr<TInFlight>, platform::TEventHandle>> Requests;
};
TAbandoned& Abandoned() {
  // Never destroyed: a manager may still write an abandoned request at exit.
  static auto* abandoned = new TAbandoned;
  return *abandoned;
}

void Abandon(std::unique_ptr<TInFlight> request, platform::TEventHandle event) {
  TAbandoned& abandoned = Abandoned();
  const std::lock_guard guard(abandoned.Lock);
  abandoned.Requests.emplace_back(std::move(request), event);
}

// Frees the abandoned requests their manager has finished with.
void ReapAbandoned() {
  TAbandoned& abandoned = Abandoned();
  const std::lock_guard guard(abandoned.Lock);
  std::erase_if(abandoned.Requests, [](auto& entry) {
    const bool done = entry.second != platform::InvalidEvent
                          ? platform::WaitForEvent(entry.second, 0) == platform::TWaitResult::Signalled
                          : LoadStatus(entry.first->Srb) != SS_PENDING;
    if (done && entry.second != platform::InvalidEvent)
      platform::CloseEvent(entry.second);
    return done;
  });
}

// Opcodes whose failure as a component's first command is expected (probing
// commands a drive may not know or may refuse without a medium).
bool QuietFirstCommand(uint8_t opcode) {
  switch (opcode) {
    case 0x00: case 0x01: case 0x04: case 0x12: case 0x1B: case 0x1E: case 0x23: case 0x35: case 0x43:
    case 0x46: case 0x51: case 0x52: case 0x55: case 0x5A: case 0x5C: case 0xB6: case 0xBB:
      return true;
    default:
      return false;
  }
}

std::array<std::string, 255> BuildCommandNames() {
  std::array<std::string, 255> names;
  for (size_t i = 0; i < names.size(); ++i)
    names[i] = Hex2(static_cast<uint8_t>(i));
  const struct {
    uint8_t Opcode;
    const char* Name;
  } known[] = {
      {0x00, "TEST UNIT READY"}, {0x01, "REWIND UNIT"}, {0x03, "REQUEST SENSE"}, {0x04, "FORMAT UNIT"},
      {0x12, "INQUIRY"}, {0x1B, "START STOP UNIT"}, {0x1E, "PREVENT/ALLOW REMOVAL"},
      {0x23, "READ FORMAT CAPACITIES"}, {0x25, "READ CAPACITY"}, {0x28, "READ (10)"}, {0x2A, "WRITE (10)"},
      {0x2B, "SEEK (10)"}, {0x2E, "WRITE AND VERIFY (10)"}, {0x2F, "VERIFY (10)"},
      {0x35, "SYNCHRONIZE CACHE"}, {0x42, "READ SUB-CHANNEL"}, {0x43, "READ TOC/PMA/ATIP"},
      {0x45, "PLAY AUDIO (10)"}, {0x46, "GET CONFIGURATION"}, {0x47, "PLAY AUDIO MSF"},
      {0x4A, "GET EVENT/STATUS NOTIF"}, {0x4B, "PAUSE/RESUME"}, {0x4E, "STOP PLAY/SCAN"},
      {0x51, "READ DISC INFORMATION"}, {0x52, "READ TRACK INFORMATION"}, {0x53, "RESERVE TRACK"},
      {0x54, "SEND OPC INFORMATION"}, {0x55, "MODE SELECT (10)"}, {0x58, "REPAIR TRACK"},
      {0x5A, "MODE SENSE (10)"}, {0x5B, "CLOSE TRACK/SESSION"}, {0x5C, "READ BUFFER CAPACITY"},
      {0x5D, "SEND CUE SHEET"}, {0xA1, "BLANK"}, {0xA2, "SEND EVENT"}, {0xA3, "SEND KEY"},
      {0xA4, "REPORT KEY"}, {0xA5, "PLAY AUDIO (12)"}, {0xA6, "LOAD/UNLOAD CD/DVD"},
      {0xA7, "SET READ AHEAD"}, {0xA8, "READ (12)"}, {0xAA, "WRITE (12)"}, {0xAC, "GET PERFORMANCE"},
      {0xAD, "READ DVD STRUCTURE"}, {0xB6, "SET STREAMING"}, {0xB9, "READ CD MSF"}, {0xBA, "SCAN"},
      {0xBB, "SET CD SPEED"}, {0xBD, "MECHANISM STATUS"}, {0xBE, "READ CD"}, {0xBF, "SEND DVD STRUCTURE"},
  };
  for (const auto& k : known) {
    std::string name = k.Name;
    name.resize(22, ' ');
    names[k.Opcode] = name;
  }
  return names;
}

} // namespace

const std::array<std::string, 255>& CommandNames() {
  static const std::array<std::string, 255> names = BuildCommandNames();
  return names;
}

uint8_t TSCSIDevice::ExecuteCommand(SRB_ExecSCSICmd& Request, int32_t TimeoutMs) {
  LastErrorText.clear();
  TargetBusy = false;
  TransportFailed = false;
  LastTransferred = 0;
  LastSense.fill(0);

  TTransportState& transport = Transport();
  if (!transport.Initialized || transport.Send == nullptr || HaId == 254)
    return SS_ILLEGAL_MODE;
  ReapAbandoned();

  platform::TEventHandle event = platform::InvalidEvent;
  if (Request.SRB_Flags & SRB_EVENT_NOTIFY) {
    event = platform::NewEvent();
    platform::ResetEvent(event);
    Request.SRB_PostProc = EventToPostProc(event);
  } else {
    Request.SRB_PostProc = nullptr;
  }

  Request.SRB_Cmd = SC_EXEC_SCSI_CMD;
  Request.SRB_Target = Target;
  Request.SRB_HaId = HaId;
  Request.SRB_Lun = Lun;
  Request.SRB_SenseLen = RequestSenseLength;
  const uint32_t timeout = static_cast<uint32_t>(std::max(TimeoutMs, MinimumTimeoutMs));
  // Old SCSI-2 devices read the unit from bits 5-7 of CDB byte 1. The
  // pass-through back end addresses the unit itself, and a current target
  // at unit 1 rejects a CDB with those bits set.
  if (transport.Name != SptiTransportName)
    Request.CDBByte[1] = static_cast<uint8_t>((Lun & 7) << 5 | (Request.CDBByte[1] & 0x1F));
  // A short reply must not leave an earlier reply's bytes behind.
  if ((Request.SRB_Flags & SRB_DIR_IN) && Request.SRB_BufPointer != nullptr)
    std::memset(Request.SRB_BufPointer, 0, Request.SRB_BufLen);

  // A manager that completes requests on a thread of its own gets a copy of
  // the request and of its data, owned here: should it never let go after a
  // time-out, the copy is handed over to it instead of the caller's memory.
  std::unique_ptr<TInFlight> inflight;
  if (!transport.ExecuteTimed)
    inflight = std::make_unique<TInFlight>(Request);
  SRB_ExecSCSICmd& live = inflight ? inflight->Srb : Request;

  TExecDetails details;
  const uint32_t handedOver =
      transport.ExecuteTimed ? transport.ExecuteTimed(live, timeout, details) : transport.Send(&live);
  if ((live.SRB_Flags & SRB_EVENT_NOTIFY) && handedOver == SS_PENDING) {
    // A manager that took the request signals the event once it has stored
    // the outcome. The event is closed only after that signal (or the abort),
    // never when the status merely looks done: the signal would otherwise go
    // to a descriptor the system may have handed out again. Polled through
    // the clock seam, so a virtual clock decides when the time-out has
    // passed; the pause grows with the time the command has run (a tenth of
    // it, 1 to 50 ms), so quick commands are seen done within a millisecond
    // and long ones cost few polls.
    const uint64_t start = TickCount();
    for (;;) {
      const bool done = event != platform::InvalidEvent
                            ? platform::WaitForEvent(event, 0) == platform::TWaitResult::Signalled
                            : LoadStatus(live) != SS_PENDING;
      if (done)
        break;
      const uint64_t elapsed = TickCount() - start;
      if (elapsed >= timeout)
        break;
      const uint64_t pause = std::clamp<uint64_t>(elapsed / 10, MinimumPollMs, MaximumPollMs);
      Sleep(static_cast<uint32_t>(std::min(pause, timeout - elapsed)));
    }
  }

  const uint8_t status = LoadStatus(live);
  // Every reader looks for the key in byte 2 and ASC/ASCQ in bytes 12-13. A
  // request still pending is the manager's to write.
  if (status != SS_PENDING)
    DescriptorSenseToFixed(std::span<uint8_t>(live.SenseArea, SENSE_LEN));
  if (status != SS_PENDING && status != SS_COMP) {
    bool busy = false;
    std::string text = StatusText(live, busy);
    TargetBusy = busy;
    if (text == "CHECK CONDITION")
      text = SenseKeyText(live.SenseArea);
    std::memcpy(LastSense.data(), live.SenseArea, LastSense.size());
    if (live.SenseArea[7] != 0)
      text += " (" + SenseCodeText(live.SenseArea[12], live.SenseArea[13]) + ")";
    const bool noAnswer = live.SRB_TargStat == ScsiStatusGood && live.SenseArea[0] == 0;
    TransportFailed = status != SS_ERR || live.SRB_HaStat != HASTAT_OK || noAnswer;
    if (!details.Reason.empty())
      text = details.Reason;
    else if (text.empty())
      text = noAnswer ? whyNoStatus : whyNoSenseData;
    LastErrorText = text;
  }
  if (transport.ExecuteTimed)
    LastTransferred = details.Transferred;
  else if (status == SS_COMP)
    LastTransferred = live.SRB_BufLen;

  if (!FirstCommandChecked) {
    FirstCommandChecked = true;
    const bool failed = status != SS_PENDING && status != SS_COMP;
    const bool longWrite = live.SenseArea[12] == 0x04 && live.SenseArea[13] == 0x08;
    if (failed && !QuietFirstCommand(live.CDBByte[0]) && !longWrite)
      SendDebugMessage(CommandReport(live), mtPlain);
  }

  if (LoadStatus(live) == SS_PENDING) {
    // Timed out. The abort goes first: until the manager has let go of the
    // request it may still signal the event.
    SRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = HaId;
    abort.SRB_ToAbort = &live;
    const bool aborted = transport.Send(&abort) == SS_COMP || abort.SRB_Status == SS_COMP;
    if (!aborted) {
      const std::string name = TrimmedName(live.CDBByte[0]);
      SendDebugMessage(StatusPrefix + Format(msgAbortRefused, name.c_str()), mtPlain);
      if (!WaitForRelease(live, event)) {
        SendDebugMessage(StatusPrefix + Format(msgAbortAbandoned, name.c_str()), mtPlain);
        // The manager keeps the copy (and the event it may still signal).
        Abandon(std::move(inflight), event);
        event = platform::InvalidEvent;
      }
    }
    // An abandoned copy is the manager's now: the outcome goes to the caller's request.
    SRB_ExecSCSICmd& outcome = (!inflight && &live != &Request) ? Request : live;
    outcome.SRB_HaStat = HASTAT_TIMEOUT;
    std::atomic_ref<uint8_t>(outcome.SRB_Status).store(SS_ERR, std::memory_order_release);
    LastErrorText = whyNoAnswerInTime;
    TransportFailed = true;
    LastTransferred = 0;
  }
  if (event != platform::InvalidEvent) {
    // Taking the signal reads the descriptor: the manager's write is then
    // ordered before the close for every observer, race checkers included.
    platform::ResetEvent(event);
    platform::CloseEvent(event);
  }
  if (inflight)
    inflight->CopyBack(Request);

  const auto address = reinterpret_cast<uintptr_t>(Request.SRB_BufPointer);
  if (address % 4 != 0)
    SendDebugMessage("aaaa" + std::to_string(address), mtPlain);
  return SS_COMP;
}

bool TSCSIDevice::DriveWritable(std::string& Why) {
  Why.clear();
  if (Transport().Name != SptiTransportName)
    return true;
  return SptiDriveWritable(HaId, Target, Lun, Why).value_or(true);
}

std::string TSCSIDevice::CommandReport(const SRB_ExecSCSICmd& Request) const {
  const uint8_t* cdb = Request.CDBByte;
  const std::string address = std::to_string(Request.SRB_HaId) + ":" + HexMin(Request.SRB_Target, 1) + ":" +
                              std::to_string(Request.SRB_Lun) + " <" + Hex2(Request.SRB_Status) + ">" + " [" +
                              HexMin(Request.SRB_BufLen, 5) + "]";
  std::string text = "(" + Hex2(cdb[0]) + ") {" + Hex2(Request.SRB_Flags) + "|" + Hex2(Request.SRB_CDBLen) +
                     "} - " + address + " ";
  for (size_t i = 1; i < 16; ++i)
    text += Hex2(cdb[i]) + " ";
  // Opcode FFh has no name: the program never sends it.
  const std::string name = cdb[0] < CommandNames().size() ? CommandNames()[cdb[0]] : Hex2(cdb[0]);
  text = name + " " + text + " " + "|";
  if (Request.SRB_BufLen != 0 && Request.SRB_BufPointer != nullptr) {
    const uint32_t shown = std::min(Request.SRB_BufLen, ReportDataBytes);
    for (uint32_t i = 0; i < shown; ++i)
      text += Hex2(Request.SRB_BufPointer[i]) + " ";
  }
  const uint8_t* sense = Request.SenseArea;
  return "<<< " + text + "= " + Hex2(Request.SRB_HaStat) + " " + Hex2(Request.SRB_TargStat) + " " + Hex2(sense[0]) +
         " " + Hex2(sense[2]) + " " + "ASC:" + Hex2(sense[12]) + ",ASQ:" + Hex2(sense[13]) + " " + LastErrorText;
}

} // namespace qnzb
