// Start-up of the scripted backend, its gates, window server and language
// model.
//
// Scenario sections read here:
//   "capabilities": {"processTap": bool, "audioProcessList": bool,
//                    "analyzer": bool, "languageModel": bool}   (all false by default)
//   "windows": [ {window dictionary}, ... ]   the window list, as the window
//              server hands it over (keys kCGWindowNumber, kCGWindowOwnerPID,
//              kCGWindowAlpha, kCGWindowIsOnscreen, kCGWindowBounds {X,Y,Width,Height});
//              any value is passed through as written; absent = no window list
//   "displays": [ {"id": 1, "x": 0, "y": 0, "w": 1440, "h": 900}, ... ]
//   "languageModel": {"availability": "available" | "deviceNotEligible" |
//                     "appleIntelligenceNotEnabled" | "modelNotReady" | "other",
//                     "text": "generated text", "error": "failure description",
//                     "delayMs": 0, "echo": false}
//       "echo": true generates "instructions: <text or (none)>\nprompt: <prompt>",
//       so a test can see exactly what the session was given.
//       neither "text" nor "error": generation ends with neither.
//       The model records what it was asked (see lastRequestForTesting).
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "output/output.h"
#include "platform/backend.h"
#include "platform/capabilities.h"
#include "platform/language_model.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_backend.h"
#include "platform/window_server.h"

// The sim binary offers the optional disclaim function, so the relaunch path
// runs for real in tests; the product's system has none.
extern "C" int responsibility_spawnattrs_setdisclaim(posix_spawnattr_t* attr, int disclaim) {
  (void)attr;
  (void)disclaim;
  return 0;
}

namespace qln::platform {

bool initializeBackend() {
  // Keep the exported function in the link even though nothing calls it.
  static volatile auto keep = &responsibility_spawnattrs_setdisclaim;
  (void)keep;
  const char* path = std::getenv(sim::kScenarioEnv);
  if (path == nullptr) return true;
  std::string fault;
  if (!sim::loadScenarioFile(path, fault)) {
    output::errLine(fault);
    return false;
  }
  sim::resetForTesting();
  return true;
}

namespace {

bool flag(const char* section, const char* key) {
  const auto& s = sim::scenario();
  auto it = s.find(section);
  if (it == s.end() || !it->is_object()) return false;
  auto v = it->find(key);
  return v != it->end() && v->is_boolean() && v->get<bool>();
}

class SimCapabilities final : public Capabilities {
 public:
  bool processTap() override { return flag("capabilities", "processTap"); }
  bool audioProcessList() override { return flag("capabilities", "audioProcessList"); }
  bool analyzer() override { return flag("capabilities", "analyzer"); }
  bool languageModel() override { return flag("capabilities", "languageModel"); }
};

class SimWindowServer final : public WindowServer {
 public:
  std::optional<nlohmann::json> copyWindowList() override {
    const auto& s = sim::scenario();
    auto it = s.find("windows");
    if (it == s.end()) return std::nullopt;
    return *it;
  }

  std::optional<std::uint32_t> displayWithPoint(double x, double y) override {
    const auto& s = sim::scenario();
    auto it = s.find("displays");
    if (it == s.end() || !it->is_array()) return std::nullopt;
    for (const auto& d : *it) {
      double dx = sim::field(d, "x", 0.0), dy = sim::field(d, "y", 0.0);
      double dw = sim::field(d, "w", 0.0), dh = sim::field(d, "h", 0.0);
      if (x >= dx && x < dx + dw && y >= dy && y < dy + dh) return sim::field(d, "id", 0u);
    }
    return std::nullopt;
  }
};

class SimLanguageModel final : public LanguageModel {
 public:
  ModelAvailability availability() override {
    std::string a = sim::field(section(), "availability", "available");
    if (a == "available") return ModelAvailability::available;
    if (a == "deviceNotEligible") return ModelAvailability::deviceNotEligible;
    if (a == "appleIntelligenceNotEnabled") return ModelAvailability::appleIntelligenceNotEnabled;
    if (a == "modelNotReady") return ModelAvailability::modelNotReady;
    return ModelAvailability::otherUnavailable;
  }

  void respond(std::optional<std::string> instructions, std::string prompt,
               std::function<void(GenerationResult)> done) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      last_ = sim::ModelRequest{instructions, prompt};
    }
    nlohmann::json s = section();
    // The model answers on a thread of its own, as a real one would.
    std::thread([s, instructions, prompt, done = std::move(done)] {
      int delay = sim::field(s, "delayMs", 0);
      if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      GenerationResult r;
      if (auto t = s.find("text"); t != s.end() && t->is_string()) r.text = t->get<std::string>();
      if (sim::field(s, "echo", false))
        r.text = "instructions: " + instructions.value_or("(none)") + "\nprompt: " + prompt;
      if (auto e = s.find("error"); e != s.end() && e->is_string()) r.error = e->get<std::string>();
      done(std::move(r));
    }).detach();
  }

  std::optional<sim::ModelRequest> last() {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_;
  }

 private:
  static nlohmann::json section() {
    const auto& s = sim::scenario();
    auto it = s.find("languageModel");
    return it != s.end() && it->is_object() ? *it : nlohmann::json::object();
  }
  std::mutex mutex_;
  std::optional<sim::ModelRequest> last_;
};

SimLanguageModel& simModel() {
  static auto* m = new SimLanguageModel;
  return *m;
}

}  // namespace

Capabilities& capabilities() {
  static auto* c = new SimCapabilities;
  return *c;
}

WindowServer& windowServer() {
  static auto* w = new SimWindowServer;
  return *w;
}

LanguageModel& languageModel() { return simModel(); }

}  // namespace qln::platform

namespace qln::sim {
std::optional<ModelRequest> lastModelRequestForTesting() { return platform::simModel().last(); }
}  // namespace qln::sim
