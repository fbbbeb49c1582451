#pragma once
// What every subcommand of qnzb-cli shares: the output streams, the global
// --verbose and --quiet switches, the routing of the engine's log lines, and
// the exit status of the command that ran.
//
// Where lines go: the results a command was asked for (a job's summary line,
// the lines of info, sessions, ls, drives, caps, ready) to the output stream,
// always; everything else to the error stream. Errors and warnings always;
// engine log lines of type 4 (errors) always; types 1 and 3 (progress,
// verbose, full tables) only when verbose; notices (type 0 lines, platform
// notices) unless quiet. Quiet hides progress lines and notices, nothing else.
//
// Threading: Log may be called from any thread (the engine's worker threads
// log too); lines are written whole, one at a time.

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::cli {

inline constexpr const char* ProgramName = "qnzb-cli";

// Exit statuses: 0 success, 1 a job failed, 2 the command line is wrong,
// 3 the job completed but something asked for is not on the disc or in the
// image (each item named in the log); 128 + N when signal N stopped the job.
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitLeftOut = 3;

class TCliContext {
public:
  TCliContext(std::ostream& out, std::ostream& err) : Out(out), Err(err) {}
  TCliContext(const TCliContext&) = delete;
  TCliContext& operator=(const TCliContext&) = delete;

  std::ostream& Out;
  std::ostream& Err;
  bool Verbose = false;
  bool Quiet = false;
  // Set by the subcommand that ran.
  int ExitCode = 0;

  // An engine log line of type mType, shown or not as the header says.
  void Log(const std::string& line, uint8_t mType);
  // "qnzb-cli: " + message on the error stream, whatever the switches say.
  void Error(const std::string& message);
  // "qnzb-cli: warning: " + message on the error stream, whatever the switches say.
  void Warning(const std::string& message);
  // A notice on the error stream, unless quiet (as an engine line of type 0).
  void Notice(const std::string& line);
  // A result line on the output stream, whatever the switches say.
  void Result(const std::string& line);

  // Sends the component's log here and sets its DoDebug to Verbose. Call it
  // after the settings are applied (they set DoDebug) and before the job.
  // The component must not outlive this context with the handler attached.
  void Attach(TQNZBurner& burner);

private:
  void Line(std::ostream& stream, const std::string& line);

  std::mutex mutex_;
};

// After a job that completed: 0, or, when the compilation left something out
// (each item was logged as it happened), the summary as a warning and
// ExitLeftOut.
[[nodiscard]] int LeftOutStatus(const TQNZBurner& burner, TCliContext& context);

} // namespace qnzb::cli
