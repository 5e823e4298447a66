#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>

#include "analyzer_runner_fixture.h"
#include "platform/speech_recognizer.h"
#include "speech/speech_runner.h"

namespace qln::testing {
namespace {

using platform::MediaTimeRange;
using Strings = std::vector<std::string>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::string kStartLine = "out {\"ev\":\"start\",\"engine\":\"analyzer\"}";
const std::string kFailOverLine = "out {\"ev\":\"error\",\"code\":\"analyzer\"}";

TEST(AnalyzerAudioRange, MillisecondsRoundHalvesAwayFromZeroAndRejectUnusableRanges) {
  struct Case {
    std::optional<MediaTimeRange> range;
    std::string suffix;
  };
  const Case cases[] = {
      {MediaTimeRange{1.2, 0.78}, ",\"a0\":1200,\"a1\":1980"},
      {MediaTimeRange{0.0005, 0.002}, ",\"a0\":1,\"a1\":3"},
      {MediaTimeRange{-0.0015, 0.002}, ",\"a0\":-2,\"a1\":1"},
      {MediaTimeRange{2.0, 0.0}, ""},
      {MediaTimeRange{2.0, -0.5}, ""},
      {MediaTimeRange{0.0001, 0.0002}, ""},  // both round to 0 ms
      {MediaTimeRange{kNaN, 1.0}, ""},
      {MediaTimeRange{0.5, kInf}, ""},
      {MediaTimeRange{1e300, 1e300}, ""},
      {std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suffix.empty() ? "no range" : c.suffix);
    EXPECT_EQ(qlnAudioSuffix(qlnAudioRangeMs(c.range)), c.suffix);
  }
}

// ---- Engine start, warm-up backlog and conversion ----

TEST_F(AnalyzerRunnerTest, FailedStartsRetryWithOneRecorderAndGiveUpAfterSixty) {
  sim::simAudio().setStartFailures(-1);
  makeRunner({.recordPath = path("mic.wav")})->start();
  std::optional<int> status;
  for (int i = 0; i < 60 && !status; ++i) status = exitOf([&] { clock->advanceSeconds(2.0); });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(count("\"recording\""), 1u);
  EXPECT_EQ(count("\"engineStart\""), 1u);
  EXPECT_EQ(count("mic not ready"), 60u);
  EXPECT_EQ(events().back(), "err speech: mic not ready (attempt 60)");
}

TEST_F(AnalyzerRunnerTest, WarmUpBacklogIsFlushedIntoTheAnalyzerAfterTheStartLine) {
  struct Case {
    int buffers;
    std::uint32_t frames;
    Strings expected;
    double framesAt16k;
  };
  const Case cases[] = {
      {100, 480, {kStartLine, "err speech: analyzer warm-up backlog flushed (100 buffers, 1000 ms)"}, 16000},
      {0, 480, {kStartLine}, 0},
      // 30 s at 48 kHz is 1,440,000 frames: 1406 whole buffers fit.
      {1406, 1024, {kStartLine, "err speech: analyzer warm-up backlog flushed (1406 buffers, 29994 ms)"}, 479915},
      {1407, 1024, {kStartLine, "err speech: analyzer warm-up backlog flushed (1406 buffers, 29994 ms)"}, 479915},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buffers);
    sim::setScenarioForTesting(nlohmann::json::object());
    clearLog();
    makeRunner()->start();
    for (int i = 0; i < c.buffers; ++i) sim::simAudio().deliver(*buffer(0.2f, c.frames));
    clock->runUntilIdle();
    EXPECT_EQ(events(), c.expected);
    auto log = sim::simAnalyzer().log();
    ASSERT_EQ(log.sessions.size(), 1u);
    // Less the resampler's delay, held back until more audio comes.
    EXPECT_NEAR(static_cast<double>(log.sessions[0].framesConsumed), c.framesAt16k, 600);
    EXPECT_EQ(log.transcribers, (std::vector<platform::TranscriberConfiguration>{{"en-US", true, true, true}}));
    EXPECT_EQ(log.sessions[0].options, (platform::AnalyzerOptions{platform::AnalyzerPriority::userInitiated,
                                                                  platform::ModelRetention::processLifetime}));
    runner->stop();
    EXPECT_TRUE(sim::simAnalyzer().log().sessions[0].inputFinished);
  }
}

TEST_F(AnalyzerRunnerTest, LiveBuffersAreConvertedAndAFailingConversionIsReportedOnce) {
  startLive();
  const platform::AudioFormat wrong{48000, 1, platform::CommonFormat::int16, false};
  for (int i = 0; i < 3; ++i) sim::simAudio().deliver(*buffer(0, 1024, wrong));
  for (int i = 0; i < 10; ++i) sim::simAudio().deliver(*buffer(0.2f));
  clock->runUntilIdle();
  EXPECT_EQ(events(), (Strings{kStartLine,
                               "err speech: analyzer input conversion failed (the input buffer is not in the "
                               "converter's input format); these buffers are not reaching recognition"}));
  auto session = sim::simAnalyzer().log().sessions.at(0);
  ASSERT_TRUE(session.inputFormat);
  EXPECT_EQ(*session.inputFormat, (platform::AudioFormat{16000, 1, platform::CommonFormat::int16, false}));
  EXPECT_NEAR(static_cast<double>(session.framesConsumed), 10 * 1024 / 3.0, 400);
}

// ---- Results ----

TEST_F(AnalyzerRunnerTest, ResultsBecomeLinesAndTheFailOverFinalisesThePendingHypothesis) {
  struct Step {
    std::string text;
    bool isFinal;
    std::optional<MediaTimeRange> range;
  };
  struct Case {
    const char* name;
    bool partials;
    std::vector<Step> steps;
    Strings lines;  // between the start line and the fail-over
  };
  const Case cases[] = {
      {"final with range", true, {{"hello there", true, MediaTimeRange{1.2, 0.78}}},
       {"out {\"ev\":\"final\",\"text\":\"hello there\",\"a0\":1200,\"a1\":1980}"}},
      {"pending partial", true, {{"hello wor", false, MediaTimeRange{0.5, kNaN}}},
       {"out {\"ev\":\"partial\",\"text\":\"hello wor\"}", "out {\"ev\":\"final\",\"text\":\"hello wor\"}"}},
      {"partials off still pend", false, {{"hello", false, {}}, {"hello wor", false, MediaTimeRange{0, 1}}},
       {"out {\"ev\":\"final\",\"text\":\"hello wor\"}"}},
      {"repeats are written", true, {{"a", false, MediaTimeRange{0, 0.25}}, {"a", false, {}}},
       {"out {\"ev\":\"partial\",\"text\":\"a\",\"a0\":0,\"a1\":250}", "out {\"ev\":\"partial\",\"text\":\"a\"}",
        "out {\"ev\":\"final\",\"text\":\"a\"}"}},
      {"blank final clears pending", true, {{"hello", false, {}}, {" \n ", true, MediaTimeRange{0, 1}}},
       {"out {\"ev\":\"partial\",\"text\":\"hello\"}"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(nlohmann::json::object());
    clearLog();
    handOffs = 0;
    startLive({.partials = c.partials});
    for (const auto& s : c.steps) ASSERT_TRUE(sim::simAnalyzer().emitResult(s.text, s.isFinal, s.range));
    clock->runUntilIdle();
    ASSERT_TRUE(sim::simAnalyzer().endResults());
    clock->runUntilIdle();
    Strings expected{kStartLine};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.insert(expected.end(), {kFailOverLine, "err speech: engine=fallback reason=results-ended", "handOff none"});
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(handOffs, 1);
  }
}

// ---- Session failures, stale steps, stop ----

TEST_F(AnalyzerRunnerTest, SessionFailuresFailOverWithTheErrorAsReason) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
    bool live;  // the failure comes after the session was installed
    std::string reason;
  };
  const Case cases[] = {
      {"no format", [] { sim::simAnalyzer().setBestFormat(std::nullopt); }, false,
       "Error Domain=qln.analyzer Code=1 \"no compatible analyzer audio format\""},
      {"no converter",
       [] { sim::simAnalyzer().setBestFormat(platform::AudioFormat{16000, 2, platform::CommonFormat::int16, false}); },
       false, "Error Domain=qln.analyzer Code=2 \"cannot convert the mic format to the analyzer format\""},
      {"start fails", [] { sim::simAnalyzer().setStartError("model busy"); }, false,
       "Error Domain=sim.analyzer Code=1 \"model busy\""},
      {"results fail", [] {}, true, "Error Domain=sim.analyzer Code=2 \"decoder crashed\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(nlohmann::json::object());
    clearLog();
    c.setUp();
    startLive();
    if (c.live) {
      ASSERT_TRUE(sim::simAnalyzer().failResults("decoder crashed"));
      clock->runUntilIdle();
    }
    Strings expected;
    if (c.live) expected.push_back(kStartLine);
    expected.insert(expected.end(), {kFailOverLine, "err speech: engine=fallback reason=" + c.reason, "handOff none"});
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(sim::simAudio().log().runningEngines, 0);
  }
}

TEST_F(AnalyzerRunnerTest, StopBeforeInstallationEndsTheSessionSilently) {
  makeRunner({.recordPath = path("mic.wav")})->start();
  sim::simAudio().deliver(*buffer(0.2f));
  runner->stop();
  clock->runUntilIdle();
  auto log = sim::simAnalyzer().log();
  ASSERT_EQ(log.sessions.size(), 1u);
  EXPECT_TRUE(log.sessions[0].inputFinished);
  EXPECT_EQ(log.sessions[0].buffersConsumed, 0u);
  // Its results task was cancelled: an end of results changes nothing.
  sim::simAnalyzer().endResults();
  clock->runUntilIdle();
  auto e = events();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0], "out {\"ev\":\"recording\",\"path\":" + output::jsonQuoted(path("mic.wav")) + "}");
  EXPECT_EQ(e[1].rfind("out {\"ev\":\"recorded\",\"ms\":", 0), 0u);
  EXPECT_EQ(handOffs, 0);
}

