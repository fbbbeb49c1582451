// Run-time libraries through LoadLibraryA. ".\NAME" is the program's own
// folder, which is also where a bare name is looked for first.

#include "platform/DynamicLibrary.h"

#include "platform/System.h"
#include "platform/win32/WinApi.h"

namespace qnzb::platform {
namespace {

thread_local std::string lastError;

} // namespace

std::string LibraryLoadPath(const std::string& name) {
  if (name.starts_with(".\\") || name.starts_with("./")) {
    const std::string folder = ProgramDirectory();
    return (folder.empty() ? std::string(".") : folder) + "\\" + name.substr(2);
  }
  return win32::NativePath(name);
}

TLibraryHandle LoadDynamicLibrary(const std::string& name) {
  const std::string path = LibraryLoadPath(name);
  // No "insert a disc" or "file missing" box for a library on a drive without
  // its medium: the caller tells the user.
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE library = ::LoadLibraryA(path.c_str());
  const DWORD error = ::GetLastError();
  ::SetErrorMode(previous);
  lastError = library ? std::string() : path + ": " + win32::ErrorText(error);
  return library;
}

bool PinLibraryOf(const void* address) {
  HMODULE module = nullptr;
  return ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              static_cast<LPCSTR>(address), &module) != 0;
}

TProcAddress GetProcAddress(TLibraryHandle library, const char* name) {
  if (!library || !name)
    return nullptr;
  // FARPROC and TProcAddress are both "any function" types.
  const auto address = reinterpret_cast<TProcAddress>(::GetProcAddress(static_cast<HMODULE>(library), name));
  if (!address)
    lastError = std::string(name) + ": " + win32::ErrorText(::GetLastError());
  return address;
}

bool FreeLibrary(TLibraryHandle library) {
  if (!library)
    return false;
  if (!::FreeLibrary(static_cast<HMODULE>(library))) {
    lastError = win32::ErrorText(::GetLastError());
    return false;
  }
  return true;
}

std::string LastLibraryError() { return lastError; }

} // namespace qnzb::platform
