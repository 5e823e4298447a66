// Whether any device of one family is in use: one line at start, then one
// whenever the aggregate state changes, re-read 0.3 s after the last of a
// burst of notifications. CameraWatcher and MicWatcher are this mechanism
// with their device family, counted-device rule and line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch/dispatch.h"
#include "platform/hardware.h"

namespace qln {

struct RunningWatcherConfig {
  platform::HardwareObjects& objects;
  // Which listed devices count.
  std::function<bool(platform::HardwareObjects&, platform::ObjectId)> counted;
  // The 'gone' address read to tell whether a counted device runs.
  platform::PropertyAddress runningAddress;
  // The line up to the state word, e.g. {"ev":"camera","active":
  std::string linePrefix;
};

class RunningWatcher : public std::enable_shared_from_this<RunningWatcher> {
 public:
  explicit RunningWatcher(RunningWatcherConfig config);
  virtual ~RunningWatcher();
  RunningWatcher(const RunningWatcher&) = delete;
  RunningWatcher& operator=(const RunningWatcher&) = delete;

  // On the main queue, once.
  void start();

 private:
  void attachSystemListener();
  void refreshDevices();
  std::vector<platform::ObjectId> deviceList();
  std::vector<platform::ObjectId> countedDevices();
  bool aggregate();
  void scheduleEmit();
  void writeState(bool active);

  RunningWatcherConfig config_;
  std::set<platform::ObjectId> known;
  std::optional<bool> lastEmitted;
  dispatch::CancellablePtr pending;

  static constexpr double kDebounceSeconds = 0.3;
};

}  // namespace qln
