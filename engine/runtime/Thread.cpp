#include "engine/runtime/Thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <stdexcept>
#include <utility>

#include "platform/ThreadPriority.h"

namespace qnzb {

namespace {

// A Synchronize call waiting on a worker's stack until the main thread ran it.
struct TSyncRequest {
  const std::function<void()>* call = nullptr;
  std::exception_ptr error;
  bool done = false;
  std::condition_variable doneCv;
};

struct TSyncState {
  std::mutex mutex;
  // Signalled when a call is queued or a thread finishes.
  std::condition_variable changed;
  std::deque<TSyncRequest*> queue;
};

// Never destroyed: a detached thread ending while the process exits still
// finds it.
TSyncState& SyncState() {
  static auto* state = new TSyncState;
  return *state;
}

std::atomic<std::thread::id> mainThread{};

std::function<void()>& SynchronizeWake() {
  static auto* wake = new std::function<void()>;
  return *wake;
}

void ClaimMainThread() {
  std::thread::id none;
  mainThread.compare_exchange_strong(none, std::this_thread::get_id());
}

// Runs the queued calls one by one and releases each caller as soon as its
// call ran. `lock` holds SyncState().mutex on entry and on return.
bool RunQueuedCalls(std::unique_lock<std::mutex>& lock) {
  TSyncState& state = SyncState();
  std::deque<TSyncRequest*> batch;
  batch.swap(state.queue);
  for (TSyncRequest* request : batch) {
    lock.unlock();
    try {
      (*request->call)();
    } catch (...) {
      request->error = std::current_exception();
    }
    lock.lock();
    request->done = true;
    // Under the lock: the request lives on the caller's stack and is gone as
    // soon as the caller sees `done`.
    request->doneCv.notify_one();
  }
  return !batch.empty();
}

int CurrentNativeId() { return platform::CurrentThreadId(); }

int NiceOf(int tid) { return platform::ThreadNice(tid); }

void ApplyPriority(int tid, int baseNice, TThreadPriority priority) {
  if (tid == 0 || priority > TThreadPriority::Normal)
    return;
  int offset = 0;
  switch (priority) {
  case TThreadPriority::Idle: offset = 19; break;
  case TThreadPriority::Lowest: offset = 10; break;
  case TThreadPriority::Lower: offset = 5; break;
  default: break;
  }
  platform::SetThreadNice(tid, baseNice + offset);
}

} // namespace

TThread::TThread(bool createSuspended) {
  ClaimMainThread();
  if (!createSuspended)
    Start();
}

TThread::~TThread() {
  {
    std::lock_guard lock(stateMutex_);
    if (!started_)
      return;
    if (workerId_ == std::this_thread::get_id()) {
      // Deleted by its own thread: FreeOnTerminate has detached it already.
      if (thread_.joinable())
        thread_.detach();
      return;
    }
  }
  Terminate();
  WaitUntilFinished();
  std::lock_guard lock(stateMutex_);
  if (thread_.joinable())
    thread_.join();
}

void TThread::Start() {
  ClaimMainThread();
  std::lock_guard lock(stateMutex_);
  if (started_.exchange(true))
    return;
  try {
    thread_ = std::thread(&TThread::Run, this);
  } catch (...) {
    started_ = false;
    throw;
  }
  workerId_ = thread_.get_id();
}

void TThread::WaitFor() {
  {
    std::lock_guard lock(stateMutex_);
    if (!started_)
      return;
    if (workerId_ == std::this_thread::get_id())
      throw std::logic_error("TThread::WaitFor called by the thread itself");
  }
  WaitUntilFinished();
  // The worker takes stateMutex_ only before it finishes, so joining under it
  // cannot deadlock; it keeps concurrent waiters from joining twice.
  std::lock_guard lock(stateMutex_);
  if (thread_.joinable())
    thread_.join();
}

void TThread::WaitUntilFinished() {
  TSyncState& state = SyncState();
  std::unique_lock lock(state.mutex);
  if (!IsMainThread()) {
    state.changed.wait(lock, [this] { return finished_.load(); });
    return;
  }
  // The worker may need the main thread (OnTerminate at least) before it ends.
  while (!finished_) {
    if (state.queue.empty())
      state.changed.wait(lock);
    else
      RunQueuedCalls(lock);
  }
}

std::exception_ptr TThread::FatalException() const {
  return finished_ ? fatal_ : nullptr;
}

void TThread::SetPriority(TThreadPriority priority) {
  std::lock_guard lock(stateMutex_);
  priority_ = priority;
  ApplyPriority(nativeId_, baseNice_, priority);
}

void TThread::Run() {
  {
    // Also waits until Start() has stored thread_.
    std::lock_guard lock(stateMutex_);
    nativeId_ = CurrentNativeId();
    baseNice_ = NiceOf(nativeId_);
    if (priority_ != TThreadPriority::Normal)
      ApplyPriority(nativeId_, baseNice_, priority_);
  }
  // An exception must not leave the thread: it would end the process.
  try {
    if (!terminated_)
      Execute();
  } catch (...) {
    fatal_ = std::current_exception();
  }
  if (OnTerminate) {
    try {
      Synchronize([this] { OnTerminate(this); });
    } catch (...) {
      if (!fatal_)
        fatal_ = std::current_exception();
    }
  }
  const bool freeSelf = FreeOnTerminate;
  {
    std::lock_guard lock(stateMutex_);
    // The id may be reused once this thread ends.
    nativeId_ = 0;
    if (freeSelf)
      thread_.detach();
  }
  TSyncState& state = SyncState();
  {
    // Under the lock, so that a waiter between its check and its wait does
    // not miss the signal.
    std::lock_guard lock(state.mutex);
    finished_ = true;
  }
  state.changed.notify_all();
  if (freeSelf)
    delete this;
}

void TThread::Synchronize(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  TSyncRequest request;
  request.call = &call;
  TSyncState& state = SyncState();
  {
    std::unique_lock lock(state.mutex);
    state.queue.push_back(&request);
    state.changed.notify_all();
    if (SynchronizeWake())
      SynchronizeWake()();
    request.doneCv.wait(lock, [&request] { return request.done; });
  }
  if (request.error)
    std::rethrow_exception(request.error);
}

bool TThread::CheckSynchronize(uint32_t timeoutMs) {
  if (!IsMainThread())
    return false;
  TSyncState& state = SyncState();
  std::unique_lock lock(state.mutex);
  if (timeoutMs > 0)
    state.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&state] { return !state.queue.empty(); });
  return RunQueuedCalls(lock);
}

void TThread::SetSynchronizeWake(std::function<void()> wake) { SynchronizeWake() = std::move(wake); }

void TThread::SetMainThread() {
  mainThread = std::this_thread::get_id();
}

bool TThread::IsMainThread() {
  ClaimMainThread();
  return mainThread.load() == std::this_thread::get_id();
}

} // namespace qnzb
