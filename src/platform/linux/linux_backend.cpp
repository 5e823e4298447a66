// The product's backend on Linux: its start-up, gates, window server and
// language model.
#include <cstdlib>

#include "platform/backend.h"
#include "platform/capabilities.h"
#include "platform/language_model.h"
#include "platform/linux/families.h"
#include "platform/window_server.h"

namespace qln::platform {

bool initializeBackend() { return true; }

namespace {

class LinuxCapabilities final : public Capabilities {
 public:
  // Each gate asks the family that would serve it, which loads it: a mode
  // only asks when it is about to use the feature.
  bool processTap() override {
    auto* family = linux_backend::audioFamily();
    return family && family->processTap();
  }
  bool audioProcessList() override {
    auto* family = linux_backend::audioFamily();
    return family && family->audioProcessList();
  }
  bool analyzer() override {
    auto* family = linux_backend::speechFamily();
    return family && family->analyzer();
  }
  // This system has no on-device language model.
  bool languageModel() override { return false; }
};

// Without the X11 family (its library or Xlib missing): no window list.
class LinuxWindowServer final : public WindowServer {
 public:
  std::optional<nlohmann::json> copyWindowList() override { return std::nullopt; }
  std::optional<std::uint32_t> displayWithPoint(double, double) override { return std::nullopt; }
};

class NoLanguageModel final : public LanguageModel {
 public:
  ModelAvailability availability() override { return ModelAvailability::otherUnavailable; }
  void respond(std::optional<std::string>, std::string, std::function<void(GenerationResult)> done) override {
    done(GenerationResult{});
  }
};

}  // namespace

Capabilities& capabilities() {
  static auto* c = new LinuxCapabilities;
  return *c;
}

WindowServer& windowServer() {
  // Xlib finds its display through DISPLAY alone: without one there is no
  // window server to ask, and no reason to load the X libraries.
  const char* display = std::getenv("DISPLAY");
  if (display && *display)
    if (auto* family = linux_backend::windowFamily()) return family->windowServer();
  static auto* w = new LinuxWindowServer;
  return *w;
}

LanguageModel& languageModel() {
  static auto* m = new NoLanguageModel;
  return *m;
}

}  // namespace qln::platform
