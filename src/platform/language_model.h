// The on-device language model.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qln::platform {

enum class ModelAvailability {
  available,
  deviceNotEligible,
  appleIntelligenceNotEnabled,
  modelNotReady,
  otherUnavailable,
};

struct GenerationResult {
  std::optional<std::string> text;   // the response's content
  std::optional<std::string> error;  // a failure's description
};

class LanguageModel {
 public:
  virtual ~LanguageModel() = default;
  virtual ModelAvailability availability() = 0;
  // Starts one generation in a session with the given instructions (none =
  // a session without instructions) and the model's default options.
  // `done` is called exactly once, on a thread of the model's choosing.
  virtual void respond(std::optional<std::string> instructions, std::string prompt,
                       std::function<void(GenerationResult)> done) = 0;
};

LanguageModel& languageModel();

}  // namespace qln::platform
