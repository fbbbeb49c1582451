// The ASPI for Win32 manager of the virtual recorder, built as WNASPI32.DLL.
// One host adapter (0) with the recorder at target 0, unit 0. It answers
// SC_HA_INQUIRY, SC_GET_DEV_TYPE, SC_EXEC_SCSI_CMD, SC_ABORT_SRB and
// SC_GET_DISK_INFO as a manager does. Commands flagged SRB_EVENT_NOTIFY
// return SS_PENDING at once and run on the manager's worker thread, which
// stores the final status and then signals the request's event (the handle
// in SRB_PostProc, platform/Event.h); other commands run in the caller's
// thread. The manager signals a duplicate of the event handle taken when the
// request arrived: a caller that sees the final status may close its handle
// at once, and the number may then name another file.
//
// The recorder is the persistent one of the state directory ($QNZB_VDRIVE
// and so on), opened on first use and saved when the library is unloaded. A
// state that can't be used leaves the drive with an empty tray (and a line on
// standard error) rather than no drive at all.
//
// Besides the two ASPI entry points the library exports
// QnzbVDriveSetTickSource, through which a test process shares its virtual
// clock with the recorder.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/device/AspiTypes.h"
#include "platform/DynamicLibrary.h"
#include "platform/Event.h"
#include "vdrive/Recorder.h"

#if defined(_WIN32)
#define QNZB_ASPI_EXPORT extern "C" __declspec(dllexport)
#else
#define QNZB_ASPI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace qnzb::vdrive {

namespace {

constexpr uint8_t AdapterCount = 1;
constexpr uint32_t MaxTransfer = 16 * 1024 * 1024;
constexpr char ManagerId[] = "QNZB VDRIVE ASPI";  // 16 characters, no terminator sent
constexpr char AdapterId[] = "VIRTUAL RECORDER";

using TickFunction = uint64_t (*)(void*);

struct TickHook {
  std::atomic<TickFunction> Function{nullptr};
  std::atomic<void*> Context{nullptr};
};

TickHook& Hook() {
  static TickHook hook;
  return hook;
}

// The natural direction of the data of the commands that send data to the
// drive; every other command with a buffer reads from it.
bool SendsData(uint8_t opcode) {
  switch (opcode) {
    case 0x04:  // FORMAT UNIT
    case 0x2A:  // WRITE (10)
    case 0x54:  // SEND OPC INFORMATION
    case 0x55:  // MODE SELECT (10)
    case 0x5D:  // SEND CUE SHEET
    case 0xB6:  // SET STREAMING
    case 0xBF:  // SEND DVD STRUCTURE
      return true;
    default:
      return false;
  }
}

void Publish(uint8_t& status, uint8_t value) {
  // The caller may poll SRB_Status; every other field is written before it.
  std::atomic_ref<uint8_t>(status).store(value, std::memory_order_release);
}

// Signals and releases the manager's own handle of a request's event.
void Signal(platform::TEventHandle event) {
  (void)platform::SetEvent(event);
  platform::CloseEvent(event);
}

// A request waiting for the worker, with the manager's handle of its event.
struct Pending {
  SRB_ExecSCSICmd* Srb;
  platform::TEventHandle Event;
};

class Manager {
public:
  static Manager& Instance() {
    static Manager manager;
    return manager;
  }

  ~Manager() {
#if defined(_WIN32)
    // The library is pinned, so this runs only at the process's end, after
    // Windows has ended the worker wherever it was: waking or joining it,
    // under the loader's lock, would wait for ever.
    if (worker_.joinable())
      worker_.detach();
#else
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable())
      worker_.join();
#endif
    // Requests nobody will run any more end as aborted.
    for (const Pending& p : queue_)
      Finish(p, SS_ABORTED);
  }

  uint32_t SupportInfo() {
    (void)Drive();
    return MakeSupportInfo(SS_COMP, AdapterCount);
  }

  uint32_t Send(void* request) {
    if (!request)
      return SS_INVALID_SRB;
    const uint8_t command = *static_cast<uint8_t*>(request);
    switch (command) {
      case SC_HA_INQUIRY: return HaInquiry(static_cast<SRB_HAInquiry*>(request));
      case SC_GET_DEV_TYPE: return DeviceType(static_cast<SRB_GDEVBlock*>(request));
      case SC_EXEC_SCSI_CMD: return Execute(static_cast<SRB_ExecSCSICmd*>(request));
      case SC_ABORT_SRB: return Abort(static_cast<SRB_Abort*>(request));
      case SC_GET_DISK_INFO: return DiskInfo(static_cast<SRB_GetDiskInfo*>(request));
      default: {
        auto* header = static_cast<uint8_t*>(request);
        Publish(header[1], SS_INVALID_CMD);
        return SS_INVALID_CMD;
      }
    }
  }

private:
  // Pinned: the worker thread and the destructors that save the recorder
  // run code of this library, which must not go away before the process.
  Manager() { (void)platform::PinLibraryOf(&Hook()); }

