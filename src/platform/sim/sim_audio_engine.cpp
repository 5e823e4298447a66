#include "platform/sim/sim_audio_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <numbers>
#include <thread>
#include <utility>
#include <vector>

#include "dispatch/dispatch.h"
#include "platform/configuration_observers.h"
#include "output/output.h"
#include "platform/audio_converter.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_source.h"

namespace qln::sim {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;

namespace {

constexpr std::uint32_t kDefaultTapFrames = 1024;

struct Script {
  AudioFormat format{48000, 1, CommonFormat::float32, false};
  nlohmann::json source;  // null: no feeder
  std::optional<double> stallAfterMs;
  int startFailures = 0;
  std::string startError = "sim: scripted engine start failure";
  bool audioUnit = true;
  std::int32_t pinStatus = 0;
  std::optional<std::string> voiceProcessingError;
  std::vector<std::uint64_t> configChangeAtMs;
};

void readSection(const nlohmann::json& a, Script& s);

Script readScript() {
  Script s;
  const auto& root = scenario();
  auto it = root.find("audio");
  if (it == root.end() || !it->is_object()) return s;
  try {
    readSection(*it, s);
  } catch (const nlohmann::json::exception& e) {
    output::errLine(std::string("sim: malformed \"audio\" section: ") + e.what());
    s = Script{};
  }
  return s;
}

void readSection(const nlohmann::json& a, Script& s) {
  if (auto f = a.find("format"); f != a.end() && f->is_object()) {
    s.format.sampleRate = field(*f, "sampleRate", s.format.sampleRate);
    s.format.channelCount = field(*f, "channels", s.format.channelCount);
    s.format.commonFormat = field(*f, "commonFormat", "float32") == "int16" ? CommonFormat::int16 : CommonFormat::float32;
    s.format.interleaved = field(*f, "interleaved", false);
  }
  if (auto src = a.find("source"); src != a.end() && src->is_object()) s.source = *src;
  if (auto v = a.find("stallAfterMs"); v != a.end() && v->is_number()) s.stallAfterMs = v->get<double>();
  s.startFailures = field(a, "startFailures", 0);
  s.startError = field(a, "startError", s.startError);
  s.audioUnit = field(a, "audioUnit", true);
  s.pinStatus = field(a, "pinStatus", s.pinStatus);
  if (auto v = a.find("voiceProcessingError"); v != a.end() && v->is_string())
    s.voiceProcessingError = v->get<std::string>();
  if (auto v = a.find("configChangeAtMs"); v != a.end() && v->is_array())
    for (const auto& ms : *v)
      if (ms.is_number_unsigned()) s.configChangeAtMs.push_back(ms.get<std::uint64_t>());
}


// The part of an engine the control object reaches: its tap and observers.
struct EngineCore {
  // Held while a tap block runs, so that removeTap and stop wait for it.
  std::mutex tapMutex;
  platform::TapBlock tap;
  std::uint32_t tapFrames = 0;
  AudioFormat tapFormat;
  bool running = false;

  std::shared_ptr<platform::ConfigurationObservers> observers =
      std::make_shared<platform::ConfigurationObservers>();
};

struct Control {
  std::mutex mutex;
  bool loaded = false;
  Script script;
  int startFailuresLeft = 0;
  AudioEngineLog log;
  std::vector<std::weak_ptr<EngineCore>> engines;

  // Caller holds `mutex`.
  Script& current() {
    if (!loaded) {
      script = readScript();
      startFailuresLeft = script.startFailures;
      loaded = true;
    }
    return script;
  }

  std::vector<std::shared_ptr<EngineCore>> liveEngines() {
    std::lock_guard<std::mutex> g(mutex);
    std::vector<std::shared_ptr<EngineCore>> live;
    std::erase_if(engines, [](const auto& w) { return w.expired(); });
    for (const auto& w : engines)
      if (auto e = w.lock()) live.push_back(std::move(e));
    return live;
  }
};

Control& control() {
  static auto* c = new Control;
  return *c;
}

void resetAudio() {
  Control& c = control();
  std::lock_guard<std::mutex> g(c.mutex);
  c.loaded = false;
  c.log = AudioEngineLog{};
}

const ResetRegistration kReset(&resetAudio);

class SimAudioEngine final : public platform::AudioEngine {
 public:
  SimAudioEngine() : core_(std::make_shared<EngineCore>()) {
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    c.current();
    c.engines.push_back(core_);
    ++c.log.enginesMade;
  }