TEST_F(AnalyzerRunnerTest, ResultsEndingAfterStopCauseNoFailOver) {
  startLive({.recordPath = path("mic.wav")});
  sim::simAnalyzer().emitResult("hello wor", false);
  clock->runUntilIdle();
  runner->stop();
  runner->stop();
  EXPECT_TRUE(sim::simAnalyzer().endResults());
  clock->runUntilIdle();
  EXPECT_EQ(count("\"recorded\""), 1u);
  EXPECT_EQ(count("\"final\""), 0u);
  EXPECT_EQ(count("\"code\":\"analyzer\""), 0u);
  EXPECT_EQ(handOffs, 0);
}

TEST_F(AnalyzerRunnerTest, TapStallWritesThePendingHypothesisAsFinalBeforeExiting) {
  startLive({.recordPath = path("mic.wav")});
  sim::simAnalyzer().emitResult("hello wor", false);
  sim::simAudio().deliver(*buffer(0.2f, 4800));
  clock->runUntilIdle();
  clearLog();
  EXPECT_EQ(exitOf([&] { clock->advanceSeconds(5.0); }), std::nullopt);
  EXPECT_EQ(exitOf([&] { clock->advanceSeconds(5.0); }), 2);
  auto e = events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0], "err speech: tap stall (10000ms since the last buffer); finalizing the recording and exiting for a "
                  "fresh launch");
  EXPECT_EQ(e[1], "out {\"ev\":\"tapStall\",\"ageMs\":10000}");
  EXPECT_EQ(e[2], "out {\"ev\":\"final\",\"text\":\"hello wor\"}");
  // 100 ms less the resampler's delay.
  EXPECT_EQ(e[3].rfind("out {\"ev\":\"recorded\",\"ms\":", 0), 0u);
}

