#include "engine/recording/qnCache.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "engine/recording/ReadAhead.h"
#include "engine/recording/qnStreamEx.h"
#include "engine/runtime/Strings.h"
#include "platform/ThreadPriority.h"

namespace qnzb {

namespace {
constexpr int64_t SectorSize = 2048;
int64_t RoundToSector(int64_t n) { return (n + SectorSize - 1) / SectorSize * SectorSize; }
// Files this large are not announced ahead (TReadAhead) and get the OS's
// larger sequential read-ahead instead; a smaller one is read in a call or two.
constexpr int64_t SequentialFile = 4 << 20;
// A file from this size on goes to a sink that copies as copy blocks of at
// most CopyPiece bytes (an abort is seen between two of them); a smaller one
// is cheaper to read into a block with its neighbours.
constexpr int64_t CopyFile = 512 << 10;
constexpr int64_t CopyPiece = 64 << 20;
} // namespace

TCopySource::~TCopySource() {
  if (Handle >= 0)
    platform::FileClose(Handle);
}

TCacheThread::TCacheThread(TCacheSource source, TCriticalSection& lock, std::function<void(const std::string&)> log)
    : TThread(true), source_(std::move(source)), lock_(lock), log_(std::move(log)) {
  source_.BlockSize = std::clamp(source_.BlockSize, static_cast<int32_t>(SectorSize), MaxBlockSize);
  source_.BlockSize -= source_.BlockSize % static_cast<int32_t>(SectorSize);
  blockCount_ = std::max(2, source_.CacheSize / source_.BlockSize);
  // The queue is full at BlockCount - 1 blocks.
  const auto room = static_cast<size_t>(blockCount_ - 1);
  resumeBelow_ = room - std::max<size_t>(1, room / 4) + 1;
  dataBatch_ = std::max<size_t>(1, room / 8);
  // The padding to 300 sectors is for burns of the compilation, not of an image file.
  source_.PadFlag = source_.PadFlag && source_.TotalBytes < PostGapBytes && source_.ImageFile.empty();
  streamBytes_ = source_.PadFlag ? PostGapBytes : source_.TotalBytes;
  Start();
  SetPriority(TThreadPriority::Lower);
}

TCacheThread::~TCacheThread() {
  Abort();
  WaitFor();
}

std::string TCacheThread::Message() const {
  std::lock_guard guard(lock_);
  return message_;
}

void TCacheThread::StoreMessage(const std::string& message) {
  message_ = message;
  hasMessage_ = !message_.empty();
  if (hasMessage_)
    startCv_.notify_all();
}

void TCacheThread::SetMessage(const std::string& message) {
  std::lock_guard guard(lock_);
  StoreMessage(message);
}

std::string TCacheThread::CurrentFile() const {
  std::lock_guard guard(lock_);
  return currentFile_;
}

std::unique_ptr<TCacheBlock> TCacheThread::TakeBlock(int32_t& status) {
  std::lock_guard guard(lock_);
  if (blocks_.empty()) {
    status = (done_ || aborted_) ? 0 : -1;
    return nullptr;
  }
  std::unique_ptr<TCacheBlock> block = std::move(blocks_.front());
  blocks_.pop_front();
  if (!block->Source)
    queuedBytes_ -= block->Length;
  status = block->Length;
  UpdatePriority(blocks_.size(), false);
  if (readerWaiting_ && blocks_.size() < resumeBelow_)
    roomCv_.notify_one();
  return block;
}

void TCacheThread::ReturnBlock(std::unique_ptr<TCacheBlock> block) {
  if (block)
    block->Source.reset();
  std::lock_guard guard(lock_);
  // After an abort nothing more is read: the block goes.
  if (block && !aborted_)
    spare_.push_back(std::move(block));
}

int32_t TCacheThread::GetBlock(uint8_t* buffer) {
  int32_t status = 0;
  std::unique_ptr<TCacheBlock> block = TakeBlock(status);
  if (block) {
    std::memcpy(buffer, block->Data.data(), static_cast<size_t>(block->Length));
    ReturnBlock(std::move(block));
  }
  return status;
}

void TCacheThread::WaitForData(uint32_t timeoutMs) {
  std::unique_lock guard(lock_);
  consumerWaiting_ = true;
  dataCv_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                   [this] { return blocks_.size() >= dataBatch_ || done_ || aborted_ || wakeRequested_; });
  consumerWaiting_ = false;
  wakeRequested_ = false;
}

void TCacheThread::NoteShrank(const std::string& path) const {
  if (log_)
    log_(path);
}

void TCacheThread::Wake() {
  std::lock_guard guard(lock_);
  wakeRequested_ = true;
  dataCv_.notify_all();
}

void TCacheThread::WaitForStart(uint32_t timeoutMs) {
  std::unique_lock guard(lock_);
  startCv_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return ready_ || hasMessage_; });
}

