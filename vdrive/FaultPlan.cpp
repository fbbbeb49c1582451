#include "vdrive/FaultPlan.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "vdrive/TextFields.h"

namespace qnzb::vdrive {

namespace {

struct Command {
  uint8_t Opcode;
  std::string_view Short;  // rule name
  std::string_view Name;   // MMC name
};

constexpr std::array<Command, 26> Commands{{
    {0x00, "test-unit-ready", "TEST UNIT READY"},
    {0x01, "rezero", "REZERO UNIT"},
    {0x03, "request-sense", "REQUEST SENSE"},
    {0x04, "format", "FORMAT UNIT"},
    {0x12, "inquiry", "INQUIRY"},
    {0x1B, "start-stop", "START STOP UNIT"},
    {0x1E, "prevent-allow", "PREVENT ALLOW MEDIUM REMOVAL"},
    {0x23, "read-format-capacities", "READ FORMAT CAPACITIES"},
    {0x25, "read-capacity", "READ CAPACITY"},
    {0x28, "read", "READ (10)"},
    {0x2A, "write", "WRITE (10)"},
    {0x35, "sync-cache", "SYNCHRONIZE CACHE"},
    {0x43, "read-toc", "READ TOC/PMA/ATIP"},
    {0x46, "get-configuration", "GET CONFIGURATION"},
    {0x51, "read-disc-info", "READ DISC INFORMATION"},
    {0x52, "read-track-info", "READ TRACK INFORMATION"},
    {0x53, "reserve-track", "RESERVE TRACK"},
    {0x54, "send-opc", "SEND OPC INFORMATION"},
    {0x55, "mode-select", "MODE SELECT (10)"},
    {0x5A, "mode-sense", "MODE SENSE (10)"},
    {0x5B, "close", "CLOSE TRACK/SESSION"},
    {0x5C, "read-buffer-capacity", "READ BUFFER CAPACITY"},
    {0xA1, "blank", "BLANK"},
    {0xB6, "set-streaming", "SET STREAMING"},
    {0xBB, "set-cd-speed", "SET CD SPEED"},
    {0xBF, "send-dvd-structure", "SEND DVD STRUCTURE"},
}};

struct KindName {
  FaultKind Kind;
  std::string_view Name;
};
constexpr std::array<KindName, 7> KindNames{{
    {FaultKind::Busy, "busy"},
    {FaultKind::LongWrite, "long-write"},
    {FaultKind::MediumError, "medium-error"},
    {FaultKind::WriteError, "write-error"},
    {FaultKind::TrayOpened, "tray-open"},
    {FaultKind::MediumRemoved, "medium-removed"},
    {FaultKind::Corrupt, "corrupt"},
}};

constexpr uint8_t Write10 = 0x2A;

bool Matches(const FaultRule& r, uint8_t opcode, std::optional<uint32_t> lba, uint32_t blocks) {
  if (r.Opcode ? *r.Opcode != opcode : (opcode == 0x12 || opcode == 0x03))
    return false;
  if (!r.FromLba)
    return true;
  if (!lba || uint64_t{*lba} + (blocks ? blocks : 1) <= *r.FromLba)
    return false;
  return !r.ToLba || *lba <= *r.ToLba;
}

// Past the commands it lets pass and not yet done firing.
bool Due(const FaultRule& r) {
  return r.Seen > r.After && (r.Times == 0 || r.Fired < r.Times);
}

std::string Lower(std::string_view text) {
  std::string out;
  for (char c : text)
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Hex2(uint8_t v) {
  static constexpr char digits[] = "0123456789ABCDEF";
  return {digits[v >> 4], digits[v & 15]};
}

} // namespace

std::optional<uint8_t> ParseOpcode(std::string_view name) {
  const std::string lower = Lower(name);
  for (const Command& c : Commands)
    if (!c.Short.empty() && c.Short == lower)
      return c.Opcode;
  std::string_view hex = lower;
  if (hex.size() > 2 && hex.substr(0, 2) == "0x")
    hex.remove_prefix(2);
  if (hex.size() == 2 && std::isxdigit(static_cast<unsigned char>(hex[0])) &&
      std::isxdigit(static_cast<unsigned char>(hex[1]))) {
    uint32_t v = 0;
    if (ParseNumber("0x" + std::string(hex), v))
      return static_cast<uint8_t>(v);
  }
  return std::nullopt;
}

std::string_view CommandName(uint8_t opcode) {
  for (const Command& c : Commands)
    if (c.Opcode == opcode && !c.Name.empty())
      return c.Name;
  return {};
}

std::string_view OpcodeNames() {
  return "test-unit-ready rezero request-sense format inquiry start-stop prevent-allow read-format-capacities "
         "read-capacity read write sync-cache read-toc get-configuration read-disc-info read-track-info "
         "reserve-track send-opc mode-select mode-sense close read-buffer-capacity blank set-streaming "
         "set-cd-speed send-dvd-structure";
}

std::optional<FaultKind> FaultPlan::Check(uint8_t opcode, std::optional<uint32_t> lba, uint32_t blocks) {
  std::optional<FaultKind> fault;
  for (FaultRule& r : rules_) {
    if (!Matches(r, opcode, lba, blocks))
      continue;
    if (r.Seen < UINT32_MAX)
      ++r.Seen;
    if (r.Kind == FaultKind::Corrupt || !Due(r) || fault)
      continue;
    ++r.Fired;
    fault = r.Kind;
  }
  return fault;
}

std::vector<BlockRange> FaultPlan::Corruptions(uint32_t lba, uint32_t blocks) {
  std::vector<BlockRange> ranges;
  if (blocks == 0)
    return ranges;
  const auto last = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{lba} + blocks - 1, UINT32_MAX));
  for (FaultRule& r : rules_) {
    if (r.Kind != FaultKind::Corrupt || !Matches(r, Write10, lba, blocks) || !Due(r))
      continue;
    ++r.Fired;
    ranges.push_back({std::max(lba, r.FromLba.value_or(0)), std::min(last, r.ToLba.value_or(UINT32_MAX))});
  }
  return ranges;
}

