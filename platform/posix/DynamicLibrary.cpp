// Run-time libraries over dlopen.

#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <cstring>

#include "platform/System.h"

namespace qnzb::platform {
namespace {

thread_local std::string lastError;

void Remember() {
  const char* text = ::dlerror();
  lastError = text ? text : "";
}

} // namespace

std::string LibraryLoadPath(const std::string& name) {
  if (name.size() > 2 && name[0] == '.' && (name[1] == '\\' || name[1] == '/')) {
    const std::string folder = ProgramDirectory();
    const std::string rest = name.substr(2);
    if (folder.empty())
      return rest;
    return folder == "/" ? "/" + rest : folder + "/" + rest;
  }
  return name;
}

TLibraryHandle LoadDynamicLibrary(const std::string& name) {
  lastError.clear();
  if (name.empty()) {
    lastError = "no library name";
    return nullptr;
  }
  // A bare name goes through the loader's search path; with ".\" resolved the
  // name holds a "/" and is taken as a path.
  void* library = ::dlopen(LibraryLoadPath(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library)
    Remember();
  return library;
}

bool PinLibraryOf(const void* address) {
  Dl_info info{};
  if (!::dladdr(address, &info) || !info.dli_fname)
    return false;
  // A second reference that dlclose never drops.
  return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

TProcAddress GetProcAddress(TLibraryHandle library, const char* name) {
  if (!library || !name)
    return nullptr;
  ::dlerror();
  void* symbol = ::dlsym(library, name);
  if (!symbol) {
    Remember();
    return nullptr;
  }
  TProcAddress function = nullptr;
  static_assert(sizeof function == sizeof symbol);
  std::memcpy(&function, &symbol, sizeof function);
  return function;
}

bool FreeLibrary(TLibraryHandle library) {
  if (!library)
    return false;
  if (::dlclose(library) != 0) {
    Remember();
    return false;
  }
  return true;
}

std::string LastLibraryError() {
  return lastError;
}

} // namespace qnzb::platform
