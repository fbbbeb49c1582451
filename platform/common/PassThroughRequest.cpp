#include "platform/common/PassThroughRequest.h"

#include <cstring>
#include <limits>
#include <span>

namespace qnzb::platform::common {

bool CheckRequest(void* buffer, uint32_t length, TCheckedRequest& out) {
  if (!buffer || length < sizeof(SCSI_PASS_THROUGH_DIRECT))
    return false;
  auto* spt = static_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer);
  if (spt->CdbLength == 0 || spt->CdbLength > sizeof spt->Cdb)
    return false;
  if (spt->DataTransferLength > 0 && !spt->DataBuffer)
    return false;
  if (spt->DataIn > SptDataUnspecified)
    return false;
  // Data with no direction is not something SG_IO can carry.
  if (spt->DataIn == SptDataUnspecified && spt->DataTransferLength > 0)
    return false;
  uint8_t* sense = nullptr;
  uint8_t capacity = 0;
  if (spt->SenseInfoLength > 0) {
    // The sense buffer must lie after the structure and inside the buffer.
    if (spt->SenseInfoOffset < sizeof(SCSI_PASS_THROUGH_DIRECT) || spt->SenseInfoOffset >= length)
      return false;
    sense = static_cast<uint8_t*>(buffer) + spt->SenseInfoOffset;
    const uint32_t room = length - spt->SenseInfoOffset;
    capacity = static_cast<uint8_t>(spt->SenseInfoLength < room ? spt->SenseInfoLength : room);
  }
  out = {spt, sense, capacity};
  return true;
}

bool RunOnSimulatedDevice(SimulatedDevice& device, const TCheckedRequest& request) {
  SCSI_PASS_THROUGH_DIRECT& spt = *request.Spt;
  ScsiDirection direction = ScsiDirection::None;
  if (spt.DataTransferLength > 0)
    direction = spt.DataIn == SptDataIn ? ScsiDirection::In : ScsiDirection::Out;
  uint8_t sense[255] = {};
  const ScsiOutcome outcome =
      device.Execute(std::span<const uint8_t>(spt.Cdb, spt.CdbLength),
                     std::span<uint8_t>(static_cast<uint8_t*>(spt.DataBuffer), spt.DataTransferLength), direction,
                     std::span<uint8_t>(sense, request.SenseCapacity));
  spt.ScsiStatus = outcome.Status;
  const uint8_t senseLength =
      outcome.SenseLength < request.SenseCapacity ? outcome.SenseLength : request.SenseCapacity;
  if (senseLength > 0)
    std::memcpy(request.Sense, sense, senseLength);
  spt.SenseInfoLength = senseLength;
  if (outcome.Transferred < spt.DataTransferLength)
    spt.DataTransferLength = outcome.Transferred;
  return true;
}

TSgIoRequest SeamRequest(const std::string& node, const TCheckedRequest& request) {
  const SCSI_PASS_THROUGH_DIRECT& spt = *request.Spt;
  TSgIoRequest r;
  r.Node = node;
  if (spt.DataTransferLength > 0)
    r.Direction = spt.DataIn == SptDataIn ? TSgIoRequest::TDirection::FromDevice : TSgIoRequest::TDirection::ToDevice;
  r.Cdb = spt.Cdb;
  r.CdbLength = spt.CdbLength;
  r.Data = spt.DataBuffer;
  r.DataLength = spt.DataTransferLength;
  constexpr uint32_t maxSeconds = std::numeric_limits<uint32_t>::max() / 1000;
  r.TimeoutMs = (spt.TimeOutValue < maxSeconds ? spt.TimeOutValue : maxSeconds) * 1000;
  r.Sense = request.Sense;
  r.SenseCapacity = request.SenseCapacity;
  return r;
}

void ApplySeamReply(const TSgIoRequest& reply, const TCheckedRequest& request) {
  SCSI_PASS_THROUGH_DIRECT& spt = *request.Spt;
  spt.ScsiStatus = reply.Status;
  spt.SenseInfoLength = reply.SenseWritten < request.SenseCapacity ? reply.SenseWritten : request.SenseCapacity;
  if (reply.Residual > 0 && static_cast<uint32_t>(reply.Residual) <= spt.DataTransferLength)
    spt.DataTransferLength -= static_cast<uint32_t>(reply.Residual);
}

} // namespace qnzb::platform::common
