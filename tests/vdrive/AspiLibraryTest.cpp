// The ASPI manager library, loaded as the transport loads it and driven
// through its two entry points only: host adapter and device queries,
// commands completing through an event on the manager's thread, bad request
// blocks, aborts, and a virtual clock shared through its tick-source hook.
// Media are changed the way a user does, with the vdrive command on the state
// directory, which the loaded drive notices.

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "engine/device/AspiTypes.h"
#include "engine/device/ScsiSense.h"
#include "platform/DynamicLibrary.h"
#include "platform/Event.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "vdrive/DriveConfig.h"
#include "vdrive/VDriveCommand.h"

namespace qnzb::vdrive::test {
namespace {

using SetTickSourceFn = void (*)(uint64_t (*)(void*), void*);

// Waits for the manager's signal; where the event is an eventfd, also that it
// came once.
void ExpectSignalledOnce(platform::TEventHandle event, const std::string& what) {
  // Completion normally takes microseconds; the bound only keeps a broken
  // manager from hanging the suite.
  ASSERT_EQ(platform::WaitForEvent(event, 20'000), platform::TWaitResult::Signalled) << what << " was never signalled";
#if !defined(_WIN32)
  uint64_t count = 0;
  EXPECT_EQ(::read(static_cast<int>(event), &count, sizeof count), static_cast<ssize_t>(sizeof count));
  EXPECT_EQ(count, 1u) << what << " signalled more than once";
#endif
}

std::atomic<uint64_t> virtualNow{0};
uint64_t VirtualTicks(void*) {
  return virtualNow.load();
}

class AspiLibrary : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new qnzb::test::TempDir;
    qnzb::test::SetEnv("QNZB_VDRIVE", dir->path());
    handle = platform::LoadDynamicLibrary(QNZB_ASPI_LIBRARY);
    ASSERT_NE(handle, nullptr) << platform::LastLibraryError();
    support = reinterpret_cast<GetASPI32SupportInfoFn>(platform::GetProcAddress(handle, GetASPI32SupportInfoName));
    send = reinterpret_cast<SendASPI32CommandFn>(platform::GetProcAddress(handle, SendASPI32CommandName));
    setTicks = reinterpret_cast<SetTickSourceFn>(platform::GetProcAddress(handle, "QnzbVDriveSetTickSource"));
  }

  static void TearDownTestSuite() {
    if (handle)
      platform::FreeLibrary(handle);
    qnzb::test::UnsetEnv("QNZB_VDRIVE");
    delete dir;
  }

  void SetUp() override {
    ASSERT_NE(support, nullptr);
    ASSERT_NE(send, nullptr);
    ASSERT_NE(setTicks, nullptr);
    Vdrive({"reset"});
    Vdrive({"insert", "cd-r"});
  }

  static void Vdrive(std::vector<std::string> args) {
    args.insert(args.begin(), {"--dir", dir->path()});
    std::ostringstream out, err;
    ASSERT_EQ(RunVDriveCommand(args, out, err), 0) << err.str();
  }

  // A zeroed request for the drive at 0:0:0.
  static SRB_ExecSCSICmd Request(std::initializer_list<uint8_t> cdb, uint8_t flags, uint8_t* buffer = nullptr,
                                 uint32_t length = 0) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Flags = flags;
    srb.SRB_SenseLen = 24;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
    srb.SRB_BufPointer = buffer;
    srb.SRB_BufLen = length;
    return srb;
  }

  // Sends with SRB_EVENT_NOTIFY and waits for the event; returns the status
  // SendASPI32Command returned.
  static uint32_t SendAndWait(SRB_ExecSCSICmd& srb) {
    const platform::TEventHandle event = platform::NewEvent();
    EXPECT_NE(event, platform::InvalidEvent);
    srb.SRB_Flags |= SRB_EVENT_NOTIFY;
    srb.SRB_PostProc = EventToPostProc(event);
    const uint32_t returned = send(&srb);
    ExpectSignalledOnce(event, "the event");
    platform::CloseEvent(event);
    return returned;
  }

  static uint8_t Status(const SRB_ExecSCSICmd& srb) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(srb.SRB_Status)).load();
  }

  static inline qnzb::test::TempDir* dir = nullptr;
  static inline platform::TLibraryHandle handle = nullptr;
  static inline GetASPI32SupportInfoFn support = nullptr;
  static inline SendASPI32CommandFn send = nullptr;
  static inline SetTickSourceFn setTicks = nullptr;
};

