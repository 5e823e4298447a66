// Records and meters the call application's audio through a process tap,
// following the application's audio processes as they come and go.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "dispatch/dispatch.h"
#include "platform/audio_format.h"
#include "platform/process_tap.h"
#include "speech/acoustic_meter.h"
#include "speech/wav_recorder.h"

namespace qln {

// The tap description's UUID as a string; none for no description or one
// without a UUID.
std::optional<std::string> qlnTapUUIDString(const platform::TapDescription* description);

class OtherPartyTap : public std::enable_shared_from_this<OtherPartyTap> {
 public:
  // Creates both queues; starts nothing.
  static std::shared_ptr<OtherPartyTap> make(std::string recordPath, std::int32_t selfPid,
                                             std::uint64_t startAnchor);
  ~OtherPartyTap();

  // Asynchronous on the control queue. Re-targets not yet carried out when
  // a newer one comes are passed over: the tap goes straight to the newest,
  // so a flood of them cannot pile up work (or delay stop) behind it.
  void start(std::optional<std::string> bundleId);
  void setBundle(std::optional<std::string> bundleId);
  // Synchronous on the control queue; returns once the recording is
  // finalized and its line written. Never call it from the control queue.
  void stop();

 private:
  OtherPartyTap(std::string recordPath, std::int32_t selfPid, std::uint64_t startAnchor);

  // All on ctrl.
  std::vector<platform::ObjectId> resolveProcs();
  void buildTap(const std::vector<platform::ObjectId>& procs);
  void teardownTap();
  void rebuild(const std::vector<platform::ObjectId>& procs);
  void emitError(const std::string& message);
  platform::AggregateDescription aggregateDict(const std::string& tapUUID) const;
  // Hands the live format and recorder to the I/O path (none: takes them
  // back). Returns once the I/O queue has them, so after clearing no I/O
  // block can reach the recorder.
  void publishToIO(std::optional<platform::AudioFormat> format, speech::WavRecorderPtr rec);
  // On ioQueue.
  void handleIO(std::span<const platform::RawBuffer> input);
  void accumulateAcoustic(const platform::PcmBuffer& buffer, double sampleRate);

  const std::string recordPath;
  const std::int32_t selfPid;
  const std::uint64_t startAnchor;
  const dispatch::QueuePtr ctrl;
  const dispatch::QueuePtr ioQueue;
  std::optional<std::string> bundleId;
  // The newest re-target not yet carried out on ctrl; set from any thread.
  std::mutex pendingMutex;
  std::optional<std::optional<std::string>> pendingBundle;
  std::vector<platform::ObjectId> currentProcs;
  platform::ObjectId tapID = 0;
  platform::ObjectId aggID = 0;
  std::optional<platform::IOProcId> ioProcID;
  speech::WavRecorderPtr recorder;
  std::optional<platform::AudioFormat> recorderFormat;
  std::optional<platform::AudioFormat> liveFormat;
  std::atomic<bool> emittedRecording{false};
  std::set<std::string> emittedErrors;
  dispatch::CancellablePtr timer;
  std::atomic<bool> stopped{false};
  // The meter fields, owned by ioQueue; its lines go out through ctrl. Made
  // with the tap, as it holds the tap's stop flag weakly.
  std::optional<AcousticMeter> meter;

  // The I/O path's own copies of liveFormat and recorder, read and written
  // on ioQueue only; ctrl changes them through publishToIO.
  std::optional<platform::AudioFormat> ioFormat;
  speech::WavRecorderPtr ioRecorder;
  platform::PcmBufferPtr ioBuffer;  // reused across I/O cycles
};

}  // namespace qln
