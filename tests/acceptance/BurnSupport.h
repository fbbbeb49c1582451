#pragma once
// Pieces shared by the burn runs on the virtual recorder: a sandbox with a
// disc of a chosen kind, the session list as `sessions` prints it, reading a
// session back from the recorder's image with xorriso and with our own
// `extract` and `ls`, and a run of the command line that is interrupted with
// SIGINT (the user's Ctrl-C) once a condition holds.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AcceptanceSupport.h"

namespace qnzb::acceptance {

struct SessionRow {
  int Number = 0;
  uint32_t Start = 0;
};

// A sandbox whose virtual recorder holds a blank disc of `medium` ("cd-r",
// "dvd+rw", ... as `vdrive insert` takes them).
class BurnSandbox : public CliSandbox {
public:
  explicit BurnSandbox(const std::string& medium);
  [[nodiscard]] const std::string& medium() const { return medium_; }
  // The recorder's persisted disc: its 2048-byte sectors from LBA 0.
  [[nodiscard]] std::string DiscImage() const { return dir().at("vdrive/disc.img"); }
  // `qnzb-cli ARGS... --virtual`.
  RunResult OnDrive(std::vector<std::string> args, RunOptions options = {}) const;
  // The rows of `sessions`; a failure of the command is added to `problems`.
  std::vector<SessionRow> Sessions(std::vector<std::string>& problems) const;
  // Differences between `expected` and session `number` (starting at `start`)
  // as xorriso, our `extract` and our `ls` of the root see it; `tag` names the
  // scratch folders and prefixes the messages.
  std::vector<std::string> CheckSession(int number, uint32_t start, const TreeContent& expected,
                                        const std::string& tag) const;

private:
  std::string medium_;
};

// The lines of `text` that start with `prefix`.
[[nodiscard]] std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix);
// The error lines (not warnings) the command line printed on standard error.
[[nodiscard]] std::vector<std::string> ErrorLines(const RunResult& r);
// The success lines of a burn on standard output.
[[nodiscard]] std::vector<std::string> DoneLines(const RunResult& r);

// Runs qnzb-cli like CliSandbox::Cli, polling `when` every 20 ms while it runs;
// the first time it returns true the child gets one SIGINT. The run then goes
// on to its end (or the timeout, after which it is killed).
RunResult RunInterrupted(const CliSandbox& sandbox, const std::vector<std::string>& args,
                         const std::function<bool()>& when, std::chrono::milliseconds timeout, bool& interrupted);

[[nodiscard]] uint64_t FileSize(const std::string& path);

} // namespace qnzb::acceptance