void TCacheThread::Abort() {
  std::lock_guard guard(lock_);
  aborted_ = true;
  blocks_.clear();
  spare_.clear();
  queuedBytes_ = 0;
  if (message_.empty())
    StoreMessage(msgAbortedByUser);
  roomCv_.notify_all();
  dataCv_.notify_all();
}

void TCacheThread::Fail(const std::string& message) {
  std::lock_guard guard(lock_);
  if (message_.empty())
    StoreMessage(message);
  done_ = true;
  dataCv_.notify_all();
}

std::unique_ptr<TCacheBlock> TCacheThread::NewBlock() {
  {
    std::lock_guard guard(lock_);
    if (!spare_.empty()) {
      std::unique_ptr<TCacheBlock> block = std::move(spare_.back());
      spare_.pop_back();
      return block;
    }
  }
  // Not zeroed: every byte up to a block's Length is written before it is queued.
  return std::unique_ptr<TCacheBlock>(new TCacheBlock);
}

void TCacheThread::Append(std::unique_ptr<TCacheBlock> block) {
  std::lock_guard guard(lock_);
  if (aborted_)
    throw TAborted();
  // A copy block holds no data: the fill counts memory.
  if (!block->Source)
    queuedBytes_ += block->Length;
  blocks_.push_back(std::move(block));
  if (consumerWaiting_ && blocks_.size() >= dataBatch_)
    dataCv_.notify_one();
}

void TCacheThread::MarkReady() {
  if (!ready_) {
    ready_ = true;
    startCv_.notify_all();
  }
}

void TCacheThread::WaitForRoom() {
  std::unique_lock guard(lock_);
  const auto full = [this] { return blocks_.size() + 1 >= static_cast<size_t>(blockCount_); };
  UpdatePriority(blocks_.size(), true);
  if (full()) {
    if (priorityBand_ != 0)
      ApplyBand(0);
    MarkReady();
    // A consumer that sleeps until a batch is queued must not miss the last one.
    if (consumerWaiting_)
      dataCv_.notify_one();
    readerWaiting_ = true;
    roomCv_.wait(guard, [&] { return blocks_.size() < resumeBelow_ || aborted_.load(); });
    readerWaiting_ = false;
  }
  if (aborted_)
    throw TAborted();
}

void TCacheThread::UpdatePriority(size_t queued, bool lower) {
  // The emptier the queue, the more the reader competes for the CPU.
  const auto count = static_cast<int32_t>(queued);
  const int band = count < blockCount_ / 4 ? 3 : count < blockCount_ / 2 ? 2 : 1;
  if (band == priorityBand_ || (band < priorityBand_ && !lower))
    return;
  ApplyBand(band);
}

void TCacheThread::ApplyBand(int band) {
  // Below normal, never lower: a reader at the lowest or idle priority got
  // next to no processor beside other busy programs, and took longer to
  // refill the queue than the drive's buffer lasts (a 16x DVD burn beside
  // two processes of endless loops: 61 underruns, against none at most
  // below normal). Asleep while the queue is full, it needs no lower one.
  static constexpr TThreadPriority priorities[] = {TThreadPriority::Lower, TThreadPriority::Lower,
                                                   TThreadPriority::Lower, TThreadPriority::Normal};
  const bool raise = band > priorityBand_;
  if (!raise && !canRaise_)
    return;
  priorityBand_ = band;
  const int tid = readerTid_.load();
  const int before = tid != 0 ? platform::ThreadNice(tid) : 0;
  SetPriority(priorities[band]);
  if (raise && tid != 0 && platform::ThreadNice(tid) >= before)
    canRaise_ = false;
}

void TCacheThread::FlushCurrent() {
  if (current_ && fill_ > 0) {
    current_->Length = fill_;
    Append(std::move(current_));
  }
  current_.reset();
  fill_ = 0;
}

// Queues `count` bytes of memory (whole sectors) through the current block.
void TCacheThread::QueueBytes(const uint8_t* data, int64_t count) {
  while (count > 0) {
    if (!current_) {
      current_ = NewBlock();
      fill_ = 0;
    }
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, source_.BlockSize - fill_));
    std::memcpy(current_->Data.data() + fill_, data, static_cast<size_t>(n));
    fill_ += n;
    data += n;
    count -= n;
    if (fill_ == source_.BlockSize) {
      FlushCurrent();
      WaitForRoom();
    }
  }
}

