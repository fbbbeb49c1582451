#pragma once
// The SCSI command transport: the two ASPI for Win32 entry points, reached
// through one process-wide state, supplied either by the pass-through back
// end (which emulates them over the OS's SCSI pass-through) or by an ASPI
// manager library loaded at run time. Everything above sees only the entry
// points, the initialised flag and the transport name.
//
// Threading: the state is set up on the main thread before any command runs;
// the entry points are then called from the main, writing and blanking
// threads (one command at a time per drive, which the callers ensure).

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/device/AspiTypes.h"

namespace qnzb {

// The transport name while the pass-through back end is active.
inline constexpr const char* SptiTransportName = "QNASPI32";
// The transport name while an ASPI manager library is active.
inline constexpr const char* AspiTransportName = "WNASPI32.DLL";

// What a back end that carries a command out synchronously tells beyond the
// request block.
struct TExecDetails {
  // Data bytes moved: SRB_BufLen less the residual of a short transfer.
  uint32_t Transferred = 0;
  // Why the transport failed (SRB_HaStat set), in words the user can act
  // on: "DRIVE IS GONE", "NO WRITE ACCESS TO /dev/sr0". Empty otherwise.
  std::string Reason;
};
// SC_EXEC_SCSI_CMD with the command's own time-out (milliseconds).
using ExecuteTimedFn = uint32_t (*)(SRB_ExecSCSICmd& request, uint32_t timeoutMs, TExecDetails& details);

struct TTransportState {
  SendASPI32CommandFn Send = nullptr;
  GetASPI32SupportInfoFn SupportInfo = nullptr;
  // The pass-through back end's own way to run a command; empty for a
  // manager library, whose requests carry no time-out and no residual.
  ExecuteTimedFn ExecuteTimed = nullptr;
  bool Initialized = false;
  std::string Name;          // SptiTransportName, AspiTransportName or empty
  bool SavedPreference = true;  // PreferSPTI of the last initialisation
};

// The process-wide transport state.
[[nodiscard]] TTransportState& Transport();

// Chooses and starts a back end: with PreferSPTI the pass-through back end
// when it finds a drive, else the ASPI manager library (DllPath, or
// ".\WNASPI32.DLL" in the program's folder when empty); without it the other
// way round. The initialised flag.
bool InitializeTransport(bool PreferSPTI, const std::string& DllPath);
// Closes the active back end and initialises again with the saved preference.
bool ReinitializeTransport();
// Closes whatever back end is active (program end, tests).
void CloseTransport();

// When set, the pass-through back end closes a drive's handle after each
// command, so that other programs can reach the drive.
extern std::atomic<bool> CloseAfterCommand;

} // namespace qnzb
