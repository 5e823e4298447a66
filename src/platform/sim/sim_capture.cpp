#include "platform/sim/sim_capture.h"

#include <chrono>
#include <mutex>
#include <string>

#include "dispatch/dispatch.h"
#include "platform/capture_device.h"
#include "platform/permissions.h"
#include "platform/sim/scenario.h"

namespace qln::sim {
namespace {

using nlohmann::json;
using platform::CaptureAuthorization;
using platform::CaptureMediaType;

json section(const char* name) {
  const auto& s = scenario();
  auto it = s.find(name);
  return it != s.end() && it->is_object() ? *it : json::object();
}

std::optional<CaptureAuthorization> parseStatus(const json& v) {
  if (!v.is_string()) return std::nullopt;
  auto s = v.get<std::string>();
  if (s == "authorized") return CaptureAuthorization::authorized;
  if (s == "denied") return CaptureAuthorization::denied;
  if (s == "restricted") return CaptureAuthorization::restricted;
  if (s == "notDetermined") return CaptureAuthorization::notDetermined;
  return std::nullopt;
}

struct SessionState {
  CaptureSessionLog log;
};

using SteadyClock = std::chrono::steady_clock;

struct State {
  mutable std::mutex mutex;
  SteadyClock::time_point loadedAt = SteadyClock::now();
  std::vector<std::shared_ptr<SessionState>> sessions;
};

State& state() {
  static auto* s = new State;
  return *s;
}

void reset() {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().loadedAt = SteadyClock::now();
  state().sessions.clear();
}
const ResetRegistration kReset(reset);

class SimCapturePermissions final : public platform::CapturePermissions {
 public:
  CaptureAuthorization authorizationStatus(CaptureMediaType mediaType) override {
    SteadyClock::time_point loadedAt;
    {
      std::lock_guard<std::mutex> guard(state().mutex);
      loadedAt = state().loadedAt;
    }
    const char* key = mediaType == CaptureMediaType::video ? "camera" : "microphone";
    json sec = section("permissions");
    auto status = parseStatus(field(sec, key, json())).value_or(CaptureAuthorization::notDetermined);
    if (auto later = sec.find("later"); later != sec.end() && later->is_array()) {
      const double elapsedMs = std::chrono::duration<double, std::milli>(SteadyClock::now() - loadedAt).count();
      for (const auto& change : *later) {
        if (!change.is_object() || elapsedMs < field(change, "atMs", 0.0)) continue;
        if (auto s = parseStatus(field(change, key, json()))) status = *s;
      }
    }
    return status;
  }
};

class SimDevice final : public platform::CaptureDevice {};
class SimInput final : public platform::CaptureDeviceInput {};

class SimSession final : public platform::CaptureSession {
 public:
  SimSession() : state_(std::make_shared<SessionState>()) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().sessions.push_back(state_);
  }

  bool canAddInput(const platform::CaptureDeviceInputPtr& input) override {
    return input != nullptr && field(section("camera"), "canAddInput", true);
  }

  void addInput(const platform::CaptureDeviceInputPtr&) override {
    std::lock_guard<std::mutex> guard(state().mutex);
    state_->log.inputAdded = true;
  }

  void startRunning() override {
    const std::uint64_t now = dispatch::nowNs();
    std::lock_guard<std::mutex> guard(state().mutex);
    if (!state_->log.startRequestedAtNs) state_->log.startRequestedAtNs = now;
  }

  bool isRunning() override {
    std::optional<std::uint64_t> startedAt;
    {
      std::lock_guard<std::mutex> guard(state().mutex);
      if (state_->log.stoppedAtNs || !state_->log.inputAdded) return false;
      startedAt = state_->log.startRequestedAtNs;
    }
    if (!startedAt) return false;
    json after = field(section("camera"), "startsAfterMs", json(0));
    if (!after.is_number()) return false;  // "never"
    const double elapsedMs = static_cast<double>(dispatch::nowNs() - *startedAt) / 1e6;
    return elapsedMs >= after.get<double>();
  }

  void stopRunning() override {
    const std::uint64_t now = dispatch::nowNs();
    std::lock_guard<std::mutex> guard(state().mutex);
    if (!state_->log.stoppedAtNs) state_->log.stoppedAtNs = now;
  }

 private:
  std::shared_ptr<SessionState> state_;
};

class SimCaptureDevices final : public platform::CaptureDevices {
 public:
  platform::CaptureDevicePtr defaultVideoDevice() override {
    const auto& s = scenario();
    auto it = s.find("camera");
    if (it == s.end() || !it->is_object() || !it->value("present", true)) return nullptr;
    return std::make_shared<SimDevice>();
  }

  std::variant<platform::CaptureDeviceInputPtr, platform::CaptureInputError> makeInput(
      const platform::CaptureDevicePtr& device) override {
    json sec = section("camera");
    if (auto e = sec.find("inputError"); e != sec.end() && e->is_string())
      return platform::CaptureInputError{e->get<std::string>()};
    if (!device) return platform::CaptureInputError{"no device"};
    return platform::CaptureDeviceInputPtr(std::make_shared<SimInput>());
  }

  platform::CaptureSessionPtr makeSession() override { return std::make_shared<SimSession>(); }
};

}  // namespace

std::vector<CaptureSessionLog> SimCapture::sessions() const {
  std::lock_guard<std::mutex> guard(state().mutex);
  std::vector<CaptureSessionLog> out;
  for (const auto& s : state().sessions) out.push_back(s->log);
  return out;
}

SimCapture& simCapture() {
  static auto* c = new SimCapture;
  return *c;
}

}  // namespace qln::sim

namespace qln::platform {

CapturePermissions& capturePermissions() {
  static auto* p = new sim::SimCapturePermissions;
  return *p;
}

CaptureDevices& captureDevices() {
  static auto* d = new sim::SimCaptureDevices;
  return *d;
}

}  // namespace qln::platform