// Queues a file's first `size` bytes in whole sectors. The bytes after its
// end in the last sector are zeros; a file that shrank since it was planned
// is padded with zeros to `size`, so every later sector keeps its address.
void TCacheThread::QueueFile(const std::string& path, int64_t size, platform::TFileHandle opened) {
  struct TCloser {
    platform::TFileHandle Handle;
    ~TCloser() {
      if (Handle >= 0)
        platform::FileClose(Handle);
    }
  } closer{opened};
  {
    std::lock_guard guard(lock_);
    currentFile_ = path;
    ++currentFileSerial_;
  }
  if (source_.CopyLargeFiles && size >= CopyFile) {
    closer.Handle = platform::InvalidFileHandle;
    if (opened < 0) {
      opened = platform::FileOpen(path, platform::TFileAccess::Read);
      if (opened < 0) {
        Fail(Format(msgCantOpenFile, path.c_str()));
        throw TAborted();
      }
    }
    QueueCopy(path, size, opened);
    return;
  }
  std::unique_ptr<THandleStreamEx> in;
  if (opened >= 0) {
    in = std::make_unique<THandleStreamEx>(opened);
  } else {
    try {
      in = std::make_unique<TFileStreamEx>(path, fmEngineRead);
    } catch (const EFOpenError&) {
      Fail(Format(msgCantOpenFile, path.c_str()));
      throw TAborted();
    }
  }
  if (size >= SequentialFile)
    platform::AdviseSequential(in->Handle);
  int64_t left = size;
  bool shrank = false;
  while (left > 0) {
    if (!current_) {
      current_ = NewBlock();
      fill_ = 0;
    }
    const auto n = static_cast<int32_t>(std::min<int64_t>(left, source_.BlockSize - fill_));
    int32_t got = 0;
    while (!shrank && got < n) {
      const int32_t r = in->ReadChecked(current_->Data.data() + fill_ + got, n - got);
      if (r < 0) {
        Fail(Format(msgReadError, path.c_str(), platform::LastErrorText().c_str()));
        throw TAborted();
      }
      shrank = r == 0;
      got += r;
    }
    const auto s = static_cast<int32_t>(RoundToSector(n));
    std::memset(current_->Data.data() + fill_ + got, 0, static_cast<size_t>(s - got));
    fill_ += s;
    left -= n;
    if (aborted_)
      throw TAborted();
    if (fill_ == source_.BlockSize)
      FlushCurrent();
    WaitForRoom();
  }
  if (shrank && log_)
    log_(path);
}

void TCacheThread::QueueCopy(const std::string& path, int64_t size, platform::TFileHandle in) {
  auto source = std::make_shared<TCopySource>(in, path);
  platform::AdviseSequential(in);
  FlushCurrent();
  for (int64_t left = size; left > 0;) {
    auto block = NewBlock();
    block->Source = source;
    block->SourceBytes = std::min(left, CopyPiece);
    block->Length = static_cast<int32_t>(RoundToSector(block->SourceBytes));
    left -= block->SourceBytes;
    Append(std::move(block));
    WaitForRoom();
  }
}

void TCacheThread::Execute() {
  readerTid_ = platform::CurrentThreadId();
  try {
    if (source_.ImageFile.empty()) {
      const int64_t head = static_cast<int64_t>(source_.Metadata.size()) - source_.TailBytes;
      const auto at = static_cast<int64_t>(std::min(source_.MetadataPiecesAt, static_cast<size_t>(head)));
      QueueBytes(source_.Metadata.data(), at);
      if (source_.MetadataPieces > 0) {
        std::vector<uint8_t> piece;
        for (size_t i = 0; i < source_.MetadataPieces; ++i) {
          piece.clear();
          try {
            source_.MetadataPiece(i, piece);
          } catch (const std::exception& e) {
            Fail(e.what());
            throw TAborted();
          }
          QueueBytes(piece.data(), static_cast<int64_t>(piece.size()));
        }
      }
      QueueBytes(source_.Metadata.data() + at, head - at);
      if (!source_.BootImageFile.empty())
        QueueFile(source_.BootImageFile, source_.BootImageBytes);
      QueueBytes(source_.Metadata.data() + head, source_.TailBytes);
      source_.Metadata.clear();
      source_.Metadata.shrink_to_fit();
      TReadAhead readAhead(source_.Files, true);
      for (size_t i = 0; i < source_.Files.size(); ++i) {
        readAhead.Before(i);
        QueueFile(source_.Files[i].Path(), source_.Files[i].Size, readAhead.Take(i));
      }
      FlushCurrent();
      if (source_.PadFlag) {
        for (int64_t pad = PostGapBytes - source_.TotalBytes; pad > 0;) {
          auto block = NewBlock();
          block->Length = static_cast<int32_t>(std::min<int64_t>(source_.BlockSize, pad));
          std::memset(block->Data.data(), 0, static_cast<size_t>(block->Length));
          pad -= block->Length;
          Append(std::move(block));
        }
      }
    } else {
      QueueFile(source_.ImageFile, source_.ImageFileBytes);
      FlushCurrent();
    }
    std::lock_guard guard(lock_);
    MarkReady();
    done_ = true;
    dataCv_.notify_all();
  } catch (const TAborted&) {
    current_.reset();
    std::lock_guard guard(lock_);
    MarkReady();
    done_ = true;
    dataCv_.notify_all();
  }
}

} // namespace qnzb
