#include "cli/JobProgress.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iterator>

#include "cli/CliContext.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/Strings.h"
#include "engine/runtime/Thread.h"
#include "platform/System.h"

namespace qnzb::cli {

namespace {

volatile std::sig_atomic_t interrupted = 0;

// The engine's abort request is a lock-free atomic: setting it here lets the
// quick build and extraction, which run on this thread, see it at once.
extern "C" void OnInterrupt(int signal) {
  interrupted = signal;
  AbortRequested.store(true, std::memory_order_relaxed);
}

using THandler = void (*)(int);
#ifdef SIGHUP
constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP};
#else
constexpr int Signals[] = {SIGINT, SIGTERM};
#endif
THandler previous[std::size(Signals)] = {};

std::string Megabytes(int64_t bytes) { return Format("%.1f", static_cast<double>(bytes) / 1048576.0); }

std::string Duration(double seconds) {
  const auto s = static_cast<long long>(seconds + 0.5);
  return s >= 3600 ? Format("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60) : Format("%lld:%02lld", s / 60, s % 60);
}

} // namespace

TInterruptAsAbort::TInterruptAsAbort() {
  static_assert(std::atomic<bool>::is_always_lock_free);
  interrupted = 0;
  for (size_t i = 0; i < std::size(Signals); ++i)
    previous[i] = std::signal(Signals[i], OnInterrupt);
}

TInterruptAsAbort::~TInterruptAsAbort() {
  for (size_t i = 0; i < std::size(Signals); ++i)
    std::signal(Signals[i], previous[i] == SIG_ERR ? SIG_DFL : previous[i]);
}

bool TInterruptAsAbort::Interrupted() { return interrupted != 0; }

int TInterruptAsAbort::InterruptedStatus(int status) { return interrupted != 0 ? 128 + interrupted : status; }

void TInterruptAsAbort::Forget() { interrupted = 0; }

void WaitForJob(TQNZBurner& burner, const bool& finished, int64_t totalBytes, TCliContext& context) {
  const bool progress = !context.Quiet && platform::StandardErrorIsTerminal();
  TSystemClock wall;
  uint64_t start = wall.TickCount();
  bool verifying = false;
  uint64_t drawnAt = 0;
  bool abortSent = false;
  bool drawn = false;
  while (!finished) {
    // Short waits: a signal does not end the wait, and Ctrl-C should stop
    // the job at once, not when the next progress line is due.
    TThread::CheckSynchronize(20);
    if (TInterruptAsAbort::Interrupted() && !abortSent) {
      burner.AbortWrite();
      abortSent = true;
    }
    if (progress && !finished && wall.TickCount() - drawnAt >= 500) {
      drawnAt = wall.TickCount();
      // The verify is a second pass over the same bytes, on a line of its own.
      if (burner.Verifying() != verifying) {
        verifying = !verifying;
        start = drawnAt;
        if (drawn)
          std::fputc('\n', stderr);
      }
      const int64_t written = burner.BytesWritten();
      const double elapsed = static_cast<double>(wall.TickCount() - start) / 1000.0;
      const double rate = elapsed > 0 ? static_cast<double>(written) / elapsed : 0;
      const std::string left = rate > 0 && totalBytes > written
                                   ? Duration(static_cast<double>(totalBytes - written) / rate) + " left"
                                   : "";
      // A burn also shows how full the drive's buffer is.
      const uint32_t buffer = burner.DeviceBufferSize, free = std::min(burner.DeviceFreeBufferSize.load(), buffer);
      const std::string drive =
          buffer > 0 ? Format(", drive %d%%", static_cast<int>(static_cast<uint64_t>(buffer - free) * 100 / buffer)) : "";
      std::fprintf(stderr, "\r%s%s of %s MB (%d%%), cache %d%%%s, %.1f MB/s, %s   ", verifying ? "verifying: " : "",
                   Megabytes(written).c_str(),
                   Megabytes(totalBytes).c_str(), totalBytes > 0 ? static_cast<int>(written * 100 / totalBytes) : 0,
                   burner.CacheFill(), drive.c_str(), rate / 1048576.0, left.c_str());
      std::fflush(stderr);
      drawn = true;
    }
  }
  if (drawn) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}

namespace {

uint64_t Ticks() {
  TSystemClock wall;
  return wall.TickCount();
}

} // namespace

TSectorProgress::TSectorProgress(TCliContext& context, const std::string& startNotice, uint32_t totalSectors)
    : context_(context), total_(totalSectors), draw_(!context.Quiet && platform::StandardErrorIsTerminal()),
      start_(Ticks()) {
  context_.Notice(startNotice);
}

TSectorProgress::~TSectorProgress() { Finish(std::string()); }

void TSectorProgress::Update(uint32_t doneSectors) {
  const uint64_t now = Ticks();
  if (!draw_ || now - drawnAt_ < 500)
    return;
  drawnAt_ = now;
  const int64_t done = int64_t{doneSectors} * 2048, total = int64_t{total_} * 2048;
  const double elapsed = static_cast<double>(now - start_) / 1000.0;
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  const std::string left =
      rate > 0 && total > done ? Duration(static_cast<double>(total - done) / rate) + " left" : "";
  std::fprintf(stderr, "\r%s of %s MB (%d%%), %.1f MB/s, %s   ", Megabytes(done).c_str(),
               Megabytes(total).c_str(), total > 0 ? static_cast<int>(done * 100 / total) : 0, rate / 1048576.0,
               left.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void TSectorProgress::Finish(const std::string& endNotice) {
  if (drawn_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
    drawn_ = false;
  }
  if (!endNotice.empty())
    context_.Notice(endNotice);
}

} // namespace qnzb::cli
