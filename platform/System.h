#pragma once
// Small system services: the time zone, text code pages and the platform's log.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qnzb::platform {

// Minutes to add to local standard time to get UTC (Windows' Bias: -60 for
// UTC+1). Reads the system's zone afresh on every call.
[[nodiscard]] int32_t TimeZoneBias();

// The system code page (the locale's code set, normally UTF-8) to UTF-16 and
// back. Bytes that don't convert become U+FFFD (to UTF-16) or "?" (back).
// The C locale counts as UTF-8, the encoding of file names on this system.
[[nodiscard]] std::u16string AnsiToUtf16(std::string_view text);
[[nodiscard]] std::string Utf16ToAnsi(std::u16string_view text);
// Length of `text` in UTF-16 units: the unit the system counts characters in.
[[nodiscard]] size_t Utf16Length(std::string_view text);

// Where the platform layer reports what it skips (broken links, loops,
// failed attribute changes). Default: nowhere. Thread-safe: the log is called
// under a lock, one line at a time, and once SetPlatformLog returns the
// previous log is no longer called. The log may call PlatformLog itself but
// must not wait for another thread that logs.
using TPlatformLog = std::function<void(const std::string& line)>;
void SetPlatformLog(TPlatformLog log);
void PlatformLog(const std::string& line);

// True when standard error is a terminal (progress lines are shown then).
[[nodiscard]] bool StandardErrorIsTerminal();

// The folder the running program's executable lives in (for ".\NAME"),
// without a trailing "/"; empty when it can't be found.
[[nodiscard]] std::string ProgramDirectory();
// The user's home folder: $HOME, else the password database; empty if neither.
[[nodiscard]] std::string HomeDirectory();

} // namespace qnzb::platform
