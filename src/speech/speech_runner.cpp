#include "speech/speech_runner.h"

#include <utility>

#include "globals.h"
#include "output/output.h"
#include "process/exit.h"
#include "speech/engine_start.h"
#include "text/unicode_text.h"

namespace qln {

using output::errLine;
using output::jsonQuoted;
using output::writeLine;
using speech::applyInputChoices;
using speech::openRecordingIfAsked;
using speech::reportConfigurationChanges;
using speech::reportStartFailure;
using platform::RecognitionError;
using platform::RecognitionResult;

namespace {

// Set while this thread runs a tap block: the block may hold the runner's
// last reference, and an engine must not be torn down from inside its own
// tap callback.
thread_local bool tlsInTapBlock = false;

struct TapBlockScope {
  TapBlockScope() : previous(tlsInTapBlock) { tlsInTapBlock = true; }
  ~TapBlockScope() { tlsInTapBlock = previous; }
  TapBlockScope(const TapBlockScope&) = delete;
  TapBlockScope& operator=(const TapBlockScope&) = delete;
  bool previous;
};

constexpr const char* kDictationErrorDomain = "kAFAssistantErrorDomain";
constexpr std::int64_t kDictationOffCode = 201;

}  // namespace

std::shared_ptr<SpeechRunner> SpeechRunner::make(std::shared_ptr<platform::SpeechRecognizer> recognizer,
                                                 bool partials, std::optional<std::string> inputName,
                                                 std::optional<std::string> recordPath, std::uint64_t startAnchor,
                                                 bool voiceIsolation, speech::WavRecorderPtr existingRecorder) {
  auto runner = std::make_shared<SpeechRunner>(Key{}, std::move(recognizer), partials, std::move(inputName),
                                               std::move(recordPath), startAnchor, voiceIsolation,
                                               std::move(existingRecorder));
  // The meter's queued lines check the stop flag, and drop themselves once
  // the runner is gone: an aliasing pointer ties the flag to the runner.
  std::shared_ptr<const std::atomic<bool>> stopFlag(runner, &runner->stopping);
  runner->meter.emplace(AcousticMeter::Line::mic, runner->acousticCtrl, stopFlag, runner->startAnchor);
  return runner;
}

SpeechRunner::SpeechRunner(Key, std::shared_ptr<platform::SpeechRecognizer> recognizer_, bool partials_,
                           std::optional<std::string> inputName_, std::optional<std::string> recordPath_,
                           std::uint64_t startAnchor_, bool voiceIsolation_,
                           speech::WavRecorderPtr existingRecorder)
    : recognizer(std::move(recognizer_)),
      engine(platform::makeAudioEngine()),
      partials(partials_),
      inputName(std::move(inputName_)),
      recordPath(std::move(recordPath_)),
      recorder(std::move(existingRecorder)),
      startAnchor(startAnchor_),
      acousticCtrl(dispatch::current().makeSerialQueue("qln.mic.acoustic")),
      voiceIsolation(voiceIsolation_) {}

SpeechRunner::~SpeechRunner() {
  if (!engine) return;
  if (tlsInTapBlock) {
    std::shared_ptr<platform::AudioEngine> orphan(std::move(engine));
    dispatch::mainQueue()->async([orphan] {
      orphan->stop();
      orphan->removeTap();
    });
    return;
  }
  engine->stop();
  engine->removeTap();
}

void SpeechRunner::start() { attemptEngineStart(0); }

// ---- Engine start and stall watchdog ----

void SpeechRunner::attemptEngineStart(std::int64_t attempt) {
  if (stopping.load()) return;
  const bool first = attempt == 0;

  applyInputChoices(*engine, inputName, voiceIsolation, first);

  const platform::AudioFormat format = engine->outputFormat();
  if (!(format.sampleRate > 0) || format.channelCount == 0) {
    failAttempt(attempt);
    return;
  }

  // No tap is installed here, so the tap thread cannot see `recorder` change.
  openRecordingIfAsked(recorder, recordPath, format);

  std::weak_ptr<SpeechRunner> weak = weak_from_this();
  engine->installTap(kTapBufferFrames, format, [weak, format](const platform::PcmBuffer& buffer, platform::AudioTime) {
    TapBlockScope scope;
    if (auto self = weak.lock()) self->tapBuffer(buffer, format.sampleRate);
  });

  engine->prepare();
  std::string startError;
  if (!engine->start(startError)) {
    engine->removeTap();
    failAttempt(attempt);
    return;
  }

  startRequest();

  const auto rolloverNs = dispatch::secondsNs(rolloverSeconds);
  restartTimer = dispatch::current().makeTimer(dispatch::mainQueue(), rolloverNs, rolloverNs, [weak] {
    auto self = weak.lock();
    if (!self || self->stopping.load() || self->recognitionParked) return;
    self->emitFinal(self->lastPartialText, self->generation);
  });

  lastBufferAtNs.store(dispatch::nowNs());
  const auto pollNs = dispatch::secondsNs(stallPollSeconds);
  stallTimer = dispatch::current().makeTimer(dispatch::mainQueue(), pollNs, pollNs, [weak] {
    if (auto self = weak.lock()) self->checkTapStall();
  });

  // Reported only: if the change stops the buffers, the watchdog acts.
  configObserver = reportConfigurationChanges(*engine, weak);
}

void SpeechRunner::failAttempt(std::int64_t attempt) {
  reportStartFailure(attempt);
  if (attempt + 1 >= kMaxStartAttempts) {
    // A recording handed over by the analyzer holds audio already: leave a
    // valid file behind, as the other exits do.
    stop();
    process::exitProcess(1);
  }
  std::weak_ptr<SpeechRunner> weak = weak_from_this();
  dispatch::current().asyncAfter(dispatch::mainQueue(), dispatch::secondsNs(kRetryDelaySeconds), [weak, attempt] {
    if (auto self = weak.lock()) self->attemptEngineStart(attempt + 1);
  });
}

// On the engine's audio thread: no output, no allocation of our own, and
// requestLock held only to copy the slot.
void SpeechRunner::tapBuffer(const platform::PcmBuffer& buffer, double sampleRate) {
  lastBufferAtNs.store(dispatch::nowNs(), std::memory_order_relaxed);
  platform::RecognitionRequestPtr request;
  {
    std::lock_guard<std::mutex> guard(requestLock);
    request = _request;
  }
  if (request) request->append(buffer);
  if (recorder) recorder->append(buffer);
  meter->accumulate(buffer, sampleRate);
}

void SpeechRunner::checkTapStall() {
  if (stopping.load()) return;
  const std::uint64_t now = dispatch::nowNs();
  const std::uint64_t last = lastBufferAtNs.load(std::memory_order_relaxed);
  const std::uint64_t age = now > last ? (now - last) / dispatch::kNsPerMs : 0;
  writeLine("{\"ev\":\"heartbeat\",\"bufferAgeMs\":" + std::to_string(age) + "}");
  if (age < static_cast<std::uint64_t>(stallSeconds * 1000.0)) return;
  errLine("speech: tap stall (" + std::to_string(age) +
          "ms since the last buffer); finalizing the recording and exiting for a fresh launch");
  writeLine("{\"ev\":\"tapStall\",\"ageMs\":" + std::to_string(age) + "}");
  stop();
  process::exitProcess(2);
}

void SpeechRunner::stop() {
  if (stopping.exchange(true)) return;

  for (auto* timer : {&restartTimer, &stallTimer, &dictationRetryTimer}) {
    if (*timer) (*timer)->cancel();
    timer->reset();
  }

  platform::RecognitionRequestPtr request;
  {
    std::lock_guard<std::mutex> guard(requestLock);
    request = _request;
  }
  if (request) request->endAudio();
  dropRequest();

  engine->stop();
  engine->removeTap();
  // A stopped runner has nothing to say about route changes.
  if (configObserver) {
    engine->removeObserver(*configObserver);
    configObserver.reset();
  }

  if (recorder) {
    const std::uint64_t ms = recorder->finalize();
    recorder.reset();
    writeLine("{\"ev\":\"recorded\",\"ms\":" + std::to_string(ms) + "}");
  }
}

// ---- Recognition ----

void SpeechRunner::startRequest() {
  const std::int64_t g = ++generation;
  lastPartialText.clear();

  auto request = recognizer->makeRequest();
  request->setShouldReportPartialResults(true);
  if (recognizer->supportsOnDeviceRecognition()) request->setRequiresOnDeviceRecognition(true);
  {
    std::lock_guard<std::mutex> guard(requestLock);
    _request = request;
  }
  writeLine("{\"ev\":\"start\",\"engine\":\"legacy\"}");

  std::weak_ptr<SpeechRunner> weak = weak_from_this();
  if (globals::simDictationOff) {
    dispatch::current().asyncAfter(
        dispatch::mainQueue(), dispatch::secondsNs(kSimulatedErrorDelaySeconds), [weak, g] {
          auto self = weak.lock();
          if (!self || g != self->generation || self->stopping.load()) return;
          self->handleError(RecognitionError{kDictationErrorDomain, kDictationOffCode}, g);
        });
    return;
  }

  task = recognizer->startTask(
      request, [weak, g](std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
        dispatch::mainQueue()->async([weak, g, result = std::move(result), error = std::move(error)] {
          if (auto self = weak.lock()) self->resultStep(result, error, g);
        });
      });
}

void SpeechRunner::resultStep(const std::optional<RecognitionResult>& result,
                              const std::optional<RecognitionError>& error, std::int64_t g) {
  if (g != generation || stopping.load()) return;
  if (result) {
    // Any result shows that the recogniser works again.
    recognitionParked = false;
    if (result->isFinal) {
      consecutiveErrors = 0;
      emitFinal(result->formattedString, g);
    } else {
      lastPartialText = result->formattedString;
      if (partials) writeLine("{\"ev\":\"partial\",\"text\":" + jsonQuoted(lastPartialText) + "}");
    }
  }
  if (error) handleError(*error, g);
}

void SpeechRunner::emitFinal(std::string text, std::int64_t g) {
  if (g != generation || stopping.load()) return;
  if (!text::trimWhitespaceAndNewlines(text).empty())
    writeLine("{\"ev\":\"final\",\"text\":" + jsonQuoted(text) + "}");
  // On probation a result publishes but does not restart.
  if (g != generation || stopping.load() || recognitionParked) return;
  dropRequest();
  startRequest();
}

void SpeechRunner::handleError(const RecognitionError& error, std::int64_t g) {
  if (stopping.load() || g != generation) return;
  const std::string code = std::to_string(error.code);
  if (code == "1110" || code == "301") {
    // No speech, or the request was cancelled: restart without a word.
    recognitionParked = false;
  } else if (code == "201") {
    parkForDictation(g);
    return;
  } else {
    recognitionParked = false;
    writeLine("{\"ev\":\"error\",\"code\":" + jsonQuoted(code) + "}");
    ++consecutiveErrors;
    if (consecutiveErrors >= kMaxConsecutiveErrors) {
      errLine("speech: giving up after " + std::to_string(consecutiveErrors) + " consecutive errors");
      stop();
      process::exitProcess(1);
    }
  }
  emitFinal(lastPartialText, g);
}

void SpeechRunner::parkForDictation(std::int64_t g) {
  if (g != generation || stopping.load()) return;
  writeLine("{\"ev\":\"error\",\"code\":" + jsonQuoted("201") + "}");
  recognitionParked = true;
  ++generation;
  dropRequest();
  scheduleDictationRetry();
}

void SpeechRunner::scheduleDictationRetry() {
  if (dictationRetryTimer) dictationRetryTimer->cancel();
  std::weak_ptr<SpeechRunner> weak = weak_from_this();
  dictationRetryTimer = dispatch::current().makeTimer(
      dispatch::mainQueue(), dispatch::secondsNs(dictationRetrySeconds), 0, [weak] {
        auto self = weak.lock();
        if (!self || self->stopping.load()) return;
        self->dictationRetryTimer.reset();
        self->startRequest();
      });
}

void SpeechRunner::dropRequest() {
  if (task) {
    task->cancel();
    task.reset();
  }
  platform::RecognitionRequestPtr old;
  {
    std::lock_guard<std::mutex> guard(requestLock);
    old = std::move(_request);
  }
}

}  // namespace qln
