// Collects what the program writes on its two channels, for in-process tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "output/output.h"

namespace qln::testing {

class LineCapture {
 public:
  LineCapture();
  ~LineCapture();
  LineCapture(const LineCapture&) = delete;
  LineCapture& operator=(const LineCapture&) = delete;

  std::vector<std::string> out() const;
  std::vector<std::string> err() const;
  // Lines of standard output that contain `needle`.
  std::vector<std::string> outContaining(const std::string& needle) const;
  // Waits until `count` lines of standard output contain `needle`, for
  // lines written by other threads; false when the limit passes first.
  bool waitForOut(const std::string& needle, std::size_t count = 1,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;
  void clear();

 private:
  std::size_t countContaining(const std::string& needle) const;  // under mutex_

  mutable std::mutex mutex_;
  mutable std::condition_variable written_;
  std::vector<std::string> out_;
  std::vector<std::string> err_;
};

}  // namespace qln::testing