  ~SimAudioEngine() override {
    stopFeeder();
    std::lock_guard<std::mutex> g(core_->tapMutex);
    Control& c = control();
    std::lock_guard<std::mutex> cg(c.mutex);
    if (core_->running) --c.log.runningEngines;
    if (core_->tap) --c.log.installedTaps;
    c.log.observers -= static_cast<int>(core_->observers->size());
  }

  bool hasAudioUnit() override {
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    return c.current().audioUnit;
  }

  std::int32_t setInputDevice(std::uint32_t deviceId) override {
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    c.log.pinnedDevice = deviceId;
    return c.current().pinStatus;
  }

  bool setVoiceProcessingEnabled(bool enabled, std::string& errorDescription) override {
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    c.log.voiceProcessingRequested = enabled;
    const auto& error = c.current().voiceProcessingError;
    if (enabled && error) {
      errorDescription = *error;
      return false;
    }
    return true;
  }

  AudioFormat outputFormat() override {
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    return c.current().format;
  }

  void installTap(std::uint32_t bufferFrames, const AudioFormat& format, platform::TapBlock block) override {
    platform::TapBlock previous;
    std::lock_guard<std::mutex> g(core_->tapMutex);
    Control& c = control();
    std::lock_guard<std::mutex> cg(c.mutex);
    ++c.log.installTapCalls;
    c.log.tapBufferFrames = bufferFrames;
    c.log.tapFormat = format;
    if (!core_->tap) ++c.log.installedTaps;
    previous = std::exchange(core_->tap, std::move(block));
    core_->tapFrames = bufferFrames;
    core_->tapFormat = format;
  }

  void removeTap() override {
    platform::TapBlock gone;
    std::lock_guard<std::mutex> g(core_->tapMutex);
    Control& c = control();
    std::lock_guard<std::mutex> cg(c.mutex);
    ++c.log.removeTapCalls;
    if (core_->tap) --c.log.installedTaps;
    gone = std::exchange(core_->tap, nullptr);
  }

  void prepare() override {
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    ++c.log.prepareCalls;
  }

  bool start(std::string& error) override {
    Script script;
    {
      Control& c = control();
      std::lock_guard<std::mutex> g(c.mutex);
      script = c.current();
      ++c.log.startCalls;
      if (c.startFailuresLeft != 0) {
        if (c.startFailuresLeft > 0) --c.startFailuresLeft;
        error = script.startError;
        return false;
      }
      ++c.log.startsSucceeded;
    }
    AudioFormat feedFormat;
    std::uint32_t feedFrames;
    {
      std::lock_guard<std::mutex> g(core_->tapMutex);
      if (core_->running) return true;
      core_->running = true;
      Control& c = control();
      std::lock_guard<std::mutex> cg(c.mutex);
      ++c.log.runningEngines;
      bool tapFormatUsable = core_->tap && core_->tapFormat.sampleRate > 0 && core_->tapFormat.channelCount > 0;
      feedFormat = tapFormatUsable ? core_->tapFormat : script.format;
      feedFrames = core_->tapFrames > 0 ? core_->tapFrames : kDefaultTapFrames;
    }
    if (!startedOnce_) {
      startedOnce_ = true;
      std::weak_ptr<EngineCore> weak = core_;
      for (auto ms : script.configChangeAtMs)
        dispatch::current().asyncAfter(dispatch::mainQueue(), ms * dispatch::kNsPerMs, [weak] {
          if (auto core = weak.lock()) core->observers->notify();
        });
    }
    if (!script.source.is_null() && feedFormat.sampleRate > 0 && feedFormat.channelCount > 0) {
      stopFeeding_ = false;
      feeder_ = std::thread([this, source = script.source, feedFormat, feedFrames, stall = script.stallAfterMs] {
        feed(source, feedFormat, feedFrames, stall);
      });
    }
    return true;
  }

  void stop() override {
    {
      Control& c = control();
      std::lock_guard<std::mutex> g(c.mutex);
      ++c.log.stopCalls;
    }
    stopFeeder();
    std::lock_guard<std::mutex> g(core_->tapMutex);
    if (!core_->running) return;
    core_->running = false;
    Control& c = control();
    std::lock_guard<std::mutex> cg(c.mutex);
    --c.log.runningEngines;
  }

  platform::ObserverToken addConfigurationChangeObserver(std::function<void()> block) override {
    const platform::ObserverToken token = core_->observers->add(std::move(block));
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    ++c.log.observers;
    return token;
  }

