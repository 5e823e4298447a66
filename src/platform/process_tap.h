// Tapping other processes' audio: a process tap mixing chosen audio process
// objects down to mono, a private aggregate device wrapping it, and an I/O
// block that receives its audio on a queue of the caller's choosing. Also the
// running applications of a bundle identifier, which tell the tap which
// process trees belong to the target.
//
// The backend only answers these calls; which processes to tap, the order of
// the steps and the clean-up after a failure belong to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dispatch/dispatch.h"
#include "platform/audio_format.h"
#include "platform/hardware.h"

namespace qln::platform {

// A mono-mixdown tap description of a set of audio process objects.
class TapDescription {
 public:
  virtual ~TapDescription() = default;
  // The description's UUID in its string form; none when it has none.
  virtual std::optional<std::string> uuidString() const = 0;
};
using TapDescriptionPtr = std::shared_ptr<const TapDescription>;

// The aggregate device description, key by key.
struct AggregateTap {
  std::string uid;    // "uid": the tap description's UUID
  bool drift = true;  // "drift": drift compensation
  bool operator==(const AggregateTap&) const = default;
};
struct AggregateDescription {
  std::string name;           // "name"
  std::string uid;            // "uid"
  bool isPrivate = true;      // "private"
  bool stacked = false;       // "stacked"
  bool tapAutoStart = true;   // "tapautostart"
  std::vector<AggregateTap> taps;  // "taps"
  bool operator==(const AggregateDescription&) const = default;
};

using IOProcId = std::uint64_t;
// One I/O cycle's input buffer list, valid only during the call.
using IOBlock = std::function<void(std::span<const RawBuffer> input)>;

struct CreatedObject {
  Status status = kStatusOK;
  ObjectId id = 0;  // 0 = none, whatever the status
};
struct CreatedIOProc {
  Status status = kStatusOK;
  std::optional<IOProcId> id;
};

class ProcessTaps {
 public:
  virtual ~ProcessTaps() = default;

  // Whether the system's tap entry points (create and destroy) exist. When
  // they do not, the caller must not call createProcessTap or
  // destroyProcessTap.
  virtual bool available() = 0;
  // None when the system cannot describe a tap (no description class, or
  // the description refuses these processes).
  virtual TapDescriptionPtr makeTapDescription(const std::vector<ObjectId>& processes) = 0;
  virtual CreatedObject createProcessTap(const TapDescription& description) = 0;
  virtual void destroyProcessTap(ObjectId tap) = 0;
  // A property read on a tap object ('tfmt': its 40-byte stream
  // description), with the contract of HardwareObjects::getPropertyData.
  virtual Status getTapPropertyData(ObjectId tap, const PropertyAddress& address,
                                    std::uint32_t& size, void* data) = 0;

  virtual CreatedObject createAggregateDevice(const AggregateDescription& description) = 0;
  virtual void destroyAggregateDevice(ObjectId device) = 0;
  // `block` runs on `queue`, once per I/O cycle while the device runs.
  virtual CreatedIOProc createIOProc(ObjectId device, dispatch::QueuePtr queue, IOBlock block) = 0;
  virtual Status deviceStart(ObjectId device, IOProcId proc) = 0;
  // Once it returns no new I/O cycle starts; one already on its queue may
  // still run.
  virtual Status deviceStop(ObjectId device, IOProcId proc) = 0;
  virtual Status destroyIOProc(ObjectId device, IOProcId proc) = 0;

  // Process ids of every running application with exactly this bundle
  // identifier.
  virtual std::vector<std::int32_t> runningApplicationPids(const std::string& bundleId) = 0;
};

// Defined by the backend the binary links.
ProcessTaps& processTaps();

}  // namespace qln::platform
