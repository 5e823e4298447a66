#include "usage/mic_watcher.h"

namespace qln {

MicWatcher::MicWatcher()
    : RunningWatcher({platform::audioObjects(),
                      [](platform::HardwareObjects& objects, platform::ObjectId id) {
                        return platform::readChannelTotal(
                                   objects, id,
                                   platform::audioAddress(platform::kSelectorStreamConfiguration,
                                                          platform::kScopeInput)) > 0;
                      },
                      platform::audioAddress(platform::kSelectorIsRunningSomewhere),
                      R"({"ev":"mic","active":)"}) {}

}  // namespace qln
