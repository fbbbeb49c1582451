#pragma once
// A small stream family with 64-bit positions and sizes for source files and
// image files of any size. No buffering: every Read or Write is one OS call.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/FileIO.h"

namespace qnzb {

// Seek origins.
inline constexpr uint16_t soFromBeginning = 0;
inline constexpr uint16_t soFromCurrent = 1;
inline constexpr uint16_t soFromEnd = 2;

// Open modes of TFileStreamEx.
inline constexpr uint16_t fmCreate = 0xFFFF;        // create (truncate), read and write
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;
// The mode every read of the engine uses: read, others may read and write.
inline constexpr uint16_t fmEngineRead = fmOpenRead | fmShareDenyNone;

// A file could not be opened or created.
class EFOpenError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TStreamEx {
public:
  TStreamEx() = default;
  virtual ~TStreamEx() = default;
  TStreamEx(const TStreamEx&) = delete;
  TStreamEx& operator=(const TStreamEx&) = delete;

  virtual void SetSize(int64_t /*NewSize*/) {}
  // Up to Count bytes at the current position; the count moved, 0 on failure.
  // A negative Count is a programming error (std::out_of_range).
  [[nodiscard]] virtual int32_t Read(void* Buffer, int32_t Count) = 0;
  [[nodiscard]] virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
  // Moves by the full 64-bit Offset from Origin; the new position. Failure is
  // not tested: the result is what the OS returned (-1).
  virtual int64_t Seek(int64_t Offset, uint16_t Origin) = 0;
  // The size; the position is the same afterwards.
  [[nodiscard]] int64_t Size();
};

// A stream over an OS file handle it does not own.
class THandleStreamEx : public TStreamEx {
public:
  explicit THandleStreamEx(platform::TFileHandle handle) : Handle(handle) {}

  // Seeks to NewSize and cuts the file there; a refused cut throws
  // std::runtime_error with the system's error text.
  void SetSize(int64_t NewSize) override;
  [[nodiscard]] int32_t Read(void* Buffer, int32_t Count) override;
  [[nodiscard]] int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;
  // Like Read, but -1 on a read failure and 0 only at the end of the file.
  [[nodiscard]] int32_t ReadChecked(void* Buffer, int32_t Count);

  platform::TFileHandle Handle;  // negative: no file open
};

// A handle stream that opens or creates a named file and owns its handle.
class TFileStreamEx : public THandleStreamEx {
public:
  // fmCreate makes the file (an existing one is emptied); any other Mode
  // opens an existing file: bits 0-1 access (0 read, 1 write, 2 both), bits
  // 4-7 sharing (0 to 4, ignored by this OS). Throws EFOpenError when no
  // handle results, including for access above 2 or sharing above 4.
  TFileStreamEx(const std::string& FileName, uint16_t Mode);
  ~TFileStreamEx() override;
};

} // namespace qnzb