// ---- Voiced-speech accounting and the early triggers ----

TEST_F(AnalyzerRunnerTest, VoicedSpeechCountsOnlyRunsOfAtLeast600Ms) {
  // Real-time 1024-frame buffers: a meter block is five of them, ~107 ms.
  struct Case {
    int loudBlocks;
    std::uint64_t firstBlockAtMs;
    std::uint64_t minMs, maxMs;  // counted once the run is over
  };
  const Case cases[] = {
      {4, 0, 0, 0},          // a run of five blocks with the hang, ~533 ms
      {5, 0, 630, 650},      // six blocks, ~640 ms, all at once
      {5, 10000, 630, 650},  // the first block brings no time before it
      {8, 0, 950, 970},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.loudBlocks << " loud from " << c.firstBlockAtMs);
    sim::setScenarioForTesting(nlohmann::json::object());
    makeRunner({.anchorMsAgo = c.firstBlockAtMs})->start();
    auto blocks = [&](int n, float level) {
      for (int i = 0; i < n * 5; ++i) {
        clock->advanceNs(21'333'333);
        sim::simAudio().deliver(*buffer(level));
      }
    };
    blocks(3, kQuiet);
    blocks(c.loudBlocks, kLoud);
    if (c.loudBlocks <= 5) {
      EXPECT_EQ(runner->voicedSpeechMsSoFar(), 0u);
    }
    blocks(1, kQuiet);  // within the hang: still part of the run
    const auto counted = runner->voicedSpeechMsSoFar();
    EXPECT_GE(counted, c.minMs);
    EXPECT_LE(counted, c.maxMs);
    blocks(3, kQuiet);
    EXPECT_EQ(runner->voicedSpeechMsSoFar(), counted);
    runner->stop();
    clock->runUntilIdle();
  }
}

