#include "speech/acoustic_meter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "output/output.h"
#include "platform/audio_format.h"

namespace qln {

AcousticMeter::AcousticMeter(Line line, dispatch::QueuePtr emissionQueue,
                             std::weak_ptr<const std::atomic<bool>> stopFlag, std::uint64_t startAnchor)
    : line_(line),
      emissionQueue_(std::move(emissionQueue)),
      stopFlag_(std::move(stopFlag)),
      startAnchor_(startAnchor) {}

void AcousticMeter::accumulate(const platform::PcmBuffer& buffer, double sampleRate) {
  if (auto block = measure(buffer, sampleRate)) post(*block);
}

void AcousticMeter::accumulate(const float* samples, std::uint32_t frames, double sampleRate,
                               std::size_t stride) {
  if (auto block = measure(samples, frames, sampleRate, stride)) post(*block);
}

std::optional<AcousticMeter::Block> AcousticMeter::measure(const platform::PcmBuffer& buffer,
                                                           double sampleRate) {
  const float* const* channels = buffer.floatChannelData();
  const auto& format = buffer.format();
  std::size_t stride = format.interleaved && format.channelCount > 1 ? format.channelCount : 1;
  return measure(channels != nullptr ? channels[0] : nullptr, buffer.frameLength(), sampleRate, stride);
}

std::optional<AcousticMeter::Block> AcousticMeter::measure(const float* samples, std::uint32_t frames,
                                                           double sampleRate, std::size_t stride) {
  // 1. Unusable buffers change nothing (a NaN rate fails the comparison).
  if (!(sampleRate > 0) || samples == nullptr || frames == 0) return std::nullopt;

  // 2-3. One pass, widened to double before squaring.
  double sum = 0.0;
  for (std::size_t i = 0, n = static_cast<std::size_t>(frames) * stride; i < n; i += stride) {
    double s = samples[i];
    sum += s * s;
  }
  accSumSq += sum;
  accFrames += frames;

  // 4. An infinite rate never completes a block.
  double neededExact = std::trunc(sampleRate * emitIntervalMs / 1000.0);
  if (neededExact < 1.0) return std::nullopt;
  if (neededExact >= static_cast<double>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  auto needed = static_cast<std::int64_t>(neededExact);
  if (accFrames < needed) return std::nullopt;

  // 5. The whole accumulation goes into this block; nothing carries over.
  double mean = accSumSq / static_cast<double>(accFrames);
  accSumSq = 0.0;
  accFrames = 0;

  Block block;
  // 6.
  double rms = std::sqrt(mean);
  if (!std::isfinite(rms)) rms = 0.0;
  rms = std::min(rms, 1.0);
  block.rms = rms;

  // 7. From the unclamped mean, so a clipped level reads above 0 dB.
  if (line_ == Line::mic) {
    double p = mean >= 0 ? mean : 0.0;
    block.db = std::isfinite(p) ? 10.0 * std::log10(p + 1e-10) : -100.0;
  }

  // 8.
  std::uint64_t now = dispatch::nowNs();
  block.t = now > startAnchor_ ? (now - startAnchor_) / dispatch::kNsPerMs : 0;

  // 9. The floor falls fast and rises slowly; silence leaves an unset floor unset.
  if (noiseFloor == 0.0)
    noiseFloor = rms;
  else if (rms < noiseFloor)
    noiseFloor = rms * 0.1 + noiseFloor * 0.9;
  else
    noiseFloor = rms * 0.005 + noiseFloor * 0.995;

  // 10.
  double threshold = noiseFloor * voiceFactor + voiceFloorEpsilon;
  if (rms > threshold) voicedHangUntilMs = block.t + voicedHangMs;
  block.voiced = block.t < voicedHangUntilMs;
  return block;
}

void AcousticMeter::post(const Block& block) const {
  // 11. Only the finished values cross to the emission queue.
  emissionQueue_->async([stop = stopFlag_, line = line_, block] {
    auto flag = stop.lock();
    if (!flag || flag->load()) return;
    output::writeLine(format(line, block));
  });
}

std::string AcousticMeter::format(Line line, const Block& block) {
  char t[24];
  auto end = std::to_chars(t, t + sizeof t, block.t).ptr;
  std::string s = line == Line::mic ? "{\"ev\":\"micAcoustic\",\"t\":" : "{\"ev\":\"otherAcoustic\",\"t\":";
  s.append(t, end);
  s += ",\"rms\":";
  s += output::fixed(block.rms, 4);
  if (line == Line::mic) {
    s += ",\"db\":";
    s += output::fixed(block.db, 1);
  }
  s += ",\"voiced\":";
  s += output::boolJSON(block.voiced);
  s += '}';
  return s;
}

}  // namespace qln
