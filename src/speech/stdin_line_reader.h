// The control channel of speech mode: newline-terminated JSON lines from the
// host on a descriptor (standard input in the product), each handled on the
// serial queue "qln.stdin" in arrival order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "dispatch/dispatch.h"

namespace qln {

class StdinLineReader : public std::enable_shared_from_this<StdinLineReader> {
  struct Key {};

 public:
  using OnLine = std::function<void(const std::string&)>;

  // Longer lines are dropped up to their next line feed, so a host that
  // never ends a line cannot grow the buffer without bound.
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;
  // The watching thread reads no further while this much is still waiting
  // for the queue: input faster than its handling must not pile up.
  static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;

  // Creates the queue and an empty buffer; reads nothing yet. `fd` stays
  // owned by the caller.
  static std::shared_ptr<StdinLineReader> make(OnLine onLine, int fd = 0);

  // Watches the descriptor on a thread of the reader's own, which ends at
  // end of input (or a read error): a closed input costs nothing.
  void start();

  // One read's bytes, as the watching thread hands them over; empty means
  // end of input. Any thread.
  void feed(std::string bytes);

  // False once the watching thread has seen end of input and ended.
  bool watching() const { return watching_.load(); }
  // Waits for that end, for tests; false when it did not come in time.
  bool waitUntilInputEnds(int timeoutMs);

  StdinLineReader(Key, OnLine onLine, int fd);
  ~StdinLineReader();
  StdinLineReader(const StdinLineReader&) = delete;
  StdinLineReader& operator=(const StdinLineReader&) = delete;

 private:
  void append(const std::string& bytes);  // on q
  // On the watching thread: until the queue has caught up.
  void waitForRoom();

  const OnLine onLine;
  const dispatch::QueuePtr q;
  std::string lineBuf;        // on q: bytes not yet ended by a line feed
  bool discarding = false;    // on q: inside an overlong line
  const int fd_;
  int wakeFd_ = -1;           // tells the watching thread the reader is gone
  int wakeReadFd_ = -1;       // the watching thread's end of that pipe
  // Set when the reader ends on its own watching thread, which then closes
  // its end itself.
  std::shared_ptr<std::atomic<bool>> orphaned_ = std::make_shared<std::atomic<bool>>(false);
  std::thread thread_;
  std::atomic<bool> watching_{false};
  std::mutex endMutex_;
  std::condition_variable endCv_;
  bool ended_ = false;  // guarded by endMutex_
  std::mutex flowMutex_;
  std::condition_variable flowCv_;
  std::size_t queuedBytes_ = 0;  // guarded by flowMutex_: fed, not yet handled
};

// True for well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool qlnIsValidUtf8(const std::string& bytes);

// What a control line asks for: none when the line is to be ignored, else
// the bundle identifier to tap from now on (itself none for "no target").
std::optional<std::optional<std::string>> parseControlLine(const std::string& line);

}  // namespace qln
