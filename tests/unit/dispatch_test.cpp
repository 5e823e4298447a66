#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dispatch/dispatch.h"
#include "dispatch/virtual_dispatcher.h"
#include "process/exit.h"

namespace qln::dispatch {
namespace {

constexpr std::uint64_t kStart = VirtualDispatcher::kDefaultStartNs;

// ---------------------------------------------------------------------------
// Virtual dispatcher

TEST(VirtualDispatch, BlocksRunInSubmissionOrderOnlyWhenDriven) {
  VirtualDispatcher d;
  auto a = d.makeSerialQueue("a");
  auto b = d.makeSerialQueue("b");
  auto main = d.mainQueue();
  std::vector<std::string> log;
  auto note = [&](QueuePtr q, std::string what) {
    q->async([&log, q, what, a, b, main, &d] {
      // Exactly one queue is current inside its own block.
      EXPECT_TRUE(q->isCurrent());
      EXPECT_EQ(int{a->isCurrent()} + int{b->isCurrent()} + int{main->isCurrent()}, 1);
      EXPECT_EQ(d.nowNs(), kStart);
      log.push_back(what);
    });
  };
  note(a, "a1");
  note(b, "b1");
  note(main, "m1");
  note(a, "a2");
  a->async([&] {
    log.push_back("a3");
    // Submitted from a block: runs in the same pass, clock unmoved.
    b->async([&] { log.push_back("b2 from a3"); });
  });
  d.globalAsync([&] { log.push_back("g1"); });
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(a->isCurrent());
  EXPECT_EQ(d.pendingCount(), 6u);

  d.runUntilIdle();

  EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "m1", "a2", "a3", "g1", "b2 from a3"}));
  EXPECT_EQ(d.nowNs(), kStart);
  EXPECT_EQ(d.pendingCount(), 0u);
}

TEST(VirtualDispatch, TiesAtOneInstantRunInSchedulingOrder) {
  VirtualDispatcher d;
  auto a = d.makeSerialQueue("a");
  auto b = d.makeSerialQueue("b");
  std::vector<std::string> log;
  auto t1 = d.makeTimer(b, kNsPerSec, 0, [&] { log.push_back("timer b"); });
  d.asyncAfter(a, kNsPerSec, [&] { log.push_back("after a"); });
  d.asyncAfter(d.mainQueue(), 500 * kNsPerMs, [&] {
    // Scheduled at +0.5 s for +0.5 s: due at the same instant, scheduled last.
    d.asyncAfter(b, 500 * kNsPerMs, [&] { log.push_back("after b (late)"); });
  });
  auto t2 = d.makeTimer(a, kNsPerSec, 0, [&] { log.push_back("timer a"); });

  d.advanceMs(999);
  EXPECT_TRUE(log.empty());
  d.advanceMs(1);
  EXPECT_EQ(log, (std::vector<std::string>{"timer b", "after a", "timer a", "after b (late)"}));
}

TEST(VirtualDispatch, SyncRunsTheQueuesDueBlocksFirstThenItsOwn) {
  VirtualDispatcher d;
  auto q = d.makeSerialQueue("q");
  auto other = d.makeSerialQueue("other");
  std::vector<std::string> log;
  q->async([&] { log.push_back("q1"); });
  other->async([&] { log.push_back("other"); });
  q->async([&] { log.push_back("q2"); });
  d.asyncAfter(q, kNsPerMs, [&] { log.push_back("q later"); });

  q->sync([&] {
    EXPECT_TRUE(q->isCurrent());
    log.push_back("sync");
  });

  // Not due yet, and not of this queue: both still waiting.
  EXPECT_EQ(log, (std::vector<std::string>{"q1", "q2", "sync"}));
  EXPECT_EQ(d.pendingCount(), 2u);
  EXPECT_THROW(q->sync([&] { q->sync([] {}); }), std::logic_error);
}

struct TimerCase {
  const char* name;
  double delay;
  double interval;
  double advance;
  std::vector<double> firesAt;  // seconds after the start
  std::size_t armedAfter;
};

