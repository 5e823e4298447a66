#include "platform/linux/audio/pulse_taps.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

namespace qln::platform::linux_backend::pulse {
namespace {

constexpr std::uint32_t kMixFrames = 1024;
// A stream that has been silent this long (corked, between sounds) no
// longer holds the others back.
constexpr std::size_t kMaxLagFrames = 4 * kMixFrames;

const AudioFormat kTapFormat{kTapSampleRate, 1, CommonFormat::float32, false};

class PulseTapDescription final : public TapDescription {
 public:
  PulseTapDescription(std::string uuid, std::set<std::uint32_t> clients)
      : uuid_(std::move(uuid)), clients_(std::move(clients)) {}
  std::optional<std::string> uuidString() const override { return uuid_; }
  const std::set<std::uint32_t>& clients() const { return clients_; }

 private:
  std::string uuid_;
  std::set<std::uint32_t> clients_;
};

std::string randomUuid() {
  static std::mutex m;
  static std::mt19937_64 gen{std::random_device{}()};
  std::lock_guard<std::mutex> g(m);
  std::uint64_t a = gen(), b = gen();
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xffff), static_cast<unsigned>(a & 0xfff),
                static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3fff)),
                static_cast<unsigned long long>(b & 0xffffffffffffull));
  return text;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

void PulseTaps::attach() { server_.addWatcher(weak_from_this()); }

bool PulseTaps::available() {
  server_.ensureStarted();
  return server_.connected();
}

TapDescriptionPtr PulseTaps::makeTapDescription(const std::vector<ObjectId>& processes) {
  server_.ensureStarted();
  std::set<std::uint32_t> clients = server_.withView([&](const View& v) {
    std::set<std::uint32_t> found;
    for (ObjectId id : processes)
      if (const ProcessView* p = v.process(id)) found.insert(p->client);
    return found;
  });
  if (clients.empty()) return nullptr;
  return std::make_shared<PulseTapDescription>(randomUuid(), std::move(clients));
}

CreatedObject PulseTaps::createProcessTap(const TapDescription& description) {
  auto* d = dynamic_cast<const PulseTapDescription*>(&description);
  if (!d) return {kStatusBadObject, 0};
  SoundServer::Lock lock(server_);
  if (!server_.connected()) return {PA_ERR_CONNECTIONREFUSED, 0};
  ObjectId id = server_.newObjectId();
  taps_[id] = Tap{*d->uuidString(), d->clients()};
  return {kStatusOK, id};
}

void PulseTaps::destroyProcessTap(ObjectId tap) {
  SoundServer::Lock lock(server_);
  taps_.erase(tap);
}

Status PulseTaps::getTapPropertyData(ObjectId tap, const PropertyAddress& address, std::uint32_t& size,
                                     void* data) {
  SoundServer::Lock lock(server_);
  if (taps_.count(tap) == 0) return kStatusBadObject;
  if (address.selector != kQLNTapFormat) return kStatusUnknownProperty;
  if (size < sizeof(StreamDescription) || data == nullptr) return kStatusBadPropertySize;
  StreamDescription d = kTapFormat.streamDescription();
  std::memcpy(data, &d, sizeof d);
  size = sizeof d;
  return kStatusOK;
}

CreatedObject PulseTaps::createAggregateDevice(const AggregateDescription& description) {
  SoundServer::Lock lock(server_);
  if (description.taps.empty()) return {kStatusBadObject, 0};
  for (const auto& [id, tap] : taps_) {
    if (tap.uuid != description.taps.front().uid) continue;
    ObjectId device = server_.newObjectId();
    aggregates_[device] = id;
    return {kStatusOK, device};
  }
  return {kStatusBadObject, 0};
}

void PulseTaps::destroyAggregateDevice(ObjectId device) {
  SoundServer::Lock lock(server_);
  aggregates_.erase(device);
}

CreatedIOProc PulseTaps::createIOProc(ObjectId device, dispatch::QueuePtr queue, IOBlock block) {
  SoundServer::Lock lock(server_);
  if (aggregates_.count(device) == 0 || !queue) return {kStatusBadObject, std::nullopt};
  IOProcId id = nextProc_++;
  IOProc& p = procs_[id];
  p.device = device;
  p.queue = std::move(queue);
  p.block = std::move(block);
  p.live = std::make_shared<std::atomic<bool>>(false);
  return {kStatusOK, id};
}

