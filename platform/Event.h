#pragma once
// Events for request completion, as an ASPI manager signals them: manual
// reset, created not signalled. An event is a descriptor (an eventfd here), so
// it fits the request block's SRB_PostProc; a manager signals it by writing a
// 64-bit 1 to the descriptor. Waiting does not reset the event.
//
// Threading: any thread may signal, reset or wait; closing while another
// thread waits is the caller's error.

#include <cstdint>

namespace qnzb::platform {

using TEventHandle = int;
inline constexpr TEventHandle InvalidEvent = -1;
// WaitForEvent's time-out meaning "no limit".
inline constexpr uint32_t WaitInfinite = 0xFFFFFFFFu;

// A new event, not signalled; InvalidEvent when the system has none to give.
[[nodiscard]] TEventHandle CreateEvent();
bool SetEvent(TEventHandle event);
// Back to not signalled, however often it was signalled.
bool ResetEvent(TEventHandle event);

enum class TWaitResult { Signalled, TimedOut, Failed };
// Waits until the event is signalled or `timeoutMs` milliseconds have passed
// (0: only looks). Failed for an invalid handle.
[[nodiscard]] TWaitResult WaitForEvent(TEventHandle event, uint32_t timeoutMs);
void CloseEvent(TEventHandle event);

} // namespace qnzb::platform
