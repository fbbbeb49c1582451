#include "vdrive/DriveConfig.h"

#include <algorithm>
#include <functional>
#include <span>

#include "vdrive/TextFields.h"

namespace qnzb::vdrive {

namespace {

struct FlagName {
  std::string_view Name;
  bool Identity::*Field;
};

constexpr FlagName ReadFlags[] = {
    {"cd-r", &Identity::ReadCdR},        {"cd-rw", &Identity::ReadCdRw},     {"dvd-rom", &Identity::ReadDvdRom},
    {"dvd-minus", &Identity::ReadDvdMinus}, {"dvd-ram", &Identity::ReadDvdRam}, {"dvd-plus", &Identity::ReadDvdPlus},
};
constexpr FlagName WriteFlags[] = {
    {"cd-r", &Identity::WriteCdR},       {"cd-rw", &Identity::WriteCdRw},     {"dvd-r", &Identity::WriteDvdMinusR},
    {"dvd-rw", &Identity::WriteDvdMinusRw}, {"dvd-ram", &Identity::WriteDvdRam}, {"dvd+r", &Identity::WriteDvdPlusR},
    {"dvd+rw", &Identity::WriteDvdPlusRw},
};

std::string FormatFlags(const Identity& id, std::span<const FlagName> flags) {
  std::string out;
  for (const FlagName& f : flags) {
    if (id.*f.Field) {
      if (!out.empty())
        out += ',';
      out += f.Name;
    }
  }
  return out;
}

bool ParseFlags(Identity& id, std::span<const FlagName> flags, std::string_view value, std::string& error) {
  Identity result = id;
  for (const FlagName& f : flags)
    result.*f.Field = false;
  for (std::string_view item : SplitList(value)) {
    auto it = std::find_if(flags.begin(), flags.end(), [&](const FlagName& f) { return f.Name == item; });
    if (it == flags.end()) {
      error = "unknown medium \"" + std::string(item) + "\"";
      return false;
    }
    result.*it->Field = true;
  }
  id = result;
  return true;
}

std::string FormatSpeeds(const std::vector<uint16_t>& speeds) {
  std::string out;
  for (uint16_t s : speeds) {
    if (!out.empty())
      out += ',';
    out += std::to_string(s);
  }
  return out;
}

bool ParseSpeeds(std::vector<uint16_t>& speeds, std::string_view value, std::string& error) {
  std::vector<uint16_t> result;
  for (std::string_view item : SplitList(value)) {
    uint32_t v = 0;
    // FFFFh means "maximum" in SET CD SPEED, so it can't be a table entry.
    if (!ParseNumber(item, v) || v == 0 || v >= 0xFFFF) {
      error = "bad speed \"" + std::string(item) + "\" (1 to 65534 KB/s)";
      return false;
    }
    result.push_back(static_cast<uint16_t>(v));
  }
  if (result.empty()) {
    error = "a speed table needs at least one speed";
    return false;
  }
  std::sort(result.begin(), result.end(), std::greater<>());
  result.erase(std::unique(result.begin(), result.end()), result.end());
  speeds = std::move(result);
  return true;
}

bool ParseBool(bool& field, std::string_view value, std::string& error) {
  if (value == "1" || value == "yes" || value == "true") {
    field = true;
    return true;
  }
  if (value == "0" || value == "no" || value == "false") {
    field = false;
    return true;
  }
  error = "expected 0 or 1, got \"" + std::string(value) + "\"";
  return false;
}

bool ParseText(std::string& field, size_t width, std::string_view value, std::string& error) {
  if (value.size() > width) {
    error = "at most " + std::to_string(width) + " characters";
    return false;
  }
  for (char c : value) {
    if (c < 0x20 || c > 0x7E) {
      error = "only printable ASCII characters";
      return false;
    }
  }
  field = std::string(value);
  return true;
}

bool ParseMs(uint32_t& field, std::string_view value, std::string& error) {
  uint32_t v = 0;
  if (!ParseNumber(value, v)) {
    error = "expected milliseconds, got \"" + std::string(value) + "\"";
    return false;
  }
  field = v;
  return true;
}

struct Key {
  std::string_view Name;
  std::function<std::string(const DriveConfig&)> Get;
  std::function<bool(DriveConfig&, std::string_view, std::string&)> Set;
};

Key BoolKey(std::string_view name, bool Identity::*field) {
  return {name, [field](const DriveConfig& c) { return std::string(c.Drive.*field ? "1" : "0"); },
          [field](DriveConfig& c, std::string_view v, std::string& e) { return ParseBool(c.Drive.*field, v, e); }};
}

Key SpeedKey(std::string_view name, std::vector<uint16_t> Identity::*field) {
  return {name, [field](const DriveConfig& c) { return FormatSpeeds(c.Drive.*field); },
          [field](DriveConfig& c, std::string_view v, std::string& e) { return ParseSpeeds(c.Drive.*field, v, e); }};
}

Key TimeKey(std::string_view name, uint32_t Timing::*field) {
  return {name, [field](const DriveConfig& c) { return std::to_string(c.Time.*field); },
          [field](DriveConfig& c, std::string_view v, std::string& e) { return ParseMs(c.Time.*field, v, e); }};
}

const std::vector<Key>& Keys() {
  // Never destroyed: a drive may save its state from another static's
  // destructor (the ASPI library's, when it is unloaded).
  static const auto* keys = new std::vector<Key>{
      {"vendor", [](const DriveConfig& c) { return c.Drive.Vendor; },
       [](DriveConfig& c, std::string_view v, std::string& e) { return ParseText(c.Drive.Vendor, 8, v, e); }},
      {"product", [](const DriveConfig& c) { return c.Drive.Product; },
       [](DriveConfig& c, std::string_view v, std::string& e) { return ParseText(c.Drive.Product, 16, v, e); }},
      {"revision", [](const DriveConfig& c) { return c.Drive.Revision; },
       [](DriveConfig& c, std::string_view v, std::string& e) { return ParseText(c.Drive.Revision, 4, v, e); }},
      {"letter", [](const DriveConfig& c) { return std::string(1, c.Drive.Letter); },
       [](DriveConfig& c, std::string_view v, std::string& e) {
         if (v.size() != 1 || v[0] < 'A' || v[0] > 'Z') {
           e = "expected a drive letter A to Z";
           return false;
         }
         c.Drive.Letter = v[0];
         return true;
       }},
      {"reads", [](const DriveConfig& c) { return FormatFlags(c.Drive, ReadFlags); },
       [](DriveConfig& c, std::string_view v, std::string& e) { return ParseFlags(c.Drive, ReadFlags, v, e); }},
      {"writes", [](const DriveConfig& c) { return FormatFlags(c.Drive, WriteFlags); },
       [](DriveConfig& c, std::string_view v, std::string& e) { return ParseFlags(c.Drive, WriteFlags, v, e); }},
      BoolKey("test-write", &Identity::TestWrite),
      BoolKey("underrun-protection", &Identity::UnderrunProtection),
      BoolKey("page-30h", &Identity::Page30),
      BoolKey("get-configuration", &Identity::GetConfiguration),
      BoolKey("block-descriptor", &Identity::BlockDescriptor),
      BoolKey("unit-attention", &Identity::UnitAttention),
      BoolKey("read-track-information", &Identity::ReadTrackInformation),
      BoolKey("read-disc-information", &Identity::ReadDiscInformation),
      BoolKey("mode-sense-defaults", &Identity::DefaultPages),
      BoolKey("read-only", &Identity::ReadOnly),
      SpeedKey("cd-write-speeds", &Identity::CdWriteSpeeds),
      SpeedKey("dvd-write-speeds", &Identity::DvdWriteSpeeds),
      SpeedKey("cd-read-speeds", &Identity::CdReadSpeeds),
      SpeedKey("dvd-read-speeds", &Identity::DvdReadSpeeds),
      {"buffer-kb", [](const DriveConfig& c) { return std::to_string(c.Drive.BufferKb); },
       [](DriveConfig& c, std::string_view v, std::string& e) {
         uint32_t kb = 0;
         if (!ParseNumber(v, kb) || kb == 0 || kb > 0xFFFF) {
           e = "expected 1 to 65535 KB";
           return false;
         }
         c.Drive.BufferKb = kb;
         return true;
       }},
      {"real-time", [](const DriveConfig& c) { return std::string(c.Time.RealTime ? "1" : "0"); },
       [](DriveConfig& c, std::string_view v, std::string& e) { return ParseBool(c.Time.RealTime, v, e); }},
      TimeKey("time.cd-quick-blank", &Timing::CdQuickBlankMs),
      TimeKey("time.cd-full-blank", &Timing::CdFullBlankMs),
      TimeKey("time.dvd-quick-blank", &Timing::DvdQuickBlankMs),
      TimeKey("time.dvd-full-blank", &Timing::DvdFullBlankMs),
      TimeKey("time.format", &Timing::FormatMs),
      TimeKey("time.full-format", &Timing::FullFormatMs),
      TimeKey("time.close", &Timing::CloseMs),
  };
  return *keys;
}

const Key* FindKey(std::string_view name) {
  for (const Key& k : Keys())
    if (k.Name == name)
      return &k;
  return nullptr;
}

} // namespace

// Out of line: GCC 12 at -O2 misreports vector members initialised from
// brace lists in inline constructors as maybe-uninitialised in every copy.
Identity::Identity()
    : CdWriteSpeeds{7056, 5645, 4234, 2822, 1411, 706},
      DvdWriteSpeeds{22160, 16620, 11080, 8310, 5540, 2770, 1385},
      CdReadSpeeds{7056, 5645, 4234, 2822, 1411},
      DvdReadSpeeds{22160, 11080, 5540, 2770} {}

bool Identity::Writes() const {
  return !ReadOnly && (WriteCdR || WriteCdRw || WriteDvdMinusR || WriteDvdMinusRw || WriteDvdRam || WriteDvdPlusR ||
                       WriteDvdPlusRw);
}

std::vector<std::string> FormatConfig(const DriveConfig& config) {
  std::vector<std::string> lines;
  for (const Key& k : Keys())
    lines.push_back(std::string(k.Name) + "=" + k.Get(config));
  return lines;
}

bool SetConfigValue(DriveConfig& config, std::string_view key, std::string_view value, std::string& error) {
  const Key* k = FindKey(key);
  if (!k) {
    error = "unknown key \"" + std::string(key) + "\"";
    return false;
  }
  DriveConfig copy = config;
  if (!k->Set(copy, value, error))
    return false;
  config = std::move(copy);
  return true;
}

bool IsConfigKey(std::string_view key) {
  return FindKey(key) != nullptr;
}

} // namespace qnzb::vdrive
