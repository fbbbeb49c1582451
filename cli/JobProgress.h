#pragma once
// Running a threaded job of the burner component from the command line: the
// wait loop that delivers the engine's calls to the main thread, Ctrl-C as
// the job's abort, and the progress line on a terminal.

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

} // namespace qnzb::cli
