#pragma once
// The pass-through structure as every system's back end takes it: checked
// once, carried to a simulated device, and turned into the request of the
// SG_IO seam and back.

#include <cstdint>
#include <string>

#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"

namespace qnzb::platform::common {

// The parts of the structure every path needs.
struct TCheckedRequest {
  SCSI_PASS_THROUGH_DIRECT* Spt = nullptr;
  uint8_t* Sense = nullptr;
  uint8_t SenseCapacity = 0;  // room for sense: SenseInfoLength cut to the buffer
};

// False when the structure can't be carried out safely: shorter than itself,
// a CDB length out of range, data without a buffer or without a direction,
// a direction no system knows, or a sense buffer outside the buffer.
[[nodiscard]] bool CheckRequest(void* buffer, uint32_t length, TCheckedRequest& out);

// The command run on a simulated device, its status, sense and transfer
// size written back into the structure.
bool RunOnSimulatedDevice(SimulatedDevice& device, const TCheckedRequest& request);

// The command as the SG_IO seam (and SG_IO itself) takes it, and the seam's
// answer written back: status, the sense within its room, the residual.
[[nodiscard]] TSgIoRequest SeamRequest(const std::string& node, const TCheckedRequest& request);
void ApplySeamReply(const TSgIoRequest& reply, const TCheckedRequest& request);

} // namespace qnzb::platform::common
