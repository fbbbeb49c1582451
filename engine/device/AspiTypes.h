#pragma once
// The ASPI for Win32 request blocks and their constants: the whole contract
// between the engine's transport and an ASPI manager, whether a real
// WNASPI32.DLL, the engine's own pass-through emulation or the virtual
// recorder's library. The layouts are the public ASPI ones, byte-packed and
// little-endian. On a 32-bit build SRB_ExecSCSICmd is 97 bytes with the CDB at
// 48 and the sense area at 64; on a 64-bit build the two pointer fields
// (SRB_BufPointer, SRB_PostProc) are 8 bytes wide and shift what follows them
// (CDB at 56, sense area at 72, 105 bytes in all). Callers zero a block before
// filling it.
//
// This header is shared with the virtual recorder, which includes nothing else
// of the engine: keep it free of engine dependencies.

#include <cstddef>
#include <cstdint>

namespace qnzb {

// SRB_Cmd: the kind of request.
inline constexpr uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr uint8_t SC_GET_DEV_TYPE = 0x01;
inline constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;
inline constexpr uint8_t SC_ABORT_SRB = 0x03;
inline constexpr uint8_t SC_RESET_DEV = 0x04;
inline constexpr uint8_t SC_GET_DISK_INFO = 0x06;

// SRB_Status, also the result of SendASPI32Command. Status 0 means the request
// is still running (it completes through its event).
inline constexpr uint8_t SS_PENDING = 0x00;
inline constexpr uint8_t SS_COMP = 0x01;
inline constexpr uint8_t SS_ABORTED = 0x02;
inline constexpr uint8_t SS_ABORT_FAIL = 0x03;
inline constexpr uint8_t SS_ERR = 0x04;
inline constexpr uint8_t SS_INVALID_CMD = 0x80;
inline constexpr uint8_t SS_INVALID_HA = 0x81;
inline constexpr uint8_t SS_NO_DEVICE = 0x82;
inline constexpr uint8_t SS_INVALID_SRB = 0xE0;
inline constexpr uint8_t SS_BUFFER_ALIGN = 0xE1;
inline constexpr uint8_t SS_ILLEGAL_MODE = 0xE2;
inline constexpr uint8_t SS_NO_ASPI = 0xE3;
inline constexpr uint8_t SS_FAILED_INIT = 0xE4;
inline constexpr uint8_t SS_ASPI_IS_BUSY = 0xE5;
inline constexpr uint8_t SS_BUFFER_TO_BIG = 0xE6;
inline constexpr uint8_t SS_NO_ADAPTERS = 0xE8;

// SRB_Flags bits.
inline constexpr uint8_t SRB_POSTING = 0x01;
inline constexpr uint8_t SRB_ENABLE_RESIDUAL_COUNT = 0x04;
inline constexpr uint8_t SRB_DIR_IN = 0x08;
inline constexpr uint8_t SRB_DIR_OUT = 0x10;
inline constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;

// SRB_HaStat: what the host adapter saw (the SCSI status is SRB_TargStat).
inline constexpr uint8_t HASTAT_OK = 0x00;
inline constexpr uint8_t HASTAT_TIMEOUT = 0x09;
inline constexpr uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;
inline constexpr uint8_t HASTAT_MESSAGE_REJECT = 0x0D;
inline constexpr uint8_t HASTAT_BUS_RESET = 0x0E;
inline constexpr uint8_t HASTAT_PARITY_ERROR = 0x0F;
inline constexpr uint8_t HASTAT_REQUEST_SENSE_FAILED = 0x10;
inline constexpr uint8_t HASTAT_SEL_TO = 0x11;
inline constexpr uint8_t HASTAT_DO_DU = 0x12;  // data overrun or underrun
inline constexpr uint8_t HASTAT_BUS_FREE = 0x13;
inline constexpr uint8_t HASTAT_PHASE_ERR = 0x14;

// Peripheral device types (SRB_DeviceType, INQUIRY byte 0).
inline constexpr uint8_t DTYPE_WORM = 0x04;
inline constexpr uint8_t DTYPE_CDROM = 0x05;
inline constexpr uint8_t DTYPE_UNKNOWN = 0x1F;

// The sense area of SRB_ExecSCSICmd: 32 bytes of fixed-format sense data and
// one spare byte that travels with it.
inline constexpr size_t SENSE_LEN = 32;

// GetASPI32SupportInfo's result: status in bits 8-15, adapter count in 0-7.
[[nodiscard]] constexpr uint32_t MakeSupportInfo(uint8_t status, uint8_t adapters) {
  return (static_cast<uint32_t>(status) << 8) | adapters;
}

#pragma pack(push, 1)

struct SRB_HAInquiry {
  uint8_t SRB_Cmd;  // SC_HA_INQUIRY
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t HA_Count;
  uint8_t HA_SCSI_ID;
  uint8_t HA_ManagerId[16];   // text, zero-padded
  uint8_t HA_Identifier[16];  // text, zero-padded
  // Bytes 0-1 buffer alignment mask, 2 flags, 3 maximum targets, 4-7 maximum
  // transfer length (little-endian).
  uint8_t HA_Unique[16];
  uint16_t HA_Rsvd1;
};

struct SRB_GDEVBlock {
  uint8_t SRB_Cmd;  // SC_GET_DEV_TYPE
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint8_t SRB_DeviceType;
  uint8_t SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
  uint8_t SRB_Cmd;  // SC_EXEC_SCSI_CMD
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;
  uint8_t* SRB_BufPointer;
  uint8_t SRB_SenseLen;
  uint8_t SRB_CDBLen;
  uint8_t SRB_HaStat;
  uint8_t SRB_TargStat;
  // With SRB_EVENT_NOTIFY: the completion event (EventToPostProc). On POSIX
  // systems an eventfd descriptor, which the manager signals by writing a
  // 64-bit 1 to it; on Windows an event object, which it sets.
  void* SRB_PostProc;
  uint8_t SRB_Rsvd2[20];
  uint8_t CDBByte[16];
  uint8_t SenseArea[SENSE_LEN + 1];
};

struct SRB_Abort {
  uint8_t SRB_Cmd;  // SC_ABORT_SRB
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  void* SRB_ToAbort;  // the SRB_ExecSCSICmd to abort
};

struct SRB_GetDiskInfo {
  uint8_t SRB_Cmd;  // SC_GET_DISK_INFO
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint8_t SRB_DriveFlags;
  uint8_t SRB_Int13HDriveInfo;
  uint8_t SRB_Heads;
  uint8_t SRB_Sectors;
  uint8_t SRB_Rsvd1[10];
};

#pragma pack(pop)

static_assert(sizeof(SRB_HAInquiry) == 60);
static_assert(sizeof(SRB_GDEVBlock) == 12);
static_assert(sizeof(SRB_GetDiskInfo) == 24);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 20 + sizeof(void*));
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 40 + 2 * sizeof(void*));
static_assert(sizeof(SRB_ExecSCSICmd) == 89 + 2 * sizeof(void*));  // 97 on 32-bit
static_assert(sizeof(SRB_Abort) == 8 + sizeof(void*));

// The event handle (platform/Event.h) carried in SRB_PostProc and back.
[[nodiscard]] inline void* EventToPostProc(intptr_t event) { return reinterpret_cast<void*>(event); }
[[nodiscard]] inline intptr_t PostProcToEvent(void* postProc) { return reinterpret_cast<intptr_t>(postProc); }

// The manager library's file name (on every platform) and its two exports.
inline constexpr const char* AspiManagerFileName = "WNASPI32.DLL";
inline constexpr const char* GetASPI32SupportInfoName = "GetASPI32SupportInfo";
inline constexpr const char* SendASPI32CommandName = "SendASPI32Command";
using GetASPI32SupportInfoFn = uint32_t (*)();
// Takes any of the SRB_* blocks above; its first byte (SRB_Cmd) says which.
using SendASPI32CommandFn = uint32_t (*)(void* srb);

} // namespace qnzb