TEST(VirtualDispatch, TimersFireAtTheirExactInstants) {
  const std::vector<TimerCase> cases = {
      {"repeating 2 s over 10 s", 2.0, 2.0, 10.0, {2, 4, 6, 8, 10}, 1},
      {"repeating from zero delay", 0.0, 1.5, 4.0, {0, 1.5, 3.0}, 1},
      {"one-shot", 0.5, 0.0, 10.0, {0.5}, 0},
      {"not yet due", 3.0, 1.0, 2.999, {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualDispatcher d;
    std::vector<std::uint64_t> fired;
    auto main = d.mainQueue();
    auto timer = d.makeTimer(main, secondsNs(c.delay), secondsNs(c.interval), [&] {
      EXPECT_TRUE(main->isCurrent());
      fired.push_back(d.nowNs() - kStart);
    });
    d.advanceSeconds(c.advance);
    std::vector<std::uint64_t> expected;
    for (double s : c.firesAt) expected.push_back(secondsNs(s));
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(d.nowNs(), kStart + secondsNs(c.advance));
    EXPECT_EQ(d.pendingTimers(), c.armedAfter);
  }
}

TEST(VirtualDispatch, CancelledOrDroppedTimersStopFiring) {
  enum class Stop { BeforeFirst, AfterFirst, FromSecondBlock, DropHandle, CancelTwice };
  struct Case {
    const char* name;
    Stop how;
    int expectedFirings;
  };
  const std::vector<Case> cases = {
      {"cancel before the first firing", Stop::BeforeFirst, 0},
      {"cancel after the first firing", Stop::AfterFirst, 1},
      {"cancel from its own block", Stop::FromSecondBlock, 2},
      {"drop the last handle", Stop::DropHandle, 1},
      {"cancel twice", Stop::CancelTwice, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualDispatcher d;
    int firings = 0;
    CancellablePtr timer;
    timer = d.makeTimer(d.mainQueue(), kNsPerSec, kNsPerSec, [&] {
      ++firings;
      if (c.how == Stop::FromSecondBlock && firings == 2) timer->cancel();
    });
    if (c.how == Stop::BeforeFirst) timer->cancel();
    d.advanceSeconds(1);
    if (c.how == Stop::AfterFirst) timer->cancel();
    if (c.how == Stop::CancelTwice) {
      timer->cancel();
      timer->cancel();
    }
    const std::weak_ptr<Cancellable> weak = timer;
    if (c.how == Stop::DropHandle) timer.reset();
    d.advanceSeconds(10);
    EXPECT_EQ(firings, c.expectedFirings);
    EXPECT_EQ(d.pendingTimers(), 0u);
    EXPECT_EQ(d.pendingCount(), 0u);
    if (auto t = weak.lock()) {
      EXPECT_TRUE(t->isCancelled());
    }
  }
}

TEST(VirtualDispatch, TimerCancelledByABlockDueAtTheSameInstantDoesNotFire) {
  VirtualDispatcher d;
  auto q = d.makeSerialQueue("q");
  bool secondRan = false;
  CancellablePtr second;
  auto first = d.makeTimer(q, kNsPerSec, 0, [&] { second->cancel(); });
  second = d.makeTimer(q, kNsPerSec, 0, [&] { secondRan = true; });
  d.advanceSeconds(1);
  EXPECT_FALSE(secondRan);
}

TEST(VirtualDispatch, AsyncAfterRunsWithoutItsHandleUnlessCancelled) {
  VirtualDispatcher d;
  auto q = d.makeSerialQueue("q");
  std::vector<std::string> log;
  d.asyncAfter(q, 300 * kNsPerMs, [&] { log.push_back("dropped handle"); });
  auto kept = d.asyncAfter(q, 300 * kNsPerMs, [&] { log.push_back("cancelled"); });
  kept->cancel();
  EXPECT_TRUE(kept->isCancelled());
  EXPECT_EQ(d.pendingCount(), 1u);
  d.advanceMs(300);
  EXPECT_EQ(log, (std::vector<std::string>{"dropped handle"}));
  EXPECT_EQ(d.pendingCount(), 0u);
}

TEST(VirtualDispatch, DebouncedBurstRunsOnceAfterTheLastNotice) {
  VirtualDispatcher d;
  auto main = d.mainQueue();
  std::vector<std::uint64_t> runs;
  CancellablePtr pending;
  auto notice = [&] {
    if (pending) pending->cancel();
    pending = d.asyncAfter(main, secondsNs(0.3), [&] { runs.push_back(d.nowNs() - kStart); });
  };
  for (int i = 0; i < 10; ++i) {
    main->async(notice);
    d.advanceMs(100);  // closer together than the debounce delay
  }
  // The last notice came at 0.9 s.
  d.advanceSeconds(5);
  EXPECT_EQ(runs, (std::vector<std::uint64_t>{secondsNs(1.2)}));
}

class VirtualDispatchExit : public ::testing::Test {
 protected:
  VirtualDispatchExit() {
    process::setExitHookForTesting([](int status) { throw process::ProcessExit{status}; });
  }
  ~VirtualDispatchExit() override { process::setExitHookForTesting(nullptr); }
};

TEST_F(VirtualDispatchExit, ExitInABlockReachesTheTestAndTheRestStaysQueued) {
  VirtualDispatcher d;
  auto q = d.makeSerialQueue("q");
  std::vector<std::string> log;
  q->async([&] { log.push_back("before"); });
  q->async([] { process::exitProcess(3); });
  q->async([&] { log.push_back("after"); });
  try {
    d.runUntilIdle();
    ADD_FAILURE() << "the exit did not propagate";
  } catch (const process::ProcessExit& e) {
    EXPECT_EQ(e.status, 3);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"before"}));
  EXPECT_EQ(d.pendingCount(), 1u);
  EXPECT_FALSE(q->isCurrent());
  d.runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"before", "after"}));
}

