// Whether any camera is in use: every video device counts.
#pragma once

#include "usage/running_watcher.h"

namespace qln {

class CameraWatcher final : public RunningWatcher {
 public:
  CameraWatcher();
};

}  // namespace qln
