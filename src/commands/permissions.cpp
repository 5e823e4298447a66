#include "commands/permissions.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "output/output.h"
#include "process/exit.h"

namespace qln::commands {

const char* avAuthString(platform::CaptureAuthorization status) {
  switch (status) {
    case platform::CaptureAuthorization::authorized: return "granted";
    case platform::CaptureAuthorization::denied: return "denied";
    case platform::CaptureAuthorization::restricted: return "restricted";
    default: return "notDetermined";
  }
}

const char* speechPermString(platform::SpeechAuthorization status) {
  switch (status) {
    case platform::SpeechAuthorization::authorized: return "authorized";
    case platform::SpeechAuthorization::denied: return "denied";
    case platform::SpeechAuthorization::restricted: return "restricted";
    default: return "notDetermined";
  }
}

namespace {

// The request's answer, handed from the answering thread to the waiting one.
// Shared, so that an answer arriving after all is never a write into a dead
// frame.
struct AnswerHolder {
  std::mutex mutex;
  std::condition_variable answered;
  bool signalled = false;
  platform::SpeechAuthorization status = platform::SpeechAuthorization::notDetermined;
};

platform::SpeechAuthorization requestSpeechAuthorization() {
  auto& speech = platform::speechRecognition();
  auto holder = std::make_shared<AnswerHolder>();
  holder->status = speech.authorizationStatus();
  speech.requestAuthorization([holder](platform::SpeechAuthorization answer) {
    std::lock_guard<std::mutex> guard(holder->mutex);
    holder->status = answer;
    holder->signalled = true;
    holder->answered.notify_one();
  });
  std::unique_lock<std::mutex> lock(holder->mutex);
  holder->answered.wait(lock, [&] { return holder->signalled; });
  return holder->status;
}

}  // namespace

void runPermissions(bool requestSpeech) {
  // Read before the request, which may wait a long time for the user.
  auto& capture = platform::capturePermissions();
  const std::string camera = avAuthString(capture.authorizationStatus(platform::CaptureMediaType::video));
  const std::string mic = avAuthString(capture.authorizationStatus(platform::CaptureMediaType::audio));
  const auto speech =
      requestSpeech ? requestSpeechAuthorization() : platform::speechRecognition().authorizationStatus();
  output::writeLine("{\"type\":\"perms\",\"camera\":" + output::jsonQuoted(camera) +
                    ",\"mic\":" + output::jsonQuoted(mic) +
                    ",\"speech\":" + output::jsonQuoted(speechPermString(speech)) + "}");
  process::exitProcess(0);
}

}  // namespace qln::commands
