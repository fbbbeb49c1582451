// The transport's entry points taken from an ASPI manager library.

#include "engine/device/qnASPI.h"

#include "engine/device/AspiTypes.h"
#include "engine/device/Transport.h"
#include "platform/DynamicLibrary.h"

namespace qnzb {
namespace {

platform::TLibraryHandle& Library() {
  static platform::TLibraryHandle library = nullptr;
  return library;
}

} // namespace

bool LoadAspiDll(const std::string& DllPath) {
  platform::TLibraryHandle library = nullptr;
  if (!DllPath.empty())
    library = platform::LoadDynamicLibrary(DllPath);
  if (!library)
    library = platform::LoadDynamicLibrary(std::string(".\\") + AspiManagerFileName);
  if (!library)
    library = platform::LoadDynamicLibrary(AspiManagerFileName);
  if (!library)
    return false;

  const auto support =
      reinterpret_cast<GetASPI32SupportInfoFn>(platform::GetProcAddress(library, GetASPI32SupportInfoName));
  const auto send = reinterpret_cast<SendASPI32CommandFn>(platform::GetProcAddress(library, SendASPI32CommandName));
  // A manager without both entry points is no manager: the transport must
  // never count as initialised with an empty entry point.
  if (!support || !send) {
    platform::FreeLibrary(library);
    return false;
  }
  Library() = library;
  TTransportState& transport = Transport();
  transport.SupportInfo = support;
  transport.Send = send;
  transport.ExecuteTimed = nullptr;
  transport.Name = AspiTransportName;
  transport.Initialized = true;
  return true;
}

bool UnloadAspiDll() {
  TTransportState& transport = Transport();
  platform::TLibraryHandle& library = Library();
  if (!transport.Initialized || !library)
    return true;
  transport.Initialized = false;
  transport.Send = nullptr;
  transport.SupportInfo = nullptr;
  transport.ExecuteTimed = nullptr;
  const bool freed = platform::FreeLibrary(library);
  library = nullptr;
  return freed;
}

bool AspiDllLoaded() {
  return Library() != nullptr;
}

} // namespace qnzb
