// A dispatcher on virtual time, for tests.
//
// The clock moves only when the test says so, and every block (main queue,
// serial queues, global pool) runs on the thread that drives the dispatcher:
// runUntilIdle() runs what is due now, advance*() moves the clock from one
// due instant to the next and runs what is due at each. Ties run in the order
// they were scheduled.
//
// Other threads may submit work (async, asyncAfter, makeTimer) and read the
// clock while the test drives. sync() runs on the calling thread: first the
// queue's already-submitted blocks that are due, then its own block, all under
// that queue's run lock, so a queue's blocks never overlap.
//
// An exception thrown by a block (tests make exitProcess throw ProcessExit)
// leaves runUntilIdle()/advance*() with the throwing block consumed and the
// rest still queued; driving again carries on from there. A repeating timer
// whose block threw stays armed.
//
// The driving calls are not reentrant: never call them from a block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "dispatch/dispatch.h"

namespace qln::dispatch {

namespace detail {
struct VirtualCore;
class VirtualQueue;
}  // namespace detail

class VirtualDispatcher final : public Dispatcher {
 public:
  // Deliberately not 0, so that code mistaking "0" for "never" shows up.
  static constexpr std::uint64_t kDefaultStartNs = 1'000'000'000'000;

  explicit VirtualDispatcher(std::uint64_t startNs = kDefaultStartNs);
  ~VirtualDispatcher() override;
  VirtualDispatcher(const VirtualDispatcher&) = delete;
  VirtualDispatcher& operator=(const VirtualDispatcher&) = delete;

  QueuePtr mainQueue() override;
  QueuePtr makeSerialQueue(std::string label) override;
  void globalAsync(Block block) override;
  std::uint64_t nowNs() const override;
  CancellablePtr makeTimer(QueuePtr queue, std::uint64_t delayNs, std::uint64_t intervalNs,
                           Block block) override;
  CancellablePtr asyncAfter(QueuePtr queue, std::uint64_t delayNs, Block block) override;
  void onSignal(int signo, Block block) override;
  // Runs until idle and returns: there is no main thread to hand over.
  void runMain() override;
  // Only records the request; see mainStopped().
  void stopMain() override;

  // Runs every block due now, including blocks those blocks submit, without
  // moving the clock.
  void runUntilIdle();
  // Moves the clock forward by `ns`, stopping at each due instant in order
  // (nowNs() then equals that instant) to run what is due. Ends at the target
  // time with everything due there run.
  void advanceNs(std::uint64_t ns);
  void advanceMs(std::uint64_t ms);
  void advanceSeconds(double seconds);

  // Queues every block registered for `signo` on the main queue.
  void deliverSignal(int signo);
  bool mainStopped() const;

  // Timers made by makeTimer that are still armed (not cancelled, not a
  // one-shot that has fired).
  std::size_t pendingTimers() const;
  // Everything queued and not yet run: blocks, delayed items, armed timers.
  std::size_t pendingCount() const;

 private:
  std::shared_ptr<detail::VirtualCore> core_;
  std::shared_ptr<detail::VirtualQueue> main_;
  std::shared_ptr<detail::VirtualQueue> global_;
};

// Installs a fresh VirtualDispatcher as the process-wide one for the life of
// the object, then puts the previous dispatcher back.
class ScopedVirtualDispatcher {
 public:
  explicit ScopedVirtualDispatcher(std::uint64_t startNs = VirtualDispatcher::kDefaultStartNs);
  ~ScopedVirtualDispatcher();
  ScopedVirtualDispatcher(const ScopedVirtualDispatcher&) = delete;
  ScopedVirtualDispatcher& operator=(const ScopedVirtualDispatcher&) = delete;

  VirtualDispatcher& operator*() const { return *dispatcher_; }
  VirtualDispatcher* operator->() const { return dispatcher_.get(); }
  const std::shared_ptr<VirtualDispatcher>& get() const { return dispatcher_; }

 private:
  std::shared_ptr<VirtualDispatcher> dispatcher_;
  std::shared_ptr<Dispatcher> previous_;
};

}  // namespace qln::dispatch
