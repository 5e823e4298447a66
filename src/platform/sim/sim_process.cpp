#include "platform/sim/sim_process.h"

#include <cerrno>
#include <unistd.h>

#include <algorithm>

#include "dispatch/dispatch.h"
#include "platform/camera_clients.h"
#include "platform/process_info.h"
#include "platform/sim/scenario.h"

namespace qln::sim {

namespace {

const nlohmann::json* section(const char* name) {
  const auto& s = scenario();
  auto it = s.find(name);
  return it != s.end() && it->is_object() ? &*it : nullptr;
}

int errnoFromText(const nlohmann::json& v) {
  if (!v.is_string()) return 0;
  auto t = v.get<std::string>();
  if (t == "EPERM") return EPERM;
  if (t == "ESRCH") return ESRCH;
  return 0;
}

}  // namespace

// --- process table ---

void SimProcessTable::reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  ownPid_.reset();
  records_.clear();
  const auto* s = section("processTable");
  if (s == nullptr) return;
  if (auto o = s->find("ownPid"); o != s->end() && o->is_number_integer()) ownPid_ = numberAs<std::int32_t>(*o);
  auto list = s->find("list");
  if (list == s->end() || !list->is_array()) return;
  for (const auto& p : *list) {
    if (!p.is_object() || !p.contains("pid") || !p["pid"].is_number_integer()) continue;
    SimProcessRecord r;
    r.pid = numberAs<std::int32_t>(p["pid"]).value_or(-1);
    if (auto v = p.find("ppid"); v != p.end() && v->is_number_integer()) r.ppid = numberAs<std::int32_t>(*v);
    if (auto v = p.find("exe"); v != p.end() && v->is_string()) r.exe = v->get<std::string>();
    if (auto v = p.find("signal0"); v != p.end()) r.signal0 = errnoFromText(*v);
    records_.push_back(std::move(r));
  }
}

void SimProcessTable::set(SimProcessRecord record) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = std::find_if(records_.begin(), records_.end(),
                         [&](const SimProcessRecord& r) { return r.pid == record.pid; });
  if (it != records_.end()) *it = std::move(record);
  else records_.push_back(std::move(record));
}

void SimProcessTable::remove(std::int32_t pid) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(records_, [&](const SimProcessRecord& r) { return r.pid == pid; });
}

std::int32_t SimProcessTable::ownPid() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return ownPid_.value_or(static_cast<std::int32_t>(::getpid()));
}

std::optional<SimProcessRecord> SimProcessTable::find(std::int32_t pid) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& r : records_)
    if (r.pid == pid) return r;
  return std::nullopt;
}

SimProcessTable& processTable() {
  static auto* t = new SimProcessTable;
  return *t;
}

namespace {

class SimProcessInfo final : public platform::ProcessInfo {
 public:
  std::optional<std::string> execPath(std::int32_t pid) override {
    auto r = processTable().find(pid);
    return r ? r->exe : std::nullopt;
  }
  std::optional<std::int32_t> parentPid(std::int32_t pid) override {
    auto r = processTable().find(pid);
    return r ? r->ppid : std::nullopt;
  }
  int signalZero(std::int32_t pid) override {
    auto r = processTable().find(pid);
    return r ? r->signal0 : ESRCH;
  }
  std::int32_t ownPid() override { return processTable().ownPid(); }
};

}  // namespace

// --- log tool ---

class SimChild final : public platform::Child, public std::enable_shared_from_this<SimChild> {
 public:
  SimChild(int pid, platform::ChildHandlers handlers, std::shared_ptr<platform::Child> standIn)
      : pid_(pid), handlers_(std::move(handlers)), standIn_(std::move(standIn)) {}

  int pid() const override { return pid_; }
  void clearExitHandler() override {
    std::lock_guard<std::mutex> guard(mutex_);
    handlers_.exited = nullptr;
  }
  void terminate() override {
    logTool().noteTermination();
    // The stand-in hears at once: the caller may exit right after this.
    if (standIn_) standIn_->terminate();
    std::weak_ptr<SimChild> weak = weak_from_this();
    dispatch::mainQueue()->async([weak] {
      if (auto self = weak.lock()) self->end();
    });
  }

  void deliver(std::string bytes) {
    std::function<void(std::string)> output;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (ended_) return;
      output = handlers_.output;
    }
    if (output) output(std::move(bytes));
  }

  void end() {
    std::function<void()> exited;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (ended_) return;
      ended_ = true;
      for (auto& s : scheduled_) s->cancel();
      scheduled_.clear();
      exited = std::move(handlers_.exited);
    }
    if (standIn_) standIn_->terminate();
    if (exited) exited();
  }

  bool ended() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return ended_;
  }

  void keep(dispatch::CancellablePtr item) {
    std::lock_guard<std::mutex> guard(mutex_);
    scheduled_.push_back(std::move(item));
  }

 private:
  const int pid_;
  mutable std::mutex mutex_;
  platform::ChildHandlers handlers_;
  std::shared_ptr<platform::Child> standIn_;
  std::vector<dispatch::CancellablePtr> scheduled_;
  bool ended_ = false;
};