Status PulseTaps::deviceStart(ObjectId device, IOProcId id) {
  SoundServer::Lock lock(server_);
  auto it = procs_.find(id);
  if (it == procs_.end() || it->second.device != device || !tapOfDevice(device)) return kStatusBadObject;
  if (!server_.connected() || !server_.context()) return PA_ERR_CONNECTIONREFUSED;
  IOProc& proc = it->second;
  proc.running = true;
  proc.live->store(true);
  syncStreams(id, proc);
  return kStatusOK;
}

Status PulseTaps::deviceStop(ObjectId device, IOProcId id) {
  SoundServer::Lock lock(server_);
  auto it = procs_.find(id);
  if (it == procs_.end() || it->second.device != device) return kStatusBadObject;
  closeAll(it->second);
  return kStatusOK;
}

Status PulseTaps::destroyIOProc(ObjectId device, IOProcId id) {
  SoundServer::Lock lock(server_);
  auto it = procs_.find(id);
  if (it == procs_.end() || it->second.device != device) return kStatusBadObject;
  closeAll(it->second);
  procs_.erase(it);
  return kStatusOK;
}

std::vector<std::int32_t> PulseTaps::runningApplicationPids(const std::string& bundleId) {
  server_.ensureStarted();
  std::set<std::int32_t> pids = server_.withModel([&](const Model& m) {
    std::set<std::int32_t> found;
    for (const auto& [_, c] : m.clients)
      if (c.pid && *c.pid > 0 && (c.appId == bundleId || c.binary == bundleId)) found.insert(*c.pid);
    return found;
  });
  // Processes not connected to the server count by their executable name.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
      continue;
    std::error_code linkError;
    auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
    bool match = !linkError && exe.filename() == bundleId;
    if (!match && linkError) {
      std::ifstream comm(entry.path() / "comm");
      std::string text;
      if (comm && std::getline(comm, text)) match = trimmed(text) == bundleId;
    }
    if (match) pids.insert(static_cast<std::int32_t>(std::stol(name)));
  }
  return {pids.begin(), pids.end()};
}

void PulseTaps::onServerEvent(ServerEvent event, std::uint32_t index) {
  for (auto& [id, proc] : procs_) {
    if (!proc.running) continue;
    switch (event) {
      case ServerEvent::sinkInputAdded:
      case ServerEvent::sinkInputChanged:
        syncStreams(id, proc);
        break;
      case ServerEvent::sinkInputRemoved:
        if (auto s = proc.streams.find(index); s != proc.streams.end()) {
          closeStream(s->second);
          proc.streams.erase(s);
        }
        break;
      case ServerEvent::disconnected:
        for (auto& [_, s] : proc.streams) closeStream(s);
        proc.streams.clear();
        break;
      default:
        break;
    }
  }
}

const PulseTaps::Tap* PulseTaps::tapOfDevice(ObjectId device) const {
  auto a = aggregates_.find(device);
  if (a == aggregates_.end()) return nullptr;
  auto t = taps_.find(a->second);
  return t == taps_.end() ? nullptr : &t->second;
}

// Gives every playback stream of the tap's clients a monitor stream, on the
// sink it plays to now.
void PulseTaps::syncStreams(IOProcId id, IOProc& proc) {
  const Tap* tap = tapOfDevice(proc.device);
  if (!tap || !server_.context()) return;
  Model m = server_.model();
  for (auto it = proc.streams.begin(); it != proc.streams.end();) {
    auto input = m.sinkInputs.find(it->first);
    if (input == m.sinkInputs.end() || input->second.device != it->second.sink || !it->second.stream) {
      closeStream(it->second);
      it = proc.streams.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [index, input] : m.sinkInputs) {
    if (tap->clients.count(input.client) == 0 || proc.streams.count(index) != 0) continue;
    openStream(id, proc, index, input.device, m);
  }
}

Status PulseTaps::openStream(IOProcId id, IOProc& proc, std::uint32_t sinkInput, std::uint32_t sink,
                             const Model& m) {
  auto k = m.sinks.find(sink);
  if (k == m.sinks.end()) return kStatusBadObject;
  auto monitor = m.sources.find(k->second.monitorSource);
  if (monitor == m.sources.end()) return kStatusBadObject;
  pa_context* c = server_.context();
  pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(kTapSampleRate), 1};
  pa_stream* s = pa_stream_new(c, "other party", &sampleFormat, nullptr);
  if (!s) return pa_context_errno(c);
  if (pa_stream_set_monitor_stream(s, sinkInput) < 0) {
    pa_stream_unref(s);
    return pa_context_errno(c);
  }
  MonitorStream& entry = proc.streams[sinkInput];
  entry.stream = s;
  entry.sink = sink;
  entry.context = std::make_unique<StreamContext>(StreamContext{this, id, sinkInput});
  pa_stream_set_read_callback(s, &PulseTaps::onRead, entry.context.get());
  pa_stream_set_state_callback(s, &PulseTaps::onState, entry.context.get());
  pa_buffer_attr attr;
  std::memset(&attr, 0xff, sizeof attr);
  attr.fragsize = kMixFrames * static_cast<std::uint32_t>(sizeof(float));
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(s, monitor->second.name.c_str(), &attr, flags) < 0) {
    Status error = pa_context_errno(c);
    closeStream(entry);
    proc.streams.erase(sinkInput);
    return error;
  }
  return kStatusOK;
}