TEST_F(AspiLibrary, OneAdapterWithTheRecorderAtTargetZero) {
  EXPECT_EQ(support(), 0x0101u) << "SS_COMP, one adapter";
  SRB_HAInquiry ha;
  std::memset(&ha, 0, sizeof ha);
  ha.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(send(&ha), SS_COMP);
  EXPECT_EQ(ha.SRB_Status, SS_COMP);
  EXPECT_EQ(ha.HA_Count, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ha.HA_ManagerId), 16), "QNZB VDRIVE ASPI");
  EXPECT_EQ(ha.HA_Unique[3], 8) << "targets";
  EXPECT_EQ(ha.HA_Unique[4] | ha.HA_Unique[5] << 8 | ha.HA_Unique[6] << 16 | ha.HA_Unique[7] << 24, 16 << 20);
  ha.SRB_HaId = 1;
  EXPECT_EQ(send(&ha), SS_INVALID_HA);

  const struct {
    uint8_t Ha, Target, Lun, Status, Type;
  } devices[] = {{0, 0, 0, SS_COMP, DTYPE_CDROM}, {0, 1, 0, SS_NO_DEVICE, DTYPE_UNKNOWN},
                 {0, 0, 3, SS_NO_DEVICE, DTYPE_UNKNOWN}, {2, 0, 0, SS_INVALID_HA, 0}};
  for (const auto& d : devices) {
    SRB_GDEVBlock dev;
    std::memset(&dev, 0, sizeof dev);
    dev.SRB_Cmd = SC_GET_DEV_TYPE;
    dev.SRB_HaId = d.Ha;
    dev.SRB_Target = d.Target;
    dev.SRB_Lun = d.Lun;
    EXPECT_EQ(send(&dev), d.Status);
    EXPECT_EQ(dev.SRB_Status, d.Status);
    if (d.Status != SS_INVALID_HA) {
      EXPECT_EQ(dev.SRB_DeviceType, d.Type);
    }
  }

  SRB_GetDiskInfo disk;
  std::memset(&disk, 0, sizeof disk);
  disk.SRB_Cmd = SC_GET_DISK_INFO;
  EXPECT_EQ(send(&disk), SS_COMP);
  EXPECT_EQ('A' + disk.SRB_Int13HDriveInfo, Identity{}.Letter);
}

TEST_F(AspiLibrary, AnswersAnAsynchronousInquiryThroughTheEvent) {
  uint8_t data[36] = {};
  SRB_ExecSCSICmd srb = Request({0x12, 0, 0, 0, 36, 0}, SRB_DIR_IN, data, sizeof data);
  EXPECT_EQ(SendAndWait(srb), SS_PENDING) << "completes later, on the manager's thread";
  EXPECT_EQ(Status(srb), SS_COMP);
  EXPECT_EQ(srb.SRB_TargStat, ScsiStatusGood);
  EXPECT_EQ(data[0], 0x05);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8), "QNZB    ");
}

TEST_F(AspiLibrary, CheckConditionCarriesTheSenseInTheRequest) {
  Vdrive({"eject"});
  SRB_ExecSCSICmd srb = Request({0x00, 0, 0, 0, 0, 0}, 0);
  SendAndWait(srb);
  EXPECT_EQ(Status(srb), SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_OK);
  EXPECT_EQ(srb.SRB_TargStat, ScsiStatusCheckCondition);
  auto sense = DecodeFixedSense(std::span<const uint8_t>(srb.SenseArea, 24));
  ASSERT_TRUE(sense);
  EXPECT_EQ(*sense, sense::MediumNotPresentTrayClosed);
  // Without the event flag the same request completes before the call returns.
  SRB_ExecSCSICmd sync = Request({0x00, 0, 0, 0, 0, 0}, 0);
  EXPECT_EQ(send(&sync), SS_ERR);
  Vdrive({"insert", "cd-r"});
  sync = Request({0x00, 0, 0, 0, 0, 0}, 0);
  EXPECT_EQ(send(&sync), SS_COMP) << "the drive saw the new disc";
}

