#pragma once
// The read-ahead cache: a reading thread that assembles the whole byte stream
// of a session (metadata, boot image, every file's data in whole sectors,
// optional zero padding) into fixed-size blocks, queued in memory ahead of the
// writing thread, which takes them one at a time.
//
// Threading: one reader (this thread) and one consumer (the writing thread).
// The queue and its counters are guarded by the component's lock; both sides
// wait on condition variables tied to it, so neither spins. The queue holds at
// most BlockCount - 1 blocks plus the one being assembled: memory stays
// bounded by the cache size whatever the image size. Blocks the consumer is
// done with come back through ReturnBlock and are reused, so a job allocates
// its blocks once.
//
// Hand-offs are batched: a reader that found the queue full sleeps until a
// quarter of it is free again, and a consumer that found it empty sleeps until
// an eighth is filled (or the data ends, or a millisecond has passed), so
// neither side is woken for every single block.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/recording/ReadAhead.h"
#include "engine/runtime/CriticalSection.h"
#include "engine/runtime/Thread.h"
#include "platform/FileIO.h"

namespace qnzb {

inline constexpr int32_t MaxBlockSize = 65536;
inline constexpr int32_t CdBlockSize = 55296;    // 27 sectors: CD-R and CD-RW
inline constexpr int32_t DvdBlockSize = 65536;   // 32 sectors: DVD media and image builds
inline constexpr int64_t PostGapBytes = 614400;  // 300 sectors

// A source file the sink copies from itself, open while a piece of it is queued.
struct TCopySource {
  TCopySource(platform::TFileHandle handle, std::string path) : Handle(handle), Path(std::move(path)) {}
  ~TCopySource();
  TCopySource(const TCopySource&) = delete;
  TCopySource& operator=(const TCopySource&) = delete;
  platform::TFileHandle Handle;
  std::string Path;
  bool Shrank = false;  // the note was given: later pieces are zeros without one
};

// One block of the stream: whole sectors, Length valid bytes. With Source
// set the block holds no data but stands for SourceBytes of that file from
// its current position, then zeros up to Length: the sink copies them in the
// kernel instead of the bytes passing through this memory.
struct TCacheBlock {
  std::array<uint8_t, MaxBlockSize> Data;
  int32_t Length = 0;
  std::shared_ptr<TCopySource> Source;
  int64_t SourceBytes = 0;
};

// What to stream.
struct TCacheSource {
  int32_t CacheSize = 0;
  int32_t BlockSize = DvdBlockSize;
  bool PadFlag = false;            // pad a short image with zeros to 300 sectors
  std::string BootImageFile;       // streamed after the metadata, or empty
  int64_t BootImageBytes = 0;      // its size when the session was planned
  int64_t TotalBytes = 0;          // bytes of the image (ImageLength x 2048)
  std::vector<uint8_t> Metadata;   // taken over from the component
  int64_t TailBytes = 0;           // metadata bytes sent after the boot image
  // Metadata made while streaming, so that it need not be held all at once:
  // MetadataPieces pieces, inserted at byte MetadataPiecesAt of Metadata;
  // MetadataPiece(i, out) appends piece i to `out` (on the reading thread)
  // and may throw, which fails the job with the exception's text.
  size_t MetadataPiecesAt = 0;
  size_t MetadataPieces = 0;
  std::function<void(size_t, std::vector<uint8_t>&)> MetadataPiece;
  std::string ImageFile;           // stream this file alone (image burn), or empty
  int64_t ImageFileBytes = 0;      // its size
  // The files to stream, in layout order.
  std::vector<TSourceFile> Files;
  // Large files go to the sink as copy blocks (TCacheBlock::Source): for a
  // sink that is a file, which the kernel copies into.
  bool CopyLargeFiles = false;
};

// Texts that end a job.
inline constexpr const char* msgAbortedByUser = "OPERATION ABORTED BY USER";
inline constexpr const char* msgCantOpenFile = "CAN'T OPEN FILE \"%s\" OR FILE IS IN USES BY OTHER SOFTWARE";
inline constexpr const char* msgReadError = "READ ERROR IN FILE \"%s\" [%s]";

class TCacheThread final : public TThread {
public:
  // Starts reading at once. `log` receives notes (a file that shrank) from
  // the reading thread; it must accept calls from any thread.
  TCacheThread(TCacheSource source, TCriticalSection& lock,
               std::function<void(const std::string&)> log);
  ~TCacheThread() override;