void PulseTaps::closeStream(MonitorStream& s) {
  if (!s.stream) return;
  pa_stream_set_read_callback(s.stream, nullptr, nullptr);
  pa_stream_set_state_callback(s.stream, nullptr, nullptr);
  auto state = pa_stream_get_state(s.stream);
  if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) pa_stream_disconnect(s.stream);
  pa_stream_unref(s.stream);
  s.stream = nullptr;
  s.fifo.clear();
}

void PulseTaps::closeAll(IOProc& proc) {
  proc.running = false;
  proc.live->store(false);
  for (auto& [_, s] : proc.streams) closeStream(s);
  proc.streams.clear();
}

// Hands on whole blocks of the mix: once every stream has one, or once one
// stream is so far ahead that the others count as silent.
void PulseTaps::mix(IOProc& proc) {
  for (;;) {
    std::size_t most = 0;
    std::size_t least = SIZE_MAX;
    for (const auto& [_, s] : proc.streams) {
      most = std::max(most, s.fifo.size());
      least = std::min(least, s.fifo.size());
    }
    if (most < kMixFrames || (least < kMixFrames && most < kMaxLagFrames)) return;
    auto block = std::make_shared<std::vector<float>>(kMixFrames, 0.0f);
    for (auto& [_, s] : proc.streams) {
      std::size_t n = std::min<std::size_t>(kMixFrames, s.fifo.size());
      for (std::size_t i = 0; i < n; ++i) (*block)[i] += s.fifo[i];
      s.fifo.erase(s.fifo.begin(), s.fifo.begin() + static_cast<std::ptrdiff_t>(n));
    }
    for (float& v : *block) v = std::clamp(v, -1.0f, 1.0f);
    proc.queue->async([block, live = proc.live, io = proc.block] {
      if (!live->load()) return;
      RawBuffer raw{1, static_cast<std::uint32_t>(block->size() * sizeof(float)), block->data()};
      io(std::span<const RawBuffer>(&raw, 1));
    });
  }
}

void PulseTaps::onRead(pa_stream* s, std::size_t, void* u) {
  auto* ctx = static_cast<StreamContext*>(u);
  auto p = ctx->taps->procs_.find(ctx->proc);
  if (p == ctx->taps->procs_.end()) return;
  auto entry = p->second.streams.find(ctx->sinkInput);
  if (entry == p->second.streams.end() || entry->second.stream != s) return;
  auto& fifo = entry->second.fifo;
  while (pa_stream_readable_size(s) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
    if (data) {
      const auto* samples = static_cast<const float*>(data);
      fifo.insert(fifo.end(), samples, samples + bytes / sizeof(float));
    }
    pa_stream_drop(s);
  }
  ctx->taps->mix(p->second);
}

void PulseTaps::onState(pa_stream* s, void* u) {
  auto state = pa_stream_get_state(s);
  if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
  // The playback stream ended (or the server went): drop its monitor. libpulse
  // holds its own reference for the length of this call.
  auto* ctx = static_cast<StreamContext*>(u);
  PulseTaps* taps = ctx->taps;
  auto p = taps->procs_.find(ctx->proc);
  if (p == taps->procs_.end()) return;
  auto entry = p->second.streams.find(ctx->sinkInput);
  if (entry == p->second.streams.end() || entry->second.stream != s) return;
  taps->closeStream(entry->second);
  p->second.streams.erase(entry);  // frees ctx: touch nothing after this
}

}  // namespace qln::platform::linux_backend::pulse
