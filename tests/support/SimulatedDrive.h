#pragma once
// A drive letter's simulated device, as the platform tests attach them.

#include <optional>

#include "platform/ScsiPassThrough.h"

namespace qnzb::test {

inline platform::TSimulatedDrive Simulated(SimulatedDevice* device,
                                           std::optional<platform::SCSI_ADDRESS> address = std::nullopt,
                                           bool openFails = false, bool passThroughFails = false) {
  platform::TSimulatedDrive drive;
  drive.Device = device;
  drive.Address = address;
  drive.OpenFails = openFails;
  drive.PassThroughFails = passThroughFails;
  return drive;
}

} // namespace qnzb::test
