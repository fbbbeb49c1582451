#pragma once
// Libraries loaded at run time (the ASPI manager). A name starting with ".\"
// (or "./") means the rest of the name in the running program's own folder; a
// name with another "/" is a path; a bare name goes through the loader's
// search path.
//
// Threading: safe from any thread; a library stays loaded until every load of
// it has been freed.

#include <string>

namespace qnzb::platform {

using TLibraryHandle = void*;
// An exported function, to be cast to its real type (as with FARPROC).
using TProcAddress = void (*)();

// The loaded library, or nullptr (LastLibraryError says why).
[[nodiscard]] TLibraryHandle LoadDynamicLibrary(const std::string& name);
// The export `name`, or nullptr when the library has none of that name.
[[nodiscard]] TProcAddress GetProcAddress(TLibraryHandle library, const char* name);
// True when the library was freed; false for nullptr or a loader error.
bool FreeLibrary(TLibraryHandle library);
// Keeps the library whose code holds `address` loaded until the process
// ends, whatever frees it (a library with threads and static destructors).
bool PinLibraryOf(const void* address);
// The path LoadDynamicLibrary hands to the loader for `name` (".\" resolved).
[[nodiscard]] std::string LibraryLoadPath(const std::string& name);
// The loader's text for the last failure of this thread; empty when none.
[[nodiscard]] std::string LastLibraryError();

} // namespace qnzb::platform
