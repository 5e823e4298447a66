// `dictation`: is system dictation (on-device recognition) switched on?
// There is no direct query, so a half-second request of silence is sent to
// the on-device recogniser and the way it ends is classified.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dispatch/dispatch.h"
#include "platform/speech_recognizer.h"

namespace qln::commands {

// How long the recogniser may stay silent before the answer is "unknown".
constexpr std::uint64_t kDictationLimitNs = 4 * dispatch::kNsPerSec;
// The probe audio: 8000 silent frames at 16 kHz, one channel (0.5 s).
constexpr double kDictationProbeRate = 16000;
constexpr std::uint32_t kDictationProbeFrames = 8000;

// The state a recognition callback gives: an error's code decides ("off"
// for 201, "on" for 301 and 1110, "unknown" for any other), else a result
// means "on"; neither gives none.
std::optional<std::string> dictationStateFor(const std::optional<platform::RecognitionResult>& result,
                                             const std::optional<platform::RecognitionError>& error);

// Runs on a global queue. Answers at once (and exits 0) when dictation is
// simulated off or recognition is unavailable; otherwise starts the probe and
// returns, and the first of the recogniser's answer and the time limit on
// the main queue writes the one line and exits 0.
void runDictationProbe();

}  // namespace qln::commands
