#include "engine/device/qnDrvLib.h"

namespace qnzb {

TSCSIDevice::TSCSIDevice(TComponent* owner)
    : TComponent(owner), lock_(std::make_unique<TCriticalSection>()) {
  DoDebug = false;
  CreateDeviceList();
}

TSCSIDevice::~TSCSIDevice() = default;

void TSCSIDevice::SendDebugMessage(const std::string& Message, uint8_t mType) {
  if (OnDebugMessage)
    OnDebugMessage(this, Message, mType);
}

} // namespace qnzb
