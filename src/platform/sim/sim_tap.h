// The scripted process taps and running applications, and the control
// object tests drive them with.
//
// Scenario section "tap" (every key optional):
//
//   "tap": {
//     "available": true,
//         whether the tap entry points exist. Without the section they do
//         not; with it they do unless this says false.
//     "runningApps": {"us.zoom.xos": [123, 124]},
//         the process ids of the running applications of each bundle
//         identifier.
//     "failAt": "description" | "createTap" | "format" | "uuid" |
//               "aggregate" | "ioProc" | "start",
//         the one step that fails, every time it is called:
//           description  no tap description can be made
//           createTap    creating the tap answers "status" (0: tap id 0)
//           format       the 'tfmt' read answers "status" (0: it succeeds
//                        with an all-zero description)
//           uuid         the description has no UUID
//           aggregate    creating the aggregate device answers "status"
//                        (0: device id 0)
//           ioProc       registering the I/O block answers "status" (0: no
//                        proc id)
//           start        starting the device answers "status"
//     "status": -50,
//         the failing step's status. Default -50.
//     "format": {"sampleRate": 48000, "channels": 1,
//                "commonFormat": "float32" | "int16", "interleaved": false}
//         the tap's stream format, passed through as written, so a rate or
//         channel count of 0 scripts an unusable one. Default: 48000 Hz,
//         1 channel, float32, deinterleaved.
//     "source": {"kind": "tone", "hz": 220, "amplitude": 0.2}
//             | {"kind": "silence"} | {"kind": "wav", "path": "/abs/file.wav"}
//         what a started I/O proc captures (sim_source.h): a thread of its
//         own posts one 1024-frame buffer in the tap's format per buffer
//         duration to the I/O block's queue, from each start until its stop.
//         Without a source nothing is delivered to an I/O block but what a
//         test hands to SimTaps::deliver.
//   }
//
// Audio process objects are those of the scripted hardware model
// (sim_hardware.h, "audioProcesses"); this seam only keeps the taps,
// aggregate devices and I/O procs created through it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/audio_format.h"
#include "platform/process_tap.h"

namespace qln::sim {

enum class TapStep { description, createTap, format, uuid, aggregate, ioProc, start };

class SimTaps {
 public:
  // Back to the scenario alone: no objects, an empty call log.
  void reset();

  void setAvailable(bool available);
  // Replaces the running applications of `bundleId`; an empty list quits it.
  void setRunningApp(const std::string& bundleId, std::vector<std::int32_t> pids);
  // Makes `step` fail with `status` from now on; none = nothing fails.
  void failAt(std::optional<TapStep> step, platform::Status status = -50);
  // The format of taps read from now on.
  void setFormat(platform::AudioFormat format);
  platform::AudioFormat format() const;

  // Runs every started I/O block once with `buffer`'s buffer list, each on
  // its own queue (synchronously), and returns how many ran.
  int deliver(const platform::PcmBuffer& buffer);
  // The same with `frames` frames of the current tap format whose float
  // samples all hold `value`.
  int deliverFrames(std::uint32_t frames, float value);

  // Every call of the seam that creates, starts, stops or destroys
  // something, in order: "createTap 201 [90,91]", "destroyTap 201",
  // "createAggregate 202", "destroyAggregate 202", "createIOProc 202 1",
  // "start 202 1", "stop 202 1", "destroyIOProc 202 1". A failed creation
  // logs "createTap failed" and the like.
  std::vector<std::string> calls() const;
  void clearCalls();
  // Objects alive now.
  std::size_t liveTaps() const;
  std::size_t liveAggregates() const;
  std::size_t liveIOProcs() const;
  // The process objects the last tap description was made of.
  std::vector<platform::ObjectId> lastDescribedProcesses() const;
  // Every aggregate description asked for, in order.
  std::vector<platform::AggregateDescription> aggregateDescriptions() const;

  // The seam's calls.
  bool available();
  platform::TapDescriptionPtr makeTapDescription(const std::vector<platform::ObjectId>& processes);
  platform::CreatedObject createProcessTap(const platform::TapDescription& description);
  void destroyProcessTap(platform::ObjectId tap);
  platform::Status getTapPropertyData(platform::ObjectId tap, const platform::PropertyAddress& address,
                                      std::uint32_t& size, void* data);
  platform::CreatedObject createAggregateDevice(const platform::AggregateDescription& description);
  void destroyAggregateDevice(platform::ObjectId device);
  platform::CreatedIOProc createIOProc(platform::ObjectId device, dispatch::QueuePtr queue,
                                       platform::IOBlock block);
  platform::Status deviceStart(platform::ObjectId device, platform::IOProcId proc);
  platform::Status deviceStop(platform::ObjectId device, platform::IOProcId proc);
  platform::Status destroyIOProc(platform::ObjectId device, platform::IOProcId proc);
  std::vector<std::int32_t> runningApplicationPids(const std::string& bundleId);

 private:
  class Feeder;
  struct IOProc {
    platform::ObjectId device = 0;
    dispatch::QueuePtr queue;
    platform::IOBlock block;
    bool running = false;
    std::shared_ptr<Feeder> feeder;  // while started with a scripted source
  };
  bool failing(TapStep step) const;

  mutable std::mutex mutex_;
  bool available_ = false;
  std::map<std::string, std::vector<std::int32_t>> apps_;
  std::optional<TapStep> failAt_;
  platform::Status status_ = -50;
  platform::AudioFormat format_;
  nlohmann::json source_;  // null: no scripted source
  std::map<platform::ObjectId, std::vector<platform::ObjectId>> taps_;
  std::map<platform::ObjectId, platform::AggregateDescription> aggregates_;
  std::map<platform::IOProcId, IOProc> procs_;
  std::vector<std::string> calls_;
  std::vector<platform::ObjectId> lastDescribed_;
  std::vector<platform::AggregateDescription> aggregateDescriptions_;
  platform::ObjectId nextObject_ = 200;
  platform::IOProcId nextProc_ = 1;
  std::uint64_t nextUuid_ = 1;
};

SimTaps& taps();

}  // namespace qln::sim
