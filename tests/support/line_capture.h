// Collects what the program writes on its two channels, for in-process tests.
#pragma once

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
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> out_;
  std::vector<std::string> err_;
};

}  // namespace qln::testing