TEST_F(AspiLibrary, WritesAndReadsBlocksThroughRequests) {
  Vdrive({"insert", "dvd-ram"});
  std::vector<uint8_t> out(32 * 2048);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint8_t>(i * 13 + i / 2048);
  SRB_ExecSCSICmd write = Request({0x2A, 0, 0, 0, 0x10, 0, 0, 0, 32, 0}, SRB_DIR_OUT, out.data(),
                                  static_cast<uint32_t>(out.size()));
  SendAndWait(write);
  ASSERT_EQ(Status(write), SS_COMP);
  std::vector<uint8_t> in(out.size());
  SRB_ExecSCSICmd read = Request({0x28, 0, 0, 0, 0x10, 0, 0, 0, 32, 0}, SRB_DIR_IN, in.data(),
                                 static_cast<uint32_t>(in.size()));
  SendAndWait(read);
  ASSERT_EQ(Status(read), SS_COMP);
  EXPECT_EQ(in, out);
  // Direction left to the command (neither flag): WRITE sends, READ receives.
  std::vector<uint8_t> again(2048);
  SRB_ExecSCSICmd natural = Request({0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0}, 0, again.data(), 2048);
  EXPECT_EQ(send(&natural), SS_COMP);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), out.begin()));
  // A host buffer shorter than the transfer: the adapter reports the overrun.
  std::vector<uint8_t> small(1000);
  SRB_ExecSCSICmd cut = Request({0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0}, SRB_DIR_IN, small.data(), 1000);
  EXPECT_EQ(send(&cut), SS_ERR);
  EXPECT_EQ(cut.SRB_HaStat, HASTAT_DO_DU);
}

TEST_F(AspiLibrary, RefusesMalformedRequestBlocks) {
  EXPECT_EQ(send(nullptr), SS_INVALID_SRB);
  uint8_t buffer[16] = {};
  const struct {
    const char* What;
    SRB_ExecSCSICmd Srb;
    uint8_t Status;
  } cases[] = {
      {"no CDB", [&] { auto s = Request({}, SRB_DIR_IN, buffer, 16); return s; }(), SS_INVALID_SRB},
      {"CDB longer than 16", [&] { auto s = Request({0x12}, 0); s.SRB_CDBLen = 17; return s; }(), SS_INVALID_SRB},
      {"null buffer with a length", Request({0x12, 0, 0, 0, 36, 0}, SRB_DIR_IN, nullptr, 36), SS_INVALID_SRB},
      {"both directions", Request({0x12, 0, 0, 0, 16, 0}, SRB_DIR_IN | SRB_DIR_OUT, buffer, 16), SS_INVALID_SRB},
      {"event without a descriptor", Request({0x00, 0, 0, 0, 0, 0}, SRB_EVENT_NOTIFY), SS_INVALID_SRB},
      {"posting callback", Request({0x00, 0, 0, 0, 0, 0}, SRB_POSTING), SS_INVALID_SRB},
      {"transfer too big", Request({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SRB_DIR_IN, buffer, 32u << 20), SS_BUFFER_TO_BIG},
      {"another target", [&] { auto s = Request({0x00, 0, 0, 0, 0, 0}, 0); s.SRB_Target = 3; return s; }(),
       SS_NO_DEVICE},
      {"another adapter", [&] { auto s = Request({0x00, 0, 0, 0, 0, 0}, 0); s.SRB_HaId = 4; return s; }(),
       SS_INVALID_HA},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.What);
    SRB_ExecSCSICmd srb = k.Srb;
    EXPECT_EQ(send(&srb), k.Status);
    EXPECT_EQ(srb.SRB_Status, k.Status);
  }
  uint8_t unknown[64] = {9};
  EXPECT_EQ(send(unknown), SS_INVALID_CMD);
  EXPECT_EQ(unknown[1], SS_INVALID_CMD);
  SRB_ExecSCSICmd closed = Request({0x00, 0, 0, 0, 0, 0}, SRB_EVENT_NOTIFY);
  const platform::TEventHandle event = platform::NewEvent();
  platform::CloseEvent(event);
  closed.SRB_PostProc = EventToPostProc(event);
  EXPECT_EQ(send(&closed), SS_INVALID_SRB) << "an event that is no open handle";
}

