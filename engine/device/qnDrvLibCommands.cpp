// The command wrappers of the device component: one per MMC command, each
// building its CDB from named fields and running it through ExecuteCommand.

#include "engine/device/qnDrvLib.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/device/ScsiBytes.h"
#include "engine/device/qnConst.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {

constexpr uint8_t NoData = SRB_EVENT_NOTIFY;
constexpr uint8_t DataIn = SRB_EVENT_NOTIFY | SRB_DIR_IN;
constexpr uint8_t DataOut = SRB_EVENT_NOTIFY | SRB_DIR_OUT;
constexpr uint8_t SenseLength = 24;

constexpr int32_t DefaultTimeoutMs = 10000;

constexpr uint32_t FormatCapacitiesLength = 248;
constexpr uint32_t TrackInfoLength = 40;
constexpr uint32_t BufferCapacityLength = 32;
constexpr uint32_t CapacityLength = 8;

// A zeroed request carrying the CDB, the flags and the buffer.
SRB_ExecSCSICmd Request(const TCdb& cdb, uint8_t flags, uint8_t* buffer = nullptr, uint32_t length = 0) {
  SRB_ExecSCSICmd r{};
  r.SRB_SenseLen = SenseLength;
  r.SRB_Flags = flags;
  r.SRB_CDBLen = cdb.Length;
  std::memcpy(r.CDBByte, cdb.Bytes.data(), cdb.Bytes.size());
  r.SRB_BufPointer = length != 0 ? buffer : nullptr;
  r.SRB_BufLen = length;
  return r;
}

// The manager only reads a data-out buffer; the request block has one
// pointer type for both directions.
uint8_t* Outgoing(std::span<const uint8_t> data) {
  return const_cast<uint8_t*>(data.data());
}

} // namespace

bool TSCSIDevice::Refuse() {
  LastErrorText = "INVALID REQUEST";
  TargetBusy = false;
  LastSense.fill(0);
  return false;
}

bool TSCSIDevice::Run(SRB_ExecSCSICmd& request, int32_t timeoutMs) {
  return ExecuteCommand(request, timeoutMs) == SS_COMP && request.SRB_Status == SS_COMP;
}

bool TSCSIDevice::Arrived(uint32_t needed) {
  if (LastTransferred >= needed)
    return true;
  LastErrorText = Format(whyShortReply, LastTransferred, needed);
  return false;
}

bool TSCSIDevice::TestUnitReady(int32_t TimeoutMs) {
  auto r = Request(TCdb(0x00, 6), NoData);
  return Run(r, TimeoutMs);
}

