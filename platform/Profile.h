#pragma once
// Private-profile ("ini") files with the semantics of the Windows functions
// the settings are written for, and where the program's settings file lives.
//
// File format as read: lines end in LF or CR LF; "[name]" opens a section
// (blanks around the line and around the name ignored); "key=value" lines
// belong to the section above them; lines starting with ";" are comments.
// Section and key names compare case-insensitively (ASCII letters only) and
// with surrounding blanks and tabs trimmed. Lines of any other shape (no "=",
// an empty key, lines before the first section, binary junk) are ignored when
// reading and kept byte for byte when writing. Where a key appears twice in a
// section, or in two sections of the same name, the first one counts.
//
// Files larger than ProfileMaxBytes are not ini files: reads give the default
// and writes refuse, so such a file is never truncated or rewritten. A path
// naming anything but a regular file (a FIFO, a device, a folder) reads as a
// missing file without being opened, so a FIFO never blocks a read; writes to
// it are refused with a line on the platform log.
//
// Thread-safe; writes from one process are serialised. Another process
// writing the same file at the same time may see its change replaced (last
// writer wins), but the file is never left half-written.

#include <cstdint>
#include <string>
#include <string_view>

namespace qnzb::platform {

inline constexpr int64_t ProfileMaxBytes = 16 * 1024 * 1024;

// The value of `key` in `section`: the text after the first "=" of the key's
// line, trimmed of blanks and tabs, with one pair of matching surrounding
// quotes (" or ') removed. `defaultValue` when the file, the section or the key
// is missing, or the file can't be read. A key present with an empty value
// gives the empty text, not the default.
[[nodiscard]] std::string ReadProfileString(std::string_view section, std::string_view key,
                                            std::string_view defaultValue, const std::string& fileName);

// The value read as above taken as a whole decimal integer with an optional
// sign ("12", "-1", "+3"). `defaultValue` when the key is missing, its value is
// empty, not an integer ("12abc", "1.5") or outside the 32-bit range.
[[nodiscard]] int32_t ReadProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                                     const std::string& fileName);

// Sets `key` in `section` to `value`. The first line of that key is replaced in
// place (keeping the key's spelling in the file); a missing key is added after
// the last non-blank line of the section; a missing section is appended at
// the end with the key. Every other line stays as it was, and new lines use
// the file's line ends (CR LF when its first line has them).
// A value with surrounding blanks or one that is itself quoted is written in
// double quotes, so that reading gives back exactly `value`.
// The file, and its missing parent folders, are created by the first write.
// The file is replaced as a whole (a new file renamed over the old one, with
// the old one's permissions); when the path is a symbolic link its target is
// replaced. False, with the file unchanged, when the names or the value can't
// be stored (an empty section or key, a line break or NUL anywhere, "]" in
// the section, "=" in the key, a key starting with "[" or ";"), the existing
// file can't be read, is too large or is not a regular file, or the new file
// can't be written.
[[nodiscard]] bool StoreProfileString(std::string_view section, std::string_view key, std::string_view value,
                                      const std::string& fileName);

// The program's settings file "QNZB.ini": $QNZB_INI when set and not empty,
// else $XDG_CONFIG_HOME/QNZB.ini when that variable holds an absolute path,
// else ~/.config/QNZB.ini. Empty when no home folder is known either (then
// there is no settings file: reads give defaults, writes fail).
// On Windows: $QNZB_INI, else %APPDATA%\QNZB.ini; while that file does not
// exist, reads of it come from QNZB.ini in the Windows folder.
[[nodiscard]] std::string SettingsFilePath();

} // namespace qnzb::platform
