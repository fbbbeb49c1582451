#pragma once
// The SCSI status byte a target ends a command with (SAM). Shared by every
// layer that carries commands: the pass-through seam, the engine's transport
// and the virtual recorder.

#include <cstdint>

namespace qnzb {

inline constexpr uint8_t ScsiStatusGood = 0x00;
inline constexpr uint8_t ScsiStatusCheckCondition = 0x02;
inline constexpr uint8_t ScsiStatusBusy = 0x08;
inline constexpr uint8_t ScsiStatusReservationConflict = 0x18;
inline constexpr uint8_t ScsiStatusTaskSetFull = 0x28;

} // namespace qnzb
