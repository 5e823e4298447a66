#include "usage/camera_client_watcher.h"

#include <algorithm>
#include <charconv>
#include <set>

#include <nlohmann/json.hpp>

#include "output/output.h"
#include "process/own_process.h"
#include "text/bounded_lines.h"

namespace qln {

namespace {

std::optional<std::int32_t> parsePid(const std::string& digits) {
  std::int32_t v = 0;
  const char* end = digits.data() + digits.size();
  auto [next, ec] = std::from_chars(digits.data(), end, v);
  if (digits.empty() || ec != std::errc() || next != end) return std::nullopt;
  return v;
}

bool contains(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }

}  // namespace

CameraClientWatcher::CameraClientWatcher(std::int32_t selfPid_, std::optional<std::string> selfExecPath_,
                                         platform::CameraClientSource source_)
    : selfPid(selfPid_),
      selfExecPath(std::move(selfExecPath_)),
      source(std::move(source_)),
      queue(dispatch::current().makeSerialQueue("qln.camera.clients")),
      launchedAt(dispatch::nowNs()) {}

void CameraClientWatcher::start() {
  std::weak_ptr<CameraClientWatcher> weak = weak_from_this();
  queue->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->startFeed();
    self->startPrune();
    self->emitIfChanged(true);
  });
}

void CameraClientWatcher::terminate() {
  std::weak_ptr<CameraClientWatcher> weak = weak_from_this();
  queue->sync([weak] {
    if (auto self = weak.lock()) self->stopChild();
  });
}

void CameraClientWatcher::stopChild() {
  if (!child) return;
  child->clearExitHandler();
  child->terminate();
  child.reset();
}

void CameraClientWatcher::startFeed() {
  auto* holders = std::get_if<std::shared_ptr<platform::CameraHolders>>(&source);
  if (!holders) {
    seedFromArchive();
    launchStream();
    return;
  }
  std::weak_ptr<CameraClientWatcher> weak = weak_from_this();
  auto q = queue;
  (*holders)->addHoldersListener([weak, q] {
    q->async([weak] {
      if (auto self = weak.lock()) self->followHolders();
    });
  });
  followHolders();
}

const std::string& CameraClientWatcher::logTool() const { return std::get<platform::SystemLogTool>(source).path; }

void CameraClientWatcher::followHolders() {
  auto* holders = std::get_if<std::shared_ptr<platform::CameraHolders>>(&source);
  if (!holders) return;
  const auto pids = (*holders)->holders();
  const std::set<std::int32_t> holding(pids.begin(), pids.end());
  if (std::erase_if(clients, [&](const auto& e) { return holding.count(e.second) == 0; }) > 0) scheduleEmit();
  for (auto pid : pids) ingest("pid:" + std::to_string(pid), pid);
}

void CameraClientWatcher::seedFromArchive() {
  auto out = platform::childLauncher().runToEnd(
      {logTool(), {"show", "--last", "3m", "--style", "ndjson", "--predicate", predicate}});
  if (!out || !output::isValidUtf8(*out)) return;
  std::size_t at = 0;
  while (at < out->size()) {
    auto nl = out->find('\n', at);
    if (nl == std::string::npos) nl = out->size();
    if (nl > at) handleLine(out->substr(at, nl - at));
    at = nl + 1;
  }
}

void CameraClientWatcher::launchStream() {
  if (unsupportedEmitted) return;
  std::weak_ptr<CameraClientWatcher> weak = weak_from_this();
  auto q = queue;
  platform::ChildHandlers handlers;
  handlers.output = [weak, q](std::string bytes) {
    if (bytes.empty()) return;
    q->async([weak, bytes = std::move(bytes)] {
      if (auto self = weak.lock()) self->handleOutput(bytes);
    });
  };
  handlers.exited = [weak, q] {
    q->async([weak] {
      if (auto self = weak.lock()) self->streamExited();
    });
  };
  std::string error;
  auto launched = platform::childLauncher().launch(
      {logTool(), {"stream", "--style", "ndjson", "--predicate", predicate}}, std::move(handlers), error);
  if (!launched) {
    output::errLine("camera-clients: log stream spawn failed: " + error);
    emitUnsupported();
    return;
  }
  child = std::move(launched);
  launchedAt = dispatch::nowNs();
}

void CameraClientWatcher::handleOutput(const std::string& bytes) {
  // Lines are cut from the raw bytes and checked one by one, so a character
  // that the pipe split across two reads still arrives whole.
  text::splitBoundedLines(lineBuf, discardingLine, bytes, kMaxLineBytes, [this](const std::string& line) {
    if (output::isValidUtf8(line)) handleLine(line);
  });
}

