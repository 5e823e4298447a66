// Speech recognition on Linux: PocketSphinx from the speech family, whose
// library is opened only when a recogniser is asked for. Authorization is
// the model being installed and readable, which needs no library.
#include "platform/linux/families.h"
#include "platform/linux/speech_model_files.h"
#include "platform/speech_recognizer.h"

namespace qln::platform {
namespace {

class LinuxSpeechRecognition final : public SpeechRecognition {
 public:
  SpeechAuthorization authorizationStatus() override {
    return linux_backend::modelInstalled(linux_backend::debianEnUs()) && familyFileFound()
               ? SpeechAuthorization::authorized
               : SpeechAuthorization::notDetermined;
  }
  // Nothing to prompt on this system.
  void requestAuthorization(std::function<void(SpeechAuthorization)> done) override {
    if (done) done(authorizationStatus());
  }
  std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) override {
    auto* family = linux_backend::speechFamily();
    return family ? family->recognition().recognizer(locale) : nullptr;
  }

 private:
  static bool familyFileFound() { return !linux_backend::familyPath(linux_backend::kSpeechFamilyFile).empty(); }
};

}  // namespace

SpeechRecognition& speechRecognition() {
  static auto* r = new LinuxSpeechRecognition;
  return *r;
}

}  // namespace qln::platform
