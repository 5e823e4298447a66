#include "usage/mic_proc_watcher.h"

#include <algorithm>

#include "output/output.h"
#include "platform/hardware.h"
#include "process/own_process.h"

namespace qln {

using platform::audioAddress;
using platform::audioObjects;
using platform::kSystemObject;

MicProcWatcher::MicProcWatcher(std::int32_t selfPid_, std::optional<std::string> selfExecPath_)
    : selfPid(selfPid_), selfExecPath(std::move(selfExecPath_)) {}

void MicProcWatcher::start() {
  std::uint32_t size = 0;
  if (audioObjects().getPropertyDataSize(kSystemObject, audioAddress(platform::kQLNProcessObjectList), size) !=
      platform::kStatusOK) {
    if (!unsupportedEmitted) {
      unsupportedEmitted = true;
      output::writeLine(R"({"type":"micProcsUnsupported"})");
    }
    return;
  }
  poll();
  std::weak_ptr<MicProcWatcher> weak = weak_from_this();
  timer = dispatch::current().makeTimer(dispatch::mainQueue(), dispatch::secondsNs(kPollSeconds),
                                        dispatch::secondsNs(kPollSeconds), [weak] {
                                          if (auto self = weak.lock()) self->poll();
                                        });
}

bool MicProcWatcher::isOwnBundle(const std::string& bundle) const {
  for (const auto& p : ownBundlePrefixes)
    if (bundle == p || (bundle.size() > p.size() && bundle.compare(0, p.size(), p) == 0 && bundle[p.size()] == '.'))
      return true;
  return false;
}

void MicProcWatcher::poll() {
  auto& objects = audioObjects();
  const std::int32_t own = platform::processInfo().ownPid();
  std::vector<Proc> procs;
  // Cheapest test first: most process objects are not capturing.
  for (auto object : platform::readObjectIdArray(objects, kSystemObject, audioAddress(platform::kQLNProcessObjectList))) {
    auto capturing = platform::readUInt32(objects, object, audioAddress(platform::kQLNProcessIsRunningInput));
    if (!capturing || *capturing == 0) continue;
    auto pid = platform::readInt32(objects, object, audioAddress(platform::kQLNProcessPID), -1);
    if (!pid || *pid == own || *pid == selfPid) continue;
    auto bundle = objects.getPropertyString(object, audioAddress(platform::kQLNProcessBundleID));
    if (!bundle || bundle->empty() || isOwnBundle(*bundle)) continue;
    if (qlnIsOwnPidTree(*pid, {selfPid, own})) continue;
    if (qlnIsSameExecutable(*pid, selfExecPath)) continue;
    procs.emplace_back(std::move(*bundle), *pid);
  }
  // Byte order of UTF-8 is code point order.
  std::sort(procs.begin(), procs.end());
  std::vector<std::string> keys;
  for (const auto& [bundle, pid] : procs) keys.push_back(bundle + "#" + std::to_string(pid));
  if (lastEmitted == keys) return;
  lastEmitted = std::move(keys);
  emit(procs);
}

void MicProcWatcher::emit(const std::vector<Proc>& procs) {
  std::string line = R"({"type":"micProcs","procs":[)";
  for (std::size_t i = 0; i < procs.size(); ++i) {
    if (i > 0) line += ",";
    line += R"({"bundleId":)" + output::jsonQuoted(procs[i].first) + R"(,"pid":)" + std::to_string(procs[i].second) + "}";
  }
  line += "]}";
  output::writeLine(line);
}

}  // namespace qln
