#include "dispatch/virtual_dispatcher.h"

#include <atomic>
#include <compare>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "dispatch/current_queue.h"

namespace qln::dispatch {
namespace detail {

class VirtualTimed;

struct Key {
  std::uint64_t due;
  std::uint64_t seq;  // scheduling order, breaks ties
  auto operator<=>(const Key&) const = default;
};

struct Item {
  std::shared_ptr<VirtualQueue> queue;
  Block block;                          // plain work, or
  std::shared_ptr<VirtualTimed> timed;  // a timer or delayed item
};

// The scheduler shared by the dispatcher, its queues and its timers. Queues
// and timers hold it weakly: they may outlive the dispatcher in a test.
//
// No user code runs, and no user closure is destroyed, while `mutex` is held:
// a closure's destructor may drop a timer handle, which cancels and locks.
struct VirtualCore {
  using Items = std::map<Key, Item>;

  explicit VirtualCore(std::uint64_t start) : now(start) {}

  Key scheduleLocked(std::uint64_t due, Item item) {
    Key key{due, nextSeq++};
    items.emplace(key, std::move(item));
    return key;
  }

  // Takes the earliest due item of `queue` (any queue when null).
  Items::node_type takeDueLocked(const VirtualQueue* queue);

  mutable std::mutex mutex;
  Items items;
  std::uint64_t nextSeq = 0;
  // Written only by the driving thread under `mutex`; read from anywhere.
  std::atomic<std::uint64_t> now;
  std::map<int, std::vector<Block>> signalBlocks;
  std::atomic<bool> mainStopped{false};
};

class VirtualQueue final : public Queue, public std::enable_shared_from_this<VirtualQueue> {
 public:
  VirtualQueue(std::string label, std::weak_ptr<VirtualCore> core)
      : label_(std::move(label)), core_(std::move(core)) {}

  const std::string& label() const override { return label_; }

  void async(Block block) override {
    auto core = core_.lock();
    if (!core) return;  // the dispatcher is gone; nothing would ever run it
    std::lock_guard lock(core->mutex);
    core->scheduleLocked(core->now.load(), Item{shared_from_this(), std::move(block), nullptr});
  }

  void sync(Block block) override {
    if (isCurrent()) throw std::logic_error("sync onto the queue it runs on: " + label_);
    std::unique_lock run(runLock);
    CurrentQueueScope scope(this);
    if (auto core = core_.lock()) {
      for (;;) {
        VirtualCore::Items::node_type node;
        {
          std::lock_guard lock(core->mutex);
          node = core->takeDueLocked(this);
        }
        if (node.empty()) break;
        runItem(node.mapped());
      }
    }
    block();
  }

  bool isCurrent() const override { return runningOn(this); }

  // Held while one of this queue's blocks runs, on whichever thread.
  std::mutex runLock;

  static void runItem(Item& item);

 private:
  std::string label_;
  std::weak_ptr<VirtualCore> core_;
};

class VirtualTimed final : public Cancellable {
 public:
  VirtualTimed(std::weak_ptr<VirtualCore> core, std::uint64_t interval, bool timer, Block block)
      : core_(std::move(core)), interval_(interval), isTimer_(timer), block_(std::move(block)) {}

  void cancel() override {
    if (cancelled_.exchange(true)) return;
    auto core = core_.lock();
    if (!core) return;
    VirtualCore::Items::node_type node;  // released after the lock
    std::lock_guard lock(core->mutex);
    if (queued_) {
      node = core->items.extract(key_);
      queued_ = false;
    }
  }

  bool isCancelled() const override { return cancelled_.load(); }
  bool isTimer() const { return isTimer_; }

  void scheduleLocked(VirtualCore& core, std::shared_ptr<VirtualQueue> queue,
                      std::shared_ptr<VirtualTimed> self, std::uint64_t due) {
    key_ = core.scheduleLocked(due, Item{std::move(queue), nullptr, std::move(self)});
    queued_ = true;
  }
  void takenLocked() { queued_ = false; }

