#include "engine/image/qnCDBCWriter.h"

#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"

namespace qnzb {

std::atomic<bool> AbortRequested{false};
std::atomic<bool> WriteJobRunning{false};

namespace {
// How long the writer waits for the reader, at most, before it takes what is
// queued: an abort wakes it at once, and the cache wakes it when a batch of
// blocks is ready.
constexpr uint32_t DataWaitMs = 1;
} // namespace

TThWrite::TThWrite(TQNZBurner& owner, TCacheThread& cache, std::unique_ptr<TWriteSink> sink)
    : TThread(true), owner_(owner), cache_(cache), sink_(std::move(sink)) {
  FreeOnTerminate = true;
  // The job is active from here until the report's last step, so that the
  // component outlives the writer.
  owner_.writerActive_ = true;
}

void TThWrite::Execute() {
  // The abort request and the cache's message belong to the job since its
  // start: clearing them here lost a reader's failure, or the user's abort,
  // that came while the writer was being started.
  WriteJobRunning = true;
  owner_.bytesWritten_ = 0;

  const int64_t limit = owner_.TrackLength() * 2048;
  std::string message;
  bool ok = sink_->Start(message);
  if (ok) {
    // The file name is copied only when the reader has moved on to another.
    uint64_t fileSerial = 0;
    for (;;) {
      if (AbortRequested) {
        message = msgAbortedByUser;
        ok = false;
        break;
      }
      int32_t n = 0;
      std::unique_ptr<TCacheBlock> block = cache_.TakeBlock(n);
      if (cache_.HasMessage()) {
        ok = false;
        break;
      }
      if (n < 0) {
        cache_.WaitForData(DataWaitMs);
        continue;
      }
      if (n == 0)
        break;
      if (const uint64_t serial = cache_.CurrentFileSerial(); serial != fileSerial) {
        fileSerial = serial;
        owner_.SetCurrentFile(cache_.CurrentFile());
      }
      owner_.bytesWritten_ = std::min<int64_t>(owner_.bytesWritten_ + n, limit);
      const bool written = block->Source ? CopyBlock(*block, message) : sink_->Write(block->Data.data(), n, message);
      cache_.ReturnBlock(std::move(block));
      if (!written) {
        ok = false;
        break;
      }
    }
  }
  if (ok)
    ok = sink_->Finish(message);
  const bool finished = ok;
  if (ok)
    ok = sink_->Verify(message);
  if (!ok) {
    // The first message stands: a reader's failure or the user's abort.
    if (cache_.Message().empty())
      cache_.SetMessage(message);
    cache_.Abort();
    // A session that failed its verify is closed and stays as it is.
    if (!finished)
      sink_->Fail();
  }
  Report();
}

bool TThWrite::CopyBlock(TCacheBlock& block, std::string& message) {
  TCopySource& source = *block.Source;
  int64_t copied = 0;
  if (!sink_->Copy(source.Handle, source.Shrank ? 0 : block.SourceBytes, block.Length, copied, message))
    return false;
  if (!source.Shrank && copied < block.SourceBytes) {
    source.Shrank = true;
    cache_.NoteShrank(source.Path);
  }
  return true;
}

void TThWrite::Report() {
  const std::string message = cache_.Message();
  owner_.SetCurrentFile(cache_.CurrentFile());
  // The drive is done with: other programs may use it again.
  owner_.EndExclusiveHold();
  WriteJobRunning = false;
  if (owner_.OnWriteDone) {
    owner_.WriteDoneMessage = message;
    try {
      Synchronize([this] { owner_.OnWriteDone(&owner_, owner_.WriteDoneMessage); });
    } catch (...) {
      // A handler's exception must not take the writing thread down with it.
    }
  }
  // The drive is released after its next command.
  owner_.SetCloseAfterCommand(true);
  owner_.SetCurrentFile("");
  owner_.writerActive_ = false;
}

} // namespace qnzb