bool TSCSIDevice::RezeroUnit() {
  auto r = Request(TCdb(0x01, 6), NoData);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::RequestSense(std::span<uint8_t> Buffer) {
  if (Buffer.empty() || Buffer.size() > 255)
    return Refuse();
  const auto length = static_cast<uint8_t>(Buffer.size());
  auto r = Request(TCdb(0x03, 6).Set(4, length), DataIn, Buffer.data(), length);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::FormatUnit(uint8_t Byte1, std::span<const uint8_t> ParamList) {
  if (ParamList.size() > smallBuffer_.size())
    return Refuse();
  std::copy(ParamList.begin(), ParamList.end(), smallBuffer_.begin());
  const auto length = static_cast<uint32_t>(ParamList.size());
  auto r = Request(TCdb(0x04, 6).Set(1, Byte1), DataOut, smallBuffer_.data(), length);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::Inquiry() {
  const auto length = static_cast<uint32_t>(InquiryData.size());
  auto r = Request(TCdb(0x12, 6).Set(4, static_cast<uint8_t>(length)), DataIn, InquiryData.data(), length);
  return Run(r, DefaultTimeoutMs);
}

std::string TSCSIDevice::UnitSerialNumber() {
  // Vital product data page 80h: header of 4 bytes, then the serial's ASCII.
  alignas(4) std::array<uint8_t, 252> page{};
  auto r = Request(TCdb(0x12, 6).Set(1, 0x01).Set(2, 0x80).Set(4, static_cast<uint8_t>(page.size())), DataIn,
                   page.data(), static_cast<uint32_t>(page.size()));
  // Page code 80h with a zero high length byte: a drive that ignores EVPD
  // sends its standard data instead (byte 1 80h "removable", byte 2 the version).
  if (!Run(r, DefaultTimeoutMs) || page[1] != 0x80 || page[2] != 0)
    return {};
  const size_t length = std::min<size_t>({page[3], page.size() - 4, LastTransferred > 4 ? size_t{LastTransferred} - 4 : size_t{0}});
  std::string serial(reinterpret_cast<const char*>(page.data() + 4), length);
  // ASCII only: anything else is not a serial number to key a lock by.
  if (std::any_of(serial.begin(), serial.end(), [](char c) { return c != '\0' && (c < 0x20 || c > 0x7E); }))
    return {};
  serial.erase(std::find(serial.begin(), serial.end(), '\0'), serial.end());
  serial.erase(0, serial.find_first_not_of(' '));
  serial.erase(serial.find_last_not_of(' ') + 1);
  return serial;
}

bool TSCSIDevice::StartStopUnit(bool Eject) {
  // The pass-through handle is closed after a load or eject: the system
  // re-reads the medium when the next command opens it again.
  SetCloseAfterCommand(true);
  // LoEj with Start clear opens the tray; LoEj with Start loads.
  auto r = Request(TCdb(0x1B, 6).Set(4, Eject ? 0x02 : 0x03), NoData);
  const bool ok = Run(r, 20000);
  SetCloseAfterCommand(false);
  return ok;
}

bool TSCSIDevice::AllowMediumRemoval(bool Allow) {
  if (Allow)
    SetCloseAfterCommand(true);
  auto r = Request(TCdb(0x1E, 6).Set(4, Allow ? 0x00 : 0x01), NoData);
  const bool ok = Run(r, DefaultTimeoutMs);
  SetCloseAfterCommand(false);
  return ok;
}

bool TSCSIDevice::ReadFormatCapacities(std::span<uint8_t> Buffer) {
  if (Buffer.size() < FormatCapacitiesLength)
    return Refuse();
  auto r = Request(TCdb(0x23, 10).Set(8, static_cast<uint8_t>(FormatCapacitiesLength)), DataIn, Buffer.data(),
                   FormatCapacitiesLength);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::ReadCapacity(uint32_t& LastLba, uint32_t& BlockLength) {
  smallBuffer_.fill(0);
  auto r = Request(TCdb(0x25, 10), DataIn, smallBuffer_.data(), CapacityLength);
  const bool ok = Run(r, DefaultTimeoutMs) && Arrived(CapacityLength);
  const std::span<const uint8_t> reply(smallBuffer_.data(), CapacityLength);
  LastLba = Be32At(reply, 0);
  BlockLength = Be32At(reply, 4);
  return ok;
}

bool TSCSIDevice::Read10(uint32_t Lba, uint16_t Blocks, std::span<uint8_t> Buffer, bool ForceUnitAccess) {
  if (Buffer.size() > UINT32_MAX)
    return Refuse();
  auto r = Request(TCdb(0x28, 10).Set(1, ForceUnitAccess ? 0x08 : 0x00).Be32(2, Lba).Be16(7, Blocks), DataIn, Buffer.data(),
                   static_cast<uint32_t>(Buffer.size()));
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::Write10(uint32_t Lba, uint16_t Blocks, uint8_t Flags, std::span<const uint8_t> Buffer) {
  if (Buffer.size() > UINT32_MAX)
    return Refuse();
  auto r = Request(TCdb(0x2A, 10).Be32(2, Lba).Be16(7, Blocks), Flags, Outgoing(Buffer),
                   static_cast<uint32_t>(Buffer.size()));
  // A request the manager still runs was handed over; one that never reached
  // the transport was not written, whatever its status says.
  if (ExecuteCommand(r, 120000) != SS_COMP)
    return false;
  return r.SRB_Status == SS_COMP || r.SRB_Status == SS_PENDING;
}

bool TSCSIDevice::SynchronizeCache(int32_t TimeoutMs, bool Immed) {
  auto r = Request(TCdb(0x35, 10).Set(1, Immed ? 0x02 : 0x00), NoData);
  return Run(r, TimeoutMs);
}

bool TSCSIDevice::ReadTocPmaAtip(uint8_t Format, std::span<uint8_t> Buffer, uint8_t Number, bool Msf,
                                 uint8_t Control) {
  if (Buffer.size() > 255)
    return Refuse();
  const auto length = static_cast<uint8_t>(Buffer.size());
  TCdb cdb(0x43, 10);
  cdb.Set(1, Msf ? 0x02 : 0x00).Set(2, Format).Set(6, Number).Set(8, length).Set(9, Control);
  auto r = Request(cdb, DataIn, Buffer.data(), length);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::GetConfiguration(uint8_t Rt, uint16_t StartFeature, std::span<uint8_t> Buffer) {
  if (StartFeature > 255 || Buffer.size() > 255)
    return Refuse();
  const auto length = static_cast<uint8_t>(Buffer.size());
  TCdb cdb(0x46, 10);
  cdb.Set(1, Rt).Set(3, static_cast<uint8_t>(StartFeature)).Set(8, length);
  auto r = Request(cdb, DataIn, Buffer.data(), length);
  return Run(r, 30000);
}

bool TSCSIDevice::ReadDiscInformation(std::span<uint8_t> Buffer) {
  if (Buffer.size() > 255)
    return Refuse();
  const auto length = static_cast<uint8_t>(Buffer.size());
  auto r = Request(TCdb(0x51, 10).Set(8, length), DataIn, Buffer.data(), length);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::ReadTrackInformation(uint32_t Track) {
  // Address type 01h: the address field holds a track number.
  TCdb cdb(0x52, 10);
  cdb.Set(1, 0x01).Be32(2, Track).Set(8, static_cast<uint8_t>(TrackInfoLength));
  auto r = Request(cdb, DataIn, TrackInfo.data(), TrackInfoLength);
  return Run(r, 60000);
}

bool TSCSIDevice::ReserveTrack(uint32_t Blocks) {
  auto r = Request(TCdb(0x53, 12).Be32(5, Blocks), NoData);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::SendOpcInformation() {
  // DoOPC: the drive calibrates its laser power itself.
  auto r = Request(TCdb(0x54, 10).Set(1, 0x01), NoData);
  return Run(r, 150000);
}

bool TSCSIDevice::ModeSelect10(std::span<const uint8_t> Data) {
  if (Data.size() > 255)
    return Refuse();
  std::copy(Data.begin(), Data.end(), modeBuffer_.begin());
  const auto length = static_cast<uint8_t>(Data.size());
  // PF: the pages follow the MMC page format.
  auto r = Request(TCdb(0x55, 10).Set(1, 0x10).Set(8, length), DataOut, modeBuffer_.data(), length);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::ModeSense10(uint8_t Page, std::span<uint8_t> Dest, bool Defaults, uint16_t Length) {
  std::fill(Dest.begin(), Dest.end(), uint8_t{0});
  if (Length > modeBuffer_.size())
    return Refuse();
  std::fill(modeBuffer_.begin(), modeBuffer_.begin() + Length, uint8_t{0});
  // Page control 10b in bits 6-7 of byte 2: default values.
  TCdb cdb(0x5A, 10);
  cdb.Set(2, static_cast<uint8_t>(Page | (Defaults ? 0x80 : 0x00))).Be16(7, Length);
  auto r = Request(cdb, DataIn, modeBuffer_.data(), Length);
  const bool ok = Run(r, 20000);
  if (ok) {
    const size_t copied = std::min<size_t>(Length, Dest.size());
    std::copy(modeBuffer_.begin(), modeBuffer_.begin() + static_cast<std::ptrdiff_t>(copied), Dest.begin());
  }
  return ok;
}

bool TSCSIDevice::CloseTrackSession(bool CloseTrack, bool Immed, bool Finalize) {
  const uint8_t function = Finalize ? 0x05 : CloseTrack ? 0x01 : 0x02;
  // Track FFh: the invisible (incomplete) track.
  return CloseTrackSession(Immed, function, 0, 0, CloseTrack ? 0xFF : 0x00);
}

bool TSCSIDevice::CloseTrackSession(bool Immed, uint8_t Function, uint8_t B3, uint8_t B4, uint8_t B5) {
  TCdb cdb(0x5B, 10);
  cdb.Set(1, Immed ? 0x01 : 0x00).Set(2, Function).Set(3, B3).Set(4, B4).Set(5, B5);
  auto r = Request(cdb, NoData);
  return Run(r, 180000);
}

bool TSCSIDevice::ReadBufferCapacity() {
  smallBuffer_.fill(0);
  auto r = Request(TCdb(0x5C, 10).Set(8, static_cast<uint8_t>(BufferCapacityLength)), DataIn, smallBuffer_.data(),
                   BufferCapacityLength);
  // The sizes end at byte 11.
  if (!Run(r, DefaultTimeoutMs) || !Arrived(12)) {
    DeviceFreeBufferSize = 0;
    return false;
  }
  const std::span<const uint8_t> reply(smallBuffer_.data(), BufferCapacityLength);
  DeviceBufferSize = Be32At(reply, 4);
  DeviceFreeBufferSize = Be32At(reply, 8);
  // Some drives report an unknown free size as all ones.
  if (DeviceFreeBufferSize == 0xFFFFFFFFu)
    DeviceFreeBufferSize = DeviceBufferSize.load();
  return true;
}

bool TSCSIDevice::SendCueSheet(std::span<const uint8_t> Buffer) {
  if (Buffer.size() > 0xFFFF)
    return Refuse();
  const auto length = static_cast<uint16_t>(Buffer.size());
  auto r = Request(TCdb(0x5D, 10).Be16(7, length), DataOut, Outgoing(Buffer), length);
  return Run(r, 30000);
}

bool TSCSIDevice::Blank(uint8_t Type) {
  if (Type > 0x07)
    return Refuse();
  // Immed (10h): the drive answers at once; the caller polls for the end.
  auto r = Request(TCdb(0xA1, 12).Set(1, static_cast<uint8_t>(Type + 0x10)), NoData);
  return Run(r, 4800000);
}

bool TSCSIDevice::SetStreaming(std::span<const uint8_t> Buffer) {
  if (Buffer.size() > 0xFFFF)
    return Refuse();
  const auto length = static_cast<uint16_t>(Buffer.size());
  auto r = Request(TCdb(0xB6, 12).Be16(9, length), DataOut, Outgoing(Buffer), length);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::SetCdSpeed(uint16_t ReadKBps, uint16_t WriteKBps) {
  const auto field = [](uint16_t speed) { return speed == 0 ? uint16_t{0xFFFF} : speed; };
  auto r = Request(TCdb(0xBB, 12).Be16(2, field(ReadKBps)).Be16(4, field(WriteKBps)), NoData);
  return Run(r, DefaultTimeoutMs);
}

bool TSCSIDevice::SendDvdStructure(uint8_t Format, std::span<const uint8_t> Buffer) {
  if (Buffer.size() > 0xFFFF)
    return Refuse();
  const auto length = static_cast<uint16_t>(Buffer.size());
  auto r = Request(TCdb(0xBF, 12).Set(7, Format).Be16(8, length), DataOut, Outgoing(Buffer), length);
  return Run(r, DefaultTimeoutMs);
}

} // namespace qnzb
