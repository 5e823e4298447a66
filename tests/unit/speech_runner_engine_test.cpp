// The legacy runner's audio side: engine start with retries, the recording,
// the stall watchdog, configuration changes and stop.
#include <gtest/gtest.h>

#include "output/output.h"
#include "speech_runner_fixture.h"

namespace qln::testing {
namespace {

using Lines = std::vector<std::string>;

const std::string kVoiceOff = "speech: voice processing off (no --voice-isolation)";
const std::string kEngineStartError = R"({"ev":"error","code":"engineStart"})";
const std::string kStart = R"({"ev":"start","engine":"legacy"})";

std::string micNotReady(int n) { return "speech: mic not ready (attempt " + std::to_string(n) + ")"; }

std::size_t countOf(const Lines& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

using SpeechRunnerEngineTest = SpeechRunnerTest;

TEST_F(SpeechRunnerEngineTest, FailedAttemptsRetryEveryTwoSecondsAndGiveUpAfterTheSixtieth) {
  struct Case {
    const char* name;
    platform::AudioFormat format;
    int startFailures;
    int tapsInstalled;  // an unusable format never gets a tap
  } cases[] = {
      {"sample rate 0", {0, 1, platform::CommonFormat::float32, false}, 0, 0},
      {"no channels", {48000, 0, platform::CommonFormat::float32, false}, 0, 0},
      {"engine never starts", kMic48k, -1, 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(json::object());
    capture.clear();
    sim::simAudio().setOutputFormat(c.format);
    sim::simAudio().setStartFailures(c.startFailures);
    const std::uint64_t origin = elapsedMs();
    makeRunner()->start();

    EXPECT_EQ(capture.err(), (Lines{kVoiceOff, micNotReady(1)}));
    clock->advanceMs(1999);
    EXPECT_EQ(capture.err().size(), 2u) << "retried before 2 s";
    EXPECT_EQ(exitOf([&] { clock->advanceMs(116'000 - 1999); }), std::nullopt);
    EXPECT_EQ(capture.err().size(), 60u);
    EXPECT_EQ(capture.err().back(), micNotReady(59));

    EXPECT_EQ(exitOf([&] { clock->advanceMs(2000); }), 1);
    EXPECT_EQ(elapsedMs() - origin, 118'000u);
    auto err = capture.err();
    ASSERT_EQ(err.size(), 61u);
    EXPECT_EQ(countOf(err, kVoiceOff), 1u) << "attempt-0 message repeated";
    for (int n = 1; n <= 60; ++n) EXPECT_EQ(err[static_cast<std::size_t>(n)], micNotReady(n));
    EXPECT_EQ(capture.out(), (Lines{kEngineStartError}));

    auto log = sim::simAudio().log();
    EXPECT_EQ(log.installTapCalls, c.tapsInstalled);
    EXPECT_EQ(log.installedTaps, 0) << "a failed start left its tap installed";
    EXPECT_EQ(clock->pendingCount(), 0u) << "something still scheduled after giving up";
    runner.reset();
  }
}

TEST_F(SpeechRunnerEngineTest, StartsWhenTheEngineComesUpAndTimesRolloverFromThere) {
  sim::simAudio().setStartFailures(2);
  makeRunner()->start();
  clock->advanceMs(3999);
  EXPECT_EQ(capture.out(), (Lines{kEngineStartError}));
  clock->advanceMs(1);
  EXPECT_EQ(capture.err(), (Lines{kVoiceOff, micNotReady(1), micNotReady(2)}));
  EXPECT_EQ(capture.out(), (Lines{kEngineStartError, kStart}));

  auto log = sim::simAudio().log();
  EXPECT_EQ(log.tapBufferFrames, 1024u);
  EXPECT_EQ(log.tapFormat, kMic48k);
  EXPECT_EQ(log.installedTaps, 1);
  EXPECT_EQ(log.runningEngines, 1);
  EXPECT_GE(log.prepareCalls, 1);

  // Rollover 8 s after the engine started, not after the first attempt.
  feedFor(7900);
  EXPECT_EQ(countOf(capture.out(), kStart), 1u);
  feedFor(100);
  EXPECT_EQ(countOf(capture.out(), kStart), 2u);
}

TEST_F(SpeechRunnerEngineTest, ReportsPinningAndVoiceProcessingOnTheFirstAttemptOnly) {
  struct Case {
    const char* name;
    std::optional<std::string> inputName;
    std::int32_t pinStatus;
    bool audioUnit;
    bool voiceIsolation;
    std::optional<std::string> voiceProcessingError;
    Lines firstAttempt;  // before "mic not ready (attempt 1)"
    std::optional<std::uint32_t> pinned;
  } cases[] = {
      {"nothing asked for", std::nullopt, 0, true, false, std::nullopt, {kVoiceOff}, std::nullopt},
      {"voice processing on", std::nullopt, 0, true, true, std::nullopt,
       {"speech: voice processing enabled (echo cancellation on the mic input)"}, std::nullopt},
      {"voice processing fails", std::nullopt, 0, true, true, "no echo canceller",
       {"speech: voice processing could not be enabled (no echo canceller); using the plain mic input"},
       std::nullopt},
      {"pinning fails", " usb MIC ", -10851, true, false, std::nullopt,
       {"speech: could not pin input ' usb MIC ' (-10851); using default", kVoiceOff}, 40},
      {"pinning succeeds", "USB Mic", 0, true, false, std::nullopt, {kVoiceOff}, 40},
      {"name matches no device", "Blue Yeti", -1, true, false, std::nullopt, {kVoiceOff}, std::nullopt},
      {"no audio unit", "USB Mic", -1, false, false, std::nullopt, {kVoiceOff}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting({{"audioDevices", {{{"id", 40}, {"name", "USB Mic"}, {"inputChannels", 1}}}}});
    capture.clear();
    sim::simAudio().setPinStatus(c.pinStatus);
    sim::simAudio().setHasAudioUnit(c.audioUnit);
    sim::simAudio().setVoiceProcessingError(c.voiceProcessingError);
    sim::simAudio().setStartFailures(2);
    RunnerOptions o;
    o.inputName = c.inputName;
    o.voiceIsolation = c.voiceIsolation;
    makeRunner(o)->start();
    clock->advanceMs(4000);

    Lines expected = c.firstAttempt;
    expected.push_back(micNotReady(1));
    expected.push_back(micNotReady(2));
    EXPECT_EQ(capture.err(), expected);
    EXPECT_EQ(capture.out(), (Lines{kEngineStartError, kStart}));
    auto log = sim::simAudio().log();
    EXPECT_EQ(log.pinnedDevice, c.pinned);
    EXPECT_EQ(log.voiceProcessingRequested, c.voiceIsolation ? std::optional<bool>(true) : std::nullopt);
    runner->stop();
    runner.reset();
  }
}

TEST_F(SpeechRunnerEngineTest, RecordingIsOpenedOnceAndRetriedOnlyWhileAbsent) {
  struct Case {
    const char* name;
    bool writable;
  } cases[] = {{"writable path", true}, {"unwritable path", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(json::object());
    capture.clear();
    std::string file = c.writable ? path("mic.wav") : path("missing-dir") + "/sub/mic.wav";
    std::string couldNotOpen = "speech: could not open recording file at " + file + "; continuing without recording";
    std::string recording = "{\"ev\":\"recording\",\"path\":" + output::jsonQuoted(file) + "}";
    // The first attempt finds no usable format and so never reaches the
    // recording step; two more fail after it.
    sim::simAudio().setOutputFormat({0, 0, platform::CommonFormat::float32, false});
    sim::simAudio().setStartFailures(2);
    RunnerOptions o;
    o.recordPath = file;
    makeRunner(o)->start();
    sim::simAudio().setOutputFormat(kMic48k);
    clock->advanceMs(6000);

    auto err = capture.err();
    EXPECT_EQ(countOf(err, couldNotOpen), c.writable ? 0u : 3u);
    Lines expectedOut = {kEngineStartError};
    if (c.writable) expectedOut.push_back(recording);
    expectedOut.push_back(kStart);
    EXPECT_EQ(capture.out(), expectedOut);

    feedFor(1000);
    auto requests = sim::simSpeech().requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().buffersAppended, 10u) << "transcription must go on";
    EXPECT_FALSE(capture.outContaining("\"micAcoustic\"").empty()) << "metering must go on";

    runner->stop();
    auto recorded = capture.outContaining("\"recorded\"");
    if (c.writable) {
      ASSERT_EQ(recorded.size(), 1u);
      std::uint32_t bytes = finalizedDataBytes(file);
      EXPECT_EQ(recorded[0], "{\"ev\":\"recorded\",\"ms\":" + std::to_string(bytes / 32) + "}");
      EXPECT_NEAR(bytes, 10 * 1024 / 3 * 2, kConverterSlackBytes);  // ten buffers at 48 kHz, as 16 kHz 16-bit
    } else {
      EXPECT_TRUE(recorded.empty());
    }
    runner.reset();
  }
}

TEST_F(SpeechRunnerEngineTest, HandedOverRecorderContinuesTheSameFile) {
  std::string file = path("handover.wav");
  auto recorder = speech::WavRecorder::make(file, kMic48k);
  ASSERT_TRUE(recorder);
  auto b = buffer();
  for (int i = 0; i < 47; ++i) recorder->append(*b);  // about 1 s from the previous engine

  RunnerOptions o;
  o.recordPath = file;  // the same path: opening it again would truncate it
  o.existingRecorder = recorder;
  recorder.reset();
  makeRunner(o)->start();
  feedFor(4700);  // 47 more buffers
  runner->stop();

  std::uint32_t bytes = finalizedDataBytes(file);
  EXPECT_NEAR(bytes, 94 * 1024 / 3 * 2, kConverterSlackBytes) << "the file must hold both engines' audio";
  auto out = events();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], kStart);
  EXPECT_EQ(out[1], "{\"ev\":\"recorded\",\"ms\":" + std::to_string(bytes / 32) + "}");
  EXPECT_TRUE(capture.outContaining("\"recording\"").empty());
}

TEST_F(SpeechRunnerEngineTest, GivingUpOnTheEngineStillFinalizesAHandedOverRecording) {
  std::string file = path("handover.wav");
  auto recorder = speech::WavRecorder::make(file, kMic48k);
  ASSERT_TRUE(recorder);
  auto b = buffer();
  for (int i = 0; i < 47; ++i) recorder->append(*b);
  sim::simAudio().setStartFailures(-1);
  RunnerOptions o;
  o.existingRecorder = std::move(recorder);
  makeRunner(o)->start();

  EXPECT_EQ(exitOf([&] { clock->advanceSeconds(200); }), 1);
  std::uint32_t bytes = finalizedDataBytes(file);
  EXPECT_GT(bytes, 30'000u);
  EXPECT_EQ(capture.out(), (Lines{kEngineStartError, "{\"ev\":\"recorded\",\"ms\":" + std::to_string(bytes / 32) + "}"}));
}

TEST_F(SpeechRunnerEngineTest, StallWatchdogHeartbeatsThenExitsWithAValidRecording) {
  struct Case {
    const char* name;
    std::uint64_t lastBufferMs;  // buffers every 100 ms until then
    std::vector<std::uint64_t> heartbeats;
    std::uint64_t stallAtMs;
  } cases[] = {
      {"exactly 8000 ms is a stall", 2000, {3000, 8000}, 10'000},
      {"7999 ms is not", 2001, {2999, 7999, 12999}, 15'000},
      {"buffers until after the first poll", 6000, {100, 4000, 9000}, 15'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(json::object());
    capture.clear();
    std::string file = path("stall.wav");
    RunnerOptions o;
    o.recordPath = file;
    const std::uint64_t origin = elapsedMs();
    makeRunner(o)->start();
    auto b = buffer();
    feedFor(c.lastBufferMs - c.lastBufferMs % 100);
    if (c.lastBufferMs % 100 != 0) {
      clock->advanceMs(c.lastBufferMs % 100);
      sim::simAudio().deliver(*b);
    }

    ASSERT_EQ(exitOf([&] { clock->advanceMs(origin + c.stallAtMs - 1 - elapsedMs()); }), std::nullopt);
    ASSERT_EQ(exitOf([&] { clock->advanceMs(1); }), 2);
    EXPECT_EQ(elapsedMs() - origin, c.stallAtMs);

    Lines heartbeats;
    for (auto age : c.heartbeats) heartbeats.push_back("{\"ev\":\"heartbeat\",\"bufferAgeMs\":" + std::to_string(age) + "}");
    EXPECT_EQ(capture.outContaining("\"heartbeat\""), heartbeats);

    std::uint64_t age = c.heartbeats.back();
    std::uint32_t bytes = finalizedDataBytes(file);
    auto out = events();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[out.size() - 2], "{\"ev\":\"tapStall\",\"ageMs\":" + std::to_string(age) + "}");
    EXPECT_EQ(out.back(), "{\"ev\":\"recorded\",\"ms\":" + std::to_string(bytes / 32) + "}");
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(capture.err().back(), "speech: tap stall (" + std::to_string(age) +
                                        "ms since the last buffer); finalizing the recording and exiting for a fresh launch");
    auto log = sim::simAudio().log();
    EXPECT_EQ(log.runningEngines, 0);
    EXPECT_EQ(log.installedTaps, 0);
    runner.reset();
  }
}

TEST_F(SpeechRunnerEngineTest, StopDuringTheWaitBetweenAttemptsEndsTheRetries) {
  sim::simAudio().setStartFailures(1);
  makeRunner()->start();
  clock->advanceMs(1000);
  runner->stop();
  EXPECT_EQ(exitOf([&] { clock->advanceSeconds(150); }), std::nullopt);
  EXPECT_EQ(capture.err(), (Lines{kVoiceOff, micNotReady(1)}));
  EXPECT_EQ(capture.out(), (Lines{kEngineStartError}));
  EXPECT_EQ(sim::simAudio().log().startCalls, 1);
}

TEST_F(SpeechRunnerEngineTest, StopIsIdempotentAndEndsEverything) {
  std::string file = path("stop.wav");
  RunnerOptions o;
  o.recordPath = file;
  makeRunner(o)->start();
  feedFor(1000);
  runner->stop();
  auto once = capture.out();
  auto log = sim::simAudio().log();
  runner->stop();
  EXPECT_EQ(capture.out(), once);
  EXPECT_EQ(capture.outContaining("\"recorded\"").size(), 1u);
  EXPECT_EQ(sim::simAudio().log().stopCalls, log.stopCalls);

  EXPECT_EQ(log.runningEngines, 0);
  EXPECT_EQ(log.installedTaps, 0);
  EXPECT_EQ(clock->pendingTimers(), 0u) << "a timer outlived stop";
  auto requests = sim::simSpeech().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].audioEnded);
  EXPECT_TRUE(requests[0].cancelled);

  // Nothing more happens, however long the process lives on.
  capture.clear();
  EXPECT_EQ(exitOf([&] { clock->advanceSeconds(60); }), std::nullopt);
  EXPECT_TRUE(capture.out().empty());
}

TEST_F(SpeechRunnerEngineTest, ConfigurationChangesAreReportedAndChangeNothing) {
  makeRunner()->start();
  feedFor(500);
  for (int i = 0; i < 2; ++i) {
    sim::simAudio().fireConfigurationChange();
    clock->runUntilIdle();
  }
  const std::string notice =
      "speech: audio engine configuration change (device/route reconfigured); the stall watchdog decides";
  EXPECT_EQ(capture.err(), (Lines{kVoiceOff, notice, notice}));
  EXPECT_EQ(events(), (Lines{kStart, R"({"ev":"configChange"})", R"({"ev":"configChange"})"}));
  auto log = sim::simAudio().log();
  EXPECT_EQ(log.startCalls, 1);
  EXPECT_EQ(log.runningEngines, 1);
  EXPECT_EQ(log.installedTaps, 1);
  feedFor(500);
  EXPECT_EQ(sim::simSpeech().requests().back().buffersAppended, 10u);

  // A stopped runner no longer listens.
  runner->stop();
  EXPECT_EQ(sim::simAudio().log().observers, 0);
  sim::simAudio().fireConfigurationChange();
  clock->runUntilIdle();
  EXPECT_EQ(capture.outContaining("configChange").size(), 2u);
}

// The tap block may briefly hold the last reference to the runner; tearing
// the engine down from inside its own tap callback would deadlock.
TEST_F(SpeechRunnerEngineTest, RunnerReleasedDuringATapBlockTearsDownAfterwards) {
  auto recognizer = std::make_shared<CapturingRecognizer>();
  recognizer->onAppend = [this] { runner.reset(); };
  RunnerOptions o;
  o.recognizer = recognizer;
  makeRunner(o)->start();
  std::weak_ptr<SpeechRunner> weak = runner;
  EXPECT_EQ(sim::simAudio().deliver(*buffer()), 1u);
  EXPECT_TRUE(weak.expired());
  clock->runUntilIdle();
  auto log = sim::simAudio().log();
  EXPECT_EQ(log.runningEngines, 0);
  EXPECT_EQ(log.installedTaps, 0);
  EXPECT_EQ(exitOf([&] { clock->advanceSeconds(20); }), std::nullopt) << "a released runner acted";
  EXPECT_EQ(capture.out(), (Lines{kStart}));
}

}  // namespace
}  // namespace qln::testing
