// The scripted legacy recogniser and speech authorization, and the control
// object tests drive them with.
//
// Scenario section "speech" (every key optional):
//
//   "speech": {
//     "authorization": "authorized" | "denied" | "restricted" | "notDetermined",
//         the current status. Default "authorized".
//     "requestAnswer": "authorized",   what asking the user answers
//         (default: the current status), "requestDelayMs": 0 how long the
//         user takes; the answer arrives on another thread.
//     "locales": ["en-US"],            locales with a recogniser (default en-US)
//     "onDevice": true,                on-device support (default true)
//     "requests": [ [event, ...], ... ],
//         the script of the Nth recognition task of the process (0-based);
//     "default": [event, ...]
//         the script of every task past the end of "requests" (default none).
//     An event fires once, on the recogniser's thread:
//       {"atMs": 500, "partial": "hello"}        ms after the task started
//       {"afterAudioMs": 1200, "final": "hello there"}
//                                               once that much audio was appended
//       {"atMs": 300, "error": 201, "domain": "kAFAssistantErrorDomain"}
//       {"atMs": 900, "partial": "x", "error": 1110}   a result and an error together
//     A cancelled task fires nothing more.
//   }
//
// The sim only answers the recogniser's calls as scripted; it knows nothing
// of the runners.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech_recognizer.h"

namespace qln::sim {

struct RecognitionRequestLog {
  bool reportsPartials = false;
  bool requiresOnDevice = false;
  bool audioEnded = false;
  bool taskStarted = false;
  bool cancelled = false;
  std::uint64_t framesAppended = 0;
  std::size_t buffersAppended = 0;
};

class SimSpeech {
 public:
  void setAuthorization(platform::SpeechAuthorization status);
  void setRequestAnswer(platform::SpeechAuthorization answer);
  void setRecognizerAvailable(bool available);
  void setOnDevice(bool onDevice);

  // Calls the handler of the newest live (not cancelled) task synchronously
  // on the calling thread, as the recogniser's thread would. False when
  // there is none.
  bool emit(std::optional<platform::RecognitionResult> result,
            std::optional<platform::RecognitionError> error);

  // Every request made since the last reset, oldest first.
  std::vector<RecognitionRequestLog> requests() const;
  std::size_t authorizationRequests() const;
};

SimSpeech& simSpeech();

}  // namespace qln::sim
