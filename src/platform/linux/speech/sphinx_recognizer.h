// The legacy recogniser on PocketSphinx: each request is one utterance,
// decoded on a thread of its own task.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/speech/sphinx_model.h"
#include "platform/speech_recognizer.h"

namespace qln::platform::linux_backend::sphinx {

// The error domain and code the core reads as "no speech in this request".
inline constexpr const char* kNoSpeechDomain = "kAFAssistantErrorDomain";
inline constexpr std::int64_t kNoSpeechCode = 1110;
// The model would not load, or the decoder refused the audio: counted by
// the core as a recogniser error.
inline constexpr const char* kSphinxDomain = "qln.sphinx";
inline constexpr std::int64_t kUnavailableCode = 1700;

class SphinxRecognizer final : public SpeechRecognizer {
 public:
  explicit SphinxRecognizer(SphinxModel& model) : model_(model) {}
  bool supportsOnDeviceRecognition() override { return true; }
  RecognitionRequestPtr makeRequest() override;
  RecognitionTaskPtr startTask(RecognitionRequestPtr request, RecognitionHandler handler) override;

 private:
  SphinxModel& model_;
};

class SphinxRecognition final : public SpeechRecognition {
 public:
  explicit SphinxRecognition(SphinxModel& model) : model_(model) {}
  // Nothing to ask the user on this system: the model being there is the
  // permission.
  SpeechAuthorization authorizationStatus() override;
  void requestAuthorization(std::function<void(SpeechAuthorization)> done) override;
  std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) override;

 private:
  SphinxModel& model_;
  std::once_flag preload_;
};

}  // namespace qln::platform::linux_backend::sphinx
