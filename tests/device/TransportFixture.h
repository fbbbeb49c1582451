#pragma once
// What the transport tests share: no real drive letters (QNZB_DRIVES empty),
// the virtual recorder's state in a scratch folder, no transport and no
// simulated letters before and after each test, and small simulated drives.

#include "support/ScopedEnv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/device/ScsiSense.h"
#include "engine/device/Transport.h"
#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"
#include "support/TempDir.h"

namespace qnzb::test {

using TScopedVariable = TScopedEnv;

// A drive that answers INQUIRY with its own identification (peripheral byte
// configurable) and every other command as told; it records what it got.
class TScriptedDrive final : public SimulatedDevice {
public:
  explicit TScriptedDrive(uint8_t peripheral = 0x05, std::string product = "SCRIPTED DRIVE") {
    inquiry_.fill(' ');
    inquiry_[0] = peripheral;
    inquiry_[1] = 0x80;
    inquiry_[2] = 0x05;
    inquiry_[3] = 0x32;
    inquiry_[4] = 91;
    const std::string vendor = "QNZBTEST";
    std::copy(vendor.begin(), vendor.end(), inquiry_.begin() + 8);
    product.resize(16, ' ');
    std::copy(product.begin(), product.end(), inquiry_.begin() + 16);
    std::copy_n("0.01", 4, inquiry_.begin() + 32);
    for (size_t i = 36; i < inquiry_.size(); ++i)
      inquiry_[i] = static_cast<uint8_t>(i);  // tells served bytes from the rest
  }

  ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                      std::span<uint8_t> sense) override {
    const std::lock_guard lock(mutex_);
    Commands.emplace_back(cdb.begin(), cdb.end());
    Directions.push_back(direction);
    DataSizes.push_back(data.size());
    ScsiOutcome outcome;
    if (!cdb.empty() && cdb[0] == 0x12 && direction == ScsiDirection::In) {
      const size_t n = std::min(data.size(), inquiry_.size());
      std::copy_n(inquiry_.begin(), n, data.begin());
      outcome.Transferred = static_cast<uint32_t>(n);
      return outcome;
    }
    if (Failure) {
      FixedSense s;
      s.Code = *Failure;
      outcome.Status = ScsiStatusCheckCondition;
      outcome.SenseLength = static_cast<uint8_t>(EncodeFixedSense(s, sense));
    }
    return outcome;
  }

  [[nodiscard]] size_t CommandCount() const {
    const std::lock_guard lock(mutex_);
    return Commands.size();
  }
  [[nodiscard]] const std::array<uint8_t, 96>& InquiryBytes() const { return inquiry_; }

  std::optional<SenseCode> Failure;
  std::vector<std::vector<uint8_t>> Commands;
  std::vector<ScsiDirection> Directions;
  std::vector<size_t> DataSizes;

private:
  mutable std::mutex mutex_;
  std::array<uint8_t, 96> inquiry_{};
};

inline platform::TSimulatedDrive Attached(SimulatedDevice* device, std::optional<uint8_t> port = std::nullopt,
                                          uint8_t target = 0, uint8_t lun = 0) {
  platform::TSimulatedDrive drive;
  drive.Device = device;
  if (port) {
    platform::SCSI_ADDRESS address{};
    address.PortNumber = *port;
    address.TargetId = target;
    address.Lun = lun;
    drive.Address = address;
  }
  return drive;
}

class TransportTest : public ::testing::Test {
protected:
  void SetUp() override {
    CloseTransport();
    platform::DetachAllSimulatedDrives();
    CloseAfterCommand.store(false);
  }
  void TearDown() override {
    CloseTransport();
    platform::DetachAllSimulatedDrives();
    CloseAfterCommand.store(false);
  }

  TempDir dir_;
  TScopedVariable drives_{"QNZB_DRIVES", std::string()};
  TScopedVariable vdrive_{"QNZB_VDRIVE", dir_.at("vdrive")};
};

} // namespace qnzb::test
