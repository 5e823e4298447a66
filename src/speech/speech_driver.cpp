#include "speech/speech_driver.h"

#include <memory>
#include <utility>
#include <vector>

#include "dispatch/dispatch.h"
#include "globals.h"
#include "output/output.h"
#include "platform/capabilities.h"
#include "platform/speech_analyzer.h"
#include "process/exit.h"
#include "process/signals.h"
#include "speech/analyzer_speech_runner.h"
#include "speech/other_party_tap.h"
#include "speech/speech_runner.h"
#include "speech/stdin_line_reader.h"

namespace qln {

namespace {

constexpr const char* kLocale = "en-US";

void startEngine(const SpeechSettings& settings, std::uint64_t startAnchor, bool useAnalyzer) {
  platform::speechRecognition().requestAuthorization([settings, startAnchor, useAnalyzer](
                                                         platform::SpeechAuthorization status) {
    dispatch::mainQueue()->async([settings, startAnchor, useAnalyzer, status] {
      std::shared_ptr<platform::SpeechRecognizer> recognizer = platform::speechRecognition().recognizer(kLocale);
      const bool onDevice = recognizer && recognizer->supportsOnDeviceRecognition();
      output::writeLine(std::string("{\"ev\":\"ready\",\"onDevice\":") + output::boolJSON(onDevice) +
                        ",\"auth\":" + output::jsonQuoted(authString(status)) + "}");
      if (status != platform::SpeechAuthorization::authorized || !recognizer || !onDevice) {
        // The tap's file is finalised first: a recording cut off without
        // its header would be lost to the host.
        stopOtherPartyTap();
        process::exitProcess(0);
      }
      if (useAnalyzer && platform::capabilities().analyzer()) {
        auto handOff = [recognizer, settings, startAnchor](speech::WavRecorderPtr recorder) {
          auto legacy = SpeechRunner::make(recognizer, settings.partials, settings.inputName, settings.recordPath,
                                           startAnchor, settings.voiceIsolation, std::move(recorder));
          globals::speechRunner = legacy;
          legacy->start();
        };
        auto analyzer = AnalyzerSpeechRunner::make(settings.partials, settings.inputName, settings.recordPath,
                                                   startAnchor, settings.voiceIsolation, std::move(handOff));
        globals::speechRunner = analyzer;
        analyzer->start();
        return;
      }
      auto legacy = SpeechRunner::make(recognizer, settings.partials, settings.inputName, settings.recordPath,
                                       startAnchor, settings.voiceIsolation, nullptr);
      globals::speechRunner = legacy;
      legacy->start();
    });
  });
}

}  // namespace

const char* authString(platform::SpeechAuthorization status) {
  switch (status) {
    case platform::SpeechAuthorization::authorized:
      return "granted";
    case platform::SpeechAuthorization::denied:
      return "denied";
    case platform::SpeechAuthorization::restricted:
      return "restricted";
    default:
      return "notDetermined";
  }
}

void selectSpeechEngine(bool forceLegacy, std::function<void(bool useAnalyzer)> then) {
  if (forceLegacy) {
    output::errLine("speech: engine=legacy reason=flag");
    then(false);
    return;
  }
  if (!platform::capabilities().analyzer()) {
    output::errLine("speech: engine=legacy reason=os");
    then(false);
    return;
  }
  platform::speechAnalysis().installedLocales([then = std::move(then)](std::vector<std::string> locales) {
    bool found = false;
    for (const auto& locale : locales) {
      if (locale == kLocale) {
        found = true;
        break;
      }
    }
    dispatch::mainQueue()->async([then, found] {
      output::errLine(found ? "speech: engine=analyzer" : "speech: engine=legacy reason=assets");
      then(found);
    });
  });
}

void runSpeech(const SpeechSettings& settings) {
  process::installSignals([] {
    if (auto runner = globals::speechRunner) runner->stop();
    stopOtherPartyTap();
  });
  const std::uint64_t startAnchor = dispatch::nowNs();

  if (settings.recordOtherPath) {
    if (platform::capabilities().processTap()) {
      auto tap = OtherPartyTap::make(*settings.recordOtherPath, settings.selfPid, startAnchor);
      globals::otherPartyTap = tap;
      tap->start(settings.tapBundle);
      auto reader = StdinLineReader::make(handleControlLine);
      reader->start();
      globals::otherPartyStdin = reader;
    } else {
      output::writeLine("{\"ev\":\"recordOtherError\",\"message\":\"unsupported\"}");
    }
  }

  selectSpeechEngine(settings.forceLegacy,
                     [settings, startAnchor](bool useAnalyzer) { startEngine(settings, startAnchor, useAnalyzer); });
}

void handleControlLine(const std::string& line) {
  if (auto bundle = parseControlLine(line)) forwardTapBundle(std::move(*bundle));
}

void forwardTapBundle(std::optional<std::string> bundleId) {
  if (!platform::capabilities().processTap()) return;
  if (auto tap = globals::otherPartyTap) tap->setBundle(std::move(bundleId));
}

void stopOtherPartyTap() {
  if (!platform::capabilities().processTap()) return;
  if (auto tap = globals::otherPartyTap) tap->stop();
}

}  // namespace qln