TEST_F(VirtualDispatchExit, ExitInATimerStopsTheClockAtItsInstant) {
  VirtualDispatcher d;
  int firings = 0;
  auto timer = d.makeTimer(d.mainQueue(), 2 * kNsPerSec, 2 * kNsPerSec, [&] {
    if (++firings == 2) process::exitProcess(2);
  });
  EXPECT_THROW(d.advanceSeconds(10), process::ProcessExit);
  EXPECT_EQ(d.nowNs(), kStart + 4 * kNsPerSec);
  // Still armed: driving on keeps the schedule.
  EXPECT_EQ(d.pendingTimers(), 1u);
  d.advanceSeconds(2);
  EXPECT_EQ(firings, 3);
}

TEST(VirtualDispatch, SignalsAndTheMainLoop) {
  VirtualDispatcher d;
  auto main = d.mainQueue();
  std::vector<std::string> log;
  d.onSignal(SIGTERM, [&] {
    EXPECT_TRUE(main->isCurrent());
    log.push_back("term");
    d.stopMain();
  });
  d.onSignal(SIGTERM, [&] { log.push_back("term again"); });
  d.onSignal(SIGINT, [&] { log.push_back("int"); });
  d.deliverSignal(SIGTERM);
  d.deliverSignal(SIGHUP);  // nothing registered
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(d.mainStopped());
  d.runMain();  // returns once idle
  EXPECT_EQ(log, (std::vector<std::string>{"term", "term again"}));
  EXPECT_TRUE(d.mainStopped());
}

TEST(VirtualDispatch, ScopedDispatcherInstallsAndRestores) {
  ScopedVirtualDispatcher outer(5 * kNsPerSec);
  EXPECT_EQ(&current(), outer.get().get());
  {
    ScopedVirtualDispatcher inner;
    EXPECT_EQ(&current(), inner.get().get());
    EXPECT_EQ(nowNs(), kStart);
    inner->advanceMs(7);
    EXPECT_EQ(nowNs(), kStart + 7 * kNsPerMs);
  }
  EXPECT_EQ(&current(), outer.get().get());
  EXPECT_EQ(nowNs(), 5 * kNsPerSec);
}

