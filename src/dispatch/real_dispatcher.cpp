// The real dispatcher over standalone Asio.
//
// The main queue is an io_context served by runMain() on the main thread.
// Each serial queue is an io_context with a thread of its own, so its blocks
// run one at a time in submission order. The global pool is a thread_pool.
//
// Lifetimes follow libdispatch: timers and delayed items keep their target
// queue alive until they are cancelled or done, and a destroyed serial queue
// still runs every block already submitted to it before its thread ends.
//
// Nothing here relies on static destructors: the program ends with _exit
// from any queue while the other threads are still running.
// Asio's handler recycling uses a fence, which GCC flags under the race
// detector; Asio's own locks still order everything the detector checks.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <time.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "dispatch/current_queue.h"
#include "dispatch/dispatch.h"

namespace qln::dispatch {
namespace {

using Clock = std::chrono::steady_clock;

class TimedWork;

// The loop of one queue. Shared by the queue and its thread, so that a queue
// released from one of its own blocks can finish its remaining blocks after
// the queue object is gone.
struct Loop {
  asio::io_context io{1};
  // Keeps run() serving while the queue is idle.
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard{
      asio::make_work_guard(io)};
  // Set when the loop is torn down: queued blocks are then released unrun.
  std::atomic<bool> discarding{false};

  // Timed work aimed at this loop, so that a teardown can end the armed ones;
  // their handlers hold the loop, and without this they would hold it forever.
  void track(const std::shared_ptr<TimedWork>& work) {
    std::lock_guard lock(timedMutex);
    if (timed.size() >= 2 * trackedAfterPrune + 16) {
      std::erase_if(timed, [](const std::weak_ptr<TimedWork>& w) { return w.expired(); });
      trackedAfterPrune = timed.size();
    }
    timed.push_back(work);
  }
  std::mutex timedMutex;
  std::vector<std::weak_ptr<TimedWork>> timed;
  std::size_t trackedAfterPrune = 0;
};

class AsioQueue final : public Queue {
 public:
  AsioQueue(std::string label, bool ownThread)
      : label_(std::move(label)), loop_(std::make_shared<Loop>()) {
    if (ownThread) {
      thread_ = std::thread([loop = loop_] { loop->io.run(); });
    }
  }

  ~AsioQueue() override {
    // Let run() return once everything already submitted has run.
    loop_->guard.reset();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Released from one of its own blocks: joining would wait for itself.
      // The thread keeps the loop alive and ends after the last block.
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  const std::string& label() const override { return label_; }

  void async(Block block) override {
    // A raw pointer: the loop owns this handler, so it outlives it.
    asio::post(loop_->io, [loop = loop_.get(), b = std::move(block)] {
      if (loop->discarding.load()) return;
      detail::CurrentQueueScope scope(loop);
      b();
    });
  }

  // Waits for `block` on the calling thread. Called from a block of this same
  // queue it would wait for itself forever, so it throws instead. Called from
  // the main thread towards the main queue while runMain() is not serving it
  // (or after stopMain()), it never returns; the callers never do that.
  void sync(Block block) override {
    if (isCurrent()) throw std::logic_error("sync onto the queue it runs on: " + label_);
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    async([&block, &done] {
      try {
        block();
        done.set_value();
      } catch (...) {
        done.set_exception(std::current_exception());
      }
    });
    finished.get();
  }

  bool isCurrent() const override { return detail::runningOn(token()); }

  asio::io_context& io() { return loop_->io; }
  Loop& loop() { return *loop_; }
  const Loop* token() const { return loop_.get(); }

 private:
  std::string label_;
  std::shared_ptr<Loop> loop_;
  std::thread thread_;
};

std::shared_ptr<AsioQueue> asAsioQueue(const QueuePtr& queue) {
  auto q = std::dynamic_pointer_cast<AsioQueue>(queue);
  if (!q) throw std::invalid_argument("queue does not belong to the real dispatcher");
  return q;
}

// A timer or a delayed item. The asio timer is touched only on the target
// queue's thread; other threads reach it by posting there.
class TimedWork final : public Cancellable, public std::enable_shared_from_this<TimedWork> {
 public:
  TimedWork(std::shared_ptr<AsioQueue> queue, Clock::time_point deadline,
            std::chrono::nanoseconds interval, Block block)
      : queue_(std::move(queue)),
        timer_(queue_->io()),
        deadline_(deadline),
        interval_(interval),
        block_(std::move(block)) {}

  void start() {
    asio::post(queue_->io(), [self = shared_from_this()] {
      if (!self->cancelled_.load() && !self->queue_->loop().discarding.load()) self->arm();
    });
  }

  void cancel() override {
    if (cancelled_.exchange(true)) return;
    asio::post(queue_->io(), [self = shared_from_this()] {
      self->timer_.cancel();
      self->block_ = nullptr;
    });
  }

  bool isCancelled() const override { return cancelled_.load(); }

  AsioQueue& queue() { return *queue_; }

  // Teardown of a loop no thread serves any more: ends the wait at once.
  void abandon() {
    cancelled_.store(true);
    timer_.cancel();
  }

 private:
  void arm() {
    timer_.expires_at(deadline_);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) { self->fire(ec); });
  }