  // The writer's side. The next block, or nullptr with `status` 0 at the
  // end of the data (or after an abort or failure) and -1 when nothing is
  // queued yet.
  [[nodiscard]] std::unique_ptr<TCacheBlock> TakeBlock(int32_t& status);
  // Hands a block from TakeBlock back once its bytes are used, for reuse.
  void ReturnBlock(std::unique_ptr<TCacheBlock> block);
  // Copies the next block into `buffer` (at least 65,536 bytes): its length,
  // 0 at the end, -1 when nothing is queued yet.
  [[nodiscard]] int32_t GetBlock(uint8_t* buffer);
  // Waits (up to `timeoutMs` of real time) until a batch of blocks is
  // queued, the reader is done, or Wake() is called.
  void WaitForData(uint32_t timeoutMs);
  // Wakes a WaitForData (an abort was asked for).
  void Wake();
  // Gives the note that a file shrank since it was planned (any thread).
  void NoteShrank(const std::string& path) const;
  // Waits (up to `timeoutMs`) until the cache is Ready or has a message.
  void WaitForStart(uint32_t timeoutMs);
  // Stops the reader: frees the queue; the message becomes "OPERATION
  // ABORTED BY USER" unless one was already set.
  void Abort();

  [[nodiscard]] bool Ready() const { return ready_.load(); }
  [[nodiscard]] bool Done() const { return done_.load(); }
  [[nodiscard]] std::string Message() const;
  // Message() is not empty; without the lock or a copy of the text.
  [[nodiscard]] bool HasMessage() const { return hasMessage_.load(); }
  void SetMessage(const std::string& message);
  [[nodiscard]] std::string CurrentFile() const;
  // Changes whenever CurrentFile() does, so a caller copies the name only then.
  [[nodiscard]] uint64_t CurrentFileSerial() const { return currentFileSerial_.load(); }
  [[nodiscard]] int64_t QueuedBytes() const { return queuedBytes_.load(); }
  [[nodiscard]] int32_t BlockSize() const { return source_.BlockSize; }
  [[nodiscard]] int32_t BlockCount() const { return blockCount_; }
  // Bytes the stream will deliver in all, padding included.
  [[nodiscard]] int64_t StreamBytes() const { return streamBytes_.load(); }

protected:
  void Execute() override;

private:
  class TAborted {};
  void Fail(const std::string& message);
  void StoreMessage(const std::string& message);
  std::unique_ptr<TCacheBlock> NewBlock();
  void Append(std::unique_ptr<TCacheBlock> block);
  // Waits while the queue is full; throws TAborted when aborted.
  void WaitForRoom();
  void QueueBytes(const uint8_t* data, int64_t count);
  // `opened`: the file's handle when it was opened ahead (closed here), else
  // InvalidFileHandle.
  void QueueFile(const std::string& path, int64_t size, platform::TFileHandle opened = platform::InvalidFileHandle);
  // Queues copy blocks for the file open at `in`, which they then own.
  void QueueCopy(const std::string& path, int64_t size, platform::TFileHandle in);
  void FlushCurrent();
  // The band for `queued` blocks (0: full, 3: nearly empty; every band but
  // the last runs below normal). Lowers the priority only when `lower`: the
  // consumer raises it as it drains the queue, since a reader at a low
  // priority may not get the processor to raise it itself.
  void UpdatePriority(size_t queued, bool lower);
  // Moves to `band`; a band below the current one is not taken once the OS
  // has refused to raise the priority again (no right to), since the reader
  // would then stay starved for the rest of the job.
  void ApplyBand(int band);
  void MarkReady();

  TCacheSource source_;
  TCriticalSection& lock_;
  std::function<void(const std::string&)> log_;
  int32_t blockCount_;
  size_t resumeBelow_;  // a full queue is refilled once it is shorter than this
  size_t dataBatch_;    // a waiting consumer is woken once this many are queued
  std::condition_variable_any roomCv_;
  std::condition_variable_any dataCv_;
  std::condition_variable_any startCv_;
  std::deque<std::unique_ptr<TCacheBlock>> blocks_;
  std::vector<std::unique_ptr<TCacheBlock>> spare_;  // returned blocks, for reuse
  std::unique_ptr<TCacheBlock> current_;
  int32_t fill_ = 0;
  // Under the lock: which side sleeps, and a Wake() not yet seen.
  bool readerWaiting_ = false;
  bool consumerWaiting_ = false;
  bool wakeRequested_ = false;
  std::atomic<int64_t> queuedBytes_{0};
  std::atomic<int64_t> streamBytes_{0};
  std::atomic<bool> ready_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> aborted_{false};
  std::atomic<bool> hasMessage_{false};
  std::atomic<uint64_t> currentFileSerial_{0};
  std::string message_;
  std::string currentFile_;
  int priorityBand_ = 2;  // under the lock
  bool canRaise_ = true;  // under the lock
  std::atomic<int> readerTid_{0};
};

} // namespace qnzb