// ---------------------------------------------------------------------------
// Real dispatcher

constexpr auto kPatience = std::chrono::seconds(10);

// Counts events and lets a test wait for a number of them.
class Counter {
 public:
  void bump() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool waitFor(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return count_ >= n; });
  }
  int count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(ConcurrencyRealDispatch, MainLoopServesBlocksAndTimersUntilStopped) {
  auto d = makeRealDispatcher();
  auto main = d->mainQueue();
  const auto mainThread = std::this_thread::get_id();
  std::vector<std::uint64_t> firedAt;  // touched on the main thread only
  bool timedOut = false;
  // A guard against a loop that never stops, not a wait.
  auto guard = d->asyncAfter(main, 10 * kNsPerSec, [&] {
    timedOut = true;
    d->stopMain();
  });
  const std::uint64_t start = d->nowNs();
  CancellablePtr timer = d->makeTimer(main, 20 * kNsPerMs, 20 * kNsPerMs, [&] {
    EXPECT_EQ(std::this_thread::get_id(), mainThread);
    EXPECT_TRUE(main->isCurrent());
    firedAt.push_back(d->nowNs() - start);
    if (firedAt.size() == 3) {
      timer->cancel();
      d->stopMain();
    }
  });
  d->runMain();
  guard->cancel();
  EXPECT_FALSE(timedOut);
  ASSERT_EQ(firedAt.size(), 3u);
  for (std::size_t i = 0; i < firedAt.size(); ++i) {
    EXPECT_GE(firedAt[i], (i + 1) * 20 * kNsPerMs) << "firing " << i << " came early";
  }
}

TEST(ConcurrencyRealDispatch, OtherThreadsSyncOntoMainAndStopIt) {
  auto d = makeRealDispatcher();
  auto main = d->mainQueue();
  const auto mainThread = std::this_thread::get_id();
  std::atomic<bool> timedOut{false};
  auto guard = d->asyncAfter(main, 10 * kNsPerSec, [&] {
    timedOut = true;
    d->stopMain();
  });
  std::vector<int> log;  // main queue only
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) main->async([&log, i] { log.push_back(i); });
    std::size_t seen = 0;
    bool onMain = false;
    main->sync([&] {
      seen = log.size();
      onMain = main->isCurrent() && std::this_thread::get_id() == mainThread;
    });
    EXPECT_EQ(seen, 100u);
    EXPECT_TRUE(onMain);
    d->stopMain();
  });
  d->runMain();
  other.join();
  guard->cancel();
  EXPECT_FALSE(timedOut.load());
  ASSERT_EQ(log.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(log[static_cast<std::size_t>(i)], i);
}

TEST(ConcurrencyRealDispatch, SerialQueueKeepsEachSubmittersOrderOnOneThread) {
  auto d = makeRealDispatcher();
  auto q = d->makeSerialQueue("q");
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::pair<int, int>> log;  // only the queue touches it
  std::vector<std::thread::id> ranOn;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        q->async([&, t, i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          if (!q->isCurrent()) overlapped = true;
          log.emplace_back(t, i);
          ranOn.push_back(std::this_thread::get_id());
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& s : submitters) s.join();
  q->sync([] {});  // everything submitted before has run
  EXPECT_FALSE(overlapped.load());
  ASSERT_EQ(log.size(), std::size_t{kThreads * kEach});
  std::vector<int> next(kThreads, 0);
  for (auto [t, i] : log) EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++);
  for (auto id : ranOn) EXPECT_EQ(id, ranOn.front());
  EXPECT_NE(ranOn.front(), std::this_thread::get_id());
  EXPECT_FALSE(q->isCurrent());
}

