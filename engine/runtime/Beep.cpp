#include "engine/runtime/Beep.h"

namespace qnzb {

static std::function<void()>& BeepHandler() {
  static std::function<void()> handler;
  return handler;
}

void MessageBeep() {
  if (BeepHandler())
    BeepHandler()();
}

void SetMessageBeep(std::function<void()> beep) { BeepHandler() = std::move(beep); }

} // namespace qnzb
