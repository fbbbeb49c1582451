#pragma once
// Worker threads in the system's shape: a class overrides Execute(), may ask
// for a call on the main thread with Synchronize(), and may free itself when it
// ends. The main thread runs queued calls in CheckSynchronize(), which the GUI's
// event loop and the command line's wait loop call.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace qnzb {

enum class TThreadPriority { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

class TThread {
public:
  // The thread starts at once unless createSuspended; then Start() starts it.
  explicit TThread(bool createSuspended);
  // Waits for the thread when it runs (never call from the thread itself
  // unless FreeOnTerminate made the thread delete itself).
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  // Asks Execute() to stop; Execute() polls Terminated().
  void Terminate() { terminated_ = true; }
  [[nodiscard]] bool Terminated() const { return terminated_.load(); }
  // Blocks until Execute() returned. Not for FreeOnTerminate threads.
  void WaitFor();
  [[nodiscard]] bool Finished() const { return finished_.load(); }

  // When set before the thread ends, the thread deletes its object after
  // Execute() (and OnTerminate) returned. Such an object must be heap-allocated.
  bool FreeOnTerminate = false;
  // Called on the main thread (through Synchronize) after Execute() returned.
  std::function<void(TThread*)> OnTerminate;

  // Best effort: lowering works without privileges, raising is skipped.
  void SetPriority(TThreadPriority priority);
  [[nodiscard]] TThreadPriority Priority() const { return priority_.load(); }

  // Runs `call` on the main thread and waits until it has run. Called on the
  // main thread it runs `call` at once. Exceptions of `call` come back here.
  static void Synchronize(const std::function<void()>& call);
  // Runs the calls queued by Synchronize; returns whether any ran. With a
  // timeout, waits up to that many milliseconds (of real time) for a call.
  static bool CheckSynchronize(uint32_t timeoutMs = 0);
  // Marks the calling thread as the main thread. The thread that first uses
  // this class is the main thread unless this was called before.
  static void SetMainThread();
  [[nodiscard]] static bool IsMainThread();

protected:
  virtual void Execute() = 0;

private:
  void Run();

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<TThreadPriority> priority_{TThreadPriority::Normal};
  std::atomic<int> nativeId_{0};
};

} // namespace qnzb
