#include "support/FakeNodes.h"

#include <algorithm>
#include <cerrno>
#include <span>
#include <stdexcept>

namespace qnzb::test {

TFakeNodes::TFakeNodes(const TempDir& dir) : dir_(dir) {
  platform::SetOpenHook([this](const std::string& path, bool readWrite) {
    const TNode* node = ByPath(path);
    if (!node)
      return 0;
    return node->OpenError != 0 ? node->OpenError : readWrite ? node->ReadWriteError : 0;
  });
  platform::SetAddressHook([this](const std::string& path, platform::TScsiIdLun& address) {
    const TNode* node = ByPath(path);
    if (!node || !node->Address)
      return ENOTTY;
    address = *node->Address;
    return 0;
  });
  platform::SetSgIoHook([this](int, platform::TSgIoRequest& request) {
    Seen.push_back({request.Node, std::vector<uint8_t>(request.Cdb, request.Cdb + request.CdbLength),
                    request.TimeoutMs, request.SenseCapacity});
    const TNode* node = ByPath(request.Node);
    const int error = !node || !node->Device ? ENOTTY : node->IoctlError;
    if (error != 0) {
      errno = error;
      return -1;
    }
    using TDirection = platform::TSgIoRequest::TDirection;
    const ScsiDirection direction = request.Direction == TDirection::FromDevice ? ScsiDirection::In
                                    : request.Direction == TDirection::ToDevice ? ScsiDirection::Out
                                                                                 : ScsiDirection::None;
    // Data in lands in the caller's buffer only as far as the transfer went.
    auto* data = static_cast<uint8_t*>(request.Data);
    std::vector<uint8_t> reply(direction == ScsiDirection::In ? request.DataLength : 0);
    const ScsiOutcome outcome = node->Device->Execute(
        std::span<const uint8_t>(request.Cdb, request.CdbLength),
        direction == ScsiDirection::In ? std::span<uint8_t>(reply) : std::span<uint8_t>(data, request.DataLength),
        direction, std::span<uint8_t>(request.Sense, request.SenseCapacity));
    uint32_t moved = outcome.Transferred < request.DataLength ? outcome.Transferred : request.DataLength;
    if (direction == ScsiDirection::In) {
      moved -= node->ShortBy < moved ? node->ShortBy : moved;
      std::copy_n(reply.begin(), moved, data);
    }
    request.Status = outcome.Status;
    request.SenseWritten = outcome.SenseLength;
    request.Residual = static_cast<int32_t>(request.DataLength - moved);
    request.HostStatus = node->HostStatus;
    return 0;
  });
}

TFakeNodes::~TFakeNodes() {
  platform::SetSgIoHook(nullptr);
  platform::SetAddressHook(nullptr);
  platform::SetOpenHook(nullptr);
}

TFakeNodes::TNode& TFakeNodes::Add(char letter, SimulatedDevice* device,
                                   std::optional<platform::TScsiIdLun> address) {
  auto node = std::make_unique<TNode>();
  node->Letter = letter;
  node->Path = dir_.write("sr" + std::to_string(nodes_.size()), "");
  node->Device = device;
  node->Address = address;
  nodes_.push_back(std::move(node));
  std::string map;
  for (const auto& n : nodes_)
    map += (map.empty() ? "" : ",") + std::string(1, n->Letter) + "=" + n->Path;
  drives_.reset();
  drives_.emplace("QNZB_DRIVES", map);
  return *nodes_.back();
}

TFakeNodes::TNode& TFakeNodes::Node(char letter) {
  for (const auto& n : nodes_)
    if (n->Letter == letter)
      return *n;
  throw std::out_of_range("no fake node for this letter");
}

TFakeNodes::TNode* TFakeNodes::ByPath(const std::string& path) {
  for (const auto& n : nodes_)
    if (n->Path == path)
      return n.get();
  return nullptr;
}

} // namespace qnzb::test
