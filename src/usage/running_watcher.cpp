#include "usage/running_watcher.h"

#include "output/output.h"

namespace qln {

using platform::kElementMain;
using platform::kElementWildcard;
using platform::kScopeGlobal;
using platform::kScopeWildcard;
using platform::kSelectorDevices;
using platform::kSelectorIsRunningSomewhere;
using platform::kSystemObject;

RunningWatcher::RunningWatcher(RunningWatcherConfig config) : config_(std::move(config)) {}

RunningWatcher::~RunningWatcher() {
  if (pending) pending->cancel();
}

void RunningWatcher::start() {
  attachSystemListener();
  refreshDevices();
  bool active = aggregate();
  lastEmitted = active;
  writeState(active);
}

void RunningWatcher::attachSystemListener() {
  std::weak_ptr<RunningWatcher> weak = weak_from_this();
  config_.objects.addPropertyListener(kSystemObject, {kSelectorDevices, kScopeGlobal, kElementMain},
                                      [weak] {
                                        auto self = weak.lock();
                                        if (!self) return;
                                        self->refreshDevices();
                                        self->scheduleEmit();
                                      });
}

void RunningWatcher::refreshDevices() {
  auto list = countedDevices();
  std::set<platform::ObjectId> listed(list.begin(), list.end());
  // Devices that left the list drop out, so one that comes back is watched
  // again.
  std::erase_if(known, [&](platform::ObjectId id) { return listed.count(id) == 0; });
  std::weak_ptr<RunningWatcher> weak = weak_from_this();
  for (auto id : list) {
    if (!known.insert(id).second) continue;
    config_.objects.addPropertyListener(id, {kSelectorIsRunningSomewhere, kScopeWildcard, kElementWildcard},
                                        [weak] {
                                          if (auto self = weak.lock()) self->scheduleEmit();
                                        });
  }
}

std::vector<platform::ObjectId> RunningWatcher::deviceList() {
  return platform::readObjectIdArray(config_.objects, kSystemObject,
                                     {kSelectorDevices, kScopeGlobal, kElementMain});
}

std::vector<platform::ObjectId> RunningWatcher::countedDevices() {
  auto list = deviceList();
  std::erase_if(list, [&](platform::ObjectId id) { return !config_.counted(config_.objects, id); });
  return list;
}

bool RunningWatcher::aggregate() {
  for (auto id : countedDevices()) {
    auto running = platform::readUInt32(config_.objects, id, config_.runningAddress);
    if (running && *running != 0) return true;
  }
  return false;
}

void RunningWatcher::scheduleEmit() {
  if (pending) pending->cancel();
  std::weak_ptr<RunningWatcher> weak = weak_from_this();
  pending = dispatch::current().asyncAfter(dispatch::mainQueue(), dispatch::secondsNs(kDebounceSeconds),
                                           [weak] {
                                             auto self = weak.lock();
                                             if (!self) return;
                                             bool active = self->aggregate();
                                             if (self->lastEmitted == active) return;
                                             self->lastEmitted = active;
                                             self->writeState(active);
                                           });
}

void RunningWatcher::writeState(bool active) {
  output::writeLine(config_.linePrefix + output::boolJSON(active) + "}");
}

}  // namespace qln
