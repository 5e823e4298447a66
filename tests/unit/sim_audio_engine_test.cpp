#include "platform/sim/sim_audio_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <vector>

#include "dispatch/virtual_dispatcher.h"
#include "platform/sim/scenario.h"

namespace qln::sim {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;

class SimAudioTest : public ::testing::Test {
 protected:
  void TearDown() override { setScenarioForTesting(nlohmann::json::object()); }
  dispatch::ScopedVirtualDispatcher clock_;
};

TEST_F(SimAudioTest, TapGetsBuffersOnlyWhileRunning) {
  setScenarioForTesting(nlohmann::json::object());
  auto engine = platform::makeAudioEngine();
  AudioFormat f = engine->outputFormat();
  EXPECT_EQ(f, (AudioFormat{48000, 1, CommonFormat::float32, false}));
  int got = 0;
  engine->installTap(1024, f, [&](const PcmBuffer& b, platform::AudioTime t) {
    ++got;
    EXPECT_EQ(b.frameLength(), 7u);
    EXPECT_EQ(t.hostTimeNs, 99u);
  });
  auto buffer = PcmBuffer::make(f, 7);
  buffer->setFrameLength(7);
  EXPECT_EQ(simAudio().deliver(*buffer, 99), 0u);  // installed, not started
  std::string error;
  engine->prepare();
  ASSERT_TRUE(engine->start(error));
  EXPECT_EQ(simAudio().deliver(*buffer, 99), 1u);
  engine->stop();
  EXPECT_EQ(simAudio().deliver(*buffer, 99), 0u);
  ASSERT_TRUE(engine->start(error));
  engine->removeTap();
  EXPECT_EQ(simAudio().deliver(*buffer, 99), 0u);
  EXPECT_EQ(got, 1);
  auto log = simAudio().log();
  EXPECT_EQ(log.startCalls, 2);
  EXPECT_EQ(log.tapBufferFrames, 1024u);
  EXPECT_EQ(log.installedTaps, 0);
  EXPECT_EQ(log.runningEngines, 1);
}

TEST_F(SimAudioTest, AnswersAsTheScenarioSays) {
  setScenarioForTesting(nlohmann::json::parse(R"({"audio": {
      "format": {"sampleRate": 0, "channels": 0},
      "startFailures": 2, "startError": "device busy",
      "audioUnit": false, "pinStatus": -10851,
      "voiceProcessingError": "no echo canceller"}})"));
  auto engine = platform::makeAudioEngine();
  EXPECT_EQ(engine->outputFormat().sampleRate, 0.0);
  EXPECT_EQ(engine->outputFormat().channelCount, 0u);
  EXPECT_FALSE(engine->hasAudioUnit());
  EXPECT_EQ(engine->setInputDevice(73), -10851);
  std::string error;
  EXPECT_FALSE(engine->setVoiceProcessingEnabled(true, error));
  EXPECT_EQ(error, "no echo canceller");
  for (int i = 0; i < 2; ++i) {
    error.clear();
    EXPECT_FALSE(engine->start(error));
    EXPECT_EQ(error, "device busy");
  }
  EXPECT_TRUE(engine->start(error));
  EXPECT_EQ(simAudio().log().pinnedDevice, 73u);

  // Tests override the scenario until the next reset.
  simAudio().setStartFailures(-1, "gone");
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(platform::makeAudioEngine()->start(error));
  EXPECT_EQ(error, "gone");
  resetForTesting();
  EXPECT_FALSE(platform::makeAudioEngine()->start(error));  // the scenario's 2 again
}

TEST_F(SimAudioTest, ConfigurationChangesReachObserversOnTheMainQueue) {
  setScenarioForTesting(nlohmann::json::parse(R"({"audio": {"configChangeAtMs": [1500]}})"));
  auto engine = platform::makeAudioEngine();
  int kept = 0, removed = 0;
  engine->addConfigurationChangeObserver([&] {
    EXPECT_TRUE(dispatch::mainQueue()->isCurrent());
    ++kept;
  });
  auto token = engine->addConfigurationChangeObserver([&] { ++removed; });
  simAudio().fireConfigurationChange();
  EXPECT_EQ(kept, 0);  // queued, not run on the caller's stack
  engine->removeObserver(token);
  clock_->runUntilIdle();
  EXPECT_EQ(kept, 1);
  EXPECT_EQ(removed, 0);

  std::string error;
  ASSERT_TRUE(engine->start(error));
  clock_->advanceMs(1499);
  EXPECT_EQ(kept, 1);
  clock_->advanceMs(1);
  EXPECT_EQ(kept, 2);
}