TEST(ConcurrencyRealDispatch, TimersAndDelayedItemsOnASerialQueue) {
  auto d = makeRealDispatcher();
  auto q = d->makeSerialQueue("q");
  Counter ticks;
  auto timer = d->makeTimer(q, 0, 5 * kNsPerMs, [&] { ticks.bump(); });
  ASSERT_TRUE(ticks.waitFor(3));
  timer->cancel();
  // A firing already running when cancel() came finishes; then none.
  q->sync([] {});
  const int atCancel = ticks.count();

  Counter delayed;
  std::atomic<bool> cancelledRan{false};
  const std::uint64_t scheduled = d->nowNs();
  std::atomic<std::uint64_t> ranAt{0};
  d->asyncAfter(q, 50 * kNsPerMs, [&] {  // handle dropped at once: still runs
    ranAt = d->nowNs();
    delayed.bump();
  });
  auto cancelled = d->asyncAfter(q, 10 * kNsPerMs, [&] { cancelledRan = true; });
  cancelled->cancel();
  // A dropped handle stops a timer: this one must never fire.
  d->makeTimer(q, 10 * kNsPerMs, 10 * kNsPerMs, [&] { cancelledRan = true; });

  ASSERT_TRUE(delayed.waitFor(1));
  EXPECT_GE(ranAt.load() - scheduled, 50 * kNsPerMs);
  // 50 ms later than the cancelled items' due times, on the same queue.
  q->sync([] {});
  EXPECT_FALSE(cancelledRan.load());
  EXPECT_EQ(ticks.count(), atCancel);
}

TEST(ConcurrencyRealDispatch, TimerCancelledWhileItsFiringIsQueuedDoesNotRun) {
  auto d = makeRealDispatcher();
  auto q = d->makeSerialQueue("q");
  auto other = d->makeSerialQueue("other");
  std::promise<void> bothDue;
  std::shared_future<void> due = bothDue.get_future().share();
  // Hold q until both deadlines have passed, so that both expire in one pass
  // of its loop and the second firing is queued before the first runs.
  q->async([due] { due.wait(); });
  Counter firstRan;
  bool secondRan = false;  // q only
  CancellablePtr second;
  auto first = d->makeTimer(q, 20 * kNsPerMs, 0, [&] {
    second->cancel();
    firstRan.bump();
  });
  second = d->makeTimer(q, 20 * kNsPerMs, 0, [&] { secondRan = true; });
  d->asyncAfter(other, 40 * kNsPerMs, [&] { bothDue.set_value(); });
  ASSERT_TRUE(firstRan.waitFor(1));
  q->sync([] {});
  EXPECT_FALSE(secondRan);
}

TEST(ConcurrencyRealDispatch, SignalArrivesAsAMainQueueBlock) {
  std::signal(SIGUSR1, SIG_IGN);
  auto d = makeRealDispatcher();
  auto main = d->mainQueue();
  const auto mainThread = std::this_thread::get_id();
  int deliveries = 0;
  bool onMain = false;
  bool timedOut = false;
  auto guard = d->asyncAfter(main, 10 * kNsPerSec, [&] {
    timedOut = true;
    d->stopMain();
  });
  d->onSignal(SIGUSR1, [&] {
    ++deliveries;
    onMain = main->isCurrent() && std::this_thread::get_id() == mainThread;
    d->stopMain();
  });
  // Raised on a pool thread: the block must still come on the main thread.
  d->globalAsync([] { std::raise(SIGUSR1); });
  d->runMain();
  guard->cancel();
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(deliveries, 1);
  EXPECT_TRUE(onMain);
}

TEST(ConcurrencyRealDispatch, DestroyedQueueRunsWhatWasSubmitted) {
  auto d = makeRealDispatcher();
  auto q = d->makeSerialQueue("q");
  std::promise<void> go;
  std::shared_future<void> released = go.get_future().share();
  int ran = 0;  // the queue's thread writes, the join publishes it
  q->async([released, &ran] {
    released.wait();
    ++ran;
  });
  for (int i = 0; i < 99; ++i) q->async([&ran] { ++ran; });
  go.set_value();
  q.reset();  // joins its thread
  EXPECT_EQ(ran, 100);
}

