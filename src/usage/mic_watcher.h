// Whether any microphone is in use: only devices with input channels count.
#pragma once

#include "usage/running_watcher.h"

namespace qln {

class MicWatcher final : public RunningWatcher {
 public:
  MicWatcher();
};

}  // namespace qln