TEST_F(AnalyzerRunnerTest, StartupDeadlineFiresOnceAt3000MsOfSpeechWithoutResults) {
  startLive();
  for (int i = 0; i < 3; ++i) block(kQuiet);
  for (int i = 0; i < 29; ++i) block(kLoud);
  clock->runUntilIdle();
  EXPECT_EQ(runner->voicedSpeechMsSoFar(), 2900u);
  EXPECT_EQ(count("\"code\":\"analyzer\""), 0u);
  block(kLoud);
  clock->runUntilIdle();
  EXPECT_EQ(runner->voicedSpeechMsSoFar(), 3000u);
  for (int i = 0; i < 40; ++i) block(kLoud);
  clock->runUntilIdle();
  EXPECT_EQ(events(), (Strings{kStartLine, kFailOverLine, "err speech: engine=fallback reason=startup-deadline",
                               "handOff none"}));
}

TEST_F(AnalyzerRunnerTest, ResultGapFiresAt15000MsOfSpeechSinceTheLastResult) {
  startLive();
  sim::simAnalyzer().emitResult("hello wor", false);
  clock->runUntilIdle();
  clearLog();
  for (int i = 0; i < 3; ++i) block(kQuiet);
  for (int i = 0; i < 149; ++i) block(kLoud);
  block(kLoud, 99);
  clock->runUntilIdle();
  EXPECT_EQ(runner->voicedSpeechMsSoFar(), 14999u);
  EXPECT_EQ(count("\"code\":\"analyzer\""), 0u);
  block(kLoud, 1);
  clock->runUntilIdle();
  EXPECT_EQ(events(), (Strings{"out {\"ev\":\"final\",\"text\":\"hello wor\"}", kFailOverLine,
                               "err speech: engine=fallback reason=result-gap", "handOff none"}));
}

