// The product's backend on Linux: its start-up, gates, window server and
// language model.
#include "platform/backend.h"
#include "platform/capabilities.h"
#include "platform/language_model.h"
#include "platform/window_server.h"

namespace qln::platform {

bool initializeBackend() { return true; }

namespace {

class LinuxCapabilities final : public Capabilities {
 public:
  // The sound-server tap, process list and recogniser come with the Linux
  // audio backend; until then these features report themselves unsupported.
  bool processTap() override { return false; }
  bool audioProcessList() override { return false; }
  bool analyzer() override { return false; }
  // This system has no on-device language model.
  bool languageModel() override { return false; }
};

// No window list until the X11 window server lands.
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
  static auto* w = new LinuxWindowServer;
  return *w;
}

LanguageModel& languageModel() {
  static auto* m = new NoLanguageModel;
  return *m;
}

}  // namespace qln::platform
