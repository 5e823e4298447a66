// What the analyzer runner's tests share: the virtual clock, both output
// channels captured in one ordered log, the scripted backend reset around
// each test, process exits turned into exceptions, buffer helpers and a
// hand-off closure that logs its call.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dispatch/virtual_dispatcher.h"
#include "output/output.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_analyzer.h"
#include "platform/sim/sim_audio_engine.h"
#include "process/exit.h"
#include "speech/analyzer_speech_runner.h"

namespace qln::testing {

inline const platform::AudioFormat kMic48k{48000, 1, platform::CommonFormat::float32, false};

struct AnalyzerRunnerOptions {
  bool partials = true;
  std::optional<std::string> recordPath;
  // Runs as the hand-off, after it has been logged.
  std::function<void(speech::WavRecorderPtr)> onHandOff;
  // How long before now the meter's time starts.
  std::uint64_t anchorMsAgo = 0;
};

class AnalyzerRunnerTest : public ::testing::Test {
 protected:
  AnalyzerRunnerTest() {
    sim::setScenarioForTesting(nlohmann::json::object());
    process::setExitHookForTesting([](int status) { throw process::ProcessExit{status}; });
    output::setSinkForTesting([this](output::Channel c, std::string_view line) {
      std::lock_guard<std::mutex> g(mutex_);
      log_.push_back((c == output::Channel::out ? "out " : "err ") + std::string(line));
    });
  }
  ~AnalyzerRunnerTest() override {
    runner.reset();
    output::setSinkForTesting(nullptr);
    process::setExitHookForTesting(nullptr);
    sim::setScenarioForTesting(nlohmann::json::object());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  using Options = AnalyzerRunnerOptions;

  std::shared_ptr<AnalyzerSpeechRunner> makeRunner(Options o = {}) {
    runner = AnalyzerSpeechRunner::make(o.partials, std::nullopt, o.recordPath, clock->nowNs() - o.anchorMsAgo * 1000000, false,
                                        [this, then = o.onHandOff](speech::WavRecorderPtr r) {
                                          {
                                            std::lock_guard<std::mutex> g(mutex_);
                                            log_.push_back(std::string("handOff ") + (r ? "recorder" : "none"));
                                          }
                                          ++handOffs;
                                          if (then) then(std::move(r));
                                        });
    return runner;
  }

  // Started, with the session installed (the analyzer live).
  void startLive(Options o = {}) {
    makeRunner(std::move(o))->start();
    clock->runUntilIdle();
  }

  static platform::PcmBufferPtr buffer(float value, std::uint32_t frames = 1024,
                                       const platform::AudioFormat& format = kMic48k) {
    auto b = platform::PcmBuffer::make(format, frames);
    if (format.commonFormat == platform::CommonFormat::float32)
      std::fill_n(b->floatChannelData()[0], frames * (format.interleaved ? format.channelCount : 1), value);
    b->setFrameLength(frames);
    return b;
  }

  // One meter block (100 ms of 48 kHz audio in one buffer), `afterMs` after
  // the previous one.
  void block(float level, std::uint64_t afterMs = 100) {
    clock->advanceMs(afterMs);
    sim::simAudio().deliver(*buffer(level, 4800));
  }
  static constexpr float kQuiet = 0.001f;
  static constexpr float kLoud = 0.3f;

  // Lines of both channels in the order written, prefixed "out " / "err ",
  // and hand-off calls; without the periodic meter and heartbeat lines.
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> kept;
    for (const auto& l : log_)
      if (l.find("\"micAcoustic\"") == std::string::npos && l.find("\"heartbeat\"") == std::string::npos &&
          l.find("voice processing") == std::string::npos)
        kept.push_back(l);
    return kept;
  }
  // Every line of both channels and every hand-off, in order.
  std::vector<std::string> allLines() const {
    std::lock_guard<std::mutex> g(mutex_);
    return log_;
  }
  void clearLog() {
    std::lock_guard<std::mutex> g(mutex_);
    log_.clear();
  }
  std::size_t count(const std::string& needle) const {
    auto e = events();
    return static_cast<std::size_t>(
        std::count_if(e.begin(), e.end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
  }

  static std::optional<int> exitOf(const std::function<void()>& step) {
    try {
      step();
    } catch (const process::ProcessExit& e) {
      return e.status;
    }
    return std::nullopt;
  }

  std::string path(const std::string& name) {
    std::filesystem::create_directories(dir_);
    return (dir_ / name).string();
  }

  dispatch::ScopedVirtualDispatcher clock;
  std::shared_ptr<AnalyzerSpeechRunner> runner;
  int handOffs = 0;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> log_;
  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("qln-analyzer-" + std::to_string(::getpid()) + "-" +
                                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
};

}  // namespace qln::testing