  // Runs one firing; the caller holds the queue's run lock.
  void fire(const std::shared_ptr<VirtualQueue>& queue,
            const std::shared_ptr<VirtualTimed>& self) {
    // A firing taken just before cancel() came must not run.
    if (cancelled_.load()) return;
    try {
      block_();
    } catch (...) {
      rearm(queue, self);
      throw;
    }
    rearm(queue, self);
  }

 private:
  void rearm(const std::shared_ptr<VirtualQueue>& queue, const std::shared_ptr<VirtualTimed>& self) {
    if (interval_ == 0) return;
    auto core = core_.lock();
    if (!core) return;
    std::lock_guard lock(core->mutex);
    // Checked under the lock so that a concurrent cancel() either sees the
    // new entry and removes it, or this sees the flag.
    if (cancelled_.load()) return;
    // From the scheduled instant, not from now: no drift.
    scheduleLocked(*core, queue, self, key_.due + interval_);
  }

  std::weak_ptr<VirtualCore> core_;
  const std::uint64_t interval_;
  const bool isTimer_;
  Block block_;
  std::atomic<bool> cancelled_{false};
  // Guarded by the core's mutex.
  Key key_{};
  bool queued_ = false;
};

VirtualCore::Items::node_type VirtualCore::takeDueLocked(const VirtualQueue* queue) {
  const std::uint64_t t = now.load();
  for (auto it = items.begin(); it != items.end() && it->first.due <= t; ++it) {
    if (queue && it->second.queue.get() != queue) continue;
    if (it->second.timed) it->second.timed->takenLocked();
    return items.extract(it);
  }
  return {};
}

void VirtualQueue::runItem(Item& item) {
  CurrentQueueScope scope(item.queue.get());
  if (item.timed) {
    item.timed->fire(item.queue, item.timed);
  } else {
    item.block();
  }
}

// A timer's handle: the last one dropped cancels the timer.
class TimerHandle final : public Cancellable {
 public:
  explicit TimerHandle(std::shared_ptr<VirtualTimed> timed) : timed_(std::move(timed)) {}
  ~TimerHandle() override { timed_->cancel(); }
  void cancel() override { timed_->cancel(); }
  bool isCancelled() const override { return timed_->isCancelled(); }

