#include "platform/sim/sim_speech.h"

#include <mutex>

#include "dispatch/dispatch.h"
#include "platform/sim/scenario.h"

namespace qln::sim {
namespace {

using nlohmann::json;
using platform::RecognitionError;
using platform::RecognitionHandler;
using platform::RecognitionResult;
using platform::SpeechAuthorization;

std::optional<SpeechAuthorization> parseStatus(const json& v) {
  if (!v.is_string()) return std::nullopt;
  auto s = v.get<std::string>();
  if (s == "authorized") return SpeechAuthorization::authorized;
  if (s == "denied") return SpeechAuthorization::denied;
  if (s == "restricted") return SpeechAuthorization::restricted;
  if (s == "notDetermined") return SpeechAuthorization::notDetermined;
  return std::nullopt;
}

json section() {
  const auto& s = scenario();
  auto it = s.find("speech");
  return it != s.end() && it->is_object() ? *it : json::object();
}

struct Event {
  std::optional<double> atMs;
  std::optional<double> afterAudioMs;
  std::optional<RecognitionResult> result;
  std::optional<RecognitionError> error;
  bool fired = false;
};

Event parseEvent(const json& e) {
  Event ev;
  if (auto it = e.find("atMs"); it != e.end() && it->is_number()) ev.atMs = it->get<double>();
  if (auto it = e.find("afterAudioMs"); it != e.end() && it->is_number()) ev.afterAudioMs = it->get<double>();
  if (!ev.atMs && !ev.afterAudioMs) ev.atMs = 0;
  if (auto it = e.find("partial"); it != e.end() && it->is_string())
    ev.result = RecognitionResult{it->get<std::string>(), false};
  if (auto it = e.find("final"); it != e.end() && it->is_string())
    ev.result = RecognitionResult{it->get<std::string>(), true};
  if (auto it = e.find("error"); it != e.end() && it->is_number_integer())
    ev.error = RecognitionError{field(e, "domain", "kAFAssistantErrorDomain"), it->get<std::int64_t>()};
  return ev;
}

// One request and, once started, its task: shared by the request handle,
// the task handle and the scheduled events.
struct RequestState {
  std::mutex mutex;
  RecognitionRequestLog log;
  double audioMs = 0;
  RecognitionHandler handler;
  std::vector<Event> events;
  dispatch::QueuePtr queue;
};

struct State {
  mutable std::mutex mutex;
  std::optional<SpeechAuthorization> authorization;
  std::optional<SpeechAuthorization> requestAnswer;
  std::optional<bool> available;
  std::optional<bool> onDevice;
  std::vector<std::shared_ptr<RequestState>> requests;
  std::size_t tasksStarted = 0;
  std::size_t authorizationRequests = 0;
};

State& state() {
  static auto* s = new State;
  return *s;
}

void reset() {
  auto& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.authorization.reset();
  s.requestAnswer.reset();
  s.available.reset();
  s.onDevice.reset();
  s.requests.clear();
  s.tasksStarted = 0;
  s.authorizationRequests = 0;
}
const ResetRegistration kReset(reset);

SpeechAuthorization currentAuthorization() {
  auto& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.authorization) return *s.authorization;
  return parseStatus(field(section(), "authorization", json("authorized"))).value_or(SpeechAuthorization::authorized);
}

void fire(const std::shared_ptr<RequestState>& r, const Event& ev) {
  RecognitionHandler handler;
  {
    std::lock_guard<std::mutex> guard(r->mutex);
    if (r->log.cancelled) return;
    handler = r->handler;
  }
  if (handler) handler(ev.result, ev.error);
}

class SimRequest final : public platform::RecognitionRequest {
 public:
  explicit SimRequest(std::shared_ptr<RequestState> s) : state_(std::move(s)) {}
  void setShouldReportPartialResults(bool on) override {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->log.reportsPartials = on;
  }
  void setRequiresOnDeviceRecognition(bool on) override {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->log.requiresOnDevice = on;
  }
  void append(const platform::PcmBuffer& buffer) override {
    std::vector<Event> due;
    dispatch::QueuePtr queue;
    {
      std::lock_guard<std::mutex> guard(state_->mutex);
      state_->log.framesAppended += buffer.frameLength();
      state_->log.buffersAppended += 1;
      if (buffer.format().sampleRate > 0)
        state_->audioMs += buffer.frameLength() * 1000.0 / buffer.format().sampleRate;
      for (auto& ev : state_->events) {
        if (!ev.fired && ev.afterAudioMs && state_->audioMs >= *ev.afterAudioMs && !state_->log.cancelled) {
          ev.fired = true;
          due.push_back(ev);
        }
      }
      queue = state_->queue;
    }
    for (auto& ev : due) queue->async([s = state_, ev] { fire(s, ev); });
  }
  void endAudio() override {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->log.audioEnded = true;
  }
  const std::shared_ptr<RequestState>& state() const { return state_; }

 private:
  std::shared_ptr<RequestState> state_;
};

class SimTask final : public platform::RecognitionTask {
 public:
  explicit SimTask(std::shared_ptr<RequestState> s) : state_(std::move(s)) {}
  void cancel() override {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->log.cancelled = true;
  }