TEST_F(AnalyzerRunnerTest, AResultRestartsTheResultGapCount) {
  startLive();
  sim::simAnalyzer().emitResult("one", true);
  clock->runUntilIdle();
  for (int i = 0; i < 3; ++i) block(kQuiet);
  for (int i = 0; i < 100; ++i) block(kLoud);  // 10000 ms
  sim::simAnalyzer().emitResult("two", true);
  clock->runUntilIdle();
  for (int i = 0; i < 140; ++i) block(kLoud);  // 14000 ms since "two"
  clock->runUntilIdle();
  EXPECT_EQ(count("\"code\":\"analyzer\""), 0u);
  for (int i = 0; i < 10; ++i) block(kLoud);
  clock->runUntilIdle();
  EXPECT_EQ(count("reason=result-gap"), 1u);
}

class AnalyzerTriggerRaceTest : public AnalyzerRunnerTest {
 protected:
  // Speaks until the next loud block reaches the startup deadline.
  void speakToJustBeforeTheDeadline() {
    startLive();
    for (int i = 0; i < 3; ++i) block(kQuiet);
    for (int i = 0; i < 29; ++i) block(kLoud);
    clock->runUntilIdle();
    ASSERT_EQ(count("\"code\":\"analyzer\""), 0u);
    clock->advanceMs(100);
  }
  void lastBlock() { sim::simAudio().deliver(*buffer(kLoud, 4800)); }
};

TEST_F(AnalyzerTriggerRaceTest, TwoTriggersBackToBackFailOverOnce) {
  speakToJustBeforeTheDeadline();
  lastBlock();
  ASSERT_TRUE(sim::simAnalyzer().endResults());
  clock->runUntilIdle();
  EXPECT_EQ(count("\"code\":\"analyzer\""), 1u);
  EXPECT_EQ(count("engine=fallback"), 1u);
  EXPECT_EQ(handOffs, 1);
}

TEST_F(AnalyzerTriggerRaceTest, AResultHandledAfterTheFailOverWritesNothing) {
  speakToJustBeforeTheDeadline();
  lastBlock();
  ASSERT_TRUE(sim::simAnalyzer().emitResult("late words", true));
  clock->runUntilIdle();
  EXPECT_EQ(count("late words"), 0u);
  EXPECT_EQ(count("reason=startup-deadline"), 1u);
  EXPECT_EQ(handOffs, 1);
}

// ---- One recording across the fail-over ----

TEST_F(AnalyzerRunnerTest, TheLegacyRunnerContinuesTheSameRecordingAfterAFailOver) {
  const std::string file = path("mic.wav");
  std::shared_ptr<SpeechRunner> legacy;
  startLive({.recordPath = file, .onHandOff = [&](speech::WavRecorderPtr recorder) {
               legacy = SpeechRunner::make(platform::speechRecognition().recognizer("en-US"), true, std::nullopt, file,
                                           clock->nowNs(), false, std::move(recorder));
               legacy->start();
             }});
  auto feed = [&](float level) {
    for (int i = 0; i < 50; ++i) {
      clock->advanceNs(21'333'333);
      sim::simAudio().deliver(*buffer(level));
    }
  };
  feed(0.1f);
  ASSERT_TRUE(sim::simAnalyzer().endResults());
  clock->runUntilIdle();
  ASSERT_TRUE(legacy);
  feed(0.5f);
  runner->stop();
  EXPECT_EQ(count("\"recorded\""), 0u);
  legacy->stop();
  clock->runUntilIdle();
  EXPECT_EQ(count("\"recording\""), 1u);
  ASSERT_EQ(count("\"recorded\""), 1u);

  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_GT(bytes.size(), 44u);
  std::size_t quiet = 0, loud = 0;
  for (std::size_t i = 44; i + 1 < bytes.size(); i += 2) {
    auto v = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (std::abs(v - 3277) < 200) ++quiet;
    if (std::abs(v - 16384) < 400) ++loud;
  }
  // About 1.07 s (17,000 samples) from each engine.
  EXPECT_GT(quiet, 15000u);
  EXPECT_GT(loud, 15000u);
  legacy.reset();
}

}  // namespace
}  // namespace qln::testing
