#include "platform/linux/speech/sphinx_recognizer.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/linux/speech/sphinx_stream.h"

namespace qln::platform::linux_backend::sphinx {
namespace {

// What the request, its task and the decoding thread share.
struct RequestState {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<PcmBufferPtr> audio;
  bool ended = false;
  bool started = false;
  bool reportPartials = false;
  std::atomic<bool> cancelled{false};
};

class SphinxRequest final : public RecognitionRequest {
 public:
  SphinxRequest() : state_(std::make_shared<RequestState>()) {}
  // No audio can come any more once the request is gone.
  ~SphinxRequest() override { endAudio(); }

  void setShouldReportPartialResults(bool on) override {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->reportPartials = on;
  }
  // Always on the device here.
  void setRequiresOnDeviceRecognition(bool) override {}

  void append(const PcmBuffer& buffer) override {
    // The capture thread's buffer is not ours to keep.
    auto copy = PcmBuffer::copyOf(buffer);
    if (!copy) return;
    {
      std::lock_guard<std::mutex> guard(state_->mutex);
      if (state_->ended) return;
      state_->audio.push_back(std::move(copy));
    }
    state_->wake.notify_one();
  }

  void endAudio() override {
    {
      std::lock_guard<std::mutex> guard(state_->mutex);
      state_->ended = true;
    }
    state_->wake.notify_one();
  }

  const std::shared_ptr<RequestState>& state() const { return state_; }

 private:
  std::shared_ptr<RequestState> state_;
};

class SphinxTask final : public RecognitionTask {
 public:
  SphinxTask(std::shared_ptr<RequestState> state, SphinxModel& model) : state_(std::move(state)), model_(model) {}
  void cancel() override {
    {
      std::lock_guard<std::mutex> guard(state_->mutex);
      state_->cancelled.store(true);
    }
    state_->wake.notify_one();
    // It may still be waiting for the decoder.
    model_.wakeWaiters();
  }

 private:
  std::shared_ptr<RequestState> state_;
  SphinxModel& model_;
};

// The task's thread: decodes the request's audio until its end of speech or
// end of audio, whichever comes first. A cancelled task says nothing more.
void runTask(const std::shared_ptr<RequestState>& s, SphinxModel& model, const RecognitionHandler& handler) {
  auto lease = model.acquire(s->cancelled);
  if (!lease) {
    if (!s->cancelled.load()) handler(std::nullopt, RecognitionError{kSphinxDomain, kUnavailableCode});
    return;
  }
  bool reportPartials;
  {
    std::lock_guard<std::mutex> guard(s->mutex);
    reportPartials = s->reportPartials;
  }
  bool delivered = false;
  SphinxStream::Events events;
  events.hypothesis = [&](const std::string& text) {
    if (reportPartials && !s->cancelled.load()) handler(RecognitionResult{text, false}, std::nullopt);
  };
  events.utterance = [&](const Utterance& u) {
    if (u.text.empty()) return;
    delivered = true;
    if (!s->cancelled.load()) handler(RecognitionResult{u.text, true}, std::nullopt);
  };
  SphinxStream stream(std::move(*lease), std::move(events), true);
  if (!stream.ok()) {
    handler(std::nullopt, RecognitionError{kSphinxDomain, kUnavailableCode});
    return;
  }
  DecoderFeed feed;
  bool ended = false;
  while (stream.open() && !ended) {
    std::deque<PcmBufferPtr> batch;
    {
      std::unique_lock<std::mutex> lock(s->mutex);
      s->wake.wait(lock, [&] { return !s->audio.empty() || s->ended || s->cancelled.load(); });
      batch.swap(s->audio);
      ended = s->ended;
    }
    if (s->cancelled.load()) return;
    for (const auto& b : batch) {
      stream.feed(feed.convert(*b));
      if (!stream.open()) break;
    }
  }
  if (stream.open()) {
    stream.feed(feed.drain());
    stream.finish();
  }
  if (!delivered && !s->cancelled.load()) handler(std::nullopt, RecognitionError{kNoSpeechDomain, kNoSpeechCode});
}

}  // namespace

RecognitionRequestPtr SphinxRecognizer::makeRequest() { return std::make_shared<SphinxRequest>(); }

RecognitionTaskPtr SphinxRecognizer::startTask(RecognitionRequestPtr request, RecognitionHandler handler) {
  auto* ours = dynamic_cast<SphinxRequest*>(request.get());
  if (!ours || !handler) return nullptr;
  auto state = ours->state();
  {
    std::lock_guard<std::mutex> guard(state->mutex);
    if (state->started) return nullptr;
    state->started = true;
  }
  SphinxModel* model = &model_;
  std::thread([state, model, handler = std::move(handler)] {
    nameDecoderThread();
    runTask(state, *model, handler);
  }).detach();
  return std::make_shared<SphinxTask>(state, model_);
}

SpeechAuthorization SphinxRecognition::authorizationStatus() {
  return model_.installed() ? SpeechAuthorization::authorized : SpeechAuthorization::notDetermined;
}

void SphinxRecognition::requestAuthorization(std::function<void(SpeechAuthorization)> done) {
  if (done) done(authorizationStatus());
}

std::shared_ptr<SpeechRecognizer> SphinxRecognition::recognizer(const std::string& locale) {
  if ((locale != "en-US" && locale != "en_US") || !model_.installed()) return nullptr;
  // The first task would wait for the model; start reading it now, off the
  // caller's queue.
  std::call_once(preload_, [this] {
    SphinxModel* model = &model_;
    std::thread([model] {
      nameDecoderThread();
      model->load();
    }).detach();
  });
  return std::make_shared<SphinxRecognizer>(model_);
}

}  // namespace qln::platform::linux_backend::sphinx
