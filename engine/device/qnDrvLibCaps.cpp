// Drive capabilities and speeds: mode page 2Ah and the DVD writing features
// condensed into the Capabilities bits and the maximum speeds, SET CD SPEED
// behind WriteSpeed, and the list of write speeds the drive accepts.

#include "engine/device/qnDrvLib.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/device/ScsiBytes.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {

constexpr uint8_t CapabilitiesPage = 0x2A;
constexpr uint8_t VendorPage30 = 0x30;
constexpr uint16_t DvdPlusRwFeature = 0x002A;
constexpr uint16_t DvdMinusRwFeature = 0x002F;
constexpr size_t ModeReplyLength = 255;
constexpr uint16_t CurrentPageLength = 128;
constexpr size_t FeatureReplyLength = 114;
// 1X DVD: what a drive without speed fields is assumed to write at.
constexpr uint16_t DvdSingleSpeed = 1385;

// Byte offsets inside page 2Ah (page code at 0).
constexpr size_t ReadFlags = 2;
constexpr size_t WriteFlags = 3;
constexpr size_t BufferFlags = 4;
constexpr size_t MaxReadSpeedAt = 8;
constexpr size_t BufferSizeAt = 12;
constexpr size_t CurrentReadSpeedAt = 14;
constexpr size_t MaxWriteSpeedAt = 18;
constexpr size_t CurrentWriteSpeedAt = 20;

constexpr TCapabilityName Names[] = {
    {CapReadCDR, "ReadCDR"},         {CapReadCDRW, "ReadCDRW"},       {CapReadDVD, "ReadDVD"},
    {CapReadDVDR, "ReadDVDR"},       {CapReadDVDRW, "ReadDVDRW"},     {CapReadDVDRAM, "ReadDVDRAM"},
    {CapReadDVDPR, "ReadDVDPR"},     {CapReadDVDPRW, "ReadDVDPRW"},   {CapWriteCDR, "WriteCDR"},
    {CapWriteCDRW, "WriteCDRW"},     {CapWriteTest, "WriteTest"},     {CapWriteDVDR, "WriteDVDR"},
    {CapWriteDVDRW, "WriteDVDRW"},   {CapWriteDVDRAM, "WriteDVDRAM"}, {CapWriteDVDPR, "WriteDVDPR"},
    {CapWriteDVDPRW, "WriteDVDPRW"}, {CapUnderrunProtection, "UnderrunProtection"},
};

uint16_t HostU16(const std::array<uint8_t, 516>& page, size_t at) {
  uint16_t value;
  std::memcpy(&value, page.data() + at, sizeof value);
  return value;
}

void PutHostU16(std::array<uint8_t, 516>& page, size_t at, uint16_t value) {
  std::memcpy(page.data() + at, &value, sizeof value);
}

void PutBe16(std::array<uint8_t, 516>& page, size_t at, uint16_t value) {
  page[at] = static_cast<uint8_t>(value >> 8);
  page[at + 1] = static_cast<uint8_t>(value);
}

// Where a mode page starts in a MODE SENSE (10) reply: after the 8-byte
// header, or after an 8-byte block descriptor too. Some drives answer with a
// header one byte short, so the page code may also stand at 7.
bool PageAt(std::span<const uint8_t> reply, uint8_t page) {
  return ByteAt(reply, 16) == page || ByteAt(reply, 8) == page || ByteAt(reply, 7) == page;
}

uint32_t PageBits(const std::array<uint8_t, 516>& page) {
  const uint8_t read = page[ReadFlags];
  const uint8_t write = page[WriteFlags];
  uint32_t bits = 0;
  if (read & 0x01) bits |= CapReadCDR;
  if (read & 0x02) bits |= CapReadCDRW;
  if (read & 0x04) bits |= CapReadMode2Form;
  if (read & 0x08) bits |= CapReadDVD;
  if (read & 0x10) bits |= CapReadDVDR | CapReadDVDRW;
  if (read & 0x20) bits |= CapReadDVDRAM;
  if (write & 0x01) bits |= CapWriteCDR;
  if (write & 0x02) bits |= CapWriteCDRW;
  if (write & 0x04) bits |= CapWriteTest;
  if (write & 0x10) bits |= CapWriteDVDR | CapWriteDVDRW;
  if (write & 0x20) bits |= CapWriteDVDRAM;
  if (page[BufferFlags] & 0x80) bits |= CapUnderrunProtection;
  return bits;
}

} // namespace

