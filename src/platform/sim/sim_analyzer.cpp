#include "platform/sim/sim_analyzer.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>

#include "dispatch/dispatch.h"
#include "platform/sim/scenario.h"

namespace qln::sim {
namespace {

using nlohmann::json;
using platform::AnalyzerError;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::MediaTimeRange;
using platform::ResultEvent;

constexpr const char* kSimDomain = "sim.analyzer";

json section() {
  const auto& s = scenario();
  auto it = s.find("analyzer");
  return it != s.end() && it->is_object() ? *it : json::object();
}

std::optional<double> seconds(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    auto s = v.get<std::string>();
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
  }
  return std::nullopt;
}

struct Event {
  std::optional<double> atMs;
  std::optional<double> afterAudioMs;
  ResultEvent event;
};

std::optional<Event> parseEvent(const json& e) {
  if (!e.is_object()) return std::nullopt;
  Event ev;
  if (auto it = e.find("atMs"); it != e.end() && it->is_number()) ev.atMs = it->get<double>();
  if (auto it = e.find("afterAudioMs"); it != e.end() && it->is_number()) ev.afterAudioMs = it->get<double>();
  if (!ev.atMs && !ev.afterAudioMs) ev.atMs = 0;
  if (auto it = e.find("partial"); it != e.end() && it->is_string()) {
    ev.event.kind = ResultEvent::Kind::result;
    ev.event.result = {it->get<std::string>(), false, std::nullopt};
  } else if (auto f = e.find("final"); f != e.end() && f->is_string()) {
    ev.event.kind = ResultEvent::Kind::result;
    ev.event.result = {f->get<std::string>(), true, std::nullopt};
  } else if (auto x = e.find("fails"); x != e.end() && x->is_string()) {
    ev.event.kind = ResultEvent::Kind::failure;
    ev.event.error = AnalyzerError{kSimDomain, 2, x->get<std::string>()};
  } else if (field(e, "ends", false)) {
    ev.event.kind = ResultEvent::Kind::end;
  } else {
    return std::nullopt;
  }
  if (auto r = e.find("range"); r != e.end() && r->is_array() && r->size() == 2) {
    auto s = seconds((*r)[0]);
    auto t = seconds((*r)[1]);
    if (s && t) ev.event.result.range = MediaTimeRange{*s, *t - *s};
  }
  return ev;
}

// The results of one transcriber, and once its analyzer started, that
// session's script and input.
struct Session {
  std::mutex mutex;
  dispatch::QueuePtr queue;
  std::deque<ResultEvent> ready;
  std::function<void(ResultEvent)> waiter;
  bool over = false;  // an end or failure joined the sequence
  std::vector<Event> script;  // afterAudioMs events not yet happened
  double audioMs = 0;
  AnalyzerSessionLog log;
};

// Called with the session's mutex held.
void happenLocked(Session& s, const ResultEvent& ev) {
  if (s.over) return;
  if (ev.kind != ResultEvent::Kind::result) s.over = true;
  if (s.waiter) {
    auto done = std::move(s.waiter);
    s.waiter = nullptr;
    s.queue->async([done = std::move(done), ev] { done(ev); });
  } else {
    s.ready.push_back(ev);
  }
}

struct State {
  mutable std::mutex mutex;
  std::optional<std::vector<std::string>> locales;
  std::optional<std::optional<AudioFormat>> format;
  std::optional<std::optional<std::string>> startError;
  AnalyzerLog log;
  std::vector<std::shared_ptr<Session>> started;
};

State& state() {
  static auto* s = new State;
  return *s;
}

void reset() {
  auto& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  s.locales.reset();
  s.format.reset();
  s.startError.reset();
  s.log = AnalyzerLog{};
  s.started.clear();
}
const ResetRegistration kReset(reset);

class SimResults final : public platform::TranscriptionResults {
 public:
  explicit SimResults(std::shared_ptr<Session> s) : session_(std::move(s)) {}
  void next(std::function<void(ResultEvent)> done) override {
    std::lock_guard<std::mutex> guard(session_->mutex);
    if (!session_->ready.empty()) {
      ResultEvent ev = session_->ready.front();
      session_->ready.pop_front();
      session_->queue->async([done = std::move(done), ev] { done(ev); });
      return;
    }
    session_->waiter = std::move(done);
  }

