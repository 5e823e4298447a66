#include "commands/dictation.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "globals.h"
#include "output/output.h"
#include "platform/audio_format.h"
#include "process/exit.h"

namespace qln::commands {
namespace {

// Two events race to answer (the recogniser and the time limit); the first
// one through here is the only one that writes.
struct ProbeGuard {
  std::mutex lock;
  bool done = false;
};

void finish(ProbeGuard& guard, const std::string& state) {
  {
    std::lock_guard<std::mutex> held(guard.lock);
    if (guard.done) return;
    guard.done = true;
  }
  output::writeLine("{\"type\":\"dictation\",\"state\":" + output::jsonQuoted(state) + "}");
  process::exitProcess(0);
}

[[noreturn]] void answerAtOnce(const char* line) {
  output::writeLine(line);
  process::exitProcess(0);
}

// Half a second of silence; none when the format or buffer cannot be made.
platform::PcmBufferPtr silentProbeBuffer() {
  auto format = platform::AudioFormat::standard(kDictationProbeRate, 1);
  if (!format) return nullptr;
  auto buffer = platform::PcmBuffer::make(*format, kDictationProbeFrames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(kDictationProbeFrames);
  if (float* const* channels = buffer->floatChannelData()) {
    for (std::uint32_t c = 0; c < format->channelCount; ++c)
      std::fill_n(channels[c], kDictationProbeFrames, 0.0f);
  }
  return buffer;
}

}  // namespace

std::optional<std::string> dictationStateFor(const std::optional<platform::RecognitionResult>& result,
                                             const std::optional<platform::RecognitionError>& error) {
  // Only the code counts; the error's domain is not examined.
  if (error) {
    switch (error->code) {
      case 201: return "off";
      case 301:
      case 1110: return "on";
      default: return "unknown";
    }
  }
  if (result) return "on";
  return std::nullopt;
}

void runDictationProbe() {
  if (globals::simDictationOff) answerAtOnce("{\"type\":\"dictation\",\"state\":\"off\"}");
  auto& speech = platform::speechRecognition();
  if (speech.authorizationStatus() != platform::SpeechAuthorization::authorized)
    answerAtOnce("{\"type\":\"dictation\",\"state\":\"unknown\"}");
  auto recognizer = speech.recognizer("en-US");
  if (!recognizer || !recognizer->supportsOnDeviceRecognition())
    answerAtOnce("{\"type\":\"dictation\",\"state\":\"unknown\"}");

  auto guard = std::make_shared<ProbeGuard>();
  auto request = recognizer->makeRequest();
  request->setShouldReportPartialResults(false);
  request->setRequiresOnDeviceRecognition(true);
  auto task = recognizer->startTask(
      request, [guard](std::optional<platform::RecognitionResult> result,
                       std::optional<platform::RecognitionError> error) {
        if (auto state = dictationStateFor(result, error)) finish(*guard, *state);
      });
  if (auto buffer = silentProbeBuffer()) request->append(*buffer);
  request->endAudio();

  // The limit also keeps the recogniser objects alive until the answer.
  dispatch::current().asyncAfter(dispatch::mainQueue(), kDictationLimitNs,
                                 [guard, recognizer, request, task] { finish(*guard, "unknown"); });
}

}  // namespace qln::commands
