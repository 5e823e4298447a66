// libqln-speech.so: the PocketSphinx family, both engines on one model.
#include "platform/linux/families.h"
#include "platform/linux/speech/sphinx_analyzer.h"
#include "platform/linux/speech/sphinx_model.h"
#include "platform/linux/speech/sphinx_recognizer.h"

namespace qln::platform::linux_backend {
namespace {

class SphinxFamily final : public SpeechFamily {
 public:
  explicit SphinxFamily(sphinx::SphinxModel& model) : model_(model), recognition_(model), analysis_(model) {}
  SpeechRecognition& recognition() override { return recognition_; }
  SpeechAnalysis& analysis() override { return analysis_; }
  bool analyzer() override { return model_.installed(); }

 private:
  sphinx::SphinxModel& model_;
  sphinx::SphinxRecognition recognition_;
  sphinx::SphinxAnalysis analysis_;
};

}  // namespace
}  // namespace qln::platform::linux_backend

// Null without the en-US model: the light backend's placeholders answer then.
extern "C" __attribute__((visibility("default"))) qln::platform::linux_backend::SpeechFamily* qln_speech_family() {
  auto& model = qln::platform::linux_backend::sphinx::SphinxModel::shared();
  if (!model.installed()) return nullptr;
  static auto* family = new qln::platform::linux_backend::SphinxFamily(model);
  return family;
}
