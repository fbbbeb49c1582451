// Worker threads: Synchronize, the main thread's queue, termination, freeing
// on termination, priorities; and the critical section.

#include <gtest/gtest.h>

#ifdef __linux__
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/runtime/CriticalSection.h"
#include "engine/runtime/Thread.h"

namespace qnzb {
namespace {

// Runs `body` as its Execute(); counts its destruction in `destroyed`.
class TLambdaThread : public TThread {
public:
  explicit TLambdaThread(std::function<void(TLambdaThread&)> body, std::atomic<int>* destroyed = nullptr)
      : TThread(true), body_(std::move(body)), destroyed_(destroyed) {}
  ~TLambdaThread() override {
    // Execute() uses body_, which is gone once the base destructor runs.
    if (!FreeOnTerminate) {
      Terminate();
      WaitFor();
    }
    if (destroyed_)
      ++*destroyed_;
  }

protected:
  void Execute() override { body_(*this); }

private:
  std::function<void(TLambdaThread&)> body_;
  std::atomic<int>* destroyed_;
};

// Pumps the main thread's queue until `done` holds; false after a minute.
template <class Done> bool PumpUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    TThread::CheckSynchronize(10);
  }
  return true;
}

TEST(Thread, SynchronizedCallsRunOnTheMainThreadInOrderAndAreWaitedFor) {
  std::vector<int> ran; // touched by the worker only after its call has run
  std::vector<bool> onMainThread;
  std::vector<size_t> seenByWorker;
  TLambdaThread worker([&](TLambdaThread&) {
    for (int i = 0; i < 5; ++i) {
      TThread::Synchronize([&, i] {
        ran.push_back(i);
        onMainThread.push_back(TThread::IsMainThread());
      });
      seenByWorker.push_back(ran.size());
    }
  });
  EXPECT_FALSE(TThread::CheckSynchronize());
  worker.Start();
  // WaitFor on the main thread runs the calls the worker waits for.
  worker.WaitFor();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(onMainThread, std::vector<bool>(5, true));
  EXPECT_EQ(seenByWorker, (std::vector<size_t>{1, 2, 3, 4, 5}));
}