  Recorder& Drive() {
    std::call_once(opened_, [this] {
      std::string error;
      const std::string dir = StateDirectory::DefaultPath();
      TickSource ticks = [] {
        TickHook& hook = Hook();
        if (TickFunction f = hook.Function.load(std::memory_order_acquire))
          return f(hook.Context.load(std::memory_order_acquire));
        static const TickSource steady = SteadyTicks();
        return steady();
      };
      drive_ = Recorder::Open(dir, error, ticks);
      if (!drive_) {
        std::fprintf(stderr, "WNASPI32.DLL: virtual recorder in %s unusable, tray left empty: %s\n", dir.c_str(),
                     error.c_str());
        DriveState empty;
        empty.Medium = Disc{};
        drive_ = std::make_unique<Recorder>(std::move(empty), ticks);
      }
    });
    return *drive_;
  }

  static bool OurDevice(uint8_t target, uint8_t lun) { return target == 0 && lun == 0; }

  uint32_t HaInquiry(SRB_HAInquiry* srb) {
    if (srb->SRB_HaId >= AdapterCount) {
      Publish(srb->SRB_Status, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    srb->HA_Count = AdapterCount;
    srb->HA_SCSI_ID = 7;
    std::memcpy(srb->HA_ManagerId, ManagerId, sizeof srb->HA_ManagerId);
    std::memcpy(srb->HA_Identifier, AdapterId, sizeof srb->HA_Identifier);
    std::memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
    srb->HA_Unique[3] = 8;  // targets; buffers need no alignment (mask 0)
    for (int i = 0; i < 4; ++i)
      srb->HA_Unique[4 + i] = static_cast<uint8_t>(MaxTransfer >> (8 * i));
    Publish(srb->SRB_Status, SS_COMP);
    return SS_COMP;
  }

  uint32_t DeviceType(SRB_GDEVBlock* srb) {
    if (srb->SRB_HaId >= AdapterCount) {
      Publish(srb->SRB_Status, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    const bool ours = OurDevice(srb->SRB_Target, srb->SRB_Lun);
    srb->SRB_DeviceType = ours ? DTYPE_CDROM : DTYPE_UNKNOWN;
    const uint8_t status = ours ? SS_COMP : SS_NO_DEVICE;
    Publish(srb->SRB_Status, status);
    return status;
  }

  uint32_t DiskInfo(SRB_GetDiskInfo* srb) {
    if (srb->SRB_HaId >= AdapterCount) {
      Publish(srb->SRB_Status, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    if (!OurDevice(srb->SRB_Target, srb->SRB_Lun)) {
      Publish(srb->SRB_Status, SS_NO_DEVICE);
      return SS_NO_DEVICE;
    }
    // Not a BIOS disk; the drive-information byte carries the drive letter
    // the recorder is configured with, counted from A.
    srb->SRB_DriveFlags = 0;
    srb->SRB_Int13HDriveInfo = static_cast<uint8_t>(Drive().State().Config.Drive.Letter - 'A');
    srb->SRB_Heads = 0;
    srb->SRB_Sectors = 0;
    Publish(srb->SRB_Status, SS_COMP);
    return SS_COMP;
  }

  uint32_t Execute(SRB_ExecSCSICmd* srb) {
    uint8_t status = SS_PENDING;
    const uint8_t flags = srb->SRB_Flags;
    if (srb->SRB_HaId >= AdapterCount)
      status = SS_INVALID_HA;
    else if (!OurDevice(srb->SRB_Target, srb->SRB_Lun))
      status = SS_NO_DEVICE;
    else if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof srb->CDBByte ||
             (srb->SRB_BufLen > 0 && !srb->SRB_BufPointer) || (flags & SRB_DIR_IN && flags & SRB_DIR_OUT) ||
             (flags & SRB_POSTING) || (flags & SRB_EVENT_NOTIFY && !srb->SRB_PostProc))
      status = SS_INVALID_SRB;
    else if (srb->SRB_BufLen > MaxTransfer)
      status = SS_BUFFER_TO_BIG;
    if (status != SS_PENDING) {
      Publish(srb->SRB_Status, status);
      return status;
    }
    if (!(flags & SRB_EVENT_NOTIFY)) {
      Run({srb, platform::InvalidEvent});
      return srb->SRB_Status;
    }
    bool badHandle = false;
    const platform::TEventHandle event = platform::DuplicateEvent(PostProcToEvent(srb->SRB_PostProc), badHandle);
    if (event == platform::InvalidEvent) {
      status = badHandle ? SS_INVALID_SRB : SS_ASPI_IS_BUSY;
      Publish(srb->SRB_Status, status);
      return status;
    }
    Publish(srb->SRB_Status, SS_PENDING);
    {
      std::lock_guard lock(mutex_);
      queue_.push_back({srb, event});
      if (!worker_.joinable())
        worker_ = std::thread([this] { Work(); });
    }
    wake_.notify_one();
    return SS_PENDING;
  }

  uint32_t Abort(SRB_Abort* srb) {
    if (srb->SRB_HaId >= AdapterCount) {
      Publish(srb->SRB_Status, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    std::optional<Pending> victim;
    {
      std::lock_guard lock(mutex_);
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->Srb == srb->SRB_ToAbort) {
          victim = *it;
          queue_.erase(it);
          break;
        }
      }
    }
    // A request already running or done can't be taken back.
    if (!victim) {
      Publish(srb->SRB_Status, SS_ABORT_FAIL);
      return SS_ABORT_FAIL;
    }
    Finish(*victim, SS_ABORTED);
    Publish(srb->SRB_Status, SS_COMP);
    return SS_COMP;
  }

  void Work() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty())
        return;  // stopping
      const Pending next = queue_.front();
      queue_.pop_front();
      lock.unlock();
      Run(next);
      lock.lock();
    }
  }

  // Runs the command and completes the request.
  void Run(const Pending& request) {
    SRB_ExecSCSICmd* srb = request.Srb;
    const uint8_t flags = srb->SRB_Flags;
    ScsiDirection direction = ScsiDirection::None;
    if (srb->SRB_BufLen > 0) {
      if (flags & SRB_DIR_IN)
        direction = ScsiDirection::In;
      else if (flags & SRB_DIR_OUT)
        direction = ScsiDirection::Out;
      else
        direction = SendsData(srb->CDBByte[0]) ? ScsiDirection::Out : ScsiDirection::In;
    }
    uint8_t sense[SENSE_LEN] = {};
    const size_t senseLength = srb->SRB_SenseLen < SENSE_LEN ? srb->SRB_SenseLen : SENSE_LEN;
    const ScsiOutcome outcome =
        Drive().Execute(std::span<const uint8_t>(srb->CDBByte, srb->SRB_CDBLen),
                        std::span<uint8_t>(srb->SRB_BufPointer, srb->SRB_BufPointer ? srb->SRB_BufLen : 0), direction,
                        std::span<uint8_t>(sense, senseLength));
    srb->SRB_TargStat = outcome.Status;
    srb->SRB_HaStat = outcome.DataOverrun ? HASTAT_DO_DU : HASTAT_OK;
    if (outcome.Status == ScsiStatusCheckCondition)
      std::memcpy(srb->SenseArea, sense, senseLength);
    const bool good = outcome.Status == ScsiStatusGood && !outcome.DataOverrun;
    Finish(request, good ? SS_COMP : SS_ERR);
  }

  // After the status is published the request belongs to the caller again;
  // only our own descriptor of its event is used from then on.
  static void Finish(const Pending& request, uint8_t status) {
    Publish(request.Srb->SRB_Status, status);
    if (request.Event != platform::InvalidEvent)
      Signal(request.Event);
  }

  std::once_flag opened_;
  std::unique_ptr<Recorder> drive_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> queue_;
  bool stop_ = false;
  std::thread worker_;
};

} // namespace

} // namespace qnzb::vdrive

QNZB_ASPI_EXPORT uint32_t GetASPI32SupportInfo() {
  return qnzb::vdrive::Manager::Instance().SupportInfo();
}

QNZB_ASPI_EXPORT uint32_t SendASPI32Command(void* srb) {
  return qnzb::vdrive::Manager::Instance().Send(srb);
}

// Makes the recorder read time from `tick(context)` (milliseconds, never going
// back) instead of the steady clock; a null `tick` restores the steady clock.
// Safe at any time, from any thread.
QNZB_ASPI_EXPORT void QnzbVDriveSetTickSource(uint64_t (*tick)(void* context), void* context) {
  auto& hook = qnzb::vdrive::Hook();
  hook.Context.store(context, std::memory_order_release);
  hook.Function.store(tick, std::memory_order_release);
}
