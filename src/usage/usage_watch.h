// The usage-watch mode: the camera and microphone running watchers, the
// camera client watcher and the microphone process watcher, started in that
// order, with the camera client watcher's child stopped on SIGTERM/SIGINT.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qln::usage {

struct SelfIdentity {
  std::int32_t selfPid = 0;
  std::optional<std::string> selfExecPath;
  bool operator==(const SelfIdentity&) const = default;
};

// `--self-pid`: a valid value is kept as it is, 0 and negative ones
// included; only a value of 1 or more has its executable path looked up.
SelfIdentity usageWatchSelf(const std::vector<std::string>& args);

// Starts the watchers and serves the main queue; returns only when the main
// loop does.
void runUsageWatch(const std::vector<std::string>& args);

}  // namespace qln::usage
