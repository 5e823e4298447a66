// What the program asks the system about other processes: executable path,
// parent, whether a signal could be sent, and its own id. The product reads
// /proc; the sim answers from its scripted process table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qln::platform {

class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  // Path of the process's executable; none when it cannot be read. Only
  // asked for ids of 1 or more.
  virtual std::optional<std::string> execPath(std::int32_t pid) = 0;
  // The parent's id; none when the process record cannot be read.
  virtual std::optional<std::int32_t> parentPid(std::int32_t pid) = 0;
  // Sends signal 0: 0 on success, else the error number.
  virtual int signalZero(std::int32_t pid) = 0;
  virtual std::int32_t ownPid() = 0;
};

// Defined by the backend the binary links.
ProcessInfo& processInfo();

// The /proc reader. It lives in the core, not the backend, so that tests can
// check it against real processes whatever backend they link.
ProcessInfo& procfsProcessInfo();

}  // namespace qln::platform
