#include "platform/linux/audio/pulse_engine.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "dispatch/dispatch.h"
#include "platform/configuration_observers.h"

namespace qln::platform::linux_backend::pulse {
namespace {

constexpr std::uint32_t kDefaultTapFrames = 1024;
constexpr auto kStreamReadyWait = std::chrono::milliseconds(3000);

// The source a stream records from: the pinned one, else the default one. A
// monitor is what some sink plays, not a microphone, so a default that is a
// monitor gives way to the first real source.
const Source* chooseSource(const Model& m, const std::optional<std::string>& pinned) {
  if (pinned) {
    for (const auto& [_, s] : m.sources)
      if (s.name == *pinned) return &s;
    return nullptr;
  }
  for (const auto& [_, s] : m.sources)
    if (s.name == m.defaultSource && !s.isMonitor()) return &s;
  for (const auto& [_, s] : m.sources)
    if (!s.isMonitor()) return &s;
  return nullptr;
}

bool hasModule(const Model& m, const char* name) {
  for (const auto& [_, module] : m.modules)
    if (module == name) return true;
  return false;
}

// The echo canceller's own source over `master`, when one is loaded: what
// it gives is the master's audio with the played audio taken out.
const Source* echoCancelledSource(const Model& m, const Source& master) {
  for (const auto& [_, s] : m.sources) {
    if (s.isMonitor() || s.masterDevice != master.name) continue;
    auto module = m.modules.find(s.ownerModule);
    if (module != m.modules.end() && module->second == "module-echo-cancel") return &s;
  }
  return nullptr;
}

// The engine's state that the loop's callbacks reach. Stream, tap and
// buffer are touched only with the loop locked; the tap block runs from the
// loop's read callback, so stop and removeTap (which take the lock) wait for
// a running block and no block runs after them.
class EngineCore final : public ServerWatcher, public std::enable_shared_from_this<EngineCore> {
 public:
  explicit EngineCore(SoundServer& s) : server(s) {}

  SoundServer& server;
  pa_stream* stream = nullptr;
  bool started = false;
  std::string streamSource;
  TapBlock tap;
  std::uint32_t tapFrames = kDefaultTapFrames;
  std::optional<AudioFormat> tapFormat;
  PcmBufferPtr pending;
  std::optional<std::string> pinned;
  bool voiceProcessing = false;

  std::mutex readyMutex;
  std::condition_variable readyCv;
  enum class Ready { waiting, ready, failed } ready = Ready::waiting;

  std::shared_ptr<ConfigurationObservers> observers = std::make_shared<ConfigurationObservers>();

  void setReady(Ready r) {
    {
      std::lock_guard<std::mutex> g(readyMutex);
      ready = r;
    }
    readyCv.notify_all();
  }

  // Loop locked.
  void closeStream() {
    if (!stream) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) == PA_STREAM_READY || pa_stream_get_state(stream) == PA_STREAM_CREATING)
      pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
    started = false;
    if (pending) pending->setFrameLength(0);
  }

  // Loop thread: fills the pending buffer from interleaved samples and hands
  // it over each time it is full.
  template <class Sample>
  void consume(const Sample* in, std::size_t frames) {
    if (!pending || !tap || !tapFormat) return;
    const AudioFormat& f = *tapFormat;
    const std::uint32_t channels = f.channelCount;
    const std::uint32_t capacity = pending->frameCapacity();
    while (frames > 0) {
      std::uint32_t at = pending->frameLength();
      auto n = static_cast<std::uint32_t>(std::min<std::size_t>(frames, capacity - at));
      if constexpr (std::is_same_v<Sample, float>) {
        float* const* out = pending->floatChannelData();
        if (f.interleaved) {
          std::memcpy(out[0] + std::size_t{at} * channels, in, sizeof(float) * n * channels);
        } else {
          for (std::uint32_t i = 0; i < n; ++i)
            for (std::uint32_t c = 0; c < channels; ++c) out[c][at + i] = in[std::size_t{i} * channels + c];
        }
      } else {
        std::int16_t* const* out = pending->int16ChannelData();
        if (f.interleaved) {
          std::memcpy(out[0] + std::size_t{at} * channels, in, sizeof(std::int16_t) * n * channels);
        } else {
          for (std::uint32_t i = 0; i < n; ++i)
            for (std::uint32_t c = 0; c < channels; ++c) out[c][at + i] = in[std::size_t{i} * channels + c];
        }
      }
      in += std::size_t{n} * channels;
      frames -= n;
      pending->setFrameLength(at + n);
      if (pending->frameLength() == capacity) {
        // Stamped with the capture time of the buffer's first frame.
        const auto durationNs = static_cast<std::uint64_t>(capacity * 1e9 / f.sampleRate);
        const std::uint64_t now = dispatch::nowNs();
        tap(*pending, AudioTime{now > durationNs ? now - durationNs : 0});
        if (pending) pending->setFrameLength(0);
      }
    }
  }

