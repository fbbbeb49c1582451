#pragma once
// A scripted plan of failures: rules that make chosen commands fail, a given
// number of times or for good, from a given command or block address on, or
// that make a WRITE record some of its sectors wrongly.
// Every rule counts the commands it matches; it fires once it has let `After`
// of them pass, until it has fired `Times` times (0: without end).
//
// Text form, one rule (as the state file and `vdrive fault` take it):
//   OPCODE KIND [after=N] [times=N|forever] [lba=N [to=M]]
// OPCODE is a command name (write, read, sync-cache, ... see OpcodeNames()),
// two hex digits ("2A", "0x2A") or "any"; KIND is one of busy, long-write,
// medium-error, write-error, tray-open, medium-removed, corrupt. lba=N limits
// the rule to READ/WRITE commands whose blocks reach address N; with to=M
// (inclusive, M >= N) to those whose blocks overlap N..M.
//
// corrupt (write only) is silent: the WRITE is accepted with GOOD status, but
// each of its sectors the rule names (all of them without lba=, from N on
// with lba=, N..M with to=) is stored with its middle byte inverted, the
// others as sent. It counts as fired only for a WRITE that was stored, and it
// never holds back the failing rules: a command fails with the first failing
// rule that fires, else every corrupt rule that fires alters its sectors.
// The persisted form adds the counters seen=N fired=N.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qnzb::vdrive {

enum class FaultKind : uint8_t {
  Busy,           // status BUSY, no sense
  LongWrite,      // NOT READY, LONG WRITE IN PROGRESS (04h/08h)
  MediumError,    // MEDIUM ERROR, UNRECOVERED READ ERROR (11h/00h)
  WriteError,     // MEDIUM ERROR, WRITE ERROR (0Ch/00h)
  TrayOpened,     // the tray opens: NOT READY, MEDIUM NOT PRESENT - TRAY OPEN, until loaded
  MediumRemoved,  // the disc is gone: NOT READY, MEDIUM NOT PRESENT, until one is inserted
  Corrupt,        // WRITE only: GOOD status, but the named sectors are stored altered
};

// Blocks First..Last, both included.
struct BlockRange {
  uint32_t First = 0;
  uint32_t Last = 0;
  friend bool operator==(const BlockRange&, const BlockRange&) = default;
};

struct FaultRule {
  std::optional<uint8_t> Opcode;  // empty: any command but INQUIRY and REQUEST SENSE
  FaultKind Kind = FaultKind::Busy;
  uint32_t After = 0;
  uint32_t Times = 1;  // 0: every matching command from then on
  std::optional<uint32_t> FromLba;
  std::optional<uint32_t> ToLba;  // only with FromLba: the rule covers FromLba..ToLba
  uint32_t Seen = 0;
  uint32_t Fired = 0;
};

class FaultPlan {
public:
  void Add(FaultRule rule) { rules_.push_back(rule); }
  void Clear() { rules_.clear(); }
  [[nodiscard]] bool Empty() const { return rules_.empty(); }
  [[nodiscard]] const std::vector<FaultRule>& Rules() const { return rules_; }

  // Counts the command against every matching rule and returns the fault to
  // inject, if a failing rule fires (the first one in plan order). `lba` and
  // `blocks` describe READ/WRITE commands. Corrupt rules are counted here but
  // fire in Corruptions().
  [[nodiscard]] std::optional<FaultKind> Check(uint8_t opcode, std::optional<uint32_t> lba, uint32_t blocks);
  // For a WRITE that Check() let through and that the drive then stored:
  // fires the corrupt rules due for it and returns the blocks they alter,
  // within lba..lba + blocks - 1.
  [[nodiscard]] std::vector<BlockRange> Corruptions(uint32_t lba, uint32_t blocks);

  // Parses one rule; empty with `error` set on a bad rule.
  [[nodiscard]] static std::optional<FaultRule> ParseRule(std::string_view text, std::string& error);
  // The rule's text form, counters included when not zero.
  [[nodiscard]] static std::string FormatRule(const FaultRule& rule);

private:
  std::vector<FaultRule> rules_;
};

// Command names usable in rules, space-separated, for help texts.
[[nodiscard]] std::string_view OpcodeNames();
// "write" -> 2Ah and so on; also accepts two hex digits.
[[nodiscard]] std::optional<uint8_t> ParseOpcode(std::string_view name);
// The MMC name of a command the recorder knows ("WRITE (10)"), or empty.
[[nodiscard]] std::string_view CommandName(uint8_t opcode);

} // namespace qnzb::vdrive
