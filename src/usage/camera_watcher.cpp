#include "usage/camera_watcher.h"

namespace qln {

CameraWatcher::CameraWatcher(platform::HardwareObjects& objects)
    : RunningWatcher({objects,
                      [](platform::HardwareObjects&, platform::ObjectId) { return true; },
                      platform::cmioAddress(platform::kSelectorIsRunningSomewhere,
                                            platform::kScopeWildcard, platform::kElementWildcard),
                      R"({"ev":"camera","active":)"}) {}

}  // namespace qln
