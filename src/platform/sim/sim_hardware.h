// The scripted hardware object model: audio devices, audio process objects
// and video devices, as the scenario lists them, changed over time by the
// scenario's timed events or by a test through hardware().
//
// Scenario sections read here:
//   "audioDevices": [ {"id": 40, "name": "MacBook Pro Microphone",
//                      "inputChannels": 1, "running": false}, ... ]
//       "name": a string, or null / absent for a device whose name reads null.
//       "inputChannels": channels of its one input buffer (default 1); 0 or
//       "outputOnly": true gives an input configuration of no buffers.
//       "inputBuffers": [2, 0, 1] lists the channel count of each input
//       buffer instead, overriding both.
//       "running": whether some process uses it ('gone'), default false.
//   "videoDevices": [ {"id": 7, "name": "FaceTime HD Camera", "running": false}, ... ]
//   "audioProcesses": {"supported": true,
//                      "list": [ {"id": 90, "pid": 123, "bundleId": "us.zoom.xos",
//                                 "runningInput": true}, ... ]}
//       Without this section, or with "supported": false, the process object
//       list ('prs#') is absent: its size query fails. "pid" defaults to -1,
//       "bundleId" to null, "runningInput" to false.
//   "hardwareFailures": [ {"family": "audio", "object": 40, "selector": "lnam",
//                          "read": "size" | "data" | "both", "status": 2003332927}, ... ]
//       Makes that property read fail with that status (default 'who?');
//       "family" defaults to "audio", "read" to "both". The system object is 1.
//   "hardwareEvents": [ {"atMs": 2000, "set": {"videoDevices": [...]}}, ... ]
//       At atMs after the sim starts, each section named in "set" replaces
//       the current one whole (same format as above), and the listeners of
//       every property that changed fire. Events run on the main queue of
//       the dispatcher installed when the scenario is loaded, so a test
//       installs its virtual dispatcher before it sets such a scenario.
//
// A change fires, on the main queue, the listeners whose address matches the
// changed property: 'dev#' of the system object when a device list changes
// (membership or order), 'prs#' when the process list or its support
// changes, and on the object itself 'gone', 'lnam', 'slay' (input scope),
// 'piri', 'ppid' or 'pbid' when that value changes.
//
// String properties ('lnam', 'pbid') are read only through
// getPropertyString; their size and data reads answer 'who?'.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/hardware.h"

namespace qln::sim {

enum class Family { audio, video };

struct SimDevice {
  platform::ObjectId id = 0;
  std::optional<std::string> name;
  std::vector<std::uint32_t> inputBuffers{1};  // channels per input buffer
  bool running = false;
  bool operator==(const SimDevice&) const = default;
};

struct SimProcess {
  platform::ObjectId id = 0;
  std::int32_t pid = -1;
  std::optional<std::string> bundleId;
  bool runningInput = false;
  bool operator==(const SimProcess&) const = default;
};

enum class ReadStep { size, data, both };

class SimHardware {
 public:
  SimHardware();

  // Back to the scenario alone: its model and failures, no listeners, read
  // counts at 0; schedules its timed events.
  void reset();

  // Devices: set adds a device of an unknown id at the end of the list and
  // replaces a known one in place.
  void setDevice(Family family, SimDevice device);
  void removeDevice(Family family, platform::ObjectId id);
  void setRunning(Family family, platform::ObjectId id, bool running);
  void setName(Family family, platform::ObjectId id, std::optional<std::string> name);

  // Audio process objects, with the same add-or-replace rule.
  void setProcess(SimProcess process);
  void removeProcess(platform::ObjectId id);
  void setRunningInput(platform::ObjectId id, bool runningInput);
  void setProcessListSupported(bool supported);

  // Makes reads of `selector` on `object` fail with `status` until reset or
  // clearFailures.
  void failRead(Family family, platform::ObjectId object, std::uint32_t selector,
                ReadStep step = ReadStep::both,
                platform::Status status = platform::kStatusUnknownProperty);
  void clearFailures();

  // Replaces whole sections, as a scenario event does.
  void applySections(const nlohmann::json& sections);

  // Property reads of the family since the last reset (size, data and
  // string reads alike).
  std::uint64_t readCount(Family family) const;
  // Listeners registered on an object of the family.
  std::size_t listenerCount(Family family, platform::ObjectId object) const;

  // The seam's calls, for the two family objects.
  platform::Status getPropertyDataSize(Family family, platform::ObjectId object,
                                       const platform::PropertyAddress& address,
                                       std::uint32_t& size);
  platform::Status getPropertyData(Family family, platform::ObjectId object,
                                   const platform::PropertyAddress& address, std::uint32_t& size,
                                   void* data);
  std::optional<std::string> getPropertyString(Family family, platform::ObjectId object,
                                               const platform::PropertyAddress& address);
  void addPropertyListener(Family family, platform::ObjectId object,
                           const platform::PropertyAddress& address, std::function<void()> block);

  struct Model {
    std::vector<SimDevice> audioDevices;
    std::vector<SimDevice> videoDevices;
    bool processListSupported = false;
    std::vector<SimProcess> processes;
  };

 private:
  struct Failure {
    Family family;
    platform::ObjectId object;
    std::uint32_t selector;
    ReadStep step;
    platform::Status status;
  };
  struct Listener {
    Family family;
    platform::ObjectId object;
    platform::PropertyAddress address;
    std::function<void()> block;
  };
  struct Change {
    Family family;
    platform::ObjectId object;
    platform::PropertyAddress address;
  };

  // Runs `mutate` on the model under the lock, then fires the listeners of
  // every property whose value differs afterwards.
  void change(const std::function<void(Model&)>& mutate);
  std::optional<platform::Status> failure(Family family, platform::ObjectId object,
                                          std::uint32_t selector, ReadStep step) const;
  void countRead(Family family);
  std::vector<SimDevice>& devices(Model& model, Family family);

  mutable std::mutex mutex_;
  Model model_;
  std::vector<Failure> failures_;
  std::vector<Listener> listeners_;
  std::atomic<std::uint64_t> audioReads_{0};
  std::atomic<std::uint64_t> videoReads_{0};
  std::uint64_t generation_ = 0;  // timed events of an earlier reset do nothing
};

// The process-wide model behind audioObjects() and videoObjects().
SimHardware& hardware();

}  // namespace qln::sim
