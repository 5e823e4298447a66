// Speech recognition on Linux. The PocketSphinx recogniser comes with the
// Linux audio backend; until then there is no recogniser and nothing to
// authorize.
#include "platform/speech_recognizer.h"

namespace qln::platform {
namespace {

class NoSpeechRecognition final : public SpeechRecognition {
 public:
  SpeechAuthorization authorizationStatus() override { return SpeechAuthorization::notDetermined; }
  void requestAuthorization(std::function<void(SpeechAuthorization)> done) override {
    done(SpeechAuthorization::notDetermined);
  }
  std::shared_ptr<SpeechRecognizer> recognizer(const std::string&) override { return nullptr; }
};

}  // namespace

SpeechRecognition& speechRecognition() {
  static auto* r = new NoSpeechRecognition;
  return *r;
}

}  // namespace qln::platform
