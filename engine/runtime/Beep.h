#pragma once
// The system's default beep. The engine only asks for it; a front end installs
// what it means (the GUI beeps, the command line rings the terminal bell).

#include <functional>

namespace qnzb {

void MessageBeep();
// Installs the beep (empty: silence). Not thread-safe: set it at start-up.
void SetMessageBeep(std::function<void()> beep);

} // namespace qnzb