TEST(ConcurrencyRealDispatch, QueueReleasedFromItsOwnBlockFinishesWithoutDeadlock) {
  auto d = makeRealDispatcher();
  auto holder = std::make_shared<QueuePtr>(d->makeSerialQueue("q"));
  Queue* q = holder->get();
  std::promise<void> go;
  std::shared_future<void> released = go.get_future().share();
  std::promise<int> finished;
  auto later = std::make_shared<int>(0);
  q->async([holder, released] {
    released.wait();
    holder->reset();  // the last reference, dropped on the queue itself
  });
  q->async([later, &finished] { finished.set_value(++*later); });
  holder.reset();
  go.set_value();
  auto result = finished.get_future();
  ASSERT_EQ(result.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(result.get(), 1);
}

// ---------------------------------------------------------------------------
// Other threads submitting while the test drives virtual time.

TEST(ConcurrencyDispatch, ThreadsSubmitWhileTheTestAdvances) {
  VirtualDispatcher d;
  auto main = d.mainQueue();
  auto q = d.makeSerialQueue("q");
  constexpr int kThreads = 3;
  constexpr int kEach = 200;
  // Written only by blocks of one queue each: safe only if that queue's
  // blocks never overlap, which the race detector checks.
  std::vector<std::pair<int, int>> mainLog;
  std::vector<std::pair<int, int>> qLog;
  std::atomic<int> insideQ{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> delayedRan{0};
  std::atomic<int> timerRan{0};
  std::atomic<int> running{kThreads};
  std::atomic<bool> clockWentBack{false};
  // Each feeder hands its timer handles over here so the timers stay armed.
  std::vector<std::vector<CancellablePtr>> kept(kThreads);

  std::vector<std::thread> feeders;
  for (int t = 0; t < kThreads; ++t) {
    feeders.emplace_back([&, t] {
      std::vector<CancellablePtr> timers;
      std::uint64_t lastSeen = 0;
      for (int i = 0; i < kEach; ++i) {
        const std::uint64_t now = d.nowNs();
        if (now < lastSeen) clockWentBack = true;
        lastSeen = now;
        main->async([&mainLog, t, i] { mainLog.emplace_back(t, i); });
        q->async([&, t, i] {
          if (insideQ.fetch_add(1) != 0) overlapped = true;
          qLog.emplace_back(t, i);
          insideQ.fetch_sub(1);
        });
        d.asyncAfter(q, kNsPerMs * static_cast<std::uint64_t>(i % 7), [&] { ++delayedRan; });
        if (i % 10 == 0) {
          timers.push_back(d.makeTimer(main, 3 * kNsPerMs, 0, [&] { ++timerRan; }));
        }
        if (i % 50 == 0) {
          // Runs q's due blocks here, on this thread, while the test drives.
          q->sync([&] {
            if (insideQ.fetch_add(1) != 0) overlapped = true;
            insideQ.fetch_sub(1);
          });
        }
      }
      kept[static_cast<std::size_t>(t)] = std::move(timers);
      running.fetch_sub(1);
    });
  }
  // The test thread drives virtual time while the feeders submit.
  while (running.load() > 0) d.advanceMs(1);
  for (auto& f : feeders) f.join();
  d.advanceMs(10);  // past every delay the feeders used

  EXPECT_FALSE(overlapped.load());
  EXPECT_FALSE(clockWentBack.load());
  EXPECT_EQ(delayedRan.load(), kThreads * kEach);
  EXPECT_EQ(timerRan.load(), kThreads * kEach / 10);
  EXPECT_EQ(d.pendingCount(), 0u);
  for (const auto* log : {&mainLog, &qLog}) {
    ASSERT_EQ(log->size(), std::size_t{kThreads * kEach});
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : *log) EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++);
  }
}

}  // namespace
}  // namespace qln::dispatch
