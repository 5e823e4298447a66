// The legacy speech recogniser: short streaming requests fed with captured
// buffers, each watched by a task that reports partial and final results.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_format.h"

namespace qln::platform {

enum class SpeechAuthorization { notDetermined, denied, restricted, authorized };

struct RecognitionResult {
  std::string formattedString;  // the best transcription
  bool isFinal = false;
};

struct RecognitionError {
  std::string domain;
  std::int64_t code = 0;
};

class RecognitionRequest {
 public:
  virtual ~RecognitionRequest() = default;
  virtual void setShouldReportPartialResults(bool on) = 0;
  virtual void setRequiresOnDeviceRecognition(bool on) = 0;
  // Called from the capture thread for every buffer while the request is
  // current; must not block.
  virtual void append(const PcmBuffer& buffer) = 0;
  virtual void endAudio() = 0;
};
using RecognitionRequestPtr = std::shared_ptr<RecognitionRequest>;

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  virtual void cancel() = 0;
};
using RecognitionTaskPtr = std::shared_ptr<RecognitionTask>;

// Called on a recogniser thread, with a result, an error, or both.
using RecognitionHandler =
    std::function<void(std::optional<RecognitionResult>, std::optional<RecognitionError>)>;

class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual bool supportsOnDeviceRecognition() = 0;
  virtual RecognitionRequestPtr makeRequest() = 0;
  virtual RecognitionTaskPtr startTask(RecognitionRequestPtr request, RecognitionHandler handler) = 0;
};

class SpeechRecognition {
 public:
  virtual ~SpeechRecognition() = default;
  virtual SpeechAuthorization authorizationStatus() = 0;
  // Asks the user when undecided; `done` runs on a thread of the system's choosing.
  virtual void requestAuthorization(std::function<void(SpeechAuthorization)> done) = 0;
  // None when the system has no recogniser for the locale (e.g. "en-US").
  virtual std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) = 0;
};

SpeechRecognition& speechRecognition();

}  // namespace qln::platform
