// Speech recognition on Linux: PocketSphinx from the speech family. Without
// that family there is no recogniser and nothing to authorize.
#include "platform/linux/families.h"
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
  if (auto* family = linux_backend::speechFamily()) return family->recognition();
  static auto* r = new NoSpeechRecognition;
  return *r;
}

}  // namespace qln::platform