std::optional<FaultRule> FaultPlan::ParseRule(std::string_view text, std::string& error) {
  const std::vector<std::string_view> words = SplitWords(Trim(text));
  if (words.size() < 2) {
    error = "a fault rule needs a command and a kind";
    return std::nullopt;
  }
  FaultRule rule;
  if (Lower(words[0]) != "any") {
    rule.Opcode = ParseOpcode(words[0]);
    if (!rule.Opcode) {
      error = "unknown command \"" + std::string(words[0]) + "\"";
      return std::nullopt;
    }
  }
  const std::string kind = Lower(words[1]);
  bool known = false;
  for (const KindName& k : KindNames) {
    if (k.Name == kind) {
      rule.Kind = k.Kind;
      known = true;
    }
  }
  if (!known) {
    error = "unknown fault \"" + std::string(words[1]) + "\"";
    return std::nullopt;
  }
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string_view w = words[i];
    const size_t eq = w.find('=');
    const std::string key = Lower(w.substr(0, eq));
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : w.substr(eq + 1);
    uint32_t n = 0;
    if (key == "times" && Lower(value) == "forever") {
      rule.Times = 0;
      continue;
    }
    if (eq == std::string_view::npos || !ParseNumber(value, n)) {
      error = "bad option \"" + std::string(w) + "\"";
      return std::nullopt;
    }
    if (key == "after")
      rule.After = n;
    else if (key == "times")
      rule.Times = n;
    else if (key == "lba")
      rule.FromLba = n;
    else if (key == "to")
      rule.ToLba = n;
    else if (key == "seen")
      rule.Seen = n;
    else if (key == "fired")
      rule.Fired = n;
    else {
      error = "unknown option \"" + std::string(w) + "\"";
      return std::nullopt;
    }
  }
  if (rule.ToLba && !rule.FromLba) {
    error = "to=" + std::to_string(*rule.ToLba) + " needs lba= (the first block of the range)";
    return std::nullopt;
  }
  if (rule.ToLba && *rule.ToLba < *rule.FromLba) {
    error = "to=" + std::to_string(*rule.ToLba) + " is before lba=" + std::to_string(*rule.FromLba) +
            " (to= is the last block of the range)";
    return std::nullopt;
  }
  if (rule.Kind == FaultKind::Corrupt && rule.Opcode != Write10) {
    error = "corrupt applies to write only: a drive records data on WRITE (10); use \"write corrupt\"";
    return std::nullopt;
  }
  return rule;
}

std::string FaultPlan::FormatRule(const FaultRule& rule) {
  std::string out;
  if (!rule.Opcode)
    out = "any";
  else if (auto it = std::find_if(Commands.begin(), Commands.end(),
                                  [&](const Command& c) { return c.Opcode == *rule.Opcode && !c.Short.empty(); });
           it != Commands.end())
    out = std::string(it->Short);
  else
    out = Hex2(*rule.Opcode);
  for (const KindName& k : KindNames)
    if (k.Kind == rule.Kind)
      out += " " + std::string(k.Name);
  if (rule.After)
    out += " after=" + std::to_string(rule.After);
  out += rule.Times ? " times=" + std::to_string(rule.Times) : std::string(" times=forever");
  if (rule.FromLba)
    out += " lba=" + std::to_string(*rule.FromLba);
  if (rule.ToLba)
    out += " to=" + std::to_string(*rule.ToLba);
  if (rule.Seen)
    out += " seen=" + std::to_string(rule.Seen);
  if (rule.Fired)
    out += " fired=" + std::to_string(rule.Fired);
  return out;
}

} // namespace qnzb::vdrive
