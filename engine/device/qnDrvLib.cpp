#include "engine/device/qnDrvLib.h"

#include "engine/runtime/Clock.h"
#include "engine/runtime/Thread.h"

namespace qnzb {

TSCSIDevice::TSCSIDevice(TComponent* owner)
    : TComponent(owner), lock_(std::make_unique<TCriticalSection>()) {
  DoDebug = false;
  CreateDeviceList();
}

TSCSIDevice::~TSCSIDevice() {
  // An erase thread refers to this component until it has reported.
  while (eraseThreadRunning_) {
    if (!TThread::CheckSynchronize(10) && !TThread::IsMainThread())
      Sleep(10);
  }
}

void TSCSIDevice::SendDebugMessage(const std::string& Message, uint8_t mType) {
  if (OnDebugMessage)
    OnDebugMessage(this, Message, mType);
}

} // namespace qnzb