  void removeObserver(platform::ObserverToken token) override {
    const bool erased = core_->observers->remove(token);
    Control& c = control();
    std::lock_guard<std::mutex> g(c.mutex);
    if (erased) --c.log.observers;
  }

 private:
  void stopFeeder() {
    {
      std::lock_guard<std::mutex> g(feedMutex_);
      stopFeeding_ = true;
    }
    feedWake_.notify_all();
    if (feeder_.joinable()) feeder_.join();
  }

  // The feeder thread: one buffer per buffer duration after the start, the
  // way a capture device hands them over, until stop or the scripted stall.
  void feed(const nlohmann::json& script, const AudioFormat& format, std::uint32_t frames,
            std::optional<double> stallAfterMs) {
    // A scripted rate no device has would put the buffers' due times beyond
    // what the clock can count: such a device delivers nothing.
    if (!(format.sampleRate >= 1.0 && format.sampleRate <= kMaxScriptedRate)) return;
    AudioSource source(script, format);
    auto buffer = PcmBuffer::make(format, frames);
    if (!buffer) return;
    using Clock = std::chrono::steady_clock;
    auto begin = Clock::now();
    std::uint64_t sent = 0;
    std::unique_lock<std::mutex> lock(feedMutex_);
    for (;;) {
      double audioMs = static_cast<double>(sent) * 1000.0 / format.sampleRate;
      if (stallAfterMs && audioMs >= *stallAfterMs) {
        feedWake_.wait(lock, [this] { return stopFeeding_; });
        return;
      }
      auto due = begin + std::chrono::nanoseconds(
                             static_cast<std::int64_t>(static_cast<double>(sent + frames) * 1e9 / format.sampleRate));
      if (feedWake_.wait_until(lock, due, [this] { return stopFeeding_; })) return;
      lock.unlock();
      source.fill(*buffer);
      auto now = static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
      {
        std::lock_guard<std::mutex> g(core_->tapMutex);
        if (core_->running && core_->tap) core_->tap(*buffer, platform::AudioTime{now});
      }
      sent += frames;
      lock.lock();
    }
  }

  std::shared_ptr<EngineCore> core_;
  bool startedOnce_ = false;
  std::mutex feedMutex_;
  std::condition_variable feedWake_;
  bool stopFeeding_ = false;
  std::thread feeder_;
};

}  // namespace

void SimAudio::setOutputFormat(const AudioFormat& format) {
  Control& c = control();
  std::lock_guard<std::mutex> g(c.mutex);
  c.current().format = format;
}

void SimAudio::setStartFailures(int count, std::string description) {
  Control& c = control();
  std::lock_guard<std::mutex> g(c.mutex);
  c.current().startError = std::move(description);
  c.startFailuresLeft = count;
}

void SimAudio::setPinStatus(std::int32_t status) {
  Control& c = control();
  std::lock_guard<std::mutex> g(c.mutex);
  c.current().pinStatus = status;
}

void SimAudio::setHasAudioUnit(bool hasUnit) {
  Control& c = control();
  std::lock_guard<std::mutex> g(c.mutex);
  c.current().audioUnit = hasUnit;
}

void SimAudio::setVoiceProcessingError(std::optional<std::string> description) {
  Control& c = control();
  std::lock_guard<std::mutex> g(c.mutex);
  c.current().voiceProcessingError = std::move(description);
}

void SimAudio::fireConfigurationChange() {
  for (auto& core : control().liveEngines()) core->observers->notify();
}

std::size_t SimAudio::deliver(const PcmBuffer& buffer, std::uint64_t hostTimeNs) {
  std::size_t delivered = 0;
  for (auto& core : control().liveEngines()) {
    std::lock_guard<std::mutex> g(core->tapMutex);
    if (!core->running || !core->tap) continue;
    core->tap(buffer, platform::AudioTime{hostTimeNs});
    ++delivered;
  }
  return delivered;
}

AudioEngineLog SimAudio::log() const {
  Control& c = control();
  std::lock_guard<std::mutex> g(c.mutex);
  return c.log;
}

SimAudio& simAudio() {
  static SimAudio s;
  return s;
}

}  // namespace qln::sim

namespace qln::platform {

std::unique_ptr<AudioEngine> makeAudioEngine() { return std::make_unique<sim::SimAudioEngine>(); }

}  // namespace qln::platform
