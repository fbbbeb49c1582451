#pragma once
// 64-bit file access through OS handles, plus attributes and file times.
// Handles are plain integers; a negative handle means no file is open.

#include <cstdint>
#include <string>

namespace qnzb::platform {

using TFileHandle = intptr_t;
inline constexpr TFileHandle InvalidFileHandle = -1;

enum class TFileAccess { Read, Write, ReadWrite };

// Opens an existing file. Sharing modes are not a concept of this OS and are
// not asked for. InvalidFileHandle on failure.
[[nodiscard]] TFileHandle FileOpen(const std::string& path, TFileAccess access);
// Creates (or truncates) a file for reading and writing, with the default
// permissions the user's umask leaves.
[[nodiscard]] TFileHandle FileCreate(const std::string& path);
// Opens a file for reading and writing, creating it (rw-r--r-- on POSIX)
// when missing; an existing file keeps its bytes. InvalidFileHandle on failure.
[[nodiscard]] TFileHandle FileOpenOrCreate(const std::string& path);
void FileClose(TFileHandle handle);

// Creates a new, empty file for reading and writing in the folder of
// `target`, under a hidden name of its own (".NAME.XXXXXX.part"), exclusively:
// it never opens or truncates a file that exists, so two writers of the same
// target never share it. Its permissions are those of `target` when that is
// a regular file, else what the umask leaves of 0666. `created` receives the
// name. InvalidFileHandle on failure.
[[nodiscard]] TFileHandle FileCreateBeside(const std::string& target, std::string& created);
// Puts the file `from` in the place of `to` in one step (an existing `to` is
// replaced). False on failure, with LastErrorText telling why.
[[nodiscard]] bool FileReplace(const std::string& from, const std::string& to);

// What a path names (links followed).
enum class TPathKind { Missing, File, Folder, Other };  // Other: a device, pipe or socket
[[nodiscard]] TPathKind PathKind(const std::string& path);

// Transfer `count` bytes at the current position, stopping early only at the
// end of the file or on an error; the count moved, 0 on failure or at the end
// of the file (read). Interrupted calls are retried.
[[nodiscard]] int32_t FileRead(TFileHandle handle, void* buffer, int32_t count);
[[nodiscard]] int32_t FileWrite(TFileHandle handle, const void* buffer, int32_t count);
// Like FileRead, but tells a failure (-1: closed handle, a folder, an I/O
// error before any byte, a negative count) apart from the end of the file (0).
[[nodiscard]] int32_t FileReadChecked(TFileHandle handle, void* buffer, int32_t count);
// Positioned transfers of any size at byte `offset`, apart from the current
// position. FileReadAt: the bytes read (fewer only at the end of the file),
// -1 on a failure. FileWriteAt: true when every byte went out.
[[nodiscard]] int64_t FileReadAt(TFileHandle handle, int64_t offset, void* buffer, int64_t count);
[[nodiscard]] bool FileWriteAt(TFileHandle handle, int64_t offset, const void* buffer, int64_t count);
// origin: 0 begin, 1 current, 2 end. The new position, or -1 on failure.
[[nodiscard]] int64_t FileSeek(TFileHandle handle, int64_t offset, int origin);
// Cuts (or extends) the file at the current position.
[[nodiscard]] bool FileTruncateHere(TFileHandle handle);

// Copies up to `count` bytes from `in` (at its position) to `out` (at its
// position), in the kernel where the OS can, and advances both positions.
// The bytes copied (fewer at the end of `in`), or -1 on a failure.
[[nodiscard]] int64_t FileCopyRange(TFileHandle in, TFileHandle out, int64_t count);
// Tells the OS a file will be read soon, from start to end, so that it reads
// ahead (for many small files: several at once). Best effort; never fails.
void PrefetchFile(const std::string& path);
// Opens a file for reading, as FileOpen does, and has the OS start reading
// all of it ahead. InvalidFileHandle on failure.
[[nodiscard]] TFileHandle OpenAhead(const std::string& path);
// Tells the OS the handle's file is read sequentially (a larger read-ahead).
void AdviseSequential(TFileHandle handle);

// The last OS error of the calling thread, as text ("No such file or directory").
// Call it right after the failing call; the functions here keep it intact.
[[nodiscard]] std::string LastErrorText();

// Who a file is and when it last changed, to notice that another process
// replaced or rewrote it: the volume and the file's number on it, the
// last-write time in nanoseconds since 1970 and the size (links followed).
struct TFileIdentity {
  uint64_t Volume = 0;
  uint64_t FileId = 0;
  int64_t ModifiedNs = 0;
  int64_t Size = 0;
};
// False when the path names nothing that can be asked.
[[nodiscard]] bool FileIdentityOf(const std::string& path, TFileIdentity& identity);

[[nodiscard]] bool FileExists(const std::string& path);       // a file, not a folder
[[nodiscard]] bool DirectoryExists(const std::string& path);
// Attribute bits (FileFind.h) of a file or folder; -1 when it doesn't exist.
[[nodiscard]] int32_t FileAttributesOf(const std::string& path);
// Applies the read-only and archive bits (others are not kept by this OS).
// Read-only removes every write permission; not read-only gives the owner
// write permission when nobody had it. Clearing the archive bit records the
// file as archived at its current last-write time (so any later change of
// that time sets the bit again); setting it forgets the record. Folders carry
// no archive bit. False (with a log line) when it can't be done, for example
// clearing the archive bit where the file system keeps no extended attributes.
[[nodiscard]] bool ApplyFileAttributes(const std::string& path, int32_t attributes);
// Sets the last-write time (Unix seconds and nanoseconds 0..999999999); the
// access time stays.
[[nodiscard]] bool SetFileWriteTime(const std::string& path, int64_t seconds, int32_t nanoseconds);
// Creates a folder and its missing parents.
[[nodiscard]] bool ForceDirectories(const std::string& path);
[[nodiscard]] bool RemoveFile(const std::string& path);

} // namespace qnzb::platform
