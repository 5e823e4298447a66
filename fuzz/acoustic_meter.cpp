// The acoustic meter fed buffers of any format, length and sample values
// (NaN, infinities, denormals, huge and tiny rates): a block comes exactly
// when the frames since the last one reach 100 ms at the buffer's rate; its
// level is finite and within [0, 1], its decibel figure finite and at least
// -100, the noise floor stays within [0, 1], meter time never goes back, the
// first block is never voiced, and the line reads back as its values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include "dispatch/virtual_dispatcher.h"
#include "fuzz_check.h"
#include "output/output.h"
#include "platform/audio_format.h"
#include "speech/acoustic_meter.h"

namespace {

using qln::AcousticMeter;
using qln::platform::AudioFormat;
using qln::platform::CommonFormat;
using qln::platform::PcmBuffer;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kRates[] = {48000, 44100, 16000, 8000, 10, 9.99, 0, -48000, kInf, -kInf,
                             std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min(),
                             1e300, 9.2233720368547758e19};

float sampleFrom(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return in.ConsumeBool() ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    case 2: return std::numeric_limits<float>::denorm_min() * static_cast<float>(in.ConsumeIntegral<std::uint8_t>());
    case 3: return in.ConsumeBool() ? std::numeric_limits<float>::max() : 1.5f;
    case 4: {
      const auto bits = in.ConsumeIntegral<std::uint32_t>();
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return f;
    }
    default: return in.ConsumeFloatingPointInRange<float>(-1.0f, 1.0f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  qln::dispatch::ScopedVirtualDispatcher clock;
  std::vector<std::string> lines;
  qln::output::setSinkForTesting([&lines](qln::output::Channel channel, std::string_view line) {
    if (channel == qln::output::Channel::out) lines.emplace_back(line);
  });
  const auto line = in.ConsumeBool() ? AcousticMeter::Line::mic : AcousticMeter::Line::other;
  auto stop = std::make_shared<std::atomic<bool>>(false);
  AcousticMeter meter(line, clock->makeSerialQueue("qln.mic.acoustic"), stop, qln::dispatch::nowNs());

  std::int64_t accFrames = 0;
  std::uint64_t lastT = 0;
  int blocks = 0;
  while (in.remaining_bytes() > 0) {
    const double rate = in.ConsumeBool() ? kRates[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kRates) - 1)]
                                         : in.ConsumeFloatingPoint<double>();
    AudioFormat format{rate, in.ConsumeIntegralInRange<std::uint32_t>(1, 4),
                       in.ConsumeIntegralInRange<int>(0, 5) == 0 ? CommonFormat::int16 : CommonFormat::float32,
                       in.ConsumeBool()};
    const auto frames = in.ConsumeIntegralInRange<std::uint32_t>(0, 6000);
    auto buffer = PcmBuffer::make(format, std::max<std::uint32_t>(frames, 1));
    FUZZ_CHECK(buffer);
    buffer->setFrameLength(frames);
    if (auto* channels = buffer->floatChannelData()) {
      const std::size_t perBuffer = format.interleaved ? std::size_t{frames} * format.channelCount : frames;
      const float value = sampleFrom(in);
      const bool constant = in.ConsumeBool();
      for (std::size_t i = 0; i < perBuffer; ++i) channels[0][i] = constant || in.remaining_bytes() == 0 ? value : sampleFrom(in);
    }
    clock->advanceMs(in.ConsumeIntegralInRange<std::uint64_t>(0, 300));

    const bool usable = rate > 0 && buffer->floatChannelData() != nullptr && frames > 0;
    if (usable) accFrames += frames;
    const double needed = std::trunc(rate * 100.0 / 1000.0);
    const bool due = usable && needed >= 1.0 && needed < 9.2233720368547758e18 &&
                     accFrames >= static_cast<std::int64_t>(needed);

    const auto block = meter.measure(*buffer, rate);
    FUZZ_CHECK(block.has_value() == due);
    if (!block) continue;
    accFrames = 0;
    FUZZ_CHECK(std::isfinite(block->rms) && block->rms >= 0.0 && block->rms <= 1.0);
    if (line == AcousticMeter::Line::mic) FUZZ_CHECK(std::isfinite(block->db) && block->db >= -100.0);
    FUZZ_CHECK(std::isfinite(meter.currentNoiseFloor()) && meter.currentNoiseFloor() >= 0.0 &&
               meter.currentNoiseFloor() <= 1.0);
    FUZZ_CHECK(block->t >= lastT);
    lastT = block->t;
    if (blocks++ == 0) FUZZ_CHECK(!block->voiced);

    auto parsed = nlohmann::json::parse(AcousticMeter::format(line, *block), nullptr, false);
    FUZZ_CHECK(parsed.is_object());
    FUZZ_CHECK(parsed["t"] == block->t && parsed["voiced"] == block->voiced);
    FUZZ_CHECK(std::fabs(parsed["rms"].get<double>() - block->rms) <= 0.00005 + 1e-12);
    if (line == AcousticMeter::Line::mic) FUZZ_CHECK(std::fabs(parsed["db"].get<double>() - block->db) <= 0.05 + 1e-9);
    meter.post(*block);
  }
  clock->runUntilIdle();
  FUZZ_CHECK(lines.size() == static_cast<std::size_t>(blocks));
  stop->store(true);
  qln::output::setSinkForTesting(nullptr);
  return 0;
}
