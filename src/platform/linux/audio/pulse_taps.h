// Tapping other processes' playback on the sound server. A tap stands for
// the clients behind a set of process objects; its "aggregate device" and
// I/O proc become, once started, one monitor record stream per playback
// stream (sink input) of those clients, on the monitor of the sink it plays
// to, mixed down to mono. Playback streams the clients open later join the
// running mix.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/linux/audio/sound_server.h"
#include "platform/process_tap.h"

namespace qln::platform::linux_backend::pulse {

// The tap's format: what the monitor streams are recorded as.
inline constexpr double kTapSampleRate = 48000.0;

class PulseTaps final : public ProcessTaps, public ServerWatcher, public std::enable_shared_from_this<PulseTaps> {
 public:
  explicit PulseTaps(SoundServer& server) : server_(server) {}
  // Registers with the server for its playback stream events.
  void attach();

  bool available() override;
  TapDescriptionPtr makeTapDescription(const std::vector<ObjectId>& processes) override;
  CreatedObject createProcessTap(const TapDescription& description) override;
  void destroyProcessTap(ObjectId tap) override;
  Status getTapPropertyData(ObjectId tap, const PropertyAddress& address, std::uint32_t& size,
                            void* data) override;
  CreatedObject createAggregateDevice(const AggregateDescription& description) override;
  void destroyAggregateDevice(ObjectId device) override;
  CreatedIOProc createIOProc(ObjectId device, dispatch::QueuePtr queue, IOBlock block) override;
  Status deviceStart(ObjectId device, IOProcId proc) override;
  Status deviceStop(ObjectId device, IOProcId proc) override;
  Status destroyIOProc(ObjectId device, IOProcId proc) override;
  std::vector<std::int32_t> runningApplicationPids(const std::string& bundleId) override;

  void onServerEvent(ServerEvent event, std::uint32_t index) override;

 private:
  // What a monitor stream's callbacks are given: where to find its entry.
  struct StreamContext {
    PulseTaps* taps;
    IOProcId proc;
    std::uint32_t sinkInput;
  };
  struct MonitorStream {
    pa_stream* stream = nullptr;
    std::uint32_t sink = PA_INVALID_INDEX;
    std::vector<float> fifo;
    std::unique_ptr<StreamContext> context;
  };
  struct Tap {
    std::string uuid;
    std::set<std::uint32_t> clients;
  };
  struct IOProc {
    ObjectId device = 0;
    dispatch::QueuePtr queue;
    IOBlock block;
    bool running = false;
    std::shared_ptr<std::atomic<bool>> live;
    std::map<std::uint32_t, MonitorStream> streams;  // by sink input
  };

  // All below: loop locked.
  const Tap* tapOfDevice(ObjectId device) const;
  void syncStreams(IOProcId id, IOProc& proc);
  Status openStream(IOProcId id, IOProc& proc, std::uint32_t sinkInput, std::uint32_t sink, const Model& m);
  void closeStream(MonitorStream& s);
  void closeAll(IOProc& proc);
  void mix(IOProc& proc);
  static void onRead(pa_stream* s, std::size_t, void* u);
  static void onState(pa_stream* s, void* u);

  SoundServer& server_;
  std::map<ObjectId, Tap> taps_;
  std::map<ObjectId, ObjectId> aggregates_;  // device -> tap
  std::map<IOProcId, IOProc> procs_;
  IOProcId nextProc_ = 1;
};

}  // namespace qln::platform::linux_backend::pulse
