#include "platform/linux/speech/sphinx_analyzer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/linux/speech/sphinx_stream.h"

namespace qln::platform::linux_backend::sphinx {
namespace {

constexpr const char* kLocale = "en-US";

// The results sequence of one transcriber. The session pushes; one reader
// at a time parks a callback. The parked callback is the reader's: this
// sequence holds nothing of the session, so dropping the transcriber frees
// it even while a callback waits.
class SphinxResults final : public TranscriptionResults {
 public:
  void next(std::function<void(ResultEvent)> done) override {
    std::optional<ResultEvent> ready;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!ready_.empty()) {
        ready = std::move(ready_.front());
        ready_.pop_front();
      } else {
        waiter_ = std::move(done);
      }
    }
    if (ready) done(std::move(*ready));
  }

  // After an end or a failure nothing more joins the sequence.
  void push(ResultEvent event) {
    std::function<void(ResultEvent)> waiter;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (over_) return;
      if (event.kind != ResultEvent::Kind::result) over_ = true;
      if (waiter_) {
        waiter = std::move(waiter_);
        waiter_ = nullptr;
      } else {
        ready_.push_back(std::move(event));
        return;
      }
    }
    waiter(std::move(event));
  }

 private:
  std::mutex mutex_;
  std::deque<ResultEvent> ready_;
  std::function<void(ResultEvent)> waiter_;
  bool over_ = false;
};

class SphinxTranscriber final : public SpeechTranscriber {
 public:
  explicit SphinxTranscriber(TranscriberConfiguration c)
      : configuration(std::move(c)), results_(std::make_shared<SphinxResults>()) {}
  std::shared_ptr<TranscriptionResults> results() override { return results_; }
  const std::shared_ptr<SphinxResults>& sequence() const { return results_; }

  const TranscriberConfiguration configuration;

 private:
  std::shared_ptr<SphinxResults> results_;
};

// The input stream wakes the session through this; it holds nothing else,
// so the stream keeps no session alive.
struct Wakeup {
  std::mutex mutex;
  std::condition_variable cv;
  bool pending = false;
  void ring() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      pending = true;
    }
    cv.notify_one();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return pending; });
    pending = false;
  }
};

struct WakeToken {
  explicit WakeToken(std::shared_ptr<Wakeup> w) : wakeup(std::move(w)) {}
  ~WakeToken() { wakeup->ring(); }
  WakeToken(const WakeToken&) = delete;
  WakeToken& operator=(const WakeToken&) = delete;
  std::shared_ptr<Wakeup> wakeup;
};

TranscriptionResult resultOf(const std::string& text, bool isFinal, const Utterance* u, bool withRange) {
  TranscriptionResult r{text, isFinal, std::nullopt};
  if (u && withRange && u->startSeconds && u->endSeconds)
    r.range = MediaTimeRange{*u->startSeconds, *u->endSeconds - *u->startSeconds};
  return r;
}

// The session's thread. It holds the input only weakly: when the core drops
// the stream without finishing it, that is the end of the input too.
void runSession(SphinxModel& model, std::weak_ptr<AnalyzerInputStream> weakInput,
                std::shared_ptr<Wakeup> wakeup, std::shared_ptr<SphinxResults> results,
                TranscriberConfiguration configuration, std::function<void(std::optional<AnalyzerError>)> done) {
  std::atomic<bool> never{false};
  auto lease = model.acquire(never);
  if (!lease) {
    done(AnalyzerError{kAnalyzerDomain, 1, "the en-US model could not be loaded: " + model.loadError()});
    return;
  }
  auto emit = [&](ResultEvent::Kind kind, TranscriptionResult result) {
    ResultEvent ev;
    ev.kind = kind;
    ev.result = std::move(result);
    results->push(std::move(ev));
  };
  SphinxStream::Events events;
  if (configuration.volatileResults) {
    events.hypothesis = [&](const std::string& text) {
      emit(ResultEvent::Kind::result, resultOf(text, false, nullptr, false));
    };
  }
  events.utterance = [&](const Utterance& u) {
    emit(ResultEvent::Kind::result, resultOf(u.text, true, &u, configuration.audioTimeRange));
  };
  SphinxStream stream(std::move(*lease), std::move(events), false);
  if (!stream.ok()) {
    done(AnalyzerError{kAnalyzerDomain, 2, "the decoder did not start"});
    return;
  }
  done(std::nullopt);

  DecoderFeed feed;
  for (;;) {
    AnalyzerInputStream::Taken taken;
    if (auto input = weakInput.lock()) {
      taken = input->take();
    } else {
      taken.finished = true;
    }
    for (const auto& b : taken.buffers)
      if (b) stream.feed(feed.convert(*b));
    if (taken.finished) break;
    if (taken.buffers.empty()) wakeup->wait();
  }
  stream.feed(feed.drain());
  stream.finish();
  results->push(ResultEvent{});
}

