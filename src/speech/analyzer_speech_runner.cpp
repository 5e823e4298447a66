#include "speech/analyzer_speech_runner.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "output/output.h"
#include "process/exit.h"
#include "speech/engine_start.h"

namespace qln {

using output::errLine;
using output::jsonQuoted;
using output::writeLine;
using speech::applyInputChoices;
using speech::openRecordingIfAsked;
using speech::reportConfigurationChanges;
using speech::reportStartFailure;
using platform::AudioFormat;
using platform::PcmBuffer;

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

// The safety floor judges voiced speech like the meter does.
constexpr double kVoiceFactor = 3.0;
constexpr double kVoiceFloorEpsilon = 0.0008;
constexpr std::uint64_t kVoicedHangMs = 200;

bool isBlank(const std::string& s) {
  return s.find_first_not_of(" \t\n\r\f\v") == std::string::npos;
}

std::string decimal(std::int64_t v) { return std::to_string(v); }

}  // namespace

std::optional<AudioRangeMs> qlnAudioRangeMs(const std::optional<platform::MediaTimeRange>& range) {
  if (!range) return std::nullopt;
  const double s = range->startSeconds;
  const double e = range->endSeconds();
  if (!std::isfinite(s) || !std::isfinite(e) || !(s < e)) return std::nullopt;
  // std::round rounds halves away from zero; out-of-range values are not a
  // time line the host can use.
  const double r0 = std::round(s * 1000.0);
  const double r1 = std::round(e * 1000.0);
  constexpr double kLimit = 9.2e18;
  if (!(std::fabs(r0) < kLimit) || !(std::fabs(r1) < kLimit)) return std::nullopt;
  AudioRangeMs out{static_cast<std::int64_t>(r0), static_cast<std::int64_t>(r1)};
  if (out.a0 < out.a1) return out;
  return std::nullopt;
}

std::string qlnAudioSuffix(const std::optional<AudioRangeMs>& audio) {
  if (!audio) return "";
  return ",\"a0\":" + decimal(audio->a0) + ",\"a1\":" + decimal(audio->a1);
}

std::shared_ptr<AnalyzerSpeechRunner> AnalyzerSpeechRunner::make(bool partials, std::optional<std::string> inputName,
                                                                 std::optional<std::string> recordPath,
                                                                 std::uint64_t startAnchor, bool voiceIsolation,
                                                                 HandOff handOffToLegacy) {
  auto runner = std::make_shared<AnalyzerSpeechRunner>(Key{}, partials, std::move(inputName), std::move(recordPath),
                                                       startAnchor, voiceIsolation, std::move(handOffToLegacy));
  // Queued meter lines check the stop flag and drop themselves once the
  // runner is gone: an aliasing pointer ties the flag to the runner.
  std::shared_ptr<const std::atomic<bool>> stopFlag(runner, &runner->stopping);
  runner->meter.emplace(AcousticMeter::Line::mic, runner->acousticCtrl, stopFlag, runner->startAnchor);
  return runner;
}

AnalyzerSpeechRunner::AnalyzerSpeechRunner(Key, bool partials_, std::optional<std::string> inputName_,
                                           std::optional<std::string> recordPath_, std::uint64_t startAnchor_,
                                           bool voiceIsolation_, HandOff handOffToLegacy_)
    : engine(platform::makeAudioEngine()),
      partials(partials_),
      inputName(std::move(inputName_)),
      recordPath(std::move(recordPath_)),
      startAnchor(startAnchor_),
      voiceIsolation(voiceIsolation_),
      handOffToLegacy(std::move(handOffToLegacy_)),
      acousticCtrl(dispatch::current().makeSerialQueue("qln.mic.acoustic.analyzer")) {}

