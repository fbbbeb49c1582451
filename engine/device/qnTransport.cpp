// The transport's one state and the choice between its two back ends.

#include "engine/device/Transport.h"

#include "engine/device/qnASPI.h"
#include "engine/device/qnSPTI.h"

namespace qnzb {

std::atomic<bool> CloseAfterCommand{false};

namespace {

void UseSpti(TTransportState& transport) {
  transport.Send = SptiSendASPI32Command;
  transport.SupportInfo = SptiGetASPI32SupportInfo;
  transport.ExecuteTimed = SptiExecute;
  transport.Name = SptiTransportName;
  transport.Initialized = true;
}

} // namespace

TTransportState& Transport() {
  static TTransportState state;
  return state;
}

bool InitializeTransport(bool PreferSPTI, const std::string& DllPath) {
  // The critical-error mode has no counterpart here: a drive without a
  // medium never raises a dialog on this system.
  TTransportState& transport = Transport();
  if (PreferSPTI && ScanDrives() > 0)
    UseSpti(transport);
  if (!transport.Initialized) {
    if (!LoadAspiDll(DllPath) && ScanDrives() > 0)
      UseSpti(transport);
  }
  if (transport.Initialized)
    (void)transport.SupportInfo();
  transport.SavedPreference = PreferSPTI;
  return transport.Initialized;
}

bool ReinitializeTransport() {
  TTransportState& transport = Transport();
  if (transport.Name == SptiTransportName) {
    transport.Initialized = false;
    transport.ExecuteTimed = nullptr;
    CloseSpti();
  } else {
    UnloadAspiDll();
  }
  InitializeTransport(transport.SavedPreference, "");
  return true;
}

void CloseTransport() {
  TTransportState& transport = Transport();
  CloseSpti();
  UnloadAspiDll();
  transport.Initialized = false;
  transport.Send = nullptr;
  transport.SupportInfo = nullptr;
  transport.ExecuteTimed = nullptr;
  transport.Name.clear();
}

} // namespace qnzb