class SphinxAnalyzer final : public SpeechAnalyzer {
 public:
  SphinxAnalyzer(SphinxModel& model, std::shared_ptr<SphinxTranscriber> module)
      : model_(model), module_(std::move(module)) {}

  void start(AnalyzerInputStreamPtr input, std::function<void(std::optional<AnalyzerError>)> done) override {
    if (!module_) {
      done(AnalyzerError{kAnalyzerDomain, 3, "no transcriber of this system among the modules"});
      return;
    }
    if (module_->configuration.locale != kLocale) {
      done(AnalyzerError{kAnalyzerDomain, 4, "no transcription model for " + module_->configuration.locale});
      return;
    }
    if (!input) {
      done(AnalyzerError{kAnalyzerDomain, 5, "no input stream"});
      return;
    }
    auto wakeup = std::make_shared<Wakeup>();
    // Rings once more when the stream lets go of it, so that a stream
    // dropped unfinished still ends the session.
    auto token = std::make_shared<WakeToken>(wakeup);
    input->setWake([token] { token->wakeup->ring(); });
    std::weak_ptr<AnalyzerInputStream> weakInput = input;
    // The session reaches the results but not the transcriber: the core's
    // hold on the transcriber decides how long a reader can wait.
    SphinxModel* model = &model_;
    std::thread([model, weakInput, wakeup, results = module_->sequence(), c = module_->configuration,
                 done = std::move(done)]() mutable {
      nameDecoderThread();
      runSession(*model, std::move(weakInput), std::move(wakeup), std::move(results), std::move(c), std::move(done));
    }).detach();
  }

 private:
  SphinxModel& model_;
  std::shared_ptr<SphinxTranscriber> module_;
};

}  // namespace

SpeechTranscriberPtr SphinxAnalysis::makeTranscriber(const TranscriberConfiguration& configuration) {
  return std::make_shared<SphinxTranscriber>(configuration);
}

void SphinxAnalysis::bestAvailableAudioFormat(const std::vector<SpeechTranscriberPtr>& modules,
                                              std::function<void(std::optional<AudioFormat>)> done) {
  bool ours = !modules.empty();
  for (const auto& m : modules)
    if (!std::dynamic_pointer_cast<SphinxTranscriber>(m)) ours = false;
  done(ours && model_.installed() ? std::optional<AudioFormat>(decoderFormat()) : std::nullopt);
}

SpeechAnalyzerPtr SphinxAnalysis::makeAnalyzer(const std::vector<SpeechTranscriberPtr>& modules,
                                               const AnalyzerOptions&) {
  std::shared_ptr<SphinxTranscriber> module;
  for (const auto& m : modules)
    if ((module = std::dynamic_pointer_cast<SphinxTranscriber>(m))) break;
  return std::make_shared<SphinxAnalyzer>(model_, std::move(module));
}

void SphinxAnalysis::installedLocales(std::function<void(std::vector<std::string>)> done) {
  done(model_.installed() ? std::vector<std::string>{kLocale} : std::vector<std::string>{});
}

}  // namespace qln::platform::linux_backend::sphinx
