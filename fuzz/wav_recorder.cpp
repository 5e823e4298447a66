// The WAV recorder fed buffers of any format, length and sample values, its
// input format switched now and then: the finished file is the 44-byte
// header and whole 16-bit samples, the header's sizes match the bytes after
// it, the duration is those bytes over 32, a second finalize changes
// nothing, and no more samples come out than 16 kHz allows for the input.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "dispatch/virtual_dispatcher.h"
#include "fuzz_check.h"
#include "platform/audio_format.h"
#include "speech/wav_recorder.h"

namespace {

using qln::platform::AudioFormat;
using qln::platform::CommonFormat;
using qln::platform::PcmBuffer;
using qln::speech::WavRecorder;

constexpr double kRates[] = {48000, 44100, 16000, 8000, 96000, 1, 0, -1, std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min(),
                             1e-3, 1e9};

AudioFormat formatFrom(FuzzedDataProvider& in) {
  const double rate = in.ConsumeBool() ? kRates[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kRates) - 1)]
                                       : in.ConsumeFloatingPoint<double>();
  return {rate, in.ConsumeIntegralInRange<std::uint32_t>(1, 8),
          in.ConsumeBool() ? CommonFormat::int16 : CommonFormat::float32, in.ConsumeBool()};
}

void fillSamples(FuzzedDataProvider& in, PcmBuffer& buffer) {
  const auto& f = buffer.format();
  const std::size_t perBuffer = std::size_t{buffer.frameLength()} * (f.interleaved ? f.channelCount : 1);
  for (std::uint32_t b = 0; b < f.bufferCount(); ++b) {
    if (auto* floats = buffer.floatChannelData()) {
      float special[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min(), 1.5f,
                         -1.0f, 0.25f};
      const float value = special[in.ConsumeIntegralInRange<std::size_t>(0, std::size(special) - 1)];
      for (std::size_t i = 0; i < perBuffer; ++i) floats[b][i] = in.ConsumeBool() ? value : in.ConsumeFloatingPoint<float>();
    } else {
      auto* ints = buffer.int16ChannelData();
      for (std::size_t i = 0; i < perBuffer; ++i) ints[b][i] = in.ConsumeIntegral<std::int16_t>();
    }
  }
}

std::uint32_t le32(const std::vector<unsigned char>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/qln-fuzz-wav-" + std::to_string(::getpid()) + ".wav";
  FuzzedDataProvider in(data, size);
  qln::dispatch::ScopedVirtualDispatcher clock;
  const AudioFormat inputFormat = formatFrom(in);
  auto recorder = WavRecorder::make(path, inputFormat);
  const bool usable = AudioFormat::make(inputFormat.commonFormat, inputFormat.sampleRate, inputFormat.channelCount,
                                        inputFormat.interleaved).has_value();
  if (!usable) FUZZ_CHECK(!recorder);
  if (!recorder) return 0;

  double mostFrames = 0;  // at 16 kHz, for everything appended
  AudioFormat current = inputFormat;
  while (in.remaining_bytes() > 0) {
    const int op = in.ConsumeIntegralInRange<int>(0, 9);
    if (op == 0) {
      const AudioFormat next = formatFrom(in);
      if (recorder->switchInputFormat(next)) {
        current = next;
        mostFrames += 8 * 1600;
      }
      continue;
    }
    // Mostly the format the recorder expects, sometimes one it does not.
    const AudioFormat format = op == 1 ? formatFrom(in) : current;
    const auto frames = in.ConsumeIntegralInRange<std::uint32_t>(0, 4096);
    auto buffer = PcmBuffer::make(format, std::max<std::uint32_t>(frames, 1));
    if (!buffer) continue;
    buffer->setFrameLength(frames);
    fillSamples(in, *buffer);
    // The converter reads any buffer laid out as it expects at its own rate.
    if (qln::platform::sameLayout(format, current)) mostFrames += 16000.0 / current.sampleRate * frames + 16;
    recorder->append(*buffer);
    if (in.ConsumeBool()) clock->runUntilIdle();
  }

  const std::uint64_t ms = recorder->finalize();
  std::ifstream file(path, std::ios::binary);
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  FUZZ_CHECK(bytes.size() >= WavRecorder::kHeaderBytes);
  const std::uint64_t dataBytes = bytes.size() - WavRecorder::kHeaderBytes;
  FUZZ_CHECK(std::memcmp(bytes.data(), "RIFF", 4) == 0 && std::memcmp(bytes.data() + 8, "WAVEfmt ", 8) == 0);
  FUZZ_CHECK(std::memcmp(bytes.data() + 36, "data", 4) == 0);
  FUZZ_CHECK(le32(bytes, 40) == dataBytes);
  FUZZ_CHECK(le32(bytes, 4) == dataBytes + 36);
  FUZZ_CHECK(dataBytes % 2 == 0);
  FUZZ_CHECK(ms == dataBytes / WavRecorder::kBytesPerMs);
  FUZZ_CHECK(static_cast<double>(dataBytes / 2) <= mostFrames);
  FUZZ_CHECK(recorder->finalize() == ms);
  return 0;
}