  void onServerEvent(ServerEvent event, std::uint32_t) override {
    // A stream that follows the default goes where the new default is; the
    // move callback then tells the observers.
    if (event != ServerEvent::serverChanged || !started || !stream || pinned) return;
    auto target = server.withModel([](const Model& m) {
      const Source* s = chooseSource(m, std::nullopt);
      return s ? s->name : std::string();
    });
    if (target.empty() || target == streamSource) return;
    streamSource = target;
    if (auto* op = pa_context_move_source_output_by_name(server.context(), pa_stream_get_index(stream),
                                                         target.c_str(), nullptr, nullptr))
      pa_operation_unref(op);
  }

  static void onRead(pa_stream* s, std::size_t, void* u) {
    auto* core = static_cast<EngineCore*>(u);
    if (s != core->stream) return;
    while (pa_stream_readable_size(s) > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
      if (data && core->tapFormat) {
        const AudioFormat& f = *core->tapFormat;
        std::size_t frames = bytes / (std::size_t{f.bytesPerSample()} * f.channelCount);
        if (f.commonFormat == CommonFormat::float32)
          core->consume(static_cast<const float*>(data), frames);
        else
          core->consume(static_cast<const std::int16_t*>(data), frames);
      }
      // A hole (no data) is a gap the server could not fill: nothing to hand on.
      pa_stream_drop(s);
    }
  }

  static void onState(pa_stream* s, void* u) {
    auto* core = static_cast<EngineCore*>(u);
    if (s != core->stream) return;
    switch (pa_stream_get_state(s)) {
      case PA_STREAM_READY:
        core->setReady(Ready::ready);
        break;
      case PA_STREAM_FAILED:
      case PA_STREAM_TERMINATED:
        // The pinned source went away, or the server did: the buffers stop
        // and the observers hear of it.
        core->setReady(Ready::failed);
        if (core->started) core->observers->notify();
        break;
      default:
        break;
    }
  }

  static void onMoved(pa_stream* s, void* u) {
    auto* core = static_cast<EngineCore*>(u);
    if (s != core->stream) return;
    if (const char* name = pa_stream_get_device_name(s)) core->streamSource = name;
    if (core->started) core->observers->notify();
  }
};

class PulseEngine final : public AudioEngine {
 public:
  explicit PulseEngine(SoundServer& server) : server_(server), core_(std::make_shared<EngineCore>(server)) {
    server_.addWatcher(core_);
  }

  ~PulseEngine() override {
    SoundServer::Lock lock(server_);
    core_->closeStream();
    core_->tap = nullptr;
  }

  bool hasAudioUnit() override { return true; }

  std::int32_t setInputDevice(std::uint32_t deviceId) override {
    server_.ensureStarted();
    auto device = server_.withView([&](const View& v) -> std::optional<DeviceView> {
      const DeviceView* d = v.device(deviceId);
      return d ? std::optional<DeviceView>(*d) : std::nullopt;
    });
    if (!device || !device->isSource) return kStatusBadObject;
    auto name = server_.withModel([&](const Model& m) -> std::optional<std::string> {
      auto it = m.sources.find(device->index);
      if (it == m.sources.end()) return std::nullopt;
      return it->second.name;
    });
    if (!name) return kStatusBadObject;
    SoundServer::Lock lock(server_);
    core_->pinned = name;
    return kStatusOK;
  }

  bool setVoiceProcessingEnabled(bool enabled, std::string& errorDescription) override {
    if (!enabled) {
      SoundServer::Lock lock(server_);
      core_->voiceProcessing = false;
      return true;
    }
    server_.ensureStarted();
    if (!server_.connected()) {
      errorDescription = "no sound server (" + server_.connectionError() + ")";
      return false;
    }
    // Either a canceller is loaded over the input we would record (we then
    // record its output), or the server loads one on demand for a stream
    // that asks for it by property (filter-apply). A canceller over another
    // input cancels nothing for us.
    std::optional<std::string> pinned;
    {
      SoundServer::Lock lock(server_);
      pinned = core_->pinned;
    }
    bool available = server_.withModel([&](const Model& m) {
      if (hasModule(m, "module-filter-apply")) return true;
      const Source* input = chooseSource(m, pinned);
      return input && echoCancelledSource(m, *input);
    });
    if (!available) {
      errorDescription = kNoEchoCancel;
      return false;
    }
    SoundServer::Lock lock(server_);
    core_->voiceProcessing = true;
    return true;
  }

  AudioFormat outputFormat() override {
    server_.ensureStarted();
    std::optional<std::string> pinned;
    {
      SoundServer::Lock lock(server_);
      pinned = core_->pinned;
    }
    return server_.withModel([&](const Model& m) {
      const Source* s = m.connected ? chooseSource(m, pinned) : nullptr;
      if (!s) return AudioFormat{};
      return AudioFormat::standard(s->rate, s->channels).value_or(AudioFormat{});
    });
  }

