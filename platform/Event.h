#pragma once
// Events for request completion, as an ASPI manager signals them: manual
// reset, created not signalled. A handle is pointer-sized, so it fits the
// request block's SRB_PostProc: an eventfd descriptor on POSIX (a manager
// signals it by writing a 64-bit 1 to it), an event object on Windows.
// Waiting does not reset the event.
//
// Threading: any thread may signal, reset or wait; closing while another
// thread waits is the caller's error.

#include <cstdint>

namespace qnzb::platform {

using TEventHandle = intptr_t;
inline constexpr TEventHandle InvalidEvent = -1;
// WaitForEvent's time-out meaning "no limit".
inline constexpr uint32_t WaitInfinite = 0xFFFFFFFFu;

// A new event, not signalled; InvalidEvent when the system has none to give.
[[nodiscard]] TEventHandle NewEvent();
bool SetEvent(TEventHandle event);
// Back to not signalled, however often it was signalled.
bool ResetEvent(TEventHandle event);

enum class TWaitResult { Signalled, TimedOut, Failed };
// Waits until the event is signalled or `timeoutMs` milliseconds have passed
// (0: only looks). Failed for an invalid handle.
[[nodiscard]] TWaitResult WaitForEvent(TEventHandle event, uint32_t timeoutMs);
void CloseEvent(TEventHandle event);
// A second handle of the same event, closed on its own, for a signaller that
// may outlive the waiter's handle. InvalidEvent on failure, with `badHandle`
// telling whether `event` was no event at all or the system had no handle
// to give.
[[nodiscard]] TEventHandle DuplicateEvent(TEventHandle event, bool& badHandle);

} // namespace qnzb::platform
