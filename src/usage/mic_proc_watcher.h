// Which processes capture audio input, as bundle identifiers and process
// ids, polled every 2 s and written when the list changes. The host, this
// program and their descendants are left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/dispatch.h"

namespace qln {

class MicProcWatcher : public std::enable_shared_from_this<MicProcWatcher> {
 public:
  MicProcWatcher(std::int32_t selfPid, std::optional<std::string> selfExecPath);
  MicProcWatcher(const MicProcWatcher&) = delete;
  MicProcWatcher& operator=(const MicProcWatcher&) = delete;

  // On the main queue, once: polls at once, then every 2 s, or writes the
  // unsupported line when the system has no process list.
  void start();

 private:
  using Proc = std::pair<std::string, std::int32_t>;  // bundle, pid

  void poll();
  void emit(const std::vector<Proc>& procs);
  bool isOwnBundle(const std::string& bundle) const;

  std::int32_t selfPid;
  std::optional<std::string> selfExecPath;
  dispatch::CancellablePtr timer;
  std::optional<std::vector<std::string>> lastEmitted;
  bool unsupportedEmitted = false;
  std::vector<std::string> ownBundlePrefixes{QLN_HOST_BUNDLE_ID};

  static constexpr double kPollSeconds = 2.0;
};

}  // namespace qln