#if !defined(_WIN32)
TEST_F(AspiLibrary, TheCallerMayCloseItsEventAsSoonAsTheStatusIsFinal) {
  // The caller closes its event and opens a file, which gets the same
  // descriptor number. The manager must signal its own copy of the event,
  // never write into that file.
  qnzb::test::TempDir scratch;
  const std::string path = scratch.write("victim", "");
  for (int i = 0; i < 100; ++i) {
    SRB_ExecSCSICmd srb = Request({0x00, 0, 0, 0, 0, 0}, SRB_EVENT_NOTIFY);
    const platform::TEventHandle event = platform::NewEvent();
    srb.SRB_PostProc = EventToPostProc(event);
    ASSERT_EQ(send(&srb), SS_PENDING);
    // Closed even before the status is final: the request arrived with a
    // valid event, which is all the manager may rely on.
    platform::CloseEvent(event);
    const int victim = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(victim, 0);
    while (Status(srb) == SS_PENDING)
      std::this_thread::yield();
    // The worker runs requests in order: once this one is signalled, the
    // previous one's signal is done.
    SRB_ExecSCSICmd after = Request({0x00, 0, 0, 0, 0, 0}, 0);
    SendAndWait(after);
    ::close(victim);
    ASSERT_EQ(qnzb::test::readFile(path), "") << "iteration " << i;
  }
}
#endif

TEST_F(AspiLibrary, AbortTakesBackOnlyRequestsNotYetRunning) {
  Vdrive({"insert", "dvd-ram"});
  constexpr int Count = 64;
  std::vector<uint8_t> data(32 * 2048, 0x5A);
  std::vector<SRB_ExecSCSICmd> requests;
  std::vector<platform::TEventHandle> events;
  requests.reserve(Count);
  for (int i = 0; i < Count; ++i) {
    const auto lba = static_cast<uint8_t>(i);
    requests.push_back(Request({0x2A, 0, 0, 0, lba, 0, 0, 0, 32, 0}, SRB_DIR_OUT | SRB_EVENT_NOTIFY, data.data(),
                               static_cast<uint32_t>(data.size())));
    events.push_back(platform::NewEvent());
    requests.back().SRB_PostProc = EventToPostProc(events.back());
  }
  for (auto& r : requests)
    ASSERT_EQ(send(&r), SS_PENDING);
  SRB_Abort abort;
  std::memset(&abort, 0, sizeof abort);
  abort.SRB_Cmd = SC_ABORT_SRB;
  abort.SRB_ToAbort = &requests.back();
  const uint32_t result = send(&abort);
  for (size_t i = 0; i < requests.size(); ++i) {
    ExpectSignalledOnce(events[i], "request " + std::to_string(i));
    platform::CloseEvent(events[i]);
  }
  if (result == SS_COMP) {
    EXPECT_EQ(Status(requests.back()), SS_ABORTED) << "taken back before it ran";
  } else {
    EXPECT_EQ(result, SS_ABORT_FAIL);
    EXPECT_EQ(Status(requests.back()), SS_COMP) << "already running or done";
  }
  for (int i = 0; i + 1 < Count; ++i)
    EXPECT_EQ(Status(requests[static_cast<size_t>(i)]), SS_COMP);
  abort.SRB_ToAbort = &requests.front();
  EXPECT_EQ(send(&abort), SS_ABORT_FAIL) << "a finished request can't be aborted";
}

TEST_F(AspiLibrary, SharesTheHostsVirtualClock) {
  virtualNow = 5'000;
  setTicks(&VirtualTicks, nullptr);
  Vdrive({"set", "real-time=1"});
  Vdrive({"insert", "cd-rw"});
  SRB_ExecSCSICmd blank = Request({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0);  // quick, Immed
  SendAndWait(blank);
  EXPECT_EQ(Status(blank), SS_COMP);
  auto ready = [&] {
    SRB_ExecSCSICmd tur = Request({0x00, 0, 0, 0, 0, 0}, 0);
    send(&tur);
    return tur;
  };
  SRB_ExecSCSICmd busy = ready();
  EXPECT_EQ(busy.SRB_Status, SS_ERR);
  EXPECT_EQ(busy.SenseArea[12], 0x04);
  EXPECT_EQ(busy.SenseArea[13], 0x07) << "operation in progress";
  virtualNow += Timing{}.CdQuickBlankMs - 1;
  EXPECT_EQ(ready().SRB_Status, SS_ERR);
  virtualNow += 1;
  EXPECT_EQ(ready().SRB_Status, SS_COMP) << "done once the shared clock passed the blank's duration";
  setTicks(nullptr, nullptr);
}

} // namespace
} // namespace qnzb::vdrive::test
