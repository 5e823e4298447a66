// Whether any camera is in use: every video device counts.
#pragma once

#include "usage/running_watcher.h"

namespace qln {

class CameraWatcher final : public RunningWatcher {
 public:
  // The system's video devices unless told otherwise.
  explicit CameraWatcher(platform::HardwareObjects& objects = platform::videoObjects());
};

}  // namespace qln
