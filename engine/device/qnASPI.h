#pragma once
// The library back end of the transport: an ASPI for Win32 manager loaded at
// run time from WNASPI32.DLL, whose two exports become the transport's entry
// points. Host adapters, targets and units are the manager's own; requests
// with event notification complete asynchronously through their event.
//
// Threading: loading and unloading run on the main thread while no command
// runs.

#include <string>

namespace qnzb {

// Loads the manager: DllPath when given, else (or when it can't be loaded)
// ".\WNASPI32.DLL" in the program's folder, then "WNASPI32.DLL" through the
// loader's search path. On success the transport is initialised with the
// library's entry points and named AspiTransportName. A library lacking
// either export is freed again and leaves the transport not initialised.
bool LoadAspiDll(const std::string& DllPath);
// Frees the library when one is loaded and the transport is initialised;
// true when nothing was loaded or freeing worked.
bool UnloadAspiDll();
// Whether a manager library is loaded.
[[nodiscard]] bool AspiDllLoaded();

} // namespace qnzb
