// Which queue the calling thread is running a block of, for isCurrent().
#pragma once

namespace qln::dispatch::detail {

// An identity token per queue; null outside any block.
inline thread_local const void* tlsCurrentQueue = nullptr;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(const void* queue) : previous_(tlsCurrentQueue) {
    tlsCurrentQueue = queue;
  }
  ~CurrentQueueScope() { tlsCurrentQueue = previous_; }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

 private:
  const void* previous_;
};

inline bool runningOn(const void* queue) { return tlsCurrentQueue == queue; }

}  // namespace qln::dispatch::detail
