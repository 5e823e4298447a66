// The acoustic meter shared by the two runners (micAcoustic) and the
// other-party tap (otherAcoustic): one loudness event per 100 ms of audio,
// with an RMS level, a decibel figure (microphone only) and a voiced flag
// held 200 ms after the last block clearly above the tracked noise floor.
//
// The per-buffer call runs on the delivering audio thread and belongs to it
// alone: it allocates nothing but the one emission block per 100 ms, takes
// no lock and writes nothing. The line is written on the owner's serial
// emission queue.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "dispatch/dispatch.h"

namespace qln::platform {
class PcmBuffer;
}

namespace qln {

class AcousticMeter {
 public:
  enum class Line { mic, other };

  // One finished emission block.
  struct Block {
    std::uint64_t t = 0;  // meter time, ms since the start anchor
    double rms = 0.0;     // clamped to 1.0
    double db = 0.0;      // microphone lines only
    bool voiced = false;
  };

  // `stopFlag` is the owner's stop flag, held weakly: an expired pointer
  // means the owner is gone. An owner whose flag is a member passes an
  // aliasing pointer (std::shared_ptr<std::atomic<bool>>(self, &self->stopping)),
  // or holds its flag in a shared_ptr of its own. `startAnchor` is the
  // monotonic uptime in ns that meter time counts from.
  AcousticMeter(Line line, dispatch::QueuePtr emissionQueue,
                std::weak_ptr<const std::atomic<bool>> stopFlag, std::uint64_t startAnchor);

  // Every step for one delivered buffer: measure, then post the line when a
  // block completes.
  void accumulate(const platform::PcmBuffer& buffer, double sampleRate);
  void accumulate(const float* samples, std::uint32_t frames, double sampleRate,
                  std::size_t stride = 1);

  // The measuring steps alone, for an owner that does more with a finished
  // block before posting it (the analyzer's voiced-speech accounting).
  // Reads channel 0 only; of an interleaved buffer every `stride`-th sample.
  std::optional<Block> measure(const platform::PcmBuffer& buffer, double sampleRate);
  std::optional<Block> measure(const float* samples, std::uint32_t frames, double sampleRate,
                               std::size_t stride = 1);

  // Posts the block's line to the emission queue; the posted block writes
  // nothing once the owner is gone or its stop flag is set.
  void post(const Block& block) const;

  // The line for a block, exactly as written.
  static std::string format(Line line, const Block& block);

  double currentNoiseFloor() const { return noiseFloor; }

 private:
  double accSumSq = 0.0;
  std::int64_t accFrames = 0;
  double noiseFloor = 0.0;  // RMS level; 0.0 = not yet set
  std::uint64_t voicedHangUntilMs = 0;
  const double emitIntervalMs = 100.0;
  const double voiceFactor = 3.0;
  const double voiceFloorEpsilon = 0.0008;
  const std::uint64_t voicedHangMs = 200;

  const Line line_;
  const dispatch::QueuePtr emissionQueue_;
  const std::weak_ptr<const std::atomic<bool>> stopFlag_;
  const std::uint64_t startAnchor_;
};

}  // namespace qln
