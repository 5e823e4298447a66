#include "platform/sim/sim_tap.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/sim/scenario.h"
#include "platform/sim/sim_source.h"

namespace qln::sim {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::ObjectId;
using platform::Status;

namespace {

constexpr AudioFormat kDefaultFormat{48000.0, 1, CommonFormat::float32, false};

class SimTapDescription final : public platform::TapDescription {
 public:
  explicit SimTapDescription(std::optional<std::string> uuid) : uuid_(std::move(uuid)) {}
  std::optional<std::string> uuidString() const override { return uuid_; }

 private:
  std::optional<std::string> uuid_;
};

std::optional<TapStep> stepFromText(const std::string& text) {
  static const std::map<std::string, TapStep> steps = {
      {"description", TapStep::description}, {"createTap", TapStep::createTap},
      {"format", TapStep::format},           {"uuid", TapStep::uuid},
      {"aggregate", TapStep::aggregate},     {"ioProc", TapStep::ioProc},
      {"start", TapStep::start}};
  auto it = steps.find(text);
  if (it == steps.end()) return std::nullopt;
  return it->second;
}

AudioFormat parseFormat(const nlohmann::json& f) {
  AudioFormat format = kDefaultFormat;
  if (!f.is_object()) return format;
  if (auto it = f.find("sampleRate"); it != f.end() && it->is_number()) format.sampleRate = it->get<double>();
  if (auto it = f.find("channels"); it != f.end() && it->is_number_integer())
    format.channelCount = numberAs<std::uint32_t>(*it).value_or(format.channelCount);
  if (auto it = f.find("commonFormat"); it != f.end() && it->is_string())
    format.commonFormat = it->get<std::string>() == "int16" ? CommonFormat::int16 : CommonFormat::float32;
  if (auto it = f.find("interleaved"); it != f.end() && it->is_boolean()) format.interleaved = it->get<bool>();
  return format;
}

std::string idList(const std::vector<ObjectId>& ids) {
  std::string s = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) s += (i ? "," : "") + std::to_string(ids[i]);
  return s + "]";
}

}  // namespace

