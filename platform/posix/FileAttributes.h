#pragma once
// Internal to the posix platform layer: the Windows attribute bits of a file
// or folder, shared by the listing and FileAttributesOf.
//
// The archive bit (20h) of a file is set unless the extended attribute
// "user.qnzb.archived" holds the file's current modification time, written as
// decimal "seconds.nanoseconds" (nanoseconds as nine digits). Any change of
// the modification time therefore brings the bit back. Folders never carry
// it. Where the file system keeps no user extended attributes, every file
// has the bit set.
//
// A current mark always comes with a status change time (st_ctim) different
// from the modification time: writing the mark moves the status time, and
// StoreArchivedMark waits out the clock tick if needed. A file whose two
// times are equal is thus known to need archiving without reading its
// extended attributes. Other writers of the mark can only err towards the bit
// being set, never towards a changed file counting as archived.

#include <cstdint>
#include <string>
#include <string_view>

struct stat;

namespace qnzb::platform::posix {

// Attribute bits of the item at `path` whose stat (links followed) is `st`.
// `name` is its last path component: a name starting with "." is hidden,
// except "." and "..". Reads the archive mark of regular files only, and
// only with `readMark`: without it a file counts as not archived.
[[nodiscard]] int32_t AttributesOf(const struct stat& st, std::string_view name, const char* path,
                                   bool readMark = true);

// Records the file at `path` as archived at its current modification time.
// False with errno set when it can't (ENOTSUP: no extended attributes here).
[[nodiscard]] bool StoreArchivedMark(const char* path, const struct stat& st);
// Forgets that record; true when there was none to forget.
[[nodiscard]] bool ForgetArchivedMark(const char* path);

// The last component of `path` ignoring trailing "/"; "/" for the root.
[[nodiscard]] std::string_view LastComponent(std::string_view path);

// strerror of `error` for the log, thread-safe.
[[nodiscard]] std::string ErrorText(int error);

} // namespace qnzb::platform::posix