  void fire(const asio::error_code& ec) {
    // The flag covers a firing that was already queued when cancel() came.
    if (ec || cancelled_.load() || queue_->loop().discarding.load()) return;
    {
      detail::CurrentQueueScope scope(queue_->token());
      block_();
    }
    if (interval_.count() == 0 || cancelled_.load()) {
      if (interval_.count() == 0) block_ = nullptr;
      return;
    }
    // Next deadline from the schedule, not from now, so the timer does not
    // drift; firings missed while a block overran fold into the one just run.
    const auto now = Clock::now();
    deadline_ += interval_;
    if (deadline_ <= now) {
      const auto behind = (now - deadline_) / interval_ + 1;
      deadline_ += behind * interval_;
    }
    arm();
  }

  // Declared before timer_ so the timer goes first: it needs the queue's loop.
  std::shared_ptr<AsioQueue> queue_;
  asio::steady_timer timer_;
  Clock::time_point deadline_;
  const std::chrono::nanoseconds interval_;
  Block block_;
  std::atomic<bool> cancelled_{false};
};

// A timer's handle: the last one dropped cancels the timer.
class TimerHandle final : public Cancellable {
 public:
  explicit TimerHandle(std::shared_ptr<TimedWork> work) : work_(std::move(work)) {}
  ~TimerHandle() override { work_->cancel(); }
  void cancel() override { work_->cancel(); }
  bool isCancelled() const override { return work_->isCancelled(); }

 private:
  std::shared_ptr<TimedWork> work_;
};

class RealDispatcher final : public Dispatcher {
 public:
  RealDispatcher()
      : main_(std::make_shared<AsioQueue>("main", false)),
        pool_(std::max(2u, std::thread::hardware_concurrency())) {}

  // Only tests ever destroy a real dispatcher, once runMain() has returned.
  // Blocks still queued on the main loop are released unrun.
  ~RealDispatcher() override {
    pool_.stop();
    pool_.join();
    Loop& loop = main_->loop();
    loop.io.stop();
    loop.discarding.store(true);
    signals_.clear();
    std::vector<std::weak_ptr<TimedWork>> timed;
    {
      std::lock_guard lock(loop.timedMutex);
      timed.swap(loop.timed);
    }
    for (auto& w : timed) {
      if (auto work = w.lock()) work->abandon();
    }
    // Completes every handler without running user blocks, which breaks the
    // handler -> timed work -> queue -> loop cycles.
    loop.io.restart();
    loop.io.poll();
  }

  QueuePtr mainQueue() override { return main_; }

  QueuePtr makeSerialQueue(std::string label) override {
    return std::make_shared<AsioQueue>(std::move(label), true);
  }

  void globalAsync(Block block) override { asio::post(pool_, std::move(block)); }

  std::uint64_t nowNs() const override {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * kNsPerSec +
           static_cast<std::uint64_t>(ts.tv_nsec);
  }

  CancellablePtr makeTimer(QueuePtr queue, std::uint64_t delayNs, std::uint64_t intervalNs,
                           Block block) override {
    auto work = schedule(queue, delayNs, intervalNs, std::move(block));
    return std::make_shared<TimerHandle>(std::move(work));
  }

  CancellablePtr asyncAfter(QueuePtr queue, std::uint64_t delayNs, Block block) override {
    return schedule(queue, delayNs, 0, std::move(block));
  }

  void onSignal(int signo, Block block) override {
    auto entry = std::make_unique<SignalEntry>(main_->io(), signo, std::move(block));
    SignalEntry* raw = entry.get();
    {
      std::lock_guard lock(signalsMutex_);
      signals_.push_back(std::move(entry));
    }
    // The set catches the signal from now on and keeps deliveries until the
    // first wait is armed on the main loop.
    asio::post(main_->io(), [raw, loop = main_->token()] {
      if (!loop->discarding.load()) raw->wait(loop);
    });
  }

  void runMain() override { main_->io().run(); }
  void stopMain() override { main_->io().stop(); }

 private:
  struct SignalEntry {
    SignalEntry(asio::io_context& io, int signo, Block b) : set(io, signo), block(std::move(b)) {}
    void wait(const Loop* loop) {
      set.async_wait([this, loop](const asio::error_code& ec, int) {
        if (ec || loop->discarding.load()) return;  // the set is gone
        {
          detail::CurrentQueueScope scope(loop);
          block();
        }
        wait(loop);
      });
    }
    asio::signal_set set;
    Block block;
  };

  std::shared_ptr<TimedWork> schedule(const QueuePtr& queue, std::uint64_t delayNs,
                                      std::uint64_t intervalNs, Block block) {
    auto target = asAsioQueue(queue);
    const auto deadline = Clock::now() + std::chrono::nanoseconds(delayNs);
    auto work = std::make_shared<TimedWork>(std::move(target), deadline,
                                            std::chrono::nanoseconds(intervalNs), std::move(block));
    work->queue().loop().track(work);
    work->start();
    return work;
  }

  std::shared_ptr<AsioQueue> main_;
  asio::thread_pool pool_;
  std::mutex signalsMutex_;
  std::vector<std::unique_ptr<SignalEntry>> signals_;
};

}  // namespace

std::shared_ptr<Dispatcher> makeRealDispatcher() { return std::make_shared<RealDispatcher>(); }

}  // namespace qln::dispatch