 private:
  std::shared_ptr<Session> session_;
};

class SimTranscriber final : public platform::SpeechTranscriber {
 public:
  explicit SimTranscriber(platform::TranscriberConfiguration c)
      : configuration(std::move(c)), session(std::make_shared<Session>()) {
    session->queue = dispatch::current().makeSerialQueue("qln.sim.analyzer");
    results_ = std::make_shared<SimResults>(session);
  }
  std::shared_ptr<platform::TranscriptionResults> results() override { return results_; }

  const platform::TranscriberConfiguration configuration;
  const std::shared_ptr<Session> session;

 private:
  std::shared_ptr<platform::TranscriptionResults> results_;
};

// Counts the consumed audio and lets due afterAudioMs events happen.
void consume(const std::shared_ptr<Session>& s, const platform::AnalyzerInputStreamPtr& input) {
  auto taken = input->take();
  std::lock_guard<std::mutex> guard(s->mutex);
  for (const auto& b : taken.buffers) {
    if (!b) continue;
    if (!s->log.inputFormat) s->log.inputFormat = b->format();
    s->log.buffersConsumed += 1;
    s->log.framesConsumed += b->frameLength();
    if (b->format().sampleRate > 0) s->audioMs += b->frameLength() * 1000.0 / b->format().sampleRate;
  }
  if (taken.finished) s->log.inputFinished = true;
  for (auto it = s->script.begin(); it != s->script.end();) {
    if (s->audioMs >= *it->afterAudioMs) {
      happenLocked(*s, it->event);
      it = s->script.erase(it);
    } else {
      ++it;
    }
  }
}

class SimSpeechAnalyzer final : public platform::SpeechAnalyzer {
 public:
  SimSpeechAnalyzer(std::vector<std::shared_ptr<SimTranscriber>> modules, platform::AnalyzerOptions options)
      : modules_(std::move(modules)), options_(options) {}

  void start(platform::AnalyzerInputStreamPtr input,
             std::function<void(std::optional<AnalyzerError>)> done) override {
    json sec = section();
    std::optional<std::string> startError;
    std::size_t index = 0;
    std::shared_ptr<Session> s = modules_.empty() ? std::make_shared<Session>() : modules_.front()->session;
    if (!s->queue) s->queue = dispatch::current().makeSerialQueue("qln.sim.analyzer");
    {
      auto& st = state();
      std::lock_guard<std::mutex> guard(st.mutex);
      st.log.startCalls += 1;
      if (st.startError)
        startError = *st.startError;
      else if (auto it = sec.find("startError"); it != sec.end() && it->is_string())
        startError = it->get<std::string>();
      index = st.started.size();
    }
    if (startError) {
      s->queue->async([done = std::move(done), e = *startError] { done(AnalyzerError{kSimDomain, 1, e}); });
      return;
    }

    json script = json::array();
    if (auto it = sec.find("sessions"); it != sec.end() && it->is_array() && index < it->size())
      script = (*it)[index];
    else if (auto d = sec.find("default"); d != sec.end() && d->is_array())
      script = *d;
    std::vector<Event> timed;
    {
      std::lock_guard<std::mutex> guard(s->mutex);
      for (const auto& m : modules_) s->log.modules.push_back(m->configuration);
      s->log.options = options_;
      if (script.is_array())
        for (const auto& e : script)
          if (auto ev = parseEvent(e)) (ev->atMs ? timed : s->script).push_back(*ev);
    }
    {
      auto& st = state();
      std::lock_guard<std::mutex> guard(st.mutex);
      st.started.push_back(s);
    }
    std::weak_ptr<platform::AnalyzerInputStream> weakInput = input;
    input->setWake([s, weakInput] {
      if (auto in = weakInput.lock()) consume(s, in);
    });
    for (const auto& ev : timed) {
      auto delay = delayNs(*ev.atMs);
      dispatch::current().asyncAfter(s->queue, delay, [s, e = ev.event] {
        std::lock_guard<std::mutex> guard(s->mutex);
        happenLocked(*s, e);
      });
    }
    s->queue->async([done = std::move(done)] { done(std::nullopt); });
  }

 private:
  std::vector<std::shared_ptr<SimTranscriber>> modules_;
  platform::AnalyzerOptions options_;
};

std::optional<AudioFormat> parseFormat(const json& f) {
  if (!f.is_object()) return std::nullopt;
  AudioFormat format;
  format.sampleRate = field(f, "sampleRate", 16000.0);
  format.channelCount = field(f, "channels", 1u);
  format.commonFormat = field(f, "commonFormat", "int16") == "float32" ? CommonFormat::float32 : CommonFormat::int16;
  format.interleaved = field(f, "interleaved", false);
  return format;
}

class SimSpeechAnalysis final : public platform::SpeechAnalysis {
 public:
  platform::SpeechTranscriberPtr makeTranscriber(const platform::TranscriberConfiguration& configuration) override {
    {
      auto& st = state();
      std::lock_guard<std::mutex> guard(st.mutex);
      st.log.transcribers.push_back(configuration);
    }
    return std::make_shared<SimTranscriber>(configuration);
  }

