// The camera client watcher fed the log stream's output, cut into reads any
// way at all: every line it writes is well formed, lists only live foreign
// clients in ascending order with their paths, differs from the line before
// it, and nothing follows the unsupported notice.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "chunks.h"
#include "dispatch/virtual_dispatcher.h"
#include "fuzz_check.h"
#include "output/output.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_process.h"
#include "usage/camera_client_watcher.h"

namespace {

using nlohmann::json;

constexpr int kOwn = 500;
constexpr int kSelf = 800;
const char* kHostExec = "/Applications/Quiln.app/Contents/MacOS/Quiln";
const std::string kUnsupported = R"({"type":"extCameraRealUnsupported"})";

// The clients that may ever be listed, with their paths; the table also
// holds this process, the host, their children and a copy of the host.
const std::map<std::int32_t, std::string> kForeign = {
    {700, "/Applications/zoom.us.app"}, {701, "?"}, {702, "/usr/bin/other"}};

json scenario() {
  auto rec = [](int pid, int ppid, json exe) { return json{{"pid", pid}, {"ppid", ppid}, {"exe", exe}}; };
  json list = {rec(kOwn, 1, "/usr/bin/qln-helper"), rec(kSelf, 1, kHostExec), rec(700, 1, kForeign.at(700)),
               rec(701, 1, nullptr), rec(600, kOwn, "/bin/sh"), rec(801, kSelf, "/usr/bin/renderer"),
               rec(900, 1, kHostExec)};
  json eperm = rec(702, 1, kForeign.at(702));
  eperm["signal0"] = "EPERM";
  list.push_back(eperm);
  return {{"processTable", {{"ownPid", kOwn}, {"list", list}}}, {"logTool", {{"stream", {json::object()}}}}};
}

void checkLines(const std::vector<std::string>& out) {
  FUZZ_CHECK(!out.empty());
  FUZZ_CHECK(out.front() == R"({"type":"extCameraReal","active":false,"pids":[],"paths":[]})");
  std::vector<std::int32_t> last;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == kUnsupported) {
      FUZZ_CHECK(i + 1 == out.size());
      break;
    }
    json line = json::parse(out[i], nullptr, false);
    FUZZ_CHECK(line.is_object() && line.value("type", "") == "extCameraReal");
    const auto pids = line.at("pids").get<std::vector<std::int32_t>>();
    const auto paths = line.at("paths").get<std::vector<std::string>>();
    FUZZ_CHECK(line.at("active").get<bool>() == !pids.empty());
    FUZZ_CHECK(paths.size() == pids.size());
    for (std::size_t k = 0; k < pids.size(); ++k) {
      FUZZ_CHECK(k == 0 || pids[k - 1] < pids[k]);
      auto known = kForeign.find(pids[k]);
      FUZZ_CHECK(known != kForeign.end());
      FUZZ_CHECK(paths[k] == known->second);
    }
    if (i > 0) FUZZ_CHECK(pids != last);
    last = pids;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool pauseBetweenReads = in.ConsumeBool();
  const auto reads = consumeReads(in, 2 * qln::CameraClientWatcher::kMaxLineBytes);

  qln::dispatch::ScopedVirtualDispatcher clock;
  std::mutex mutex;
  std::vector<std::string> out;
  qln::output::setSinkForTesting([&](qln::output::Channel channel, std::string_view line) {
    std::lock_guard<std::mutex> guard(mutex);
    if (channel == qln::output::Channel::out) out.emplace_back(line);
  });
  qln::sim::setScenarioForTesting(scenario());
  {
    auto watcher = std::make_shared<qln::CameraClientWatcher>(kSelf, kHostExec);
    watcher->start();
    clock->runUntilIdle();
    for (const auto& bytes : reads) {
      qln::sim::logTool().output(bytes);
      if (pauseBetweenReads) clock->advanceMs(400);
    }
    clock->advanceSeconds(1);
    watcher->terminate();
    clock->runUntilIdle();
  }
  qln::output::setSinkForTesting(nullptr);
  checkLines(out);
  return 0;
}