// Posts the scripted source to an I/O block at real-time pace, each cycle
// in a buffer of its own (the block may run after the next one is filled).
// Never waits on the block's queue, so stopping it from that queue is safe.
class SimTaps::Feeder {
 public:
  Feeder(const nlohmann::json& script, AudioFormat format, dispatch::QueuePtr queue, platform::IOBlock block)
      : thread_([this, script, format, queue = std::move(queue), block = std::move(block)] {
          run(script, format, queue, block);
        }) {}
  ~Feeder() {
    {
      std::lock_guard<std::mutex> g(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  static constexpr std::uint32_t kFrames = 1024;

  void run(const nlohmann::json& script, const AudioFormat& format, const dispatch::QueuePtr& queue,
           const platform::IOBlock& block) {
    if (!(format.sampleRate >= 1.0 && format.sampleRate <= kMaxScriptedRate)) return;  // delivers nothing
    AudioSource source(script, format);
    const auto begin = std::chrono::steady_clock::now();
    std::uint64_t sent = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      auto due = begin + std::chrono::nanoseconds(static_cast<std::int64_t>(
                             static_cast<double>(sent + kFrames) * 1e9 / format.sampleRate));
      if (wake_.wait_until(lock, due, [this] { return stop_; })) return;
      std::shared_ptr<platform::PcmBuffer> buffer = platform::PcmBuffer::make(format, kFrames);
      if (!buffer) return;
      source.fill(*buffer);
      queue->async([block, buffer] { block(buffer->audioBufferList()); });
      sent += kFrames;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: started once the rest is built
};

void SimTaps::reset() {
  std::lock_guard<std::mutex> g(mutex_);
  const auto& root = scenario();
  auto section = root.find("tap");
  bool present = section != root.end() && section->is_object();
  nlohmann::json s = present ? *section : nlohmann::json::object();
  available_ = present && field(s, "available", true);
  apps_.clear();
  if (auto it = s.find("runningApps"); it != s.end() && it->is_object()) {
    for (const auto& [bundle, pids] : it->items()) {
      if (!pids.is_array()) continue;
      for (const auto& pid : pids)
        if (auto n = numberAs<std::int32_t>(pid); n && !pid.is_number_float()) apps_[bundle].push_back(*n);
    }
  }
  failAt_.reset();
  if (auto it = s.find("failAt"); it != s.end() && it->is_string()) failAt_ = stepFromText(it->get<std::string>());
  status_ = -50;
  if (auto it = s.find("status"); it != s.end() && it->is_number_integer()) status_ = numberAs<Status>(*it).value_or(status_);
  format_ = parseFormat(field(s, "format", nlohmann::json()));
  source_ = nlohmann::json();
  if (auto it = s.find("source"); it != s.end() && it->is_object()) source_ = *it;
  taps_.clear();
  aggregates_.clear();
  procs_.clear();
  calls_.clear();
  lastDescribed_.clear();
  aggregateDescriptions_.clear();
  nextObject_ = 200;
  nextProc_ = 1;
  nextUuid_ = 1;
}

void SimTaps::setAvailable(bool available) {
  std::lock_guard<std::mutex> g(mutex_);
  available_ = available;
}

void SimTaps::setRunningApp(const std::string& bundleId, std::vector<std::int32_t> pids) {
  std::lock_guard<std::mutex> g(mutex_);
  if (pids.empty()) {
    apps_.erase(bundleId);
  } else {
    apps_[bundleId] = std::move(pids);
  }
}

void SimTaps::failAt(std::optional<TapStep> step, Status status) {
  std::lock_guard<std::mutex> g(mutex_);
  failAt_ = step;
  status_ = status;
}

void SimTaps::setFormat(AudioFormat format) {
  std::lock_guard<std::mutex> g(mutex_);
  format_ = format;
}

AudioFormat SimTaps::format() const {
  std::lock_guard<std::mutex> g(mutex_);
  return format_;
}

int SimTaps::deliver(const platform::PcmBuffer& buffer) {
  std::vector<std::pair<dispatch::QueuePtr, platform::IOBlock>> running;
  {
    std::lock_guard<std::mutex> g(mutex_);
    for (const auto& [id, proc] : procs_)
      if (proc.running) running.emplace_back(proc.queue, proc.block);
  }
  // Structured bindings cannot be captured by clang 14.
  for (auto& entry : running) entry.first->sync([&] { entry.second(buffer.audioBufferList()); });
  return static_cast<int>(running.size());
}

int SimTaps::deliverFrames(std::uint32_t frames, float value) {
  auto buffer = platform::PcmBuffer::make(format(), frames);
  if (!buffer) return 0;
  buffer->setFrameLength(frames);
  if (auto* channels = buffer->floatChannelData()) {
    const auto& f = buffer->format();
    std::size_t perBuffer = std::size_t{frames} * (f.interleaved ? f.channelCount : 1);
    for (std::uint32_t b = 0; b < f.bufferCount(); ++b)
      for (std::size_t i = 0; i < perBuffer; ++i) channels[b][i] = value;
  }
  return deliver(*buffer);
}

std::vector<std::string> SimTaps::calls() const {
  std::lock_guard<std::mutex> g(mutex_);
  return calls_;
}

void SimTaps::clearCalls() {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.clear();
}

std::size_t SimTaps::liveTaps() const {
  std::lock_guard<std::mutex> g(mutex_);
  return taps_.size();
}

std::size_t SimTaps::liveAggregates() const {
  std::lock_guard<std::mutex> g(mutex_);
  return aggregates_.size();
}

std::size_t SimTaps::liveIOProcs() const {
  std::lock_guard<std::mutex> g(mutex_);
  return procs_.size();
}

std::vector<ObjectId> SimTaps::lastDescribedProcesses() const {
  std::lock_guard<std::mutex> g(mutex_);
  return lastDescribed_;
}

std::vector<platform::AggregateDescription> SimTaps::aggregateDescriptions() const {
  std::lock_guard<std::mutex> g(mutex_);
  return aggregateDescriptions_;
}

bool SimTaps::failing(TapStep step) const { return failAt_ && *failAt_ == step; }

bool SimTaps::available() {
  std::lock_guard<std::mutex> g(mutex_);
  return available_;
}

platform::TapDescriptionPtr SimTaps::makeTapDescription(const std::vector<ObjectId>& processes) {
  std::lock_guard<std::mutex> g(mutex_);
  if (failing(TapStep::description)) return nullptr;
  lastDescribed_ = processes;
  if (failing(TapStep::uuid)) return std::make_shared<SimTapDescription>(std::nullopt);
  char uuid[64];
  std::snprintf(uuid, sizeof uuid, "00000000-0000-4000-8000-%012llu",
                static_cast<unsigned long long>(nextUuid_++));
  return std::make_shared<SimTapDescription>(uuid);
}

platform::CreatedObject SimTaps::createProcessTap(const platform::TapDescription&) {
  std::lock_guard<std::mutex> g(mutex_);
  if (failing(TapStep::createTap)) {
    calls_.push_back("createTap failed");
    return {status_, 0};
  }
  ObjectId id = nextObject_++;
  taps_[id] = lastDescribed_;
  calls_.push_back("createTap " + std::to_string(id) + " " + idList(lastDescribed_));
  return {platform::kStatusOK, id};
}

void SimTaps::destroyProcessTap(ObjectId tap) {
  std::lock_guard<std::mutex> g(mutex_);
  taps_.erase(tap);
  calls_.push_back("destroyTap " + std::to_string(tap));
}

Status SimTaps::getTapPropertyData(ObjectId tap, const platform::PropertyAddress& address,
                                   std::uint32_t& size, void* data) {
  std::lock_guard<std::mutex> g(mutex_);
  if (taps_.count(tap) == 0) return platform::kStatusBadObject;
  if (address.selector != platform::kQLNTapFormat) return platform::kStatusUnknownProperty;
  if (size < sizeof(platform::StreamDescription)) return platform::kStatusBadPropertySize;
  platform::StreamDescription d;
  if (failing(TapStep::format)) {
    if (status_ != platform::kStatusOK) return status_;
  } else {
    d = format_.streamDescription();
  }
  std::memcpy(data, &d, sizeof d);
  size = sizeof d;
  return platform::kStatusOK;
}

platform::CreatedObject SimTaps::createAggregateDevice(const platform::AggregateDescription& description) {
  std::lock_guard<std::mutex> g(mutex_);
  aggregateDescriptions_.push_back(description);
  if (failing(TapStep::aggregate)) {
    calls_.push_back("createAggregate failed");
    return {status_, 0};
  }
  ObjectId id = nextObject_++;
  aggregates_[id] = description;
  calls_.push_back("createAggregate " + std::to_string(id));
  return {platform::kStatusOK, id};
}

void SimTaps::destroyAggregateDevice(ObjectId device) {
  std::lock_guard<std::mutex> g(mutex_);
  aggregates_.erase(device);
  calls_.push_back("destroyAggregate " + std::to_string(device));
}

platform::CreatedIOProc SimTaps::createIOProc(ObjectId device, dispatch::QueuePtr queue, platform::IOBlock block) {
  std::lock_guard<std::mutex> g(mutex_);
  if (failing(TapStep::ioProc) || aggregates_.count(device) == 0) {
    calls_.push_back("createIOProc failed");
    return {failing(TapStep::ioProc) ? status_ : platform::kStatusBadObject, std::nullopt};
  }
  platform::IOProcId id = nextProc_++;
  procs_[id] = IOProc{device, std::move(queue), std::move(block), false};
  calls_.push_back("createIOProc " + std::to_string(device) + " " + std::to_string(id));
  return {platform::kStatusOK, id};
}

Status SimTaps::deviceStart(ObjectId device, platform::IOProcId proc) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = procs_.find(proc);
  if (failing(TapStep::start) || it == procs_.end() || it->second.device != device) {
    calls_.push_back("start failed");
    return failing(TapStep::start) ? status_ : platform::kStatusBadObject;
  }
  it->second.running = true;
  if (!source_.is_null() && format_.sampleRate > 0 && format_.channelCount > 0)
    it->second.feeder = std::make_shared<Feeder>(source_, format_, it->second.queue, it->second.block);
  calls_.push_back("start " + std::to_string(device) + " " + std::to_string(proc));
  return platform::kStatusOK;
}

Status SimTaps::deviceStop(ObjectId device, platform::IOProcId proc) {
  std::shared_ptr<Feeder> feeder;
  {
    std::lock_guard<std::mutex> g(mutex_);
    calls_.push_back("stop " + std::to_string(device) + " " + std::to_string(proc));
    auto it = procs_.find(proc);
    if (it == procs_.end()) return platform::kStatusBadObject;
    it->second.running = false;
    feeder = std::move(it->second.feeder);
  }
  // Joined here: once stop returns no new cycle is posted.
  feeder.reset();
  return platform::kStatusOK;
}

Status SimTaps::destroyIOProc(ObjectId device, platform::IOProcId proc) {
  std::lock_guard<std::mutex> g(mutex_);
  calls_.push_back("destroyIOProc " + std::to_string(device) + " " + std::to_string(proc));
  auto it = procs_.find(proc);
  if (it == procs_.end()) return platform::kStatusBadObject;
  procs_.erase(it);
  return platform::kStatusOK;
}

std::vector<std::int32_t> SimTaps::runningApplicationPids(const std::string& bundleId) {
  std::lock_guard<std::mutex> g(mutex_);
  auto it = apps_.find(bundleId);
  return it == apps_.end() ? std::vector<std::int32_t>{} : it->second;
}

SimTaps& taps() {
  static auto* t = [] {
    auto* created = new SimTaps;
    created->reset();
    return created;
  }();
  return *t;
}

namespace {
const ResetRegistration kReset([] { taps().reset(); });
}  // namespace

}  // namespace qln::sim

namespace qln::platform {

namespace {

// Forwards the seam to the scripted model.
class SimProcessTaps final : public ProcessTaps {
 public:
  bool available() override { return sim::taps().available(); }
  TapDescriptionPtr makeTapDescription(const std::vector<ObjectId>& processes) override {
    return sim::taps().makeTapDescription(processes);
  }
  CreatedObject createProcessTap(const TapDescription& d) override { return sim::taps().createProcessTap(d); }
  void destroyProcessTap(ObjectId tap) override { sim::taps().destroyProcessTap(tap); }
  Status getTapPropertyData(ObjectId tap, const PropertyAddress& address, std::uint32_t& size,
                            void* data) override {
    return sim::taps().getTapPropertyData(tap, address, size, data);
  }
  CreatedObject createAggregateDevice(const AggregateDescription& d) override {
    return sim::taps().createAggregateDevice(d);
  }
  void destroyAggregateDevice(ObjectId device) override { sim::taps().destroyAggregateDevice(device); }
  CreatedIOProc createIOProc(ObjectId device, dispatch::QueuePtr queue, IOBlock block) override {
    return sim::taps().createIOProc(device, std::move(queue), std::move(block));
  }
  Status deviceStart(ObjectId device, IOProcId proc) override { return sim::taps().deviceStart(device, proc); }
  Status deviceStop(ObjectId device, IOProcId proc) override { return sim::taps().deviceStop(device, proc); }
  Status destroyIOProc(ObjectId device, IOProcId proc) override { return sim::taps().destroyIOProc(device, proc); }
  std::vector<std::int32_t> runningApplicationPids(const std::string& bundleId) override {
    return sim::taps().runningApplicationPids(bundleId);
  }
};

}  // namespace

ProcessTaps& processTaps() {
  static auto* t = new SimProcessTaps;
  return *t;
}

}  // namespace qln::platform
