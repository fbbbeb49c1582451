#pragma once
// Worker threads in the system's shape: a class overrides Execute(), may ask
// for a call on the main thread with Synchronize(), and may free itself when it
// ends. The main thread runs queued calls in CheckSynchronize(), which the GUI's
// event loop and the command line's wait loop call.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qnzb {

enum class TThreadPriority { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

class TThread {
public:
  // The thread starts at once unless createSuspended; then Start() starts it.
  // A thread started here may reach Execute() before a derived constructor has
  // finished, so a derived class that sets up state for Execute() passes true
  // and calls Start() once it is complete.
  explicit TThread(bool createSuspended);
  // When the thread runs: Terminate(), then waits for it as WaitFor() does.
  // By then the derived part of the object is gone, so a derived class whose
  // Execute() uses its own members calls Terminate() and WaitFor() in its own
  // destructor. Never call from the thread itself unless FreeOnTerminate made
  // the thread delete itself.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts a suspended thread; does nothing on a thread already started.
  void Start();
  // Asks Execute() to stop; Execute() polls Terminated(). A thread terminated
  // before it starts skips Execute() (OnTerminate still runs).
  void Terminate() { terminated_ = true; }
  [[nodiscard]] bool Terminated() const { return terminated_.load(); }
  // Blocks until the thread has ended (Execute() and OnTerminate returned).
  // On the main thread it runs queued Synchronize calls meanwhile, so a worker
  // waiting in Synchronize cannot deadlock it. Returns at once for a thread
  // never started; throws std::logic_error on the thread itself. Not for
  // FreeOnTerminate threads.
  void WaitFor();
  // True once Execute() and OnTerminate returned.
  [[nodiscard]] bool Finished() const { return finished_.load(); }
  // The exception that escaped Execute() (or else OnTerminate), null if none.
  // Such an exception ends the thread normally and is only kept here. Read it
  // once Finished().
  [[nodiscard]] std::exception_ptr FatalException() const;

  // When set before the thread ends, the thread deletes its object after
  // Execute() (and OnTerminate) returned. Such an object must be heap-allocated.
  std::atomic<bool> FreeOnTerminate = false;
  // Called on the main thread (through Synchronize) after Execute() returned.
  // Set it before Start().
  std::function<void(TThread*)> OnTerminate;

  // Best effort, on Linux through the thread's nice value: priorities below
  // Normal raise it from the value the thread started with (lowering needs no
  // privileges); priorities above Normal are skipped, and going back up to
  // Normal usually fails without privileges. Priority() is the last priority
  // asked for, applied or not.
  void SetPriority(TThreadPriority priority);
  [[nodiscard]] TThreadPriority Priority() const { return priority_.load(); }

  // Runs `call` on the main thread and waits until it has run. Called on the
  // main thread it runs `call` at once. Exceptions of `call` come back here.
  static void Synchronize(const std::function<void()>& call);
  // Runs the calls queued by Synchronize, in the order they came; returns
  // whether any ran. With a timeout, waits up to that many milliseconds (of
  // real time) for a call. Off the main thread it runs nothing and returns false.
  static bool CheckSynchronize(uint32_t timeoutMs = 0);
  // Called on the worker's thread each time Synchronize queues a call, so an
  // event loop can run CheckSynchronize at once instead of polling for it
  // (the GUI posts a call to its loop). Empty: nobody is told. Set it while
  // no worker runs.
  static void SetSynchronizeWake(std::function<void()> wake);
  // Marks the calling thread as the main thread. The thread that first uses
  // this class is the main thread unless this was called before.
  static void SetMainThread();
  [[nodiscard]] static bool IsMainThread();

protected:
  virtual void Execute() = 0;

private:
  void Run();
  void WaitUntilFinished();

  // Guards thread_ and the native id, so that a priority is never applied to
  // a thread id the system may already have handed to another thread.
  std::mutex stateMutex_;
  std::thread thread_;
  std::thread::id workerId_;
  int baseNice_ = 0;
  std::exception_ptr fatal_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<TThreadPriority> priority_{TThreadPriority::Normal};
  std::atomic<int> nativeId_{0};
};

} // namespace qnzb