// Collects what a feeder thread hands to the tap.
struct Collector {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<float> samples;
  int buffers = 0;
  std::uint32_t frames = 0;
  std::vector<std::uint64_t> times;

  platform::TapBlock block() {
    return [this](const PcmBuffer& b, platform::AudioTime t) {
      std::lock_guard<std::mutex> g(mutex);
      ++buffers;
      frames = b.frameLength();
      times.push_back(t.hostTimeNs);
      for (std::uint32_t i = 0; i < b.frameLength(); ++i) samples.push_back(b.floatChannelData()[0][i]);
      changed.notify_all();
    };
  }
  // True if `n` buffers arrived within `limit`.
  bool waitFor(int n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> l(mutex);
    return changed.wait_for(l, limit, [&] { return buffers >= n; });
  }
};

double crossingsPerSecond(const std::vector<float>& x, double rate) {
  std::size_t c = 0;
  for (std::size_t i = 1; i < x.size(); ++i) c += (x[i - 1] < 0) != (x[i] < 0);
  return static_cast<double>(c) / (static_cast<double>(x.size()) / rate);
}

TEST(SimAudioFeeder, ToneAtRealTimePaceThenStall) {
  setScenarioForTesting(nlohmann::json::parse(R"({"audio": {
      "format": {"sampleRate": 48000, "channels": 2},
      "source": {"kind": "tone", "hz": 440, "amplitude": 0.3}, "stallAfterMs": 200}})"));
  auto engine = platform::makeAudioEngine();
  Collector c;
  engine->installTap(1024, engine->outputFormat(), c.block());
  std::string error;
  auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(engine->start(error));
  // 200 ms of audio is 10 buffers of 1024 frames (21.3 ms each).
  ASSERT_TRUE(c.waitFor(10, std::chrono::seconds(5)));
  double elapsedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_GE(elapsedMs, 200.0);  // not faster than real time
  EXPECT_FALSE(c.waitFor(11, std::chrono::milliseconds(150)));  // stalled, still running
  EXPECT_EQ(simAudio().log().runningEngines, 1);
  engine->stop();
  std::lock_guard<std::mutex> g(c.mutex);
  EXPECT_EQ(c.frames, 1024u);
  EXPECT_NEAR(crossingsPerSecond(c.samples, 48000), 880.0, 10.0);
  float peak = 0;
  for (float s : c.samples) peak = std::max(peak, std::fabs(s));
  EXPECT_NEAR(peak, 0.3f, 0.001f);
  for (std::size_t i = 1; i < c.times.size(); ++i) EXPECT_GT(c.times[i], c.times[i - 1]);
  setScenarioForTesting(nlohmann::json::object());
}

TEST(SimAudioFeeder, WavFileIsConvertedThenSilence) {
  // 0.25 s of a 1 kHz tone, 16 kHz stereo 16-bit.
  std::filesystem::path path = std::filesystem::temp_directory_path() / "qln-sim-source.wav";
  {
    const std::uint32_t frames = 4000, rate = 16000, channels = 2, data = frames * channels * 2;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4), u32(36 + data), out.write("WAVEfmt ", 8), u32(16), u16(1), u16(channels);
    u32(rate), u32(rate * channels * 2), u16(channels * 2), u16(16), out.write("data", 4), u32(data);
    for (std::uint32_t i = 0; i < frames; ++i) {
      auto v = static_cast<std::int16_t>(10000 * std::sin(2 * std::numbers::pi * 1000 * i / rate));
      u16(static_cast<std::uint16_t>(v)), u16(static_cast<std::uint16_t>(v));
    }
  }
  setScenarioForTesting({{"audio", {{"format", {{"sampleRate", 48000}, {"channels", 1}}},
                                    {"source", {{"kind", "wav"}, {"path", path.string()}}}}}});
  auto engine = platform::makeAudioEngine();
  Collector c;
  engine->installTap(1024, engine->outputFormat(), c.block());
  std::string error;
  ASSERT_TRUE(engine->start(error));
  ASSERT_TRUE(c.waitFor(16, std::chrono::seconds(5)));  // 0.34 s
  engine->stop();
  std::filesystem::remove(path);
  std::lock_guard<std::mutex> g(c.mutex);
  std::vector<float> tone(c.samples.begin() + 2000, c.samples.begin() + 10000);
  EXPECT_NEAR(crossingsPerSecond(tone, 48000), 2000.0, 20.0);
  for (std::size_t i = 13000; i < c.samples.size(); ++i) ASSERT_EQ(c.samples[i], 0.0f) << i;
  setScenarioForTesting(nlohmann::json::object());
}

}  // namespace
}  // namespace qln::sim
