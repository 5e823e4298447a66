// Queues, timers and the clock that every component runs on.
//
// Two implementations stand behind this interface: the real one (Asio; the
// main thread serves the main queue, each serial queue has a thread of its
// own) and a virtual-time one for tests, where the clock only moves when the
// test says so and every due block runs on the test's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qln::dispatch {

using Block = std::function<void()>;

class Queue {
 public:
  virtual ~Queue() = default;
  virtual const std::string& label() const = 0;
  // Runs `block` later on this queue; blocks of one queue run one at a time,
  // in the order they were submitted.
  virtual void async(Block block) = 0;
  // Runs `block` on this queue after everything submitted before it and
  // waits for it. Never call it from a block running on this same queue.
  virtual void sync(Block block) = 0;
  // True while the calling thread is running a block of this queue.
  virtual bool isCurrent() const = 0;
};
using QueuePtr = std::shared_ptr<Queue>;

// A timer or a delayed work item. Cancelling is idempotent; a block already
// running finishes, no later firing starts.
class Cancellable {
 public:
  virtual ~Cancellable() = default;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};
using CancellablePtr = std::shared_ptr<Cancellable>;

class Dispatcher {
 public:
  virtual ~Dispatcher() = default;

  virtual QueuePtr mainQueue() = 0;
  virtual QueuePtr makeSerialQueue(std::string label) = 0;
  // The global concurrent pool.
  virtual void globalAsync(Block block) = 0;

  // Monotonic uptime in nanoseconds.
  virtual std::uint64_t nowNs() const = 0;

  // A timer with zero leeway on `queue`: first fires `delayNs` from now, then
  // every `intervalNs` (0 = fires once). Dropping the last handle cancels it,
  // so its owner keeps the handle for as long as the timer should live.
  virtual CancellablePtr makeTimer(QueuePtr queue, std::uint64_t delayNs,
                                   std::uint64_t intervalNs, Block block) = 0;

  // A cancellable work item run `delayNs` from now on `queue`. Unlike a
  // timer it runs even if the handle is dropped.
  virtual CancellablePtr asyncAfter(QueuePtr queue, std::uint64_t delayNs,
                                    Block block) = 0;

  // Delivers `signo` as a block on the main queue, never in signal context.
  // From this call on the default action of the signal no longer applies.
  virtual void onSignal(int signo, Block block) = 0;

  // Serves the main queue on the calling (main) thread until stopMain().
  virtual void runMain() = 0;
  virtual void stopMain() = 0;
};

// The process-wide dispatcher. The real one is created on first use; tests
// install a virtual one before they build any component.
// Replacing the dispatcher while components still use the old one is not
// supported: callers may hold the reference current() returned.
Dispatcher& current();
void install(std::shared_ptr<Dispatcher> dispatcher);
// Installs `dispatcher` and hands back the one it replaces (null when none
// had been made yet), so that a test can put the previous one back.
std::shared_ptr<Dispatcher> exchange(std::shared_ptr<Dispatcher> dispatcher);

std::shared_ptr<Dispatcher> makeRealDispatcher();

// Convenience wrappers over current().
inline QueuePtr mainQueue() { return current().mainQueue(); }
inline std::uint64_t nowNs() { return current().nowNs(); }

constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::uint64_t kNsPerSec = 1'000'000'000;
constexpr std::uint64_t secondsNs(double s) {
  return static_cast<std::uint64_t>(s * 1e9 + 0.5);
}

}  // namespace qln::dispatch
