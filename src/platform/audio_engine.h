// The audio engine that captures the microphone: one per runner.
//
// The engine's input node is folded into the engine: every runner uses one
// input node, the same on every call, and only its bus 0.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio_format.h"

namespace qln::platform {

// When a tapped buffer was captured: monotonic host time in nanoseconds.
struct AudioTime {
  std::uint64_t hostTimeNs = 0;
};

// Called on the engine's audio thread, one buffer at a time, while the engine
// runs. The buffer is valid only during the call.
using TapBlock = std::function<void(const PcmBuffer& buffer, AudioTime when)>;

using ObserverToken = std::uint64_t;

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  // Whether the input node has an audio unit whose current device can be
  // set (the pinning below is only tried then).
  virtual bool hasAudioUnit() = 0;
  // Sets the input node's unit to capture from `deviceId`; 0 on success,
  // otherwise the unit's status.
  virtual std::int32_t setInputDevice(std::uint32_t deviceId) = 0;
  // On failure returns false and sets `errorDescription` to a readable text.
  virtual bool setVoiceProcessingEnabled(bool enabled, std::string& errorDescription) = 0;

  // The capture format of the input node's bus 0. May have rate 0 or no
  // channels when there is no usable input; callers check.
  virtual AudioFormat outputFormat() = 0;

  // Taps bus 0: while the engine runs, `block` gets buffers of about
  // `bufferFrames` frames in `format`. Replaces an installed tap.
  virtual void installTap(std::uint32_t bufferFrames, const AudioFormat& format, TapBlock block) = 0;
  // After it returns the tap's block is not called again.
  virtual void removeTap() = 0;

  virtual void prepare() = 0;
  // On failure returns false and sets `error` to a readable text.
  virtual bool start(std::string& error) = 0;
  // After it returns no tap block runs.
  virtual void stop() = 0;

  // `block` runs on the main queue after each device or route change of this
  // engine, until the token is removed.
  virtual ObserverToken addConfigurationChangeObserver(std::function<void()> block) = 0;
  virtual void removeObserver(ObserverToken token) = 0;
};

// Defined by the backend this binary links.
std::unique_ptr<AudioEngine> makeAudioEngine();

}  // namespace qln::platform
