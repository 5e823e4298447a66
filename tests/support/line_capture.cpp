#include "line_capture.h"

namespace qln::testing {

LineCapture::LineCapture() {
  output::setSinkForTesting([this](output::Channel channel, std::string_view line) {
    std::lock_guard<std::mutex> guard(mutex_);
    (channel == output::Channel::out ? out_ : err_).emplace_back(line);
    written_.notify_all();
  });
}

LineCapture::~LineCapture() { output::setSinkForTesting(nullptr); }

std::vector<std::string> LineCapture::out() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return out_;
}

std::vector<std::string> LineCapture::err() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return err_;
}

std::vector<std::string> LineCapture::outContaining(const std::string& needle) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> hits;
  for (const auto& line : out_)
    if (line.find(needle) != std::string::npos) hits.push_back(line);
  return hits;
}

std::size_t LineCapture::countContaining(const std::string& needle) const {
  std::size_t n = 0;
  for (const auto& line : out_) n += line.find(needle) != std::string::npos;
  return n;
}

bool LineCapture::waitForOut(const std::string& needle, std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return written_.wait_for(lock, limit, [&] { return countContaining(needle) >= count; });
}

void LineCapture::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  out_.clear();
  err_.clear();
}

}  // namespace qln::testing
