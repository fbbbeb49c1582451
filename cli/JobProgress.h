#pragma once
// Running a threaded job of the burner component from the command line: the
// wait loop that delivers the engine's calls to the main thread, Ctrl-C as
// the job's abort, and the progress line on a terminal.

#include <cstdint>
#include <string>

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::cli {

class TCliContext;

// Ctrl-C (SIGINT), SIGTERM and SIGHUP ask the running job to stop (the
// engine's abort request) instead of ending the program at once, so that no
// half-written file is left behind; the command then ends with
// InterruptedStatus(). Installed for the lifetime of the object.
class TInterruptAsAbort {
public:
  TInterruptAsAbort();
  ~TInterruptAsAbort();
  TInterruptAsAbort(const TInterruptAsAbort&) = delete;
  TInterruptAsAbort& operator=(const TInterruptAsAbort&) = delete;
  // True once one of the signals arrived.
  [[nodiscard]] static bool Interrupted();
  // 128 + the signal's number once one arrived (the status a shell gives a
  // program the signal ended), else `status`.
  [[nodiscard]] static int InterruptedStatus(int status);
  // Forgets a signal of an earlier command run in this process.
  static void Forget();
};

// Waits until the job started on `burner` has reported (`finished` turns
// true in its OnWriteDone), passing Ctrl-C on as AbortWrite and drawing the
// progress line (bytes written of `totalBytes`, cache fill, during a burn the
// drive buffer's fill, rate, time left) on standard error when it is a
// terminal and the context is not quiet.
void WaitForJob(TQNZBurner& burner, const bool& finished, int64_t totalBytes, TCliContext& context);

// The progress of a job that runs on this thread and counts 2048-byte
// sectors (read-iso, verify-iso): a notice when it starts and one when it
// ends, and between them, on a terminal and unless quiet, one line redrawn
// at most twice a second (MB done of the total, percent, rate, time left).
class TSectorProgress {
public:
  TSectorProgress(TCliContext& context, const std::string& startNotice, uint32_t totalSectors);
  ~TSectorProgress();
  TSectorProgress(const TSectorProgress&) = delete;
  TSectorProgress& operator=(const TSectorProgress&) = delete;
  void Update(uint32_t doneSectors);
  // Ends the redrawn line, then the notice (none when empty).
  void Finish(const std::string& endNotice);

private:
  TCliContext& context_;
  const uint32_t total_;
  const bool draw_;
  uint64_t start_ = 0;
  uint64_t drawnAt_ = 0;
  bool drawn_ = false;
};

} // namespace qnzb::cli
