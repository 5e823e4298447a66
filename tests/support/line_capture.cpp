#include "line_capture.h"

namespace qln::testing {

LineCapture::LineCapture() {
  output::setSinkForTesting([this](output::Channel channel, std::string_view line) {
    std::lock_guard<std::mutex> guard(mutex_);
    (channel == output::Channel::out ? out_ : err_).emplace_back(line);
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

void LineCapture::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  out_.clear();
  err_.clear();
}

}  // namespace qln::testing