 private:
  std::shared_ptr<RequestState> state_;
};

class SimRecognizer final : public platform::SpeechRecognizer {
 public:
  bool supportsOnDeviceRecognition() override {
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.onDevice) return *s.onDevice;
    return field(section(), "onDevice", true);
  }

  platform::RecognitionRequestPtr makeRequest() override {
    auto r = std::make_shared<RequestState>();
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.requests.push_back(r);
    return std::make_shared<SimRequest>(r);
  }

  platform::RecognitionTaskPtr startTask(platform::RecognitionRequestPtr request,
                                         RecognitionHandler handler) override {
    auto* simRequest = dynamic_cast<SimRequest*>(request.get());
    if (simRequest == nullptr) return nullptr;
    auto r = simRequest->state();
    std::size_t index;
    {
      auto& s = state();
      std::lock_guard<std::mutex> guard(s.mutex);
      index = s.tasksStarted++;
    }
    json sec = section();
    json script = json::array();
    if (auto it = sec.find("requests"); it != sec.end() && it->is_array() && index < it->size())
      script = (*it)[index];
    else if (auto d = sec.find("default"); d != sec.end() && d->is_array())
      script = *d;
    auto queue = dispatch::current().makeSerialQueue("qln.sim.recognizer");
    std::vector<Event> timed;
    {
      std::lock_guard<std::mutex> guard(r->mutex);
      r->log.taskStarted = true;
      r->handler = std::move(handler);
      r->queue = queue;
      if (script.is_array())
        for (const auto& e : script)
          if (e.is_object()) r->events.push_back(parseEvent(e));
      for (auto& ev : r->events) {
        if (ev.atMs) {
          ev.fired = true;
          timed.push_back(ev);
        }
      }
    }
    for (auto& ev : timed) {
      auto delay = delayNs(*ev.atMs);
      dispatch::current().asyncAfter(queue, delay, [r, ev] { fire(r, ev); });
    }
    return std::make_shared<SimTask>(r);
  }
};

class SimSpeechRecognition final : public platform::SpeechRecognition {
 public:
  SpeechAuthorization authorizationStatus() override { return currentAuthorization(); }

  void requestAuthorization(std::function<void(SpeechAuthorization)> done) override {
    json sec = section();
    std::optional<SpeechAuthorization> answer;
    {
      auto& s = state();
      std::lock_guard<std::mutex> guard(s.mutex);
      s.authorizationRequests++;
      answer = s.requestAnswer;
    }
    if (!answer) answer = parseStatus(field(sec, "requestAnswer", json()));
    if (!answer) answer = currentAuthorization();
    auto delay = delayNs(field(sec, "requestDelayMs", 0.0));
    // The user answers on another thread.
    auto queue = dispatch::current().makeSerialQueue("qln.sim.authorization");
    dispatch::current().asyncAfter(queue, delay, [queue, done = std::move(done), answer = *answer] { done(answer); });
  }

  std::shared_ptr<platform::SpeechRecognizer> recognizer(const std::string& locale) override {
    {
      auto& s = state();
      std::lock_guard<std::mutex> guard(s.mutex);
      if (s.available) return *s.available ? std::make_shared<SimRecognizer>() : nullptr;
    }
    json sec = section();
    json locales = field(sec, "locales", json::array({"en-US"}));
    if (locales.is_array())
      for (const auto& l : locales)
        if (l.is_string() && l.get<std::string>() == locale) return std::make_shared<SimRecognizer>();
    return nullptr;
  }
};

}  // namespace

void SimSpeech::setAuthorization(SpeechAuthorization status) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().authorization = status;
}
void SimSpeech::setRequestAnswer(SpeechAuthorization answer) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().requestAnswer = answer;
}
void SimSpeech::setRecognizerAvailable(bool available) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().available = available;
}
void SimSpeech::setOnDevice(bool onDevice) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().onDevice = onDevice;
}

bool SimSpeech::emit(std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
  std::shared_ptr<RequestState> target;
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    for (auto it = state().requests.rbegin(); it != state().requests.rend(); ++it) {
      std::lock_guard<std::mutex> g((*it)->mutex);
      if ((*it)->log.taskStarted && !(*it)->log.cancelled) {
        target = *it;
        break;
      }
    }
  }
  if (!target) return false;
  Event ev;
  ev.result = std::move(result);
  ev.error = std::move(error);
  fire(target, ev);
  return true;
}

std::vector<RecognitionRequestLog> SimSpeech::requests() const {
  std::lock_guard<std::mutex> guard(state().mutex);
  std::vector<RecognitionRequestLog> out;
  for (const auto& r : state().requests) {
    std::lock_guard<std::mutex> g(r->mutex);
    out.push_back(r->log);
  }
  return out;
}

std::size_t SimSpeech::authorizationRequests() const {
  std::lock_guard<std::mutex> guard(state().mutex);
  return state().authorizationRequests;
}

SimSpeech& simSpeech() {
  static auto* s = new SimSpeech;
  return *s;
}

}  // namespace qln::sim

namespace qln::platform {
SpeechRecognition& speechRecognition() {
  static auto* r = new sim::SimSpeechRecognition;
  return *r;
}
}  // namespace qln::platform
