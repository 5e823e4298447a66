// What the legacy runner's tests share: the virtual clock, captured lines,
// the scripted backend reset around each test, process exits turned into
// exceptions, and helpers to feed microphone buffers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dispatch/virtual_dispatcher.h"
#include "globals.h"
#include "line_capture.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_audio_engine.h"
#include "platform/sim/sim_speech.h"
#include "process/exit.h"
#include "speech/speech_runner.h"

namespace qln::testing {

using nlohmann::json;

inline const platform::AudioFormat kMic48k{48000, 1, platform::CommonFormat::float32, false};
// What the recorder's resampler may still hold when a file is finalized
// (its tail is never flushed): under 50 ms.
constexpr double kConverterSlackBytes = 1600;

struct RunnerOptions {
  bool partials = true;
  std::optional<std::string> inputName;
  std::optional<std::string> recordPath;
  bool voiceIsolation = false;
  speech::WavRecorderPtr existingRecorder;
  std::shared_ptr<platform::SpeechRecognizer> recognizer;  // default: the sim's en-US one
};

// A recogniser that hands each task's handler to the test, for callbacks the
// scripted one cannot produce (one that arrives after its request was
// replaced), and lets a test act from inside the tap's append.
class CapturingRecognizer final : public platform::SpeechRecognizer {
 public:
  struct Request final : platform::RecognitionRequest {
    explicit Request(std::function<void()> hook) : onAppend(std::move(hook)) {}
    void setShouldReportPartialResults(bool) override {}
    void setRequiresOnDeviceRecognition(bool) override {}
    void append(const platform::PcmBuffer&) override {
      if (onAppend) onAppend();
    }
    void endAudio() override {}
    std::function<void()> onAppend;
  };
  struct Task final : platform::RecognitionTask {
    void cancel() override {}
  };

  bool supportsOnDeviceRecognition() override { return true; }
  platform::RecognitionRequestPtr makeRequest() override { return std::make_shared<Request>(onAppend); }
  platform::RecognitionTaskPtr startTask(platform::RecognitionRequestPtr, platform::RecognitionHandler handler) override {
    handlers.push_back(std::move(handler));
    return std::make_shared<Task>();
  }

  std::function<void()> onAppend;
  std::vector<platform::RecognitionHandler> handlers;
};

class SpeechRunnerTest : public ::testing::Test {
 protected:
  SpeechRunnerTest() {
    sim::setScenarioForTesting(json::object());
    process::setExitHookForTesting([](int status) { throw process::ProcessExit{status}; });
    globals::simDictationOff = false;
  }
  ~SpeechRunnerTest() override {
    runner.reset();
    process::setExitHookForTesting(nullptr);
    globals::simDictationOff = false;
    sim::setScenarioForTesting(json::object());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::shared_ptr<SpeechRunner> makeRunner(RunnerOptions o = {}) {
    auto recognizer = o.recognizer ? o.recognizer : platform::speechRecognition().recognizer("en-US");
    runner = SpeechRunner::make(recognizer, o.partials, o.inputName, o.recordPath, clock->nowNs(), o.voiceIsolation,
                                o.existingRecorder);
    return runner;
  }

  // Milliseconds of virtual time since the runner was made.
  std::uint64_t elapsedMs() const { return (clock->nowNs() - dispatch::VirtualDispatcher::kDefaultStartNs) / 1'000'000; }

  // Runs `step`; the status the process would have exited with, if it did.
  static std::optional<int> exitOf(const std::function<void()>& step) {
    try {
      step();
    } catch (const process::ProcessExit& e) {
      return e.status;
    }
    return std::nullopt;
  }

  static platform::PcmBufferPtr buffer(float value = 0.1f, std::uint32_t frames = 1024) {
    auto b = platform::PcmBuffer::make(kMic48k, frames);
    std::fill_n(b->floatChannelData()[0], frames, value);
    b->setFrameLength(frames);
    return b;
  }

  // Delivers one buffer every `everyMs` while the clock runs for `ms`; the
  // last one lands exactly at the end.
  void feedFor(std::uint64_t ms, std::uint64_t everyMs = 100) {
    auto b = buffer();
    for (std::uint64_t t = 0; t < ms; t += everyMs) {
      clock->advanceMs(everyMs);
      sim::simAudio().deliver(*b);
    }
  }

  // Standard output without the meter's and the watchdog's periodic lines.
  std::vector<std::string> events() const {
    std::vector<std::string> kept;
    for (auto& line : capture.out())
      if (line.find("\"micAcoustic\"") == std::string::npos && line.find("\"heartbeat\"") == std::string::npos)
        kept.push_back(line);
    return kept;
  }

  std::string path(const std::string& name) {
    std::filesystem::create_directories(dir_);
    return (dir_ / name).string();
  }

  static std::vector<unsigned char> readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static std::uint32_t le32(const std::vector<unsigned char>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
  }
  // Data size of a finalized file, checked against its length and RIFF size.
  static std::uint32_t finalizedDataBytes(const std::string& p) {
    auto file = readFile(p);
    EXPECT_GE(file.size(), 44u);
    if (file.size() < 44) return 0;
    EXPECT_EQ(le32(file, 40), file.size() - 44);
    EXPECT_EQ(le32(file, 4), le32(file, 40) + 36);
    return le32(file, 40);
  }

  dispatch::ScopedVirtualDispatcher clock;
  LineCapture capture;
  std::shared_ptr<SpeechRunner> runner;

 private:
  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("qln-runner-" + std::to_string(::getpid()) + "-" +
                                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
};

}  // namespace qln::testing
