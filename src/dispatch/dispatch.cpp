#include "dispatch/dispatch.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace qln::dispatch {
namespace {

// Leaked on purpose: the program ends with _exit while other threads still
// run, and nothing here may depend on a static destructor.
struct Slot {
  std::mutex mutex;
  std::shared_ptr<Dispatcher> owner;
  // Lock-free path for current(): the clock is read on audio threads, which
  // take no lock of ours per buffer.
  std::atomic<Dispatcher*> fast{nullptr};
};

Slot& slot() {
  static auto* s = new Slot;
  return *s;
}

}  // namespace

Dispatcher& current() {
  Slot& s = slot();
  if (Dispatcher* d = s.fast.load(std::memory_order_acquire)) return *d;
  std::lock_guard lock(s.mutex);
  if (!s.owner) s.owner = makeRealDispatcher();
  s.fast.store(s.owner.get(), std::memory_order_release);
  return *s.owner;
}

std::shared_ptr<Dispatcher> exchange(std::shared_ptr<Dispatcher> dispatcher) {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  s.fast.store(dispatcher.get(), std::memory_order_release);
  std::swap(s.owner, dispatcher);
  return dispatcher;
}

void install(std::shared_ptr<Dispatcher> dispatcher) {
  // The replaced dispatcher is released here, outside the slot's lock.
  exchange(std::move(dispatcher));
}

}  // namespace qln::dispatch