 private:
  std::shared_ptr<VirtualTimed> timed_;
};

namespace {

std::shared_ptr<VirtualQueue> asVirtualQueue(const QueuePtr& queue) {
  auto q = std::dynamic_pointer_cast<VirtualQueue>(queue);
  if (!q) throw std::invalid_argument("queue does not belong to the virtual dispatcher");
  return q;
}

// Runs the earliest due block of all queues; false when none is due.
bool runNextDue(VirtualCore& core) {
  for (;;) {
    std::shared_ptr<VirtualQueue> queue;
    {
      std::lock_guard lock(core.mutex);
      auto it = core.items.begin();
      if (it == core.items.end() || it->first.due > core.now.load()) return false;
      queue = it->second.queue;
    }
    // The run lock first, then the item: a sync() on another thread may have
    // run it meanwhile, and this queue's order must hold either way.
    std::unique_lock run(queue->runLock);
    VirtualCore::Items::node_type node;
    {
      std::lock_guard lock(core.mutex);
      node = core.takeDueLocked(queue.get());
    }
    if (node.empty()) continue;
    VirtualQueue::runItem(node.mapped());
    return true;
  }
}

std::shared_ptr<VirtualTimed> scheduleTimed(const std::shared_ptr<VirtualCore>& core,
                                            const QueuePtr& queue, std::uint64_t delayNs,
                                            std::uint64_t intervalNs, bool isTimer, Block block) {
  auto target = asVirtualQueue(queue);
  auto timed = std::make_shared<VirtualTimed>(core, intervalNs, isTimer, std::move(block));
  std::lock_guard lock(core->mutex);
  timed->scheduleLocked(*core, std::move(target), timed, core->now.load() + delayNs);
  return timed;
}

}  // namespace
}  // namespace detail

using detail::VirtualCore;
using detail::VirtualQueue;

VirtualDispatcher::VirtualDispatcher(std::uint64_t startNs)
    : core_(std::make_shared<VirtualCore>(startNs)),
      main_(std::make_shared<VirtualQueue>("main", core_)),
      global_(std::make_shared<VirtualQueue>("global", core_)) {}

VirtualDispatcher::~VirtualDispatcher() = default;

QueuePtr VirtualDispatcher::mainQueue() { return main_; }

QueuePtr VirtualDispatcher::makeSerialQueue(std::string label) {
  return std::make_shared<VirtualQueue>(std::move(label), core_);
}

// The pool's blocks run one at a time here, like every other virtual block.
void VirtualDispatcher::globalAsync(Block block) { global_->async(std::move(block)); }

std::uint64_t VirtualDispatcher::nowNs() const { return core_->now.load(); }

CancellablePtr VirtualDispatcher::makeTimer(QueuePtr queue, std::uint64_t delayNs,
                                            std::uint64_t intervalNs, Block block) {
  return std::make_shared<detail::TimerHandle>(
      detail::scheduleTimed(core_, queue, delayNs, intervalNs, true, std::move(block)));
}

CancellablePtr VirtualDispatcher::asyncAfter(QueuePtr queue, std::uint64_t delayNs, Block block) {
  return detail::scheduleTimed(core_, queue, delayNs, 0, false, std::move(block));
}

void VirtualDispatcher::onSignal(int signo, Block block) {
  std::lock_guard lock(core_->mutex);
  core_->signalBlocks[signo].push_back(std::move(block));
}

void VirtualDispatcher::deliverSignal(int signo) {
  std::vector<Block> blocks;
  {
    std::lock_guard lock(core_->mutex);
    auto it = core_->signalBlocks.find(signo);
    if (it != core_->signalBlocks.end()) blocks = it->second;
  }
  for (auto& b : blocks) main_->async(std::move(b));
}

void VirtualDispatcher::runMain() { runUntilIdle(); }
void VirtualDispatcher::stopMain() { core_->mainStopped.store(true); }
bool VirtualDispatcher::mainStopped() const { return core_->mainStopped.load(); }

void VirtualDispatcher::runUntilIdle() {
  while (detail::runNextDue(*core_)) {
  }
}

void VirtualDispatcher::advanceNs(std::uint64_t ns) {
  const std::uint64_t target = core_->now.load() + ns;
  for (;;) {
    runUntilIdle();
    std::lock_guard lock(core_->mutex);
    auto it = core_->items.begin();
    if (it != core_->items.end() && it->first.due <= target) {
      if (it->first.due > core_->now.load()) core_->now.store(it->first.due);
      continue;
    }
    core_->now.store(target);
    break;
  }
  // Work another thread submitted at the target instant.
  runUntilIdle();
}

void VirtualDispatcher::advanceMs(std::uint64_t ms) { advanceNs(ms * kNsPerMs); }
void VirtualDispatcher::advanceSeconds(double seconds) { advanceNs(secondsNs(seconds)); }

std::size_t VirtualDispatcher::pendingTimers() const {
  std::lock_guard lock(core_->mutex);
  std::size_t n = 0;
  for (const auto& [key, item] : core_->items) {
    if (item.timed && item.timed->isTimer()) ++n;
  }
  return n;
}

std::size_t VirtualDispatcher::pendingCount() const {
  std::lock_guard lock(core_->mutex);
  return core_->items.size();
}

ScopedVirtualDispatcher::ScopedVirtualDispatcher(std::uint64_t startNs)
    : dispatcher_(std::make_shared<VirtualDispatcher>(startNs)),
      previous_(exchange(dispatcher_)) {}

ScopedVirtualDispatcher::~ScopedVirtualDispatcher() { install(std::move(previous_)); }

}  // namespace qln::dispatch