TEST(Thread, CheckSynchronizeWaitsForACall) {
  EXPECT_FALSE(TThread::CheckSynchronize(1));
  bool ran = false;
  TLambdaThread worker([&](TLambdaThread&) { TThread::Synchronize([&] { ran = true; }); });
  worker.Start();
  EXPECT_TRUE(TThread::CheckSynchronize(60'000));
  EXPECT_TRUE(ran);
  worker.WaitFor();
  EXPECT_FALSE(TThread::CheckSynchronize());
}

TEST(Thread, SynchronizeOnTheMainThreadRunsAtOnce) {
  bool ran = false;
  TThread::Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_THROW(TThread::Synchronize([] { throw std::runtime_error("inline"); }), std::runtime_error);
  EXPECT_FALSE(TThread::CheckSynchronize());
}

TEST(Thread, ExceptionsOfSynchronizedCallsReachTheWorker) {
  std::vector<std::string> caught;
  TLambdaThread worker([&](TLambdaThread&) {
    try {
      TThread::Synchronize([] { throw std::runtime_error("disc full"); });
    } catch (const std::runtime_error& e) {
      caught.push_back(e.what());
    }
    try {
      TThread::Synchronize(std::function<void()>());
    } catch (const std::bad_function_call&) {
      caught.push_back("empty");
    }
  });
  worker.Start();
  worker.WaitFor();
  EXPECT_EQ(caught, (std::vector<std::string>{"disc full", "empty"}));
  EXPECT_EQ(worker.FatalException(), nullptr);
}

TEST(Thread, ExceptionEscapingExecuteIsKeptAndOnTerminateStillRuns) {
  bool terminatedOnMain = false;
  TLambdaThread worker([](TLambdaThread&) { throw std::runtime_error("medium error"); });
  worker.OnTerminate = [&](TThread* sender) { terminatedOnMain = sender == &worker && TThread::IsMainThread(); };
  worker.Start();
  worker.WaitFor();
  EXPECT_TRUE(worker.Finished());
  EXPECT_TRUE(terminatedOnMain);
  ASSERT_NE(worker.FatalException(), nullptr);
  EXPECT_THROW(std::rethrow_exception(worker.FatalException()), std::runtime_error);
}

TEST(Thread, TerminateAndWaitFor) {
  TLambdaThread polling([](TLambdaThread& self) {
    // Sleeps rather than yields: under Wine a yielding spin starved the waiting thread.
    while (!self.Terminated())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  polling.Start();
  polling.Start(); // a second Start does nothing
  EXPECT_FALSE(polling.Finished());
  polling.Terminate();
  polling.WaitFor();
  EXPECT_TRUE(polling.Finished());

  bool executed = false;
  int terminations = 0;
  TLambdaThread early([&](TLambdaThread&) { executed = true; });
  early.OnTerminate = [&](TThread*) { ++terminations; };
  early.WaitFor(); // never started: returns at once
  early.Terminate();
  early.Start();
  early.WaitFor();
  EXPECT_FALSE(executed);
  EXPECT_EQ(terminations, 1);

  bool refused = false;
  TLambdaThread self([&](TLambdaThread& me) {
    try {
      me.WaitFor();
    } catch (const std::logic_error&) {
      refused = true;
    }
  });
  self.Start();
  self.WaitFor();
  EXPECT_TRUE(refused);
}

// Uses no member of its own once it runs, so that the base destructor alone
// may stop it.
class TSpinner : public TThread {
public:
  TSpinner(std::atomic<bool>* running, std::atomic<bool>* stopped)
      : TThread(true), running_(running), stopped_(stopped) {}

protected:
  void Execute() override {
    std::atomic<bool>* stopped = stopped_;
    *running_ = true;
    running_->notify_all();
    while (!Terminated())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    *stopped = true;
  }

private:
  std::atomic<bool>* running_;
  std::atomic<bool>* stopped_;
};

TEST(Thread, DestroyingARunningThreadTerminatesAndJoinsIt) {
  std::atomic<bool> running = false;
  std::atomic<bool> stopped = false;
  auto* spinner = new TSpinner(&running, &stopped);
  spinner->Start();
  running.wait(false);
  delete spinner;
  EXPECT_TRUE(stopped);
}

TEST(Thread, FreeOnTerminateThreadsDeleteThemselves) {
  constexpr int Count = 8;
  std::atomic<int> destroyed = 0;
  int terminated = 0; // main thread only
  for (int i = 0; i < Count; ++i) {
    auto* worker = new TLambdaThread([](TLambdaThread&) {}, &destroyed);
    worker->FreeOnTerminate = true;
    worker->OnTerminate = [&](TThread*) { ++terminated; };
    worker->Start();
  }
  EXPECT_TRUE(PumpUntil([&] { return destroyed == Count; }));
  EXPECT_EQ(terminated, Count);
}

TEST(Thread, ManyThreadsSynchronizeConcurrently) {
  constexpr int Threads = 16;
  constexpr int Calls = 200;
  int total = 0; // main thread only
  std::vector<int> lastSeen(Threads, -1);
  bool inOrder = true;
  std::vector<std::unique_ptr<TLambdaThread>> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.push_back(std::make_unique<TLambdaThread>([&, t](TLambdaThread&) {
      for (int i = 0; i < Calls; ++i)
        TThread::Synchronize([&, t, i] {
          inOrder = inOrder && lastSeen[t] == i - 1 && TThread::IsMainThread();
          lastSeen[t] = i;
          ++total;
        });
    }));
  }
  for (auto& worker : workers)
    worker->Start();
  EXPECT_TRUE(PumpUntil([&] { return total == Threads * Calls; }));
  for (auto& worker : workers)
    worker->WaitFor();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(total, Threads * Calls);
}

TEST(Thread, SetMainThreadMovesTheMainThread) {
  // The first thread to ask becomes the main thread.
  ASSERT_TRUE(TThread::IsMainThread());
  bool before = true;
  bool after = false;
  std::thread([&] {
    before = TThread::IsMainThread();
    TThread::SetMainThread();
    after = TThread::IsMainThread();
  }).join();
  const bool testThreadLostIt = !TThread::IsMainThread();
  TThread::SetMainThread();
  EXPECT_FALSE(before);
  EXPECT_TRUE(after);
  EXPECT_TRUE(testThreadLostIt);
  EXPECT_TRUE(TThread::IsMainThread());
}

#ifdef __linux__
int OwnNice() {
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
}

TEST(Thread, PriorityLowersTheNiceValueAndSkipsRaising) {
  const int base = OwnNice(); // a new thread starts with its creator's value
  std::atomic<int> step = 0;
  int niceAtStart = 0;
  int niceAfterRaise = 0;
  TLambdaThread worker([&](TLambdaThread&) {
    niceAtStart = OwnNice();
    step = 1;
    step.notify_all();
    step.wait(1);
    niceAfterRaise = OwnNice();
  });
  worker.SetPriority(TThreadPriority::Lowest);
  worker.Start();
  step.wait(0);
  worker.SetPriority(TThreadPriority::Highest);
  step = 2;
  step.notify_all();
  worker.WaitFor();
  EXPECT_EQ(niceAtStart, std::min(19, base + 10));
  EXPECT_EQ(niceAfterRaise, niceAtStart);
  EXPECT_EQ(worker.Priority(), TThreadPriority::Highest);
}
#endif

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
  TCriticalSection section;
  const auto otherThreadGetsIt = [&section] {
    bool got = false;
    std::thread([&] {
      got = section.TryEnter();
      if (got)
        section.Leave();
    }).join();
    return got;
  };
  section.Enter();
  section.Enter();
  EXPECT_FALSE(otherThreadGetsIt());
  section.Leave();
  EXPECT_FALSE(otherThreadGetsIt());
  section.Leave();
  EXPECT_TRUE(otherThreadGetsIt());
  {
    std::lock_guard outer(section);
    std::lock_guard inner(section);
    EXPECT_FALSE(otherThreadGetsIt());
  }
}

} // namespace
} // namespace qnzb