AnalyzerSpeechRunner::~AnalyzerSpeechRunner() {
  std::optional<AnalyzerSink> sink;
  {
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = std::move(_sink);
  }
  if (sink) sink->continuation->finish();
  if (resultsTask) resultsTask->cancel();
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

void AnalyzerSpeechRunner::start() { attemptEngineStart(0); }

// ---- Engine, tap and warm-up backlog ----

void AnalyzerSpeechRunner::attemptEngineStart(std::int64_t attempt) {
  if (stopping.load() || handedOver.load()) return;
  const bool first = attempt == 0;

  applyInputChoices(*engine, inputName, voiceIsolation, first);

  const AudioFormat format = engine->outputFormat();
  if (!(format.sampleRate > 0) || format.channelCount == 0) {
    failAttempt(attempt);
    return;
  }

  openRecordingIfAsked(recorder, recordPath, format);

  Weak weak = weak_from_this();
  engine->installTap(kTapBufferFrames, format, [weak, format](const PcmBuffer& buffer, platform::AudioTime) {
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

  startSession(format);
  lastBufferAtNs.store(dispatch::nowNs());
  const auto pollNs = dispatch::secondsNs(stallPollSeconds);
  stallTimer = dispatch::current().makeTimer(dispatch::mainQueue(), pollNs, pollNs, [weak] {
    if (auto self = weak.lock()) self->checkTapStall();
  });
  // Reported only: if the change stops the buffers, the watchdog acts.
  configObserver = reportConfigurationChanges(*engine, weak);
}

void AnalyzerSpeechRunner::failAttempt(std::int64_t attempt) {
  reportStartFailure(attempt);
  if (attempt + 1 >= kMaxStartAttempts) process::exitProcess(1);
  Weak weak = weak_from_this();
  dispatch::current().asyncAfter(dispatch::mainQueue(), dispatch::secondsNs(kRetryDelaySeconds), [weak, attempt] {
    if (auto self = weak.lock()) self->attemptEngineStart(attempt + 1);
  });
}

// On the engine's audio thread: no output, and sinkLock held only to read
// the sink or to append to the backlog.
void AnalyzerSpeechRunner::tapBuffer(const PcmBuffer& buffer, double sampleRate) {
  lastBufferAtNs.store(dispatch::nowNs(), std::memory_order_relaxed);
  feedAnalyzer(buffer);
  if (recorder) recorder->append(buffer);
  accumulateMicAcoustic(buffer, sampleRate);
}

void AnalyzerSpeechRunner::feedAnalyzer(const PcmBuffer& buffer) {
  if (!(buffer.format().sampleRate > 0)) return;
  std::optional<AnalyzerSink> sink;
  {
    std::lock_guard<std::mutex> guard(sinkLock);
    if (!_sink) {
      // Once capture is being torn down, nothing may refill the backlog.
      if (!stopping.load() && !handedOver.load()) appendToBacklogLocked(buffer);
      return;
    }
    sink = _sink;
  }
  convertAndYield(buffer, *sink);
}

void AnalyzerSpeechRunner::appendToBacklogLocked(const PcmBuffer& buffer) {
  if (buffer.frameLength() == 0) return;
  auto copy = PcmBuffer::copyOf(buffer);
  if (!copy) {
    if (!backlogAllocErrLogged) {
      backlogAllocErrLogged = true;
      dispatch::mainQueue()->async([] { errLine("speech: warm-up backlog copy failed; dropping buffers"); });
    }
    return;
  }
  const double rate = buffer.format().sampleRate;
  _backlogRate = rate;
  _backlogFrames += copy->frameLength();
  _backlog.push_back(std::move(copy));
  // Measured at the newest buffer's rate; the oldest audio goes first.
  const double limitExact = std::trunc(rate * backlogSeconds);
  const std::int64_t limit = limitExact < 9.2e18 ? static_cast<std::int64_t>(limitExact)
                                                 : std::numeric_limits<std::int64_t>::max();
  while (_backlogFrames > limit && !_backlog.empty()) {
    _backlogFrames -= _backlog.front()->frameLength();
    _backlog.pop_front();
  }
}

void AnalyzerSpeechRunner::convertAndYield(const PcmBuffer& buffer, const AnalyzerSink& sink) {
  const double inputRate = buffer.format().sampleRate;
  if (!(inputRate > 0)) return;
  // Sized from the rate ratio with headroom, so one call converts it all. A
  // capacity beyond 32 bits cannot come from a real tap buffer: dropped.
  const double frames = std::trunc(sink.format.sampleRate / inputRate * buffer.frameLength());
  constexpr double kMaxFrames = static_cast<double>(std::numeric_limits<std::uint32_t>::max() - kConversionHeadroomFrames);
  if (!(frames >= 0) || frames > kMaxFrames) return;
  auto out = PcmBuffer::make(sink.format, static_cast<std::uint32_t>(frames) + kConversionHeadroomFrames);
  if (!out) return;
  bool handedOver_ = false;
  auto result = sink.converter->convert(*out, [&](std::uint32_t, platform::InputStatus& status) -> const PcmBuffer* {
    if (!handedOver_) {
      handedOver_ = true;
      status = platform::InputStatus::haveData;
      return &buffer;
    }
    status = platform::InputStatus::noDataNow;
    return nullptr;
  });
  if (!result.ok()) {
    if (!convErrLogged.exchange(true))
      acousticCtrl->async([message = std::move(result.error)] {
        errLine("speech: analyzer input conversion failed (" + message + "); these buffers are not reaching recognition");
      });
    return;
  }
  if (out->frameLength() > 0) sink.continuation->yield(std::move(out));
}

void AnalyzerSpeechRunner::clearBacklogLocked() {
  _backlog.clear();
  _backlogFrames = 0;
  _backlogRate = 0;
}

// ---- Session, results and fail-over ----

void AnalyzerSpeechRunner::startSession(const AudioFormat& inputFormat) {
  const std::int64_t gen = ++sessionGeneration;
  lastVolatileText.clear();
  {
    // The first session keeps what was captured since the engine started.
    std::lock_guard<std::mutex> guard(sinkLock);
    if (_backlogGen != 0) clearBacklogLocked();
    _backlogGen = gen;
  }
  Weak weak = weak_from_this();
  dispatch::current().globalAsync([weak, inputFormat, gen] { sessionTask(weak, inputFormat, gen); });
}

// Off the main queue; reads no field of the runner and reaches it only
// through steps posted to the main queue with the session's generation.
void AnalyzerSpeechRunner::sessionTask(Weak weak, AudioFormat tapFormat, std::int64_t gen) {
  if (weak.expired()) return;
  auto& analysis = platform::speechAnalysis();
  platform::TranscriberConfiguration configuration{kLocale, true, true, true};
  auto module = analysis.makeTranscriber(configuration);
  auto fail = [weak, gen](const platform::AnalyzerError& error) {
    postFailOver(weak, error.textualDescription(), gen, false);
  };
  analysis.bestAvailableAudioFormat({module}, [=](std::optional<AudioFormat> format) {
    dispatch::current().globalAsync([=] {
      if (!format) {
        fail({kErrorDomain, 1, "no compatible analyzer audio format"});
        return;
      }
      auto converter = platform::AudioConverter::make(tapFormat, *format);
      if (!converter) {
        fail({kErrorDomain, 2, "cannot convert the mic format to the analyzer format"});
        return;
      }
      auto& a = platform::speechAnalysis();
      auto session = a.makeAnalyzer({module}, {platform::AnalyzerPriority::userInitiated,
                                               platform::ModelRetention::processLifetime});
      auto continuation = std::make_shared<platform::AnalyzerInputStream>();
      session->start(continuation, [=](std::optional<platform::AnalyzerError> error) {
        dispatch::current().globalAsync([=] {
          if (error) {
            fail(*error);
            return;
          }
          auto task = std::make_shared<ResultsTask>();
          dispatch::current().globalAsync([weak, results = module->results(), gen, task] {
            drainResults(weak, results, gen, task);
          });
          dispatch::mainQueue()->async([=] {
            if (auto self = weak.lock()) {
              self->installSession(gen, continuation, task, module, session, converter, *format);
            } else {
              continuation->finish();
              task->cancel();
            }
          });
        });
      });
    });
  });
}

// The results task: posts each result and goes on at once. The callback
// parked with the sequence holds it only weakly: the session's transcriber
// owns it, and a strong hold from inside would keep a sequence that never
// ends alive forever once the session is dropped.
void AnalyzerSpeechRunner::drainResults(Weak weak, std::shared_ptr<platform::TranscriptionResults> results,
                                        std::int64_t gen, ResultsTaskPtr task) {
  if (task->cancelled.load()) return;
  std::weak_ptr<platform::TranscriptionResults> weakResults = results;
  results->next([weak, weakResults, gen, task](platform::ResultEvent event) {
    dispatch::current().globalAsync([weak, weakResults, gen, task, event = std::move(event)] {
      if (task->cancelled.load()) return;
      auto live = weakResults.lock();
      if (!live) return;
      switch (event.kind) {
        case platform::ResultEvent::Kind::result: {
          auto audio = qlnAudioRangeMs(event.result.range);
          dispatch::mainQueue()->async([weak, gen, isFinal = event.result.isFinal, text = event.result.text, audio] {
            if (auto self = weak.lock()) self->resultStep(gen, isFinal, text, audio);
          });
          drainResults(weak, live, gen, task);
          return;
        }
        case platform::ResultEvent::Kind::end:
          postFailOver(weak, "results-ended", gen, true);
          return;
        case platform::ResultEvent::Kind::failure:
          postFailOver(weak, event.error.textualDescription(), gen, true);
          return;
      }
    });
  });
}

void AnalyzerSpeechRunner::postFailOver(Weak weak, std::string reason, std::int64_t gen, bool unlessStopping) {
  dispatch::mainQueue()->async([weak, reason = std::move(reason), gen, unlessStopping] {
    auto self = weak.lock();
    if (!self) return;
    if (unlessStopping && (self->stopping.load() || self->sessionGeneration != gen)) return;
    self->failOver(reason, gen);
  });
}

void AnalyzerSpeechRunner::installSession(std::int64_t gen, platform::AnalyzerInputStreamPtr continuation,
                                          ResultsTaskPtr task, platform::SpeechTranscriberPtr transcriber_,
                                          platform::SpeechAnalyzerPtr analyzer_, platform::AudioConverterPtr converter,
                                          AudioFormat format) {
  if (stopping.load() || handedOver.load() || sessionGeneration != gen) {
    continuation->finish();
    task->cancel();
    return;
  }
  transcriber = std::move(transcriber_);
  analyzer = std::move(analyzer_);
  resultsTask = std::move(task);
  AnalyzerSink sink{std::move(converter), format, std::move(continuation)};

  std::size_t flushed = 0;
  std::uint64_t flushedMs = 0;
  {
    // Under the lock from setting the sink to the last backlog buffer, so
    // every backlog buffer reaches the analyzer before any later one.
    std::lock_guard<std::mutex> guard(sinkLock);
    _sink = sink;
    std::deque<platform::PcmBufferPtr> taken;
    taken.swap(_backlog);
    const std::int64_t frames = _backlogFrames;
    const double rate = _backlogRate;
    _backlogFrames = 0;
    _backlogRate = 0;
    if (_backlogGen == gen) {
      for (const auto& b : taken) convertAndYield(*b, sink);
      flushed = taken.size();
      if (rate > 0) flushedMs = static_cast<std::uint64_t>(static_cast<double>(frames) / rate * 1000.0);
    }
  }
  writeLine("{\"ev\":\"start\",\"engine\":\"analyzer\"}");
  if (flushed > 0)
    errLine("speech: analyzer warm-up backlog flushed (" + std::to_string(flushed) + " buffers, " +
            std::to_string(flushedMs) + " ms)");
}

void AnalyzerSpeechRunner::resultStep(std::int64_t gen, bool isFinal, const std::string& text,
                                      const std::optional<AudioRangeMs>& audio) {
  if (stopping.load() || sessionGeneration != gen) return;
  sawAnyResult.store(true);
  voicedSpeechMsAtLastResult.store(voicedSpeechMs.load());
  resultGapFireRequested.store(false);
  if (isFinal) {
    emitFinal(text, audio);
    return;
  }
  lastVolatileText = text;
  if (partials) writeLine("{\"ev\":\"partial\",\"text\":" + jsonQuoted(text) + qlnAudioSuffix(audio) + "}");
}

void AnalyzerSpeechRunner::emitFinal(const std::string& text, const std::optional<AudioRangeMs>& audio) {
  lastVolatileText.clear();
  if (isBlank(text)) return;
  writeLine("{\"ev\":\"final\",\"text\":" + jsonQuoted(text) + qlnAudioSuffix(audio) + "}");
}

void AnalyzerSpeechRunner::failOver(const std::string& reason, std::int64_t gen) {
  if (stopping.load() || handedOver.load()) return;
  if (gen != sessionGeneration) return;
  // The hand-off replaces the driver's reference to this runner.
  auto keepAlive = shared_from_this();
  handedOver.store(true);
  {
    std::lock_guard<std::mutex> guard(sinkLock);
    clearBacklogLocked();
  }
  emitFinal(std::string(lastVolatileText), std::nullopt);
  writeLine("{\"ev\":\"error\",\"code\":" + jsonQuoted("analyzer") + "}");
  errLine("speech: engine=fallback reason=" + reason);
  // The engine stops first: the tap thread reads `recorder` until then.
  teardown();
  speech::WavRecorderPtr handed = std::move(recorder);
  recorder = nullptr;
  if (handOffToLegacy) handOffToLegacy(std::move(handed));
}

void AnalyzerSpeechRunner::teardown() {
  ++sessionGeneration;
  {
    std::lock_guard<std::mutex> guard(sinkLock);
    clearBacklogLocked();
  }
  if (stallTimer) {
    stallTimer->cancel();
    stallTimer = nullptr;
  }
  if (configObserver) {
    engine->removeObserver(*configObserver);
    configObserver.reset();
  }
  std::optional<AnalyzerSink> sink;
  {
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = std::move(_sink);
    _sink.reset();
  }
  if (sink) sink->continuation->finish();
  if (resultsTask) {
    resultsTask->cancel();
    resultsTask = nullptr;
  }
  analyzer = nullptr;
  transcriber = nullptr;
  engine->stop();
  engine->removeTap();
}

void AnalyzerSpeechRunner::stop() {
  stopping.store(true);
  teardown();
  if (recorder) {
    const std::uint64_t ms = recorder->finalize();
    recorder = nullptr;
    writeLine("{\"ev\":\"recorded\",\"ms\":" + std::to_string(ms) + "}");
  }
}

void AnalyzerSpeechRunner::checkTapStall() {
  if (stopping.load()) return;
  const std::uint64_t now = dispatch::nowNs();
  const std::uint64_t last = lastBufferAtNs.load(std::memory_order_relaxed);
  const std::uint64_t age = now > last ? (now - last) / dispatch::kNsPerMs : 0;
  writeLine("{\"ev\":\"heartbeat\",\"bufferAgeMs\":" + std::to_string(age) + "}");
  if (age < static_cast<std::uint64_t>(stallSeconds * 1000.0)) return;
  errLine("speech: tap stall (" + std::to_string(age) +
          "ms since the last buffer); finalizing the recording and exiting for a fresh launch");
  writeLine("{\"ev\":\"tapStall\",\"ageMs\":" + std::to_string(age) + "}");
  emitFinal(std::string(lastVolatileText), std::nullopt);
  stop();
  process::exitProcess(2);
}

// ---- Voiced-speech accounting and early fail-over triggers ----

void AnalyzerSpeechRunner::accumulateMicAcoustic(const PcmBuffer& buffer, double sampleRate) {
  auto block = meter->measure(buffer, sampleRate);
  if (!block) return;
  const double rms = block->rms;
  const std::uint64_t t = block->t;

  // A. A second, slower floor: it hardly rises while the level is loud, so
  // long speech does not raise it to the speech level.
  if (safetyFloor == 0)
    safetyFloor = rms;
  else if (rms < safetyFloor)
    safetyFloor = rms * 0.1 + safetyFloor * 0.9;
  else if (rms >= safetyFloor * kVoiceFactor + kVoiceFloorEpsilon)
    safetyFloor = rms * 0.0005 + safetyFloor * 0.9995;
  else
    safetyFloor = rms * 0.005 + safetyFloor * 0.995;

  // B.
  if (rms > safetyFloor * kVoiceFactor + kVoiceFloorEpsilon) safetyVoicedHangUntilMs = t + kVoicedHangMs;

  // C. A run counts nothing until it lasted MIN_RUN_MS, then all of it.
  const std::uint64_t delta = lastAcousticMs != 0 && t > lastAcousticMs ? t - lastAcousticMs : 0;
  lastAcousticMs = t;
  if (t < safetyVoicedHangUntilMs) {
    currentRunMs += delta;
    if (currentRunCounted) {
      voicedSpeechMs.fetch_add(delta, std::memory_order_relaxed);
    } else if (currentRunMs >= MIN_RUN_MS) {
      currentRunCounted = true;
      voicedSpeechMs.fetch_add(currentRunMs, std::memory_order_relaxed);
    }
  } else {
    currentRunMs = 0;
    currentRunCounted = false;
  }

  // D. The triggers; the main-queue steps re-check before they act.
  const std::uint64_t voiced = voicedSpeechMs.load(std::memory_order_relaxed);
  bool seen = sawAnyResult.load(std::memory_order_relaxed);
  if (!seen && !startupFireRequested && voiced >= startupVoicedMs) {
    startupFireRequested = true;
    Weak weak = weak_from_this();
    dispatch::mainQueue()->async([weak] {
      if (auto self = weak.lock()) self->startupStep();
    });
    seen = sawAnyResult.load(std::memory_order_relaxed);
  }
  if (seen && !resultGapFireRequested.load(std::memory_order_relaxed)) {
    const std::uint64_t atLast = voicedSpeechMsAtLastResult.load(std::memory_order_relaxed);
    if (voiced >= atLast && voiced - atLast >= resultGapVoicedMs) {
      resultGapFireRequested.store(true, std::memory_order_relaxed);
      Weak weak = weak_from_this();
      dispatch::mainQueue()->async([weak] {
        if (auto self = weak.lock()) self->resultGapStep();
      });
    }
  }

  // E. The line itself is the meter's, voiced by the meter's own hang.
  meter->post(*block);
}

void AnalyzerSpeechRunner::startupStep() {
  if (stopping.load() || handedOver.load() || sawAnyResult.load()) return;
  failOver("startup-deadline", sessionGeneration);
}

void AnalyzerSpeechRunner::resultGapStep() {
  if (stopping.load() || handedOver.load() || !sawAnyResult.load()) return;
  failOver("result-gap", sessionGeneration);
}

}  // namespace qln
