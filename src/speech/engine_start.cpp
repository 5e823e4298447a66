#include "speech/engine_start.h"

#include "output/output.h"
#include "speech/input_device.h"

namespace qln::speech {

using output::errLine;
using output::jsonQuoted;
using output::writeLine;

void applyInputChoices(platform::AudioEngine& engine, const std::optional<std::string>& inputName,
                       bool voiceIsolation, bool firstAttempt) {
  if (inputName) {
    if (auto device = qlnInputDeviceID(*inputName); device && engine.hasAudioUnit()) {
      std::int32_t status = engine.setInputDevice(*device);
      if (status != 0 && firstAttempt)
        errLine("speech: could not pin input '" + *inputName + "' (" + std::to_string(status) + "); using default");
    }
  }

  if (voiceIsolation) {
    std::string description;
    bool enabled = engine.setVoiceProcessingEnabled(true, description);
    if (firstAttempt) {
      if (enabled)
        errLine("speech: voice processing enabled (echo cancellation on the mic input)");
      else
        errLine("speech: voice processing could not be enabled (" + description + "); using the plain mic input");
    }
  } else if (firstAttempt) {
    errLine("speech: voice processing off (no --voice-isolation)");
  }
}

void openRecordingIfAsked(WavRecorderPtr& recorder, const std::optional<std::string>& recordPath,
                          const platform::AudioFormat& format) {
  if (!recordPath || recorder) return;
  recorder = WavRecorder::make(*recordPath, format);
  if (recorder)
    writeLine("{\"ev\":\"recording\",\"path\":" + jsonQuoted(*recordPath) + "}");
  else
    errLine("speech: could not open recording file at " + *recordPath + "; continuing without recording");
}

void reportStartFailure(std::int64_t attempt) {
  if (attempt == 0) writeLine("{\"ev\":\"error\",\"code\":" + jsonQuoted("engineStart") + "}");
  errLine("speech: mic not ready (attempt " + std::to_string(attempt + 1) + ")");
}

platform::ObserverToken reportConfigurationChanges(platform::AudioEngine& engine, std::weak_ptr<const void> owner) {
  return engine.addConfigurationChangeObserver([owner = std::move(owner)] {
    if (owner.expired()) return;
    errLine("speech: audio engine configuration change (device/route reconfigured); the stall watchdog decides");
    writeLine("{\"ev\":\"configChange\"}");
  });
}

}  // namespace qln::speech
