// The conductor of speech mode: signal clean-up, the time origin, the
// optional other-party tap with its control channel, the engine choice,
// authorization and the ready line, and the running engine in speechRunner.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/speech_recognizer.h"

namespace qln {

struct SpeechSettings {
  bool partials = false;
  std::optional<std::string> inputName;
  std::optional<std::string> recordPath;
  std::optional<std::string> recordOtherPath;
  std::optional<std::string> tapBundle;
  std::int32_t selfPid = 0;
  bool voiceIsolation = false;
  bool forceLegacy = false;
};

// Main thread; returns quickly, the caller then serves the main queue.
void runSpeech(const SpeechSettings& settings);

// Calls `then(useAnalyzer)` exactly once: at once, or later on the main queue
// once the installed transcription locales are known.
void selectSpeechEngine(bool forceLegacy, std::function<void(bool useAnalyzer)> then);

// The ready line's word for an authorization status.
const char* authString(platform::SpeechAuthorization status);

// The control channel's line action: a tapOther line re-targets the tap;
// every other line is dropped silently.
void handleControlLine(const std::string& line);

// Re-targets the other-party tap, if there is one; returns at once.
void forwardTapBundle(std::optional<std::string> bundleId);

// Stops the other-party tap, if there is one, and returns once its recording
// is finalised. Never from the tap's own control queue.
void stopOtherPartyTap();

}  // namespace qln