void SimLogTool::reset() {
  std::shared_ptr<SimChild> old;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    launches_.clear();
    streamLaunches_ = 0;
    terminations_ = 0;
    old = current_.lock();
    current_.reset();
  }
  if (old) old->clearExitHandler();
}

void SimLogTool::noteTermination() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++terminations_;
}

std::optional<std::string> SimLogTool::runToEnd(const platform::ChildCommand& command) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    launches_.push_back(command);
  }
  const auto* s = section("logTool");
  if (s == nullptr) return std::nullopt;
  auto show = s->find("show");
  if (show == s->end() || !show->is_string()) return std::nullopt;
  return show->get<std::string>();
}

std::shared_ptr<platform::Child> SimLogTool::launch(const platform::ChildCommand& command,
                                                    platform::ChildHandlers handlers,
                                                    std::string& error) {
  int index = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    launches_.push_back(command);
    index = streamLaunches_++;
  }
  const auto* s = section("logTool");
  if (s == nullptr) {
    error = "No such file or directory";
    return nullptr;
  }
  nlohmann::json entry = nlohmann::json::object();
  if (auto list = s->find("stream"); list != s->end() && list->is_array() && !list->empty())
    entry = (*list)[std::min<std::size_t>(static_cast<std::size_t>(index), list->size() - 1)];
  if (auto e = entry.find("launchError"); e != entry.end() && e->is_string()) {
    error = e->get<std::string>();
    return nullptr;
  }
  std::shared_ptr<platform::Child> standIn;
  int pid = 70000 + index;
  if (auto v = s->find("standIn"); v != s->end() && v->is_boolean() && v->get<bool>()) {
    std::string standInError;
    standIn = platform::posixChildLauncher().launch({"/bin/sleep", {"100000"}}, {}, standInError);
    if (!standIn) {
      error = standInError;
      return nullptr;
    }
    pid = standIn->pid();
  }
  auto child = std::make_shared<SimChild>(pid, std::move(handlers), standIn);
  auto& dispatcher = dispatch::current();
  std::weak_ptr<SimChild> weak = child;
  if (auto out = entry.find("output"); out != entry.end() && out->is_array()) {
    for (const auto& chunk : *out) {
      if (!chunk.is_object() || !chunk.contains("bytes") || !chunk["bytes"].is_string()) continue;
      child->keep(dispatcher.asyncAfter(dispatcher.mainQueue(), delayNs(field(chunk, "atMs", 0.0)),
                                        [weak, bytes = chunk["bytes"].get<std::string>()] {
                                          if (auto c = weak.lock()) c->deliver(bytes);
                                        }));
    }
  }
  // Built in C++, small literals are signed numbers; parsed, unsigned ones.
  if (auto ex = entry.find("exitAtMs"); ex != entry.end() && ex->is_number_integer() && ex->get<std::int64_t>() >= 0) {
    // Held by the item itself: a child whose owner let go still ends.
    child->keep(dispatcher.asyncAfter(dispatcher.mainQueue(), ex->get<std::uint64_t>() * dispatch::kNsPerMs,
                                      [child] { child->end(); }));
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    current_ = child;
  }
  return child;
}

void SimLogTool::output(std::string bytes) {
  std::shared_ptr<SimChild> child;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    child = current_.lock();
  }
  if (child) child->deliver(std::move(bytes));
}

void SimLogTool::exitChild() {
  std::shared_ptr<SimChild> child;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    child = current_.lock();
  }
  if (child) child->end();
}

bool SimLogTool::childRunning() const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto child = current_.lock();
  return child && !child->ended();
}

std::vector<platform::ChildCommand> SimLogTool::launches() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return launches_;
}

int SimLogTool::terminations() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return terminations_;
}

SimLogTool& logTool() {
  static auto* t = new SimLogTool;
  return *t;
}

namespace {

class SimChildLauncher final : public platform::ChildLauncher {
 public:
  std::optional<std::string> runToEnd(const platform::ChildCommand& command) override {
    return logTool().runToEnd(command);
  }
  std::shared_ptr<platform::Child> launch(const platform::ChildCommand& command,
                                          platform::ChildHandlers handlers,
                                          std::string& error) override {
    return logTool().launch(command, std::move(handlers), error);
  }
};

const ResetRegistration kReset([] {
  processTable().reset();
  logTool().reset();
});

}  // namespace

}  // namespace qln::sim

namespace qln::platform {

ProcessInfo& processInfo() {
  static auto* info = new sim::SimProcessInfo;
  return *info;
}

ChildLauncher& childLauncher() {
  static auto* launcher = new sim::SimChildLauncher;
  return *launcher;
}

// The scripted system has the camera service's log tool; its children play
// the scenario's log lines.
CameraClientSource cameraClientSource() { return SystemLogTool{"/usr/bin/log"}; }

}  // namespace qln::platform
