#pragma once
// Internal to the Windows platform layer: the one place <windows.h> comes in,
// without min/max macros, and the helpers every file here needs.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>

namespace qnzb::platform::win32 {

// Our handles are pointer-sized integers holding the HANDLE itself.
[[nodiscard]] inline HANDLE ToHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }
[[nodiscard]] inline intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// The system's text for an error code, without the trailing line break.
[[nodiscard]] std::string ErrorText(DWORD error);

// Windows paths: "/" turned into "\".
[[nodiscard]] std::string NativePath(const std::string& path);

} // namespace qnzb::platform::win32
