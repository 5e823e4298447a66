// The steps of an engine start attempt that both speech runners take alike:
// the input choices, the recording, the failure report and the
// configuration-change report.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_engine.h"
#include "speech/wav_recorder.h"

namespace qln::speech {

// Pins the named input (retried on every attempt: the device may appear
// later) and asks for voice processing; diagnostics on the first attempt only.
void applyInputChoices(platform::AudioEngine& engine, const std::optional<std::string>& inputName,
                       bool voiceIsolation, bool firstAttempt);

// Opens the recording when one is asked for and none is open yet, with its
// `recording` line or its diagnostic.
void openRecordingIfAsked(WavRecorderPtr& recorder, const std::optional<std::string>& recordPath,
                          const platform::AudioFormat& format);

// The lines of a failed attempt: the engineStart error on the first, the
// attempt count on each.
void reportStartFailure(std::int64_t attempt);

// Reports each configuration change while `owner` lives; the stall watchdog,
// not this, decides whether the change matters.
platform::ObserverToken reportConfigurationChanges(platform::AudioEngine& engine, std::weak_ptr<const void> owner);

}  // namespace qln::speech
