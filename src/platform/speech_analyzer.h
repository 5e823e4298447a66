// The newer on-device speech analysis service: a transcriber module run by an
// analyzer that consumes an input stream of PCM buffers and reports ordered
// results (volatile hypotheses and settled segments, each with the audio time
// range it covers).
//
// Every asynchronous operation completes by calling its completion exactly
// once, on a thread of the platform's choosing; callers hop to their own
// queues from there.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_format.h"

namespace qln::platform {

struct AnalyzerError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;

  // The whole error as one text, for diagnostics.
  std::string textualDescription() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
  }
};

struct TranscriberConfiguration {
  std::string locale;              // BCP 47, e.g. "en-US"
  bool volatileResults = false;    // report hypotheses that later results replace
  bool fastResults = false;        // favour latency over accuracy
  bool audioTimeRange = false;     // attach the audio time range to each result
  bool operator==(const TranscriberConfiguration&) const = default;
};

enum class AnalyzerPriority { background, utility, userInitiated };
enum class ModelRetention { whileInUse, lingering, processLifetime };

struct AnalyzerOptions {
  AnalyzerPriority priority = AnalyzerPriority::userInitiated;
  ModelRetention modelRetention = ModelRetention::whileInUse;
  bool operator==(const AnalyzerOptions&) const = default;
};

// A span on the analyzer's audio time line, in seconds; either figure may be
// infinite or NaN when the service cannot place the audio.
struct MediaTimeRange {
  double startSeconds = 0;
  double durationSeconds = 0;
  double endSeconds() const { return startSeconds + durationSeconds; }
};

struct TranscriptionResult {
  std::string text;  // plain characters of the transcript
  bool isFinal = false;
  std::optional<MediaTimeRange> range;
};

// One step of a results sequence: a result, its end, or its failure. After an
// end or a failure the sequence yields nothing more.
struct ResultEvent {
  enum class Kind { result, end, failure };
  Kind kind = Kind::end;
  TranscriptionResult result;  // kind == result
  AnalyzerError error;         // kind == failure
};

// The transcriber's results, in order. One consumer at a time asks for the
// next event; the completion runs once that event exists.
class TranscriptionResults {
 public:
  virtual ~TranscriptionResults() = default;
  virtual void next(std::function<void(ResultEvent)> done) = 0;
};

// The analyzer's input: an unbounded single-consumer queue of PCM buffers in
// the analyzer's format. The producer end never blocks and never drops while
// the stream is open; once finished it drops what is yielded.
class AnalyzerInputStream {
 public:
  // Appends `buffer`; false (and dropped) when the stream was finished.
  bool yield(PcmBufferPtr buffer) {
    std::function<void()> wake;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (finished_) return false;
      queue_.push_back(std::move(buffer));
      wake = wake_;
    }
    if (wake) wake();
    return true;
  }

  // Ends the input; the consumer sees the end after what was queued.
  void finish() {
    std::function<void()> wake;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (finished_) return;
      finished_ = true;
      wake = wake_;
    }
    if (wake) wake();
  }

  // Consumer side: everything queued so far, and whether the input ended.
  struct Taken {
    std::vector<PcmBufferPtr> buffers;
    bool finished = false;
  };
  Taken take() {
    std::lock_guard<std::mutex> guard(mutex_);
    Taken t{{queue_.begin(), queue_.end()}, finished_};
    queue_.clear();
    return t;
  }

  // The consumer is told (on the producer's thread, outside the stream's
  // lock) after each yield and at the finish; it must not block.
  void setWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> guard(mutex_);
    wake_ = std::move(wake);
  }

 private:
  std::mutex mutex_;
  std::deque<PcmBufferPtr> queue_;
  bool finished_ = false;
  std::function<void()> wake_;
};
using AnalyzerInputStreamPtr = std::shared_ptr<AnalyzerInputStream>;

class SpeechTranscriber {
 public:
  virtual ~SpeechTranscriber() = default;
  // The same sequence on every call, owned by the transcriber: a reader
  // holds it only while it holds the transcriber.
  virtual std::shared_ptr<TranscriptionResults> results() = 0;
};
using SpeechTranscriberPtr = std::shared_ptr<SpeechTranscriber>;

class SpeechAnalyzer {
 public:
  virtual ~SpeechAnalyzer() = default;
  // Starts analysing `input`; `done` gets none once the analyzer runs (it then
  // consumes the stream until it is finished) or the error that stopped it.
  virtual void start(AnalyzerInputStreamPtr input, std::function<void(std::optional<AnalyzerError>)> done) = 0;
};
using SpeechAnalyzerPtr = std::shared_ptr<SpeechAnalyzer>;

class SpeechAnalysis {
 public:
  virtual ~SpeechAnalysis() = default;
  virtual SpeechTranscriberPtr makeTranscriber(const TranscriberConfiguration& configuration) = 0;
  // The best audio format for these modules, or none when none fits.
  virtual void bestAvailableAudioFormat(const std::vector<SpeechTranscriberPtr>& modules,
                                        std::function<void(std::optional<AudioFormat>)> done) = 0;
  virtual SpeechAnalyzerPtr makeAnalyzer(const std::vector<SpeechTranscriberPtr>& modules,
                                         const AnalyzerOptions& options) = 0;
  // BCP 47 identifiers of the locales whose transcription assets are installed.
  virtual void installedLocales(std::function<void(std::vector<std::string>)> done) = 0;
};

// Defined by the backend this binary links.
SpeechAnalysis& speechAnalysis();

}  // namespace qln::platform
