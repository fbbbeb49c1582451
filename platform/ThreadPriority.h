#pragma once
// Per-thread scheduling niceness: the OS side of thread priorities. Lowering
// works without privileges; going back up may be refused, which leaves the
// thread as it was.

namespace qnzb::platform {

// The calling thread's OS id (0 where the OS has none to give).
[[nodiscard]] int CurrentThreadId();
// The nice value of thread `tid` (0 when it can't be read).
[[nodiscard]] int ThreadNice(int tid);
// Sets the nice value of thread `tid` (clamped to 19); failures are ignored.
void SetThreadNice(int tid, int nice);

} // namespace qnzb::platform
