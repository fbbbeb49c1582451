#pragma once
// The device component: the base of the burner component. This part is its
// shell: the debug message channel through which the whole engine reports
// progress and errors, the verbose switch, and the lock the recording threads
// share. The device list, command execution and drive commands build on it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/runtime/Component.h"
#include "engine/runtime/CriticalSection.h"

namespace qnzb {

// (Sender, Message, mType). Raised on the thread that sends the message: the
// main thread, the writing thread or the blanking thread. A receiver must
// accept lines from any of them.
using TOnDebugMsg = std::function<void(TObject* Sender, const std::string& Message, uint8_t mType)>;

class TSCSIDevice : public TComponent {
public:
  explicit TSCSIDevice(TComponent* owner);
  ~TSCSIDevice() override;

  // Calls OnDebugMessage with (this, Message, mType) when it is assigned.
  // Filters nothing and adds nothing: verbose callers check DoDebug themselves.
  void SendDebugMessage(const std::string& Message, uint8_t mType);

  // The lock the read-ahead cache and the writing thread share.
  [[nodiscard]] TCriticalSection& Lock() const { return *lock_; }

  TOnDebugMsg OnDebugMessage;
  // Verbose messages are sent only while this is true.
  bool DoDebug = false;

private:
  std::unique_ptr<TCriticalSection> lock_;
};

} // namespace qnzb
