#pragma once
// Fake optical device nodes for the pass-through path through the system
// seams: each node is a regular file named in QNZB_DRIVES; its opens, SG_IO
// requests and address ioctls are answered by the hooks, SG_IO by a
// simulated device, with the system failures a test asks for.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace qnzb::test {

class TFakeNodes {
public:
  struct TNode {
    char Letter = 0;
    std::string Path;
    SimulatedDevice* Device = nullptr;          // answers SG_IO; none: every SG_IO fails with ENOTTY
    std::optional<platform::TScsiIdLun> Address;  // none: the address ioctl fails
    int OpenError = 0;       // errno of every open
    int ReadWriteError = 0;  // errno of the read-write open only (it then opens read-only)
    int IoctlError = 0;      // errno of SG_IO
    uint16_t HostStatus = 0; // host status SG_IO comes back with
    uint32_t ShortBy = 0;    // bytes a data-in reply falls short of what the device moved
  };
  // One SG_IO request as it reached the hook.
  struct TSeen {
    std::string Node;
    std::vector<uint8_t> Cdb;
    uint32_t TimeoutMs = 0;
    uint8_t SenseCapacity = 0;
  };

  explicit TFakeNodes(const TempDir& dir);
  ~TFakeNodes();
  TFakeNodes(const TFakeNodes&) = delete;
  TFakeNodes& operator=(const TFakeNodes&) = delete;

  // A node /…/srN for `letter` (QNZB_DRIVES names every node added).
  TNode& Add(char letter, SimulatedDevice* device, std::optional<platform::TScsiIdLun> address = std::nullopt);
  [[nodiscard]] TNode& Node(char letter);

  std::vector<TSeen> Seen;

private:
  [[nodiscard]] TNode* ByPath(const std::string& path);

  const TempDir& dir_;
  std::vector<std::unique_ptr<TNode>> nodes_;
  std::optional<TScopedEnv> drives_;
};

} // namespace qnzb::test
