#include "engine/image/qnCDBCWriter.h"

#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"

namespace qnzb {

std::atomic<bool> AbortRequested{false};
std::atomic<bool> WriteJobRunning{false};

namespace {
// How long the writer waits for the reader before it looks at the abort
// flag again.
constexpr uint32_t DataWaitMs = 50;
} // namespace

TThWrite::TThWrite(TQNZBurner& owner, TCacheThread& cache, std::unique_ptr<TWriteSink> sink)
    : TThread(true), owner_(owner), cache_(cache), sink_(std::move(sink)) {
  FreeOnTerminate = true;
}

void TThWrite::Execute() {
  AbortRequested = false;
  WriteJobRunning = true;
  owner_.bytesWritten_ = 0;
  cache_.SetMessage("");

  const int64_t limit = owner_.TrackLength() * 2048;
  std::string message;
  bool ok = sink_->Start(message);
  if (ok) {
    for (;;) {
      if (AbortRequested) {
        message = msgAbortedByUser;
        ok = false;
        break;
      }
      int32_t n = 0;
      std::unique_ptr<TCacheBlock> block = cache_.TakeBlock(n);
      if (!cache_.Message().empty()) {
        ok = false;
        break;
      }
      if (n < 0) {
        cache_.WaitForData(DataWaitMs);
        continue;
      }
      if (n == 0)
        break;
      owner_.SetCurrentFile(cache_.CurrentFile());
      owner_.bytesWritten_ = std::min<int64_t>(owner_.bytesWritten_ + n, limit);
      if (!sink_->Write(block->Data.data(), n, message)) {
        ok = false;
        break;
      }
    }
  }
  if (ok)
    ok = sink_->Finish(message);
  if (!ok) {
    // The first message stands: a reader's failure or the user's abort.
    if (cache_.Message().empty())
      cache_.SetMessage(message);
    cache_.Abort();
    sink_->Fail();
  }
  Report();
}

void TThWrite::Report() {
  const std::string message = cache_.Message();
  owner_.SetCurrentFile(cache_.CurrentFile());
  WriteJobRunning = false;
  if (owner_.OnWriteDone) {
    owner_.WriteDoneMessage = message;
    try {
      Synchronize([this] { owner_.OnWriteDone(&owner_, owner_.WriteDoneMessage); });
    } catch (...) {
      // A handler's exception must not take the writing thread down with it.
    }
  }
  owner_.SetCurrentFile("");
  owner_.writerActive_ = false;
}

} // namespace qnzb
