// The newer live transcriber of speech mode: captures the microphone with its
// own audio engine (started with retries, watched by a stall watchdog),
// records and meters it, and feeds it to an on-device speech analyzer
// session. While the session is being prepared the audio waits in a warm-up
// backlog (at most 30 s), flushed into the analyzer once it runs. When the
// analyzer fails, or stays silent while the user clearly speaks, the runner
// tears itself down and hands the open recording to the legacy engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/dispatch.h"
#include "platform/audio_converter.h"
#include "platform/audio_engine.h"
#include "platform/audio_format.h"
#include "platform/speech_analyzer.h"
#include "speech/acoustic_meter.h"
#include "speech/speech_listener.h"
#include "speech/wav_recorder.h"

namespace qln {

// Start and end of a result's audio in ms on the analyzer's time line.
struct AudioRangeMs {
  std::int64_t a0 = 0;
  std::int64_t a1 = 0;
  bool operator==(const AudioRangeMs&) const = default;
};

// None for a missing, empty, reversed or non-finite range; halves round away
// from zero.
std::optional<AudioRangeMs> qlnAudioRangeMs(const std::optional<platform::MediaTimeRange>& range);
// "" or ",\"a0\":A0,\"a1\":A1".
std::string qlnAudioSuffix(const std::optional<AudioRangeMs>& audio);

class AnalyzerSpeechRunner final : public SpeechListener,
                                   public std::enable_shared_from_this<AnalyzerSpeechRunner> {
  struct Key {};

 public:
  // Receives the open recording (or none) when the analyzer gives up; called
  // at most once, on the main queue, after the runner's capture has stopped.
  using HandOff = std::function<void(speech::WavRecorderPtr)>;

  // Every callback the runner hands out holds it weakly, so it only exists
  // in a shared_ptr. Starts nothing.
  static std::shared_ptr<AnalyzerSpeechRunner> make(bool partials, std::optional<std::string> inputName,
                                                    std::optional<std::string> recordPath,
                                                    std::uint64_t startAnchor, bool voiceIsolation,
                                                    HandOff handOffToLegacy);

  // Engine start attempt 0. Main queue.
  void start() override;
  // Ends the session and capture, finalises the recording (writing the
  // recorded line). Main queue.
  void stop() override;

  // Voiced speech counted so far, in ms (for diagnostics and tests).
  std::uint64_t voicedSpeechMsSoFar() const { return voicedSpeechMs.load(std::memory_order_relaxed); }

  AnalyzerSpeechRunner(Key, bool partials, std::optional<std::string> inputName,
                       std::optional<std::string> recordPath, std::uint64_t startAnchor, bool voiceIsolation,
                       HandOff handOffToLegacy);
  ~AnalyzerSpeechRunner() override;
  AnalyzerSpeechRunner(const AnalyzerSpeechRunner&) = delete;
  AnalyzerSpeechRunner& operator=(const AnalyzerSpeechRunner&) = delete;

  static constexpr std::int64_t kMaxStartAttempts = 60;
  static constexpr double kRetryDelaySeconds = 2.0;
  static constexpr std::uint32_t kTapBufferFrames = 1024;
  static constexpr std::uint32_t kConversionHeadroomFrames = 1024;
  static constexpr const char* kErrorDomain = "qln.analyzer";
  static constexpr const char* kLocale = "en-US";

 private:
  // Where converted audio goes for one session. Copies share the converter,
  // the format and the stream.
  struct AnalyzerSink {
    platform::AudioConverterPtr converter;
    platform::AudioFormat format;
    platform::AnalyzerInputStreamPtr continuation;
  };
  // The handle of a session's results task: cancelling stops its reading.
  struct ResultsTask {
    std::atomic<bool> cancelled{false};
    void cancel() { cancelled.store(true); }
  };
  using ResultsTaskPtr = std::shared_ptr<ResultsTask>;
  using Weak = std::weak_ptr<AnalyzerSpeechRunner>;

  // Engine, tap and warm-up backlog.
  void attemptEngineStart(std::int64_t attempt);
  void failAttempt(std::int64_t attempt);
  void tapBuffer(const platform::PcmBuffer& buffer, double sampleRate);
  void feedAnalyzer(const platform::PcmBuffer& buffer);
  void appendToBacklogLocked(const platform::PcmBuffer& buffer);
  void convertAndYield(const platform::PcmBuffer& buffer, const AnalyzerSink& sink);
  void clearBacklogLocked();

  // Session, results and fail-over.
  void startSession(const platform::AudioFormat& inputFormat);
  static void sessionTask(Weak weak, platform::AudioFormat tapFormat, std::int64_t gen);
  static void drainResults(Weak weak, std::shared_ptr<platform::TranscriptionResults> results, std::int64_t gen,
                           ResultsTaskPtr task);
  static void postFailOver(Weak weak, std::string reason, std::int64_t gen, bool unlessStopping);
  void installSession(std::int64_t gen, platform::AnalyzerInputStreamPtr continuation, ResultsTaskPtr task,
                      platform::SpeechTranscriberPtr transcriber, platform::SpeechAnalyzerPtr analyzer,
                      platform::AudioConverterPtr converter, platform::AudioFormat format);
  void resultStep(std::int64_t gen, bool isFinal, const std::string& text, const std::optional<AudioRangeMs>& audio);
  void emitFinal(const std::string& text, const std::optional<AudioRangeMs>& audio);
  void failOver(const std::string& reason, std::int64_t gen);
  void teardown();
  void checkTapStall();

  // Voiced-speech accounting and the early fail-over triggers.
  void accumulateMicAcoustic(const platform::PcmBuffer& buffer, double sampleRate);
  void startupStep();
  void resultGapStep();

  std::unique_ptr<platform::AudioEngine> engine;
  const bool partials;
  const std::optional<std::string> inputName;
  const std::optional<std::string> recordPath;
  // Set only before the tap is installed and taken only after the engine
  // stopped: the tap thread never sees it change.
  speech::WavRecorderPtr recorder;
  const std::uint64_t startAnchor;
  const bool voiceIsolation;
  HandOff handOffToLegacy;
  std::atomic<bool> handedOver{false};
  std::atomic<bool> stopping{false};
  std::mutex sinkLock;
  std::optional<AnalyzerSink> _sink;  // guarded by sinkLock
  const double backlogSeconds = 30.0;
  std::deque<platform::PcmBufferPtr> _backlog;  // guarded by sinkLock
  std::int64_t _backlogFrames = 0;              // guarded by sinkLock
  double _backlogRate = 0;                      // guarded by sinkLock
  std::int64_t _backlogGen = 0;                 // guarded by sinkLock
  platform::SpeechAnalyzerPtr analyzer;
  platform::SpeechTranscriberPtr transcriber;
  ResultsTaskPtr resultsTask;
  std::optional<platform::ObserverToken> configObserver;
  std::string lastVolatileText;
  std::int64_t sessionGeneration = 0;
  std::atomic<std::uint64_t> lastBufferAtNs{0};
  dispatch::CancellablePtr stallTimer;
  const double stallSeconds = 8.0;
  const double stallPollSeconds = 5.0;
  std::atomic<bool> sawAnyResult{false};
  // Set by the tap thread (live) or the main queue (flush), never both at once.
  std::atomic<bool> convErrLogged{false};
  bool backlogAllocErrLogged = false;  // guarded by sinkLock
  const std::uint64_t MIN_RUN_MS = 600;
  std::atomic<std::uint64_t> voicedSpeechMs{0};
  // The tap thread's alone, like the meter.
  std::uint64_t currentRunMs = 0;
  bool currentRunCounted = false;
  const std::uint64_t startupVoicedMs = 3000;
  bool startupFireRequested = false;
  const std::uint64_t resultGapVoicedMs = 15000;
  std::atomic<std::uint64_t> voicedSpeechMsAtLastResult{0};
  std::atomic<bool> resultGapFireRequested{false};
  std::uint64_t lastAcousticMs = 0;
  double safetyFloor = 0;
  std::uint64_t safetyVoicedHangUntilMs = 0;
  const dispatch::QueuePtr acousticCtrl;
  // The meter fields and constants (accSumSq to voicedHangMs); emplaced by
  // make() once the stop flag can be handed to it weakly.
  std::optional<AcousticMeter> meter;
};

}  // namespace qln
