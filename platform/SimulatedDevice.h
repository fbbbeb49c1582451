#pragma once
// The seam between a transport and a device simulated in-process: one SCSI
// command in, status and sense out, as a target on the bus would answer. The
// virtual recorder implements it; the pass-through back end can route a drive
// letter to it instead of the operating system's pass-through, so the SPTI
// path is tested without hardware.
//
// It lives in the platform layer, below the engine and the virtual recorder,
// which both include it from here: it depends on nothing above it.

#include <cstdint>
#include <span>

#include "platform/ScsiStatus.h"

namespace qnzb {

// Which of the host's buffers the command may use: data from the device
// (In), data to the device (Out) or none.
enum class ScsiDirection : uint8_t { None, In, Out };

struct ScsiOutcome {
  // SCSI status byte (ScsiStatusGood, ScsiStatusCheckCondition, ScsiStatusBusy).
  uint8_t Status = ScsiStatusGood;
  // Bytes moved through the data buffer, in either direction.
  uint32_t Transferred = 0;
  // Bytes of fixed-format sense data written (CHECK CONDITION only).
  uint8_t SenseLength = 0;
  // The host's buffer did not match the transfer: a data-in transfer was cut
  // at the buffer's end, or a data-out command found less data than it needs
  // (the latter also ends in CHECK CONDITION, ABORTED COMMAND, DATA PHASE
  // ERROR). A host adapter reports this as data overrun/underrun.
  bool DataOverrun = false;
};

class SimulatedDevice {
public:
  virtual ~SimulatedDevice() = default;

  // Runs one command. `cdb` holds the command descriptor block (6 to 16
  // bytes; anything else is refused with ILLEGAL REQUEST). `data` is the
  // host's buffer: the device reads from it when `direction` is Out and writes
  // into it when In; with None, or the other direction than the command needs,
  // the command sees an empty buffer. `sense` receives fixed-format sense data
  // (up to its size, 18 bytes suffice) when the status is CHECK CONDITION.
  // Never throws; bad input of any kind ends in CHECK CONDITION. Thread-safe:
  // concurrent calls are executed one after another, as a drive does.
  [[nodiscard]] virtual ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data,
                                            ScsiDirection direction, std::span<uint8_t> sense) = 0;
};

} // namespace qnzb
