// WAV recorder append: time per 1024-frame 48 kHz float buffer, and how many
// times faster than real time that is (one buffer is 21.33 ms of audio).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "platform/audio_format.h"
#include "speech/wav_recorder.h"

namespace {

using qln::platform::AudioFormat;
using qln::platform::CommonFormat;
using qln::platform::PcmBuffer;

constexpr std::uint32_t kFrames = 1024;
constexpr double kRate = 48000;
constexpr double kBufferSeconds = kFrames / kRate;

void BM_RecorderAppend48kFloat(benchmark::State& state) {
  const AudioFormat format{kRate, 1, CommonFormat::float32, false};
  // The write queue writes to /dev/null on its own thread; what is timed is
  // the capture thread's share: convert, copy, queue.
  auto recorder = qln::speech::WavRecorder::make("/dev/null", format);
  if (!recorder) {
    state.SkipWithError("no recorder on /dev/null");
    return;
  }
  auto buffer = PcmBuffer::make(format, kFrames);
  std::uint64_t n = 0;
  for (std::uint32_t i = 0; i < kFrames; ++i, ++n)
    buffer->floatChannelData()[0][i] =
        static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(n) / kRate));
  buffer->setFrameLength(kFrames);

  auto begin = std::chrono::steady_clock::now();
  for (auto _ : state) recorder->append(*buffer);
  std::chrono::duration<double> spent = std::chrono::steady_clock::now() - begin;

  recorder->finalize();
  // Seconds of audio appended per second spent appending.
  state.counters["xRealtime"] = static_cast<double>(state.iterations()) * kBufferSeconds / spent.count();
}
BENCHMARK(BM_RecorderAppend48kFloat)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