std::span<const TCapabilityName> CapabilityNames() {
  return Names;
}

bool TSCSIDevice::ReadCapabilities() {
  Capabilities = 0;
  DeviceMaxWriteSpeed = 0;
  DeviceMaxReadSpeed = 0;
  CapsPage.fill(0);

  alignas(4) std::array<uint8_t, ModeReplyLength> reply{};
  size_t offset = 15;
  // Some ATAPI drives refuse the default values: what they can do is then
  // in the current ones.
  if (ModeSense10(CapabilitiesPage, reply, true, ModeReplyLength) ||
      ModeSense10(CapabilitiesPage, reply, false, ModeReplyLength)) {
    offset = reply[16] == CapabilitiesPage                                   ? 16
             : (reply[8] != CapabilitiesPage && reply[7] == CapabilitiesPage) ? 7
                                                                               : 8;
    std::copy(reply.begin() + static_cast<std::ptrdiff_t>(offset), reply.end(), CapsPage.begin());
    Capabilities |= PageBits(CapsPage);

    alignas(4) std::array<uint8_t, CurrentPageLength> page30{};
    const bool hasPage30 = ModeSense10(VendorPage30, page30, false, CurrentPageLength) && PageAt(page30, VendorPage30);
    if (hasPage30 || QuirkUnderrunFree)
      Capabilities |= CapUnderrunProtection;

    // A DVD-RAM writer may leave the speed fields empty; it still writes.
    const bool ramWriter = CapsPage[WriteFlags] & 0x20;
    const uint16_t maxWrite = Be16At(CapsPage, MaxWriteSpeedAt);
    const uint16_t maxRead = Be16At(CapsPage, MaxReadSpeedAt);
    DeviceMaxWriteSpeed = maxWrite != 0 ? maxWrite : ramWriter ? 1 : 0;
    DeviceMaxReadSpeed = maxRead != 0 ? maxRead : ramWriter ? 1 : 0;

    // Page 2Ah predates DVD+R/+RW and says little of DVD-R/-RW writing: ask
    // the features. Byte 12 is the first byte after the feature header.
    alignas(4) std::array<uint8_t, FeatureReplyLength> feature{};
    if (GetConfiguration(2, DvdPlusRwFeature, feature) && Be16At(feature, 8) == DvdPlusRwFeature) {
      Capabilities |= CapReadDVDPR | CapReadDVDPRW;
      if (feature[12] == 0x01)
        Capabilities |= CapWriteDVDPR | CapWriteDVDPRW;
    }
    feature.fill(0);
    if (GetConfiguration(2, DvdMinusRwFeature, feature) && Be16At(feature, 8) == DvdMinusRwFeature) {
      Capabilities |= CapReadDVDR | CapReadDVDRW;
      if (feature[12] == 0x01)
        Capabilities |= CapWriteDVDR | CapWriteDVDRW;
    }
  }

  reply.fill(0);
  if (!ModeSense10(CapabilitiesPage, reply, false, CurrentPageLength))
    return false;
  if (reply[16] == CapabilitiesPage)
    offset = 16;
  else if (reply[8] == CapabilitiesPage)
    offset = 8;
  else if (reply[7] == CapabilitiesPage)
    offset = 7;
  std::copy(reply.begin() + static_cast<std::ptrdiff_t>(offset), reply.end(), CapsPage.begin());

  // Only a drive that writes gets a stand-in write speed.
  if ((Capabilities & CapWriteMedia) != 0) {
    if (Be16At(CapsPage, CurrentWriteSpeedAt) == 0)
      PutBe16(CapsPage, CurrentWriteSpeedAt, DvdSingleSpeed);
    if (Be16At(CapsPage, MaxWriteSpeedAt) == 0)
      PutBe16(CapsPage, MaxWriteSpeedAt, DvdSingleSpeed);
  }
  for (size_t at : {CurrentWriteSpeedAt, MaxWriteSpeedAt, CurrentReadSpeedAt, MaxReadSpeedAt, BufferSizeAt})
    PutHostU16(CapsPage, at, Be16At(CapsPage, at));

  DeviceMaxWriteSpeed = std::max(DeviceMaxWriteSpeed, HostU16(CapsPage, MaxWriteSpeedAt));
  DeviceMaxReadSpeed = std::max(DeviceMaxReadSpeed, HostU16(CapsPage, MaxReadSpeedAt));
  return true;
}

