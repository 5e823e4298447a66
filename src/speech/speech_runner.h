// The legacy live transcriber of speech mode: captures the microphone with
// the audio engine (started with retries, watched by a stall watchdog) and
// transcribes it through a chain of short recognition requests, rolled over
// every 8 s, restarted after most errors, and parked while system dictation
// is off. Every buffer also goes to the optional WAV recording and to the
// acoustic meter.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/dispatch.h"
#include "platform/audio_engine.h"
#include "platform/audio_format.h"
#include "platform/speech_recognizer.h"
#include "speech/acoustic_meter.h"
#include "speech/speech_listener.h"
#include "speech/wav_recorder.h"

namespace qln {

class SpeechRunner final : public SpeechListener, public std::enable_shared_from_this<SpeechRunner> {
  struct Key {};

 public:
  // Every callback the runner hands out holds it weakly, so it only exists
  // in a shared_ptr. `existingRecorder` is an open recording to continue (the
  // analyzer's, on fail-over); it is used instead of opening `recordPath`.
  // Starts nothing.
  static std::shared_ptr<SpeechRunner> make(std::shared_ptr<platform::SpeechRecognizer> recognizer,
                                            bool partials, std::optional<std::string> inputName,
                                            std::optional<std::string> recordPath, std::uint64_t startAnchor,
                                            bool voiceIsolation,
                                            speech::WavRecorderPtr existingRecorder = nullptr);

  // Engine start attempt 0. Main queue.
  void start() override;
  // Ends transcription and capture and finalises the recording (writing the
  // recorded line). Idempotent. Main queue.
  void stop() override;

  SpeechRunner(Key, std::shared_ptr<platform::SpeechRecognizer> recognizer, bool partials,
               std::optional<std::string> inputName, std::optional<std::string> recordPath,
               std::uint64_t startAnchor, bool voiceIsolation, speech::WavRecorderPtr existingRecorder);
  ~SpeechRunner() override;
  SpeechRunner(const SpeechRunner&) = delete;
  SpeechRunner& operator=(const SpeechRunner&) = delete;

  static constexpr std::int64_t kMaxStartAttempts = 60;
  static constexpr double kRetryDelaySeconds = 2.0;
  static constexpr std::uint32_t kTapBufferFrames = 1024;
  static constexpr std::int64_t kMaxConsecutiveErrors = 5;
  static constexpr double kSimulatedErrorDelaySeconds = 0.3;

 private:
  // Engine start and watchdog.
  void attemptEngineStart(std::int64_t attempt);
  void failAttempt(std::int64_t attempt);
  void tapBuffer(const platform::PcmBuffer& buffer, double sampleRate);
  void checkTapStall();

  // Recognition.
  void startRequest();
  void resultStep(const std::optional<platform::RecognitionResult>& result,
                  const std::optional<platform::RecognitionError>& error, std::int64_t g);
  void emitFinal(std::string text, std::int64_t g);
  void handleError(const platform::RecognitionError& error, std::int64_t g);
  void parkForDictation(std::int64_t g);
  void scheduleDictationRetry();
  // Drops the task and the request the tap feeds.
  void dropRequest();

  std::shared_ptr<platform::SpeechRecognizer> recognizer;
  std::unique_ptr<platform::AudioEngine> engine;
  const bool partials;
  const std::optional<std::string> inputName;
  std::mutex requestLock;
  platform::RecognitionRequestPtr _request;  // guarded by requestLock
  platform::RecognitionTaskPtr task;
  dispatch::CancellablePtr restartTimer;
  std::int64_t consecutiveErrors = 0;
  std::int64_t generation = 0;
  // Read by the meter's emission queue as well.
  std::atomic<bool> stopping{false};
  bool recognitionParked = false;
  dispatch::CancellablePtr dictationRetryTimer;
  const double dictationRetrySeconds = 60.0;
  const std::optional<std::string> recordPath;
  // Replaced only while no tap is installed, cleared only after the engine
  // stopped: the tap thread never sees it change.
  speech::WavRecorderPtr recorder;
  const double rolloverSeconds = 8.0;
  std::string lastPartialText;
  std::atomic<std::uint64_t> lastBufferAtNs{0};
  dispatch::CancellablePtr stallTimer;
  const double stallSeconds = 8.0;
  const double stallPollSeconds = 5.0;
  const std::uint64_t startAnchor;
  const dispatch::QueuePtr acousticCtrl;
  // The meter fields and constants; emplaced by make() once the runner's
  // stop flag can be handed to it weakly. Touched only by the tap thread.
  std::optional<AcousticMeter> meter;
  const bool voiceIsolation;

  // Kept so that stop ends the observation.
  std::optional<platform::ObserverToken> configObserver;
};

}  // namespace qln
