#pragma once
// The writing thread of a job: takes the blocks the read-ahead cache has
// prepared and hands them to a sink (an image file, or the recorder), obeys
// the user's abort, and reports the job's outcome exactly once through the
// component's OnWriteDone on the main thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/runtime/Thread.h"
#include "platform/FileIO.h"

namespace qnzb {

class TQNZBurner;
class TCacheThread;
struct TCacheBlock;

// Program-wide job state, read by the window's timer without locks.
extern std::atomic<bool> AbortRequested;   // set by AbortWrite, polled by the writer
extern std::atomic<bool> WriteJobRunning;  // from the writer's start to its report

// Where a job's blocks go. Called on the writing thread only.
class TWriteSink {
public:
  virtual ~TWriteSink() = default;
  // Before the first block. False, with `message`, ends the job at once.
  [[nodiscard]] virtual bool Start(std::string& message) = 0;
  // One block of whole sectors. False, with `message`, ends the job. `data`
  // is only valid during the call: the cache reuses the block afterwards.
  [[nodiscard]] virtual bool Write(const uint8_t* data, int32_t length, std::string& message) = 0;
  // A copy block (only for a sink the cache was started for with
  // CopyLargeFiles): `bytes` from `in`'s position, then zeros up to `length`.
  // `copied` receives the bytes that came from the file (fewer: it shrank).
  [[nodiscard]] virtual bool Copy(platform::TFileHandle /*in*/, int64_t /*bytes*/, int32_t /*length*/,
                                  int64_t& /*copied*/, std::string& message) {
    message = "INTERNAL ERROR 0005: THIS TARGET CANNOT COPY FILES";
    return false;
  }
  // The data ended normally. False, with `message`, when finishing failed.
  [[nodiscard]] virtual bool Finish(std::string& message) = 0;
  // The job ends with a message: undo what is half done.
  virtual void Fail() = 0;
  // After Finish: whether the target holds what was sent. False, with
  // `message`, fails the job; nothing is undone then.
  [[nodiscard]] virtual bool Verify(std::string& /*message*/) { return true; }
};

class TThWrite final : public TThread {
public:
  // Created suspended; frees itself when it ends.
  TThWrite(TQNZBurner& owner, TCacheThread& cache, std::unique_ptr<TWriteSink> sink);

protected:
  void Execute() override;

private:
  // Hands a copy block to the sink; the note when its file shrank.
  bool CopyBlock(TCacheBlock& block, std::string& message);
  void Report();

  TQNZBurner& owner_;
  TCacheThread& cache_;
  std::unique_ptr<TWriteSink> sink_;
};

} // namespace qnzb
