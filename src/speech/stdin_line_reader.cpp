#include "speech/stdin_line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <nlohmann/json.hpp>

#include "text/bounded_lines.h"
#include "text/unicode_text.h"

namespace qln {

namespace {

constexpr std::size_t kReadChunk = 4096;

// Blocks until the descriptor has bytes, ends, or the reader goes away.
// Returns the bytes read; empty for end of input or the reader's end.
std::string readSome(int fd, int wakeFd, bool& over) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      over = true;
      return {};
    }
    if (fds[1].revents != 0) {
      over = true;
      return {};
    }
    if (fds[0].revents & POLLNVAL) {
      over = true;
      return {};
    }
    if (fds[0].revents == 0) continue;
    std::string bytes(kReadChunk, '\0');
    ssize_t got = ::read(fd, bytes.data(), bytes.size());
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      over = true;
      return {};
    }
    if (got == 0) {
      over = true;
      return {};
    }
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
  }
}

}  // namespace

std::shared_ptr<StdinLineReader> StdinLineReader::make(OnLine onLine, int fd) {
  return std::make_shared<StdinLineReader>(Key{}, std::move(onLine), fd);
}

StdinLineReader::StdinLineReader(Key, OnLine onLine_, int fd)
    : onLine(std::move(onLine_)), q(dispatch::current().makeSerialQueue("qln.stdin")), fd_(fd) {}

StdinLineReader::~StdinLineReader() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      // The thread held the last reference: it sees the closed wake pipe,
      // finds the reader gone and ends on its own.
      orphaned_->store(true);
      thread_.detach();
      ::close(wakeFd_);
      return;
    }
    const char b = 0;
    (void)!::write(wakeFd_, &b, 1);
    thread_.join();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (wakeReadFd_ >= 0) ::close(wakeReadFd_);
}

void StdinLineReader::start() {
  if (thread_.joinable()) return;
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) return;
  wakeFd_ = wake[1];
  wakeReadFd_ = wake[0];
  watching_.store(true);
  std::weak_ptr<StdinLineReader> weak = weak_from_this();
  const int fd = fd_;
  const int wakeRead = wake[0];
  thread_ = std::thread([weak, fd, wakeRead, orphaned = orphaned_] {
    for (;;) {
      bool over = false;
      std::string bytes = readSome(fd, wakeRead, over);
      auto self = weak.lock();
      if (!self) break;
      if (over) {
        // End of input: stop watching rather than spin on a closed input.
        self->watching_.store(false);
        {
          std::lock_guard<std::mutex> guard(self->endMutex_);
          self->ended_ = true;
        }
        self->endCv_.notify_all();
        break;
      }
      self->feed(std::move(bytes));
      self->waitForRoom();
    }
    if (orphaned->load()) ::close(wakeRead);
  });
}

bool StdinLineReader::waitUntilInputEnds(int timeoutMs) {
  std::unique_lock<std::mutex> lock(endMutex_);
  return endCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return ended_; });
}

void StdinLineReader::feed(std::string bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard<std::mutex> guard(flowMutex_);
    queuedBytes_ += bytes.size();
  }
  std::weak_ptr<StdinLineReader> weak = weak_from_this();
  q->async([weak, bytes = std::move(bytes)] {
    auto self = weak.lock();
    if (!self) return;
    self->append(bytes);
    {
      std::lock_guard<std::mutex> guard(self->flowMutex_);
      self->queuedBytes_ -= bytes.size();
    }
    self->flowCv_.notify_all();
  });
}

void StdinLineReader::waitForRoom() {
  std::unique_lock<std::mutex> lock(flowMutex_);
  flowCv_.wait(lock, [this] { return queuedBytes_ <= kMaxQueuedBytes; });
}

void StdinLineReader::append(const std::string& bytes) {
  // Bytes are joined before decoding, so a character split across reads
  // survives; a line that is not UTF-8 as a whole is dropped.
  text::splitBoundedLines(lineBuf, discarding, bytes, kMaxLineBytes, [this](const std::string& line) {
    if (qlnIsValidUtf8(line)) onLine(line);
  });
}

bool qlnIsValidUtf8(const std::string& bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::optional<std::optional<std::string>> parseControlLine(const std::string& line) {
  const std::string trimmed = text::trimWhitespaceAndNewlines(line);
  if (trimmed.empty()) return std::nullopt;
  nlohmann::json root = nlohmann::json::parse(trimmed, nullptr, false);
  if (root.is_discarded() || !root.is_object()) return std::nullopt;
  auto cmd = root.find("cmd");
  if (cmd == root.end() || !cmd->is_string() || cmd->get<std::string>() != "tapOther") return std::nullopt;
  std::optional<std::string> bundleId;
  if (auto b = root.find("bundleId"); b != root.end() && b->is_string()) bundleId = b->get<std::string>();
  return bundleId;
}

}  // namespace qln