  void installTap(std::uint32_t bufferFrames, const AudioFormat& format, TapBlock block) override {
    std::uint32_t frames = bufferFrames ? bufferFrames : kDefaultTapFrames;
    auto buffer = PcmBuffer::make(format, frames);
    SoundServer::Lock lock(server_);
    core_->tap = std::move(block);
    core_->tapFrames = frames;
    core_->tapFormat = format;
    core_->pending = std::move(buffer);
  }

  void removeTap() override {
    SoundServer::Lock lock(server_);
    core_->tap = nullptr;
    core_->pending.reset();
    core_->tapFormat.reset();
  }

  void prepare() override { server_.ensureStarted(); }

  bool start(std::string& error) override {
    server_.ensureStarted();
    {
      SoundServer::Lock lock(server_);
      if (core_->stream && core_->started) return true;
      core_->closeStream();
      pa_context* c = server_.context();
      if (!c || !server_.connected()) {
        error = "no sound server (" + server_.connectionError() + ")";
        return false;
      }
      auto source = server_.withModel([&](const Model& m) -> std::optional<Source> {
        const Source* s = chooseSource(m, core_->pinned);
        if (s && core_->voiceProcessing)
          if (const Source* cancelled = echoCancelledSource(m, *s)) s = cancelled;
        return s ? std::optional<Source>(*s) : std::nullopt;
      });
      if (!source) {
        error = core_->pinned ? "the pinned input device is gone" : "no audio input on the sound server";
        return false;
      }
      AudioFormat format = core_->tapFormat ? *core_->tapFormat
                                            : AudioFormat::standard(source->rate, source->channels).value_or(AudioFormat{});
      pa_sample_spec sampleFormat{};
      sampleFormat.format = format.commonFormat == CommonFormat::int16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
      sampleFormat.rate = static_cast<std::uint32_t>(format.sampleRate);
      sampleFormat.channels = static_cast<std::uint8_t>(format.channelCount);
      if (!pa_sample_spec_valid(&sampleFormat)) {
        error = "the input format cannot be recorded";
        return false;
      }
      pa_proplist* props = pa_proplist_new();
      pa_proplist_sets(props, PA_PROP_MEDIA_NAME, "microphone");
      pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
      if (core_->voiceProcessing) pa_proplist_sets(props, "filter.want", "echo-cancel");
      core_->stream = pa_stream_new_with_proplist(c, "microphone", &sampleFormat, nullptr, props);
      pa_proplist_free(props);
      if (!core_->stream) {
        error = std::string("cannot create a record stream: ") + pa_strerror(pa_context_errno(c));
        return false;
      }
      core_->setReady(EngineCore::Ready::waiting);
      pa_stream_set_read_callback(core_->stream, &EngineCore::onRead, core_.get());
      pa_stream_set_state_callback(core_->stream, &EngineCore::onState, core_.get());
      pa_stream_set_moved_callback(core_->stream, &EngineCore::onMoved, core_.get());
      pa_buffer_attr attr;
      std::memset(&attr, 0xff, sizeof attr);  // every field "server's choice"
      attr.fragsize = core_->tapFrames * static_cast<std::uint32_t>(pa_frame_size(&sampleFormat));
      auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                  (core_->pinned ? PA_STREAM_DONT_MOVE : 0));
      if (pa_stream_connect_record(core_->stream, source->name.c_str(), &attr, flags) < 0) {
        error = std::string("cannot record from ") + source->name + ": " + pa_strerror(pa_context_errno(c));
        core_->closeStream();
        return false;
      }
      core_->streamSource = source->name;
    }
    {
      std::unique_lock<std::mutex> g(core_->readyMutex);
      core_->readyCv.wait_for(g, kStreamReadyWait, [this] { return core_->ready != EngineCore::Ready::waiting; });
    }
    SoundServer::Lock lock(server_);
    bool ready = false;
    {
      std::lock_guard<std::mutex> g(core_->readyMutex);
      ready = core_->ready == EngineCore::Ready::ready;
    }
    if (!core_->stream || !ready || pa_stream_get_state(core_->stream) != PA_STREAM_READY) {
      pa_context* c = server_.context();
      error = "the record stream did not start: " +
              (c ? std::string(pa_strerror(pa_context_errno(c))) : server_.connectionError());
      core_->closeStream();
      return false;
    }
    core_->started = true;
    return true;
  }

  void stop() override {
    SoundServer::Lock lock(server_);
    core_->closeStream();
  }

  ObserverToken addConfigurationChangeObserver(std::function<void()> block) override {
    ObserverToken token = core_->observers->add(std::move(block));
    return token;
  }

  void removeObserver(ObserverToken token) override {
    core_->observers->remove(token);
  }

 private:
  SoundServer& server_;
  std::shared_ptr<EngineCore> core_;
};

}  // namespace

std::unique_ptr<AudioEngine> makePulseEngine(SoundServer& server) { return std::make_unique<PulseEngine>(server); }

}  // namespace qln::platform::linux_backend::pulse
