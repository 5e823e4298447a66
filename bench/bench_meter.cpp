// The acoustic meter's per-buffer cost on the audio thread: one 1024-frame
// 48 kHz float buffer, in ns and as a multiple of real time (the buffer
// holds 21.33 ms of audio), with heap allocations per buffer (one emission
// block per fifth buffer is the budget).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>

#include "dispatch/dispatch.h"
#include "platform/audio_format.h"
#include "speech/acoustic_meter.h"

namespace {
std::atomic<std::uint64_t> allocations{0};
}

// Counting replacements of the global allocation functions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// Takes the emission blocks and drops them: the queue's own cost is not the
// meter's.
class DroppingQueue final : public qln::dispatch::Queue {
 public:
  const std::string& label() const override { return label_; }
  void async(qln::dispatch::Block block) override {
    ++posted;
    benchmark::DoNotOptimize(block);
  }
  void sync(qln::dispatch::Block block) override { block(); }
  bool isCurrent() const override { return false; }
  std::uint64_t posted = 0;

 private:
  std::string label_ = "qln.mic.acoustic";
};

void BM_MeterPerBuffer(benchmark::State& state) {
  constexpr std::uint32_t kFrames = 1024;
  constexpr double kRate = 48000;
  auto format = qln::platform::AudioFormat::standard(kRate, 1);
  auto buffer = qln::platform::PcmBuffer::make(*format, kFrames);
  buffer->setFrameLength(kFrames);
  float* samples = buffer->floatChannelData()[0];
  for (std::uint32_t i = 0; i < kFrames; ++i)
    samples[i] = static_cast<float>(0.2 * std::sin(2 * std::numbers::pi * 440.0 * i / kRate));

  auto queue = std::make_shared<DroppingQueue>();
  auto stop = std::make_shared<std::atomic<bool>>(false);
  qln::AcousticMeter meter(qln::AcousticMeter::Line::mic, queue, stop, qln::dispatch::nowNs());

  std::uint64_t allocBefore = allocations.load();
  auto started = std::chrono::steady_clock::now();
  for (auto _ : state) {
    meter.accumulate(*buffer, kRate);
    benchmark::ClobberMemory();
  }
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
  auto buffers = static_cast<double>(state.iterations());
  state.counters["allocsPerBuffer"] = static_cast<double>(allocations.load() - allocBefore) / buffers;
  state.counters["linesPerBuffer"] = static_cast<double>(queue->posted) / buffers;
  // Seconds of audio metered per second of wall time.
  state.counters["xRealTime"] = buffers * (kFrames / kRate) / wall.count();
}
BENCHMARK(BM_MeterPerBuffer);

}  // namespace

BENCHMARK_MAIN();
