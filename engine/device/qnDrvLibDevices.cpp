// The device component's device list: enumeration through the transport,
// list lines, selection with the per-drive quirks, and the drive letter.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "engine/device/Transport.h"
#include "engine/device/qnConst.h"
#include "engine/device/qnDrvLib.h"
#include "engine/device/qnSPTI.h"
#include "platform/Drives.h"
#include "platform/ScsiPassThrough.h"

namespace qnzb {

std::atomic<bool> SlowReadyDrive{false};
std::atomic<bool> CloseImmediate{true};

namespace {

constexpr const char* InvalidDeviceText = "INVALID DEVICE ID / NOT A CD OR DVD DRIVE";
constexpr uint8_t NoDevice = 254;

// Up to 16 characters of an identification field, ending at its first zero.
std::string FieldText(const uint8_t* field, size_t size) {
  const auto* end = std::find(field, field + size, uint8_t{0});
  return std::string(field, end);
}

std::string Trim(std::string text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos)
    return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// Bytes below 20h and spaces count as blanks at both ends, as the
// identification fields are compared.
std::string TrimControl(std::string text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  const auto first = std::find_if_not(text.begin(), text.end(), blank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

uint8_t DigitAt(const std::string& id, size_t index) {
  const char c = id[index];
  if (c < '0' || c > '9')
    throw std::invalid_argument("not a number");
  return static_cast<uint8_t>(c - '0');
}

bool ListedType(uint8_t peripheral) {
  return peripheral == DTYPE_CDROM || peripheral == DTYPE_WORM;
}

} // namespace

void TSCSIDevice::CreateDeviceList() {
  Erasing = false;
  HaId = Target = Lun = NoDevice;
  DeviceList.clear();
  if (Transport().Initialized) {
    QueryHostAdapter(0);
    RefreshDeviceList();
  }
}

bool TSCSIDevice::ASPIInitialized() const {
  return Transport().Initialized;
}

void TSCSIDevice::SetCloseAfterCommand(bool value) {
  CloseAfterCommand.store(value);
}

bool TSCSIDevice::InitializeTransport(bool PreferSPTI, const std::string& DllPath) {
  const auto start = [&](bool preferSpti) {
    bool initialized = false;
    try {
      initialized = qnzb::InitializeTransport(preferSpti, DllPath);
    } catch (const std::exception&) {
      initialized = false;
    }
    if (initialized) {
      QueryHostAdapter(0);
      RefreshDeviceList();
    }
    return initialized;
  };
  bool initialized = start(PreferSPTI);
  // The pass-through scan takes every node that answers INQUIRY; when none
  // of them is a CD/DVD drive, the manager library may still offer one.
  if (initialized && PreferSPTI && DeviceList.empty() && Transport().Name == SptiTransportName) {
    CloseTransport();
    initialized = start(false);
    Transport().SavedPreference = PreferSPTI;
  }
  return initialized;
}

int8_t TSCSIDevice::QueryHostAdapter(uint8_t haId) {
  std::memset(&HaInquiryBlock, 0, sizeof HaInquiryBlock);
  HaInquiryBlock.SRB_Cmd = SC_HA_INQUIRY;
  HaInquiryBlock.SRB_HaId = haId;
  const TTransportState& transport = Transport();
  if (transport.Initialized && transport.Send)
    transport.Send(&HaInquiryBlock);
  const int8_t result =
      HaInquiryBlock.SRB_Status == SS_COMP ? static_cast<int8_t>(HaInquiryBlock.HA_Count) : int8_t{-1};
  AdapterLimit = result == 0 ? int8_t{7} : result;
  return result;
}

void TSCSIDevice::RefreshDeviceList() {
  DeviceList.clear();
  const uint8_t savedHa = HaId, savedTarget = Target, savedLun = Lun;
  if (DoDebug)
    SendDebugMessage(StatusPrefix + Transport().Name, mtProgress);

  // Each query below sets AdapterLimit again; one adapter's answer (or a
  // failed query) must not cut the scan short.
  const int adapters = AdapterLimit;
  for (int adapter = 0; adapter < adapters; ++adapter) {
    QueryHostAdapter(static_cast<uint8_t>(adapter));
    if (DoDebug)
      SendDebugMessage(std::string(StatusPrefix) + FieldText(HaInquiryBlock.HA_ManagerId, 16) + " (" +
                           Trim(FieldText(HaInquiryBlock.HA_Identifier, 16)) + ")",
                       mtProgress);
    for (uint8_t target = 0; target < 8; ++target) {
      for (uint8_t unit = 0; unit < 8; ++unit) {
        HaId = static_cast<uint8_t>(adapter);
        Target = target;
        Lun = unit;
        InquiryData.fill(0);
        if (!Inquiry() || !ListedType(InquiryData[0]))
          continue;
        const char letter = DriveLetter();
        std::string line = std::to_string(adapter) + ":" + std::to_string(target) + ":" + std::to_string(unit) + ",";
        line += letter == '\0' ? std::string("?:") : std::string(1, letter) + ":";
        line += ' ';
        line.append(reinterpret_cast<const char*>(&InquiryData[8]), 28);
        if (InquiryData[0] == DTYPE_WORM)
          line += " (not supported)";
        DeviceList.push_back(std::move(line));
      }
    }
  }

  HaId = savedHa;
  Target = savedTarget;
  Lun = savedLun;
  AdapterLimit = static_cast<int8_t>(adapters);
  LastErrorText.clear();
}

namespace {

// Whether the drive behind `handle` answers INQUIRY with the vendor,
// product and revision of `inquiry` (control bytes read as spaces).
bool SameIdentity(platform::TDriveHandle handle, const std::array<uint8_t, 128>& inquiry) {
  alignas(4) std::array<uint8_t, 96> data{};
  platform::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER buffer{};
  platform::SCSI_PASS_THROUGH_DIRECT& spt = buffer.Spt;
  spt.Length = sizeof spt;
  spt.CdbLength = 6;
  spt.SenseInfoLength = sizeof buffer.SenseBuf;
  spt.DataIn = platform::SptDataIn;
  spt.DataTransferLength = static_cast<uint32_t>(data.size());
  spt.TimeOutValue = 10;
  spt.DataBuffer = data.data();
  spt.SenseInfoOffset = offsetof(platform::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
  const uint8_t cdb[6] = {0x12, 0, 0, 0, static_cast<uint8_t>(data.size()), 0};
  std::copy(std::begin(cdb), std::end(cdb), spt.Cdb);
  if (!platform::ScsiPassThroughDirect(handle, &buffer, sizeof buffer) || spt.ScsiStatus != 0)
    return false;
  const auto blank = [](uint8_t c) { return c < 0x20 ? uint8_t{' '} : c; };
  for (size_t i = 8; i < 36; ++i)
    if (blank(data[i]) != blank(inquiry[i]))
      return false;
  return true;
}

} // namespace

char TSCSIDevice::DriveLetter() {
  const TTransportState& transport = Transport();
  if (transport.Name == SptiTransportName) {
    const TSptiDrive* drive = SptiFindDrive(HaId, Target, Lun);
    return drive ? static_cast<char>('A' + drive->DriveIndex) : '\x7F';
  }
  for (char letter = 'B'; letter <= 'Z'; ++letter) {
    const platform::TDriveHandle handle = platform::OpenDrive(letter);
    if (handle == platform::InvalidDriveHandle)
      continue;
    platform::SCSI_ADDRESS address{};
    address.Length = sizeof address;
    // A manager's own numbers may equal a real drive's address by chance
    // (the virtual recorder's 0:0 and /dev/sr0 on host 0): the letter is the
    // device's only when its drive also tells the same identification.
    const bool found = platform::ScsiGetAddress(handle, address) && address.PortNumber == HaId &&
                       address.TargetId == Target && SameIdentity(handle, InquiryData);
    platform::CloseDrive(handle);
    if (found)
      return letter;
  }
  if (!transport.Initialized || !transport.Send)
    return '\0';
  SRB_GetDiskInfo info{};
  info.SRB_Cmd = SC_GET_DISK_INFO;
  info.SRB_HaId = HaId;
  info.SRB_Target = Target;
  info.SRB_Lun = Lun;
  transport.Send(&info);
  // A manager that reports no letter, or none in A-Z, leaves it unknown; a
  // letter the system gives a drive of its own is not the manager's to give.
  if (info.SRB_Status != SS_COMP || info.SRB_Int13HDriveInfo > 25)
    return '\0';
  const char letter = static_cast<char>('A' + info.SRB_Int13HDriveInfo);
  const char root[] = {letter, ':', '\\', '\0'};
  return platform::DriveTypeOf(root) == platform::TDriveType::NoRootDir ? letter : '\0';
}

void TSCSIDevice::LoadDeviceIdentity() {
  ReadCapabilities();
  // A failed INQUIRY must not leave the previous device's identity behind.
  InquiryData.fill(0);
  if (Inquiry()) {
    for (size_t i = 8; i <= 55; ++i)
      if (InquiryData[i] < 0x20)
        InquiryData[i] = ' ';
  }
}

void TSCSIDevice::SelectDevice(const std::string& Id) {
  const auto deselect = [this] {
    HaId = Target = Lun = NoDevice;
    SelectedId.clear();
  };
  if (Id.size() < 5) {
    if (!Id.empty())
      SendDebugMessage(InvalidDeviceText, mtPlain);
    deselect();
    return;
  }
  bool accepted = false;
  try {
    const uint8_t ha = DigitAt(Id, 0), target = DigitAt(Id, 2), unit = DigitAt(Id, 4);
    HaId = ha;
    Target = target;
    Lun = unit;
    SelectedId = Id;
    LoadDeviceIdentity();
    if (ListedType(InquiryData[0])) {
      const std::string productRaw(reinterpret_cast<const char*>(&InquiryData[16]), 16);
      const std::string product = TrimControl(productRaw);
      std::string vendor = TrimControl(std::string(reinterpret_cast<const char*>(&InquiryData[8]), 8));
      if (vendor.size() < 3)
        vendor = "     ";

      QuirkUnderrunFree = product == "CD-W512EB";
      QuirkLinkSize = product == "CRX175E" || product == "CD-RW  CRX800E";
      CloseImmediate.store(product != "CDRW321040X");
      SlowReadyDrive.store(product.starts_with("UJDA") || vendor.starts_with("TDK"));
      QuirkSlowReady = productRaw == "DVD-RW  DVR-103 " || productRaw == "DVD-RW  DVR-104 ";

      if (OnDeviceChange)
        OnDeviceChange(this);
      // The probe sets the drive's write parameters: never under another
      // program's job, so it waits for the hold (taken again by the caller,
      // which then learns why it was refused).
      writeModesProbed_ = false;
      std::string why;
      (void)HoldDrive(false, why);
      accepted = true;
    }
  } catch (const std::exception&) {
    accepted = false;
  }
  if (!accepted) {
    SendDebugMessage(InvalidDeviceText, mtPlain);
    deselect();
  }
}

void TSCSIDevice::ProbeWriteModes() {
  struct TTry {
    uint8_t WriteType;
    uint8_t DataBlockType;
  };
  // RAW, session-at-once, track-at-once: the drive keeps the last it takes.
  constexpr TTry tries[] = {{3, 1}, {2, 0}, {1, 0}};
  constexpr size_t replyLength = 512;
  // Parameter list: an 8-byte mode parameter header without block
  // descriptor, then page 05h up to its sub-header.
  constexpr size_t headerLength = 8;
  constexpr size_t pageLength = 52;
  for (const TTry& t : tries) {
    std::vector<uint8_t> reply(replyLength, 0);
    if (!ModeSense10(0x05, reply, false, replyLength))
      continue;
    const size_t offset = reply[16] == 0x05 ? 16 : 8;
    std::vector<uint8_t> list(headerLength + pageLength, 0);
    std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(offset), pageLength, list.begin() + headerLength);
    uint8_t* page = list.data() + headerLength;
    page[2] = t.WriteType;
    page[3] = 0;
    page[4] = t.DataBlockType;
    page[8] = 0;
    page[9] = 0;
    page[14] = 0;    // audio pause length: 150 (big-endian)
    page[15] = 150;
    (void)ModeSelect10(list);
  }
}

} // namespace qnzb