void CameraClientWatcher::handleLine(const std::string& line) {
  if (line.empty() || line.front() != '{') return;
  auto parsed = nlohmann::json::parse(line, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return;
  auto it = parsed.find("eventMessage");
  if (it == parsed.end() || !it->is_string()) return;
  const std::string message = it->get<std::string>();

  std::smatch m;
  if (contains(message, "activating connection") && contains(message, ".anonymous.") &&
      contains(message, ".peer[")) {
    std::optional<std::int32_t> pid;
    if (std::regex_search(message, m, peerRegex)) pid = parsePid(m[1].str());
    if (!pid) {
      if (++redactedAdds >= kMaxRedactedAdds) emitUnsupported();
      return;
    }
    std::string conn = std::regex_search(message, m, connRegex) ? m[1].str() : "pid:" + std::to_string(*pid);
    ingest(conn, *pid);
    return;
  }
  if (contains(message, "invalidated because the client process")) {
    if (std::regex_search(message, m, connRegex)) {
      auto entry = clients.find(m[1].str());
      if (entry != clients.end()) {
        clients.erase(entry);
        scheduleEmit();
        return;
      }
    }
    if (!std::regex_search(message, m, stopRegex)) return;
    auto pid = parsePid(m[1].str());
    if (!pid) return;
    if (std::erase_if(clients, [&](const auto& e) { return e.second == *pid; }) > 0) scheduleEmit();
  }
}

void CameraClientWatcher::ingest(const std::string& conn, std::int32_t pid) {
  const std::int32_t own = platform::processInfo().ownPid();
  if (pid <= 0 || pid == selfPid || pid == own) return;
  if (qlnIsOwnPidTree(pid, {selfPid, own})) return;
  if (qlnIsSameExecutable(pid, selfExecPath)) return;
  if (!qlnProcessExists(pid)) return;
  auto [entry, inserted] = clients.try_emplace(conn, pid);
  if (!inserted && entry->second == pid) return;
  entry->second = pid;
  scheduleEmit();
}

void CameraClientWatcher::startPrune() {
  // Nothing is written once unsupported, so a sweep would only spin.
  if (unsupportedEmitted) return;
  std::weak_ptr<CameraClientWatcher> weak = weak_from_this();
  pruneTimer = dispatch::current().makeTimer(queue, dispatch::secondsNs(kPruneSeconds),
                                             dispatch::secondsNs(kPruneSeconds), [weak] {
                                               if (auto self = weak.lock()) self->prune();
                                             });
}

void CameraClientWatcher::prune() {
  if (std::erase_if(clients, [](const auto& e) { return !qlnProcessExists(e.second); }) > 0) scheduleEmit();
  followHolders();
}

void CameraClientWatcher::scheduleEmit() {
  if (pending) pending->cancel();
  std::weak_ptr<CameraClientWatcher> weak = weak_from_this();
  pending = dispatch::current().asyncAfter(queue, dispatch::secondsNs(kDebounceSeconds), [weak] {
    if (auto self = weak.lock()) self->emitIfChanged(false);
  });
}

void CameraClientWatcher::emitIfChanged(bool force) {
  if (unsupportedEmitted) return;
  std::set<std::int32_t> distinct;
  for (const auto& [conn, pid] : clients) distinct.insert(pid);
  std::vector<std::int32_t> pids(distinct.begin(), distinct.end());
  if (!force && lastEmittedPids == pids) return;
  lastEmittedPids = pids;
  std::string pidText, pathText;
  for (std::size_t i = 0; i < pids.size(); ++i) {
    if (i > 0) {
      pidText += ",";
      pathText += ",";
    }
    pidText += std::to_string(pids[i]);
    pathText += output::jsonQuoted(qlnExecPath(pids[i]).value_or("?"));
  }
  output::writeLine(std::string(R"({"type":"extCameraReal","active":)") + output::boolJSON(!pids.empty()) +
                    R"(,"pids":[)" + pidText + R"(],"paths":[)" + pathText + "]}");
}

void CameraClientWatcher::streamExited() {
  child.reset();
  if (unsupportedEmitted) return;
  if (dispatch::nowNs() - launchedAt < dispatch::secondsNs(kMinStreamLifeSeconds)) {
    emitUnsupported();
    return;
  }
  if (restarts >= kMaxRestarts) {
    emitUnsupported();
    return;
  }
  ++restarts;
  std::weak_ptr<CameraClientWatcher> weak = weak_from_this();
  dispatch::current().asyncAfter(queue, dispatch::secondsNs(kRelaunchDelaySeconds), [weak] {
    if (auto self = weak.lock()) self->launchStream();
  });
}

void CameraClientWatcher::emitUnsupported() {
  if (unsupportedEmitted) return;
  unsupportedEmitted = true;
  if (pruneTimer) {
    pruneTimer->cancel();
    pruneTimer.reset();
  }
  stopChild();
  output::writeLine(R"({"type":"extCameraRealUnsupported"})");
}

}  // namespace qln