  void bestAvailableAudioFormat(const std::vector<platform::SpeechTranscriberPtr>&,
                                std::function<void(std::optional<AudioFormat>)> done) override {
    std::optional<AudioFormat> format = AudioFormat{16000, 1, CommonFormat::int16, false};
    {
      auto& st = state();
      std::lock_guard<std::mutex> guard(st.mutex);
      st.log.formatRequests += 1;
      if (st.format) {
        format = *st.format;
      } else {
        json sec = section();
        if (auto it = sec.find("format"); it != sec.end()) format = parseFormat(*it);
      }
    }
    auto queue = dispatch::current().makeSerialQueue("qln.sim.analyzer");
    queue->async([queue, done = std::move(done), format] { done(format); });
  }

  platform::SpeechAnalyzerPtr makeAnalyzer(const std::vector<platform::SpeechTranscriberPtr>& modules,
                                           const platform::AnalyzerOptions& options) override {
    std::vector<std::shared_ptr<SimTranscriber>> sims;
    for (const auto& m : modules)
      if (auto s = std::dynamic_pointer_cast<SimTranscriber>(m)) sims.push_back(s);
    return std::make_shared<SimSpeechAnalyzer>(std::move(sims), options);
  }

  void installedLocales(std::function<void(std::vector<std::string>)> done) override {
    std::vector<std::string> locales{"en-US"};
    {
      auto& st = state();
      std::lock_guard<std::mutex> guard(st.mutex);
      if (st.locales) {
        locales = *st.locales;
      } else {
        json sec = section();
        if (auto it = sec.find("locales"); it != sec.end() && it->is_array()) {
          locales.clear();
          for (const auto& l : *it)
            if (l.is_string()) locales.push_back(l.get<std::string>());
        }
      }
    }
    auto queue = dispatch::current().makeSerialQueue("qln.sim.analyzer");
    queue->async([queue, done = std::move(done), locales] { done(locales); });
  }
};

}  // namespace

void SimAnalyzer::setInstalledLocales(std::vector<std::string> locales) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().locales = std::move(locales);
}
void SimAnalyzer::setBestFormat(std::optional<AudioFormat> format) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().format = format;
}
void SimAnalyzer::setStartError(std::optional<std::string> description) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().startError = std::move(description);
}

bool SimAnalyzer::emit(ResultEvent event) {
  std::shared_ptr<Session> s;
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    if (state().started.empty()) return false;
    s = state().started.back();
  }
  std::lock_guard<std::mutex> guard(s->mutex);
  if (s->over) return false;
  happenLocked(*s, event);
  return true;
}

bool SimAnalyzer::emitResult(std::string text, bool isFinal, std::optional<MediaTimeRange> range) {
  ResultEvent ev;
  ev.kind = ResultEvent::Kind::result;
  ev.result = {std::move(text), isFinal, range};
  return emit(std::move(ev));
}

bool SimAnalyzer::endResults() { return emit(ResultEvent{}); }

bool SimAnalyzer::failResults(std::string description) {
  ResultEvent ev;
  ev.kind = ResultEvent::Kind::failure;
  ev.error = AnalyzerError{kSimDomain, 2, std::move(description)};
  return emit(std::move(ev));
}

AnalyzerLog SimAnalyzer::log() const {
  std::vector<std::shared_ptr<Session>> started;
  AnalyzerLog out;
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    out = state().log;
    started = state().started;
  }
  for (const auto& s : started) {
    std::lock_guard<std::mutex> guard(s->mutex);
    AnalyzerSessionLog l = s->log;
    l.resultsPending = static_cast<bool>(s->waiter);
    out.sessions.push_back(std::move(l));
  }
  return out;
}

SimAnalyzer& simAnalyzer() {
  static auto* s = new SimAnalyzer;
  return *s;
}

}  // namespace qln::sim

namespace qln::platform {
SpeechAnalysis& speechAnalysis() {
  static auto* a = new sim::SimSpeechAnalysis;
  return *a;
}
}  // namespace qln::platform
