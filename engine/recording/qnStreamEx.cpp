#include "engine/recording/qnStreamEx.h"

#include <cerrno>

namespace qnzb {

static void CheckCount(int32_t count) {
  if (count < 0)
    throw std::out_of_range("negative transfer count");
}

int64_t TStreamEx::Size() {
  const int64_t position = Seek(0, soFromCurrent);
  const int64_t size = Seek(0, soFromEnd);
  Seek(position, soFromBeginning);
  return size;
}

void THandleStreamEx::SetSize(int64_t NewSize) {
  Seek(NewSize, soFromBeginning);
  if (!platform::FileTruncateHere(Handle))
    throw std::runtime_error(platform::LastErrorText());
}

int32_t THandleStreamEx::Read(void* Buffer, int32_t Count) {
  CheckCount(Count);
  return Count == 0 ? 0 : platform::FileRead(Handle, Buffer, Count);
}

int32_t THandleStreamEx::ReadChecked(void* Buffer, int32_t Count) {
  CheckCount(Count);
  return Count == 0 ? 0 : platform::FileReadChecked(Handle, Buffer, Count);
}

int32_t THandleStreamEx::Write(const void* Buffer, int32_t Count) {
  CheckCount(Count);
  return Count == 0 ? 0 : platform::FileWrite(Handle, Buffer, Count);
}

int64_t THandleStreamEx::Seek(int64_t Offset, uint16_t Origin) {
  return platform::FileSeek(Handle, Offset, Origin);
}

static platform::TFileHandle OpenByMode(const std::string& fileName, uint16_t mode) {
  if (mode == fmCreate)
    return platform::FileCreate(fileName);
  const unsigned access = mode & 0x03;
  const unsigned sharing = (mode >> 4) & 0x0F;
  if (access > 2 || sharing > 4 || (mode & ~0x00F3u) != 0) {
    errno = EINVAL;
    return platform::InvalidFileHandle;
  }
  static constexpr platform::TFileAccess accesses[] = {platform::TFileAccess::Read, platform::TFileAccess::Write,
                                                       platform::TFileAccess::ReadWrite};
  return platform::FileOpen(fileName, accesses[access]);
}

TFileStreamEx::TFileStreamEx(const std::string& FileName, uint16_t Mode)
    : THandleStreamEx(OpenByMode(FileName, Mode)) {
  if (Handle < 0)
    throw EFOpenError("Cannot " + std::string(Mode == fmCreate ? "create" : "open") + " file \"" + FileName +
                      "\". " + platform::LastErrorText());
}

TFileStreamEx::~TFileStreamEx() {
  if (Handle >= 0)
    platform::FileClose(Handle);
}

} // namespace qnzb