uint16_t TSCSIDevice::MaxWriteSpeed() {
  return ReadCapabilities() ? HostU16(CapsPage, MaxWriteSpeedAt) : 0;
}

uint16_t TSCSIDevice::MaxReadSpeed() {
  return ReadCapabilities() ? HostU16(CapsPage, MaxReadSpeedAt) : 0;
}

uint16_t TSCSIDevice::CurrentWriteSpeed() {
  return ReadCapabilities() ? HostU16(CapsPage, CurrentWriteSpeedAt) : 0;
}

void TSCSIDevice::SetWriteSpeed(uint16_t value) {
  SetCdSpeed(ReadSpeed, value);
  writeSpeed_ = value;
}

std::vector<TSCSIDevice::TSpeedEntry> TSCSIDevice::WriteSpeedList(bool Dvd) {
  const int32_t step = Dvd ? 700 : 176;
  std::vector<TSpeedEntry> list{{"Max", 0}};
  for (int32_t speed = MaxWriteSpeed(); speed > 0; speed -= step) {
    SetWriteSpeed(static_cast<uint16_t>(speed));
    const uint16_t accepted = CurrentWriteSpeed();
    const std::string text = SpeedText(accepted, Dvd);
    if (std::none_of(list.begin(), list.end(), [&](const TSpeedEntry& e) { return e.Text == text; }))
      list.push_back({text, accepted});
  }
  return list;
}

uint16_t SpeedFromText(const std::string& Text, bool Dvd) {
  if (Text.empty() || Text == "Max")
    return 0;
  const std::string number = Text.substr(0, Text.find('X'));
  char* end = nullptr;
  const double multiple = std::strtod(number.c_str(), &end);
  if (end == number.c_str() || !std::isfinite(multiple) || multiple <= 0)
    return 0;
  return SpeedFromMultiple(multiple, Dvd);
}

std::optional<double> SpeedMultipleFromText(std::string_view Text) {
  if (Text.size() == 3 && std::tolower(static_cast<unsigned char>(Text[0])) == 'm' &&
      std::tolower(static_cast<unsigned char>(Text[1])) == 'a' &&
      std::tolower(static_cast<unsigned char>(Text[2])) == 'x')
    return 0.0;
  if (!Text.empty() && (Text.back() == 'X' || Text.back() == 'x'))
    Text.remove_suffix(1);
  // Digits, then at most one full stop followed by digits: no sign, no
  // exponent, no blanks, nothing that strtod would also take.
  const size_t point = Text.find('.');
  const std::string_view whole = Text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? std::string_view() : Text.substr(point + 1);
  const auto digits = [](std::string_view part) {
    return !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(whole) || (point != std::string_view::npos && !digits(fraction)) || Text.size() > 12)
    return std::nullopt;
  double multiple = 0;
  // from_chars: a full stop whatever the locale says.
  std::from_chars(Text.data(), Text.data() + Text.size(), multiple, std::chars_format::fixed);
  if (!(multiple > 0))
    return std::nullopt;
  return multiple;
}

uint16_t SpeedFromMultiple(double Multiple, bool Dvd) {
  // Ties go to the even neighbour, as the speed choice always rounded.
  const double kb = std::nearbyint(Multiple * (Dvd ? 1385.0 : 177.0));
  if (!(kb > 0))
    return 0;
  return kb >= 65535.0 ? uint16_t{65535} : static_cast<uint16_t>(kb);
}

std::string SpeedMultipleText(double Multiple, bool Dvd) { return FormatFixed(Multiple, Dvd ? 1 : 0) + "X"; }

std::string SpeedText(uint16_t KBps, bool Dvd) {
  return SpeedMultipleText(KBps / (Dvd ? 1385.0 : 176.4), Dvd) + " (" + FormatFixed(KBps, 0, true) + " KB/s)";
}

} // namespace qnzb
