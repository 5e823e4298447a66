// The legacy runner's recognition side: the request chain, rollover, finals,
// error classification and dictation parking.
#include <gtest/gtest.h>

#include <utility>

#include "output/output.h"
#include "speech_runner_fixture.h"

namespace qln::testing {
namespace {

using Lines = std::vector<std::string>;
using platform::RecognitionError;
using platform::RecognitionResult;

const std::string kStart = R"({"ev":"start","engine":"legacy"})";
const std::string kParked = R"({"ev":"error","code":"201"})";

std::string errorLine(std::int64_t code) { return "{\"ev\":\"error\",\"code\":\"" + std::to_string(code) + "\"}"; }
std::string finalLine(const std::string& text) { return "{\"ev\":\"final\",\"text\":" + output::jsonQuoted(text) + "}"; }
RecognitionError err(std::int64_t code) { return {"kAFAssistantErrorDomain", code}; }

class SpeechRunnerRecognitionTest : public SpeechRunnerTest {
 protected:
  // Emits as the recogniser's thread would and runs what that posts.
  std::optional<int> emit(std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
    EXPECT_TRUE(sim::simSpeech().emit(std::move(result), std::move(error))) << "no live task";
    return exitOf([&] { clock->runUntilIdle(); });
  }

  // Feeds buffers for `ms` and notes when each event line appeared.
  std::vector<std::pair<std::uint64_t, std::string>> timeline(std::uint64_t ms) {
    std::vector<std::pair<std::uint64_t, std::string>> seen;
    std::size_t known = events().size();
    for (std::uint64_t t = 0; t < ms; t += 100) {
      feedFor(100);
      auto now = events();
      for (; known < now.size(); ++known) seen.emplace_back(elapsedMs(), now[known]);
    }
    return seen;
  }
};

TEST_F(SpeechRunnerRecognitionTest, SilentRecognizerRollsOverEveryEightSecondsWithoutFinals) {
  for (bool onDevice : {true, false}) {
    SCOPED_TRACE(onDevice ? "on-device" : "server");
    sim::setScenarioForTesting(json::object());
    capture.clear();
    sim::simSpeech().setOnDevice(onDevice);
    std::uint64_t origin = elapsedMs();
    makeRunner()->start();
    auto seen = timeline(30'000);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(events().front(), kStart);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].first - origin, 8000 * (i + 1));
      EXPECT_EQ(seen[i].second, kStart);
    }

    auto requests = sim::simSpeech().requests();
    ASSERT_EQ(requests.size(), 4u);
    for (std::size_t i = 0; i < requests.size(); ++i) {
      EXPECT_TRUE(requests[i].reportsPartials);
      EXPECT_EQ(requests[i].requiresOnDevice, onDevice);
      EXPECT_TRUE(requests[i].taskStarted);
      EXPECT_EQ(requests[i].cancelled, i < 3) << "request " << i;
      EXPECT_FALSE(requests[i].audioEnded) << "a rolled-over request gets no endAudio";
    }
    EXPECT_EQ(requests[0].buffersAppended, 79u);  // 100 ms .. 7.9 s; the tick at 8 s comes first
    runner->stop();
    runner.reset();
  }
}

TEST_F(SpeechRunnerRecognitionTest, RolloverPublishesTheLastPartialWhetherOrNotPartialsAreShown) {
  struct Case {
    bool partials;
    Lines expected;
  } cases[] = {
      {true,
       {kStart, R"({"ev":"partial","text":"hello"})", R"({"ev":"partial","text":"hello there"})",
        R"({"ev":"final","text":"hello there"})", kStart, kStart}},
      {false, {kStart, R"({"ev":"final","text":"hello there"})", kStart, kStart}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.partials ? "partials on" : "partials off");
    sim::setScenarioForTesting(json::parse(R"({"speech": {"requests": [
        [{"atMs": 1000, "partial": "hello"}, {"atMs": 2000, "partial": "hello there"}]]}})"));
    capture.clear();
    RunnerOptions o;
    o.partials = c.partials;
    makeRunner(o)->start();
    feedFor(16'000);  // the second rollover has nothing to publish
    EXPECT_EQ(events(), c.expected);
    runner->stop();
    runner.reset();
  }
}

TEST_F(SpeechRunnerRecognitionTest, FinalTextIsPublishedVerbatimUnlessBlank) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> line;
  } cases[] = {
      {"surrounding whitespace kept", "  hello world \n", R"({"ev":"final","text":"  hello world \n"})"},
      {"plain", "ok", R"({"ev":"final","text":"ok"})"},
      {"empty", "", std::nullopt},
      {"ASCII blanks", " \t\r\n", std::nullopt},
      {"Unicode blanks", "\u00A0\u3000\u2028", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(json::object());
    capture.clear();
    makeRunner()->start();
    emit(RecognitionResult{c.text, true}, std::nullopt);
    Lines expected{kStart};
    if (c.line) expected.push_back(*c.line);
    expected.push_back(kStart);  // a recogniser final always starts a new request
    EXPECT_EQ(events(), expected);
    runner->stop();
    runner.reset();
  }
}

TEST_F(SpeechRunnerRecognitionTest, SimulatedDictationOffParksAndRetriesEveryMinute) {
  globals::simDictationOff = true;
  makeRunner()->start();
  auto seen = timeline(121'000);
  std::vector<std::pair<std::uint64_t, std::string>> expected = {
      {300, kParked}, {60'300, kStart}, {60'600, kParked}, {120'600, kStart}, {120'900, kParked}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(events().front(), kStart);

  auto requests = sim::simSpeech().requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& r : requests) EXPECT_FALSE(r.taskStarted);
  EXPECT_EQ(requests[0].buffersAppended, 2u) << "a parked runner must append to no request";
  // Capture and metering go on while parked.
  EXPECT_GE(capture.outContaining("\"micAcoustic\"").size(), 230u);
  EXPECT_TRUE(capture.outContaining("tapStall").empty());
}

TEST_F(SpeechRunnerRecognitionTest, RetriedRequestIsOnProbationUntilTheRecognizerAnswers) {
  makeRunner()->start();
  feedFor(1000);
  emit(std::nullopt, err(201));
  EXPECT_EQ(events(), (Lines{kStart, kParked}));
  feedFor(60'000);  // the retry at 61 s
  EXPECT_EQ(events(), (Lines{kStart, kParked, kStart}));
  feedFor(12'000);  // rollover ticks at 64 and 72 s do nothing on probation
  EXPECT_EQ(events().size(), 3u);
  emit(RecognitionResult{"back again", false}, std::nullopt);
  feedFor(7000);  // the tick at 80 s publishes and restarts again
  EXPECT_EQ(events(), (Lines{kStart, kParked, kStart, R"({"ev":"partial","text":"back again"})",
                             R"({"ev":"final","text":"back again"})", kStart}));
  auto requests = sim::simSpeech().requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_TRUE(requests[0].cancelled);
}

TEST_F(SpeechRunnerRecognitionTest, ConsecutiveErrorsGiveUpAfterTheFifth) {
  enum class Kind { error, final, rollover };
  struct Step {
    Kind kind;
    std::int64_t code = 0;
  };
  const Step e203{Kind::error, 203}, e1110{Kind::error, 1110}, e301{Kind::error, 301}, fin{Kind::final},
      tick{Kind::rollover};
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::optional<std::size_t> exitAfter;  // 1-based step
    std::size_t errorLines;
  } cases[] = {
      {"five in a row", {e203, e203, e203, e203, e203}, 5, 5},
      {"1110 and 301 neither count nor reset", {e203, e1110, e203, e301, e203, e203, e203}, 7, 5},
      {"a recogniser final resets", {e203, e203, e203, e203, fin, e203, e203, e203, e203}, std::nullopt, 8},
      {"a rollover does not reset", {e203, e203, e203, e203, tick, e203}, 6, 5},
      {"codes are counted whatever they are", {{Kind::error, -1}, {Kind::error, 0}, e203, {Kind::error, 1101}, e203},
       5, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(json::object());
    capture.clear();
    std::string file = path("errors.wav");
    RunnerOptions o;
    o.recordPath = file;
    makeRunner(o)->start();
    feedFor(500);
    std::optional<std::size_t> exitedAfter;
    for (std::size_t i = 0; i < c.steps.size() && !exitedAfter; ++i) {
      std::optional<int> status;
      switch (c.steps[i].kind) {
        case Kind::error: status = emit(std::nullopt, err(c.steps[i].code)); break;
        case Kind::final: status = emit(RecognitionResult{"words", true}, std::nullopt); break;
        case Kind::rollover: status = exitOf([&] { feedFor(8000); }); break;
      }
      if (status) {
        EXPECT_EQ(*status, 1);
        exitedAfter = i + 1;
      }
    }
    EXPECT_EQ(exitedAfter, c.exitAfter);
    auto out = events();
    std::size_t errors = 0;
    for (const auto& line : out)
      if (line.find(R"("ev":"error")") != std::string::npos) ++errors;
    EXPECT_EQ(errors, c.errorLines);
    if (c.exitAfter) {
      std::uint32_t bytes = finalizedDataBytes(file);
      ASSERT_GE(out.size(), 2u);
      EXPECT_EQ(out.back(), "{\"ev\":\"recorded\",\"ms\":" + std::to_string(bytes / 32) + "}");
      EXPECT_TRUE(out[out.size() - 2].starts_with(R"({"ev":"error","code":")")) << out[out.size() - 2];
      EXPECT_EQ(capture.err().back(), "speech: giving up after 5 consecutive errors");
      EXPECT_EQ(sim::simAudio().log().runningEngines, 0);
    } else {
      EXPECT_TRUE(capture.outContaining("\"recorded\"").empty());
      runner->stop();
    }
    runner.reset();
  }
}

TEST_F(SpeechRunnerRecognitionTest, FiveErrorsWriteTheseLinesExactly) {
  std::string file = path("five.wav");
  RunnerOptions o;
  o.recordPath = file;
  makeRunner(o)->start();
  feedFor(1000);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(emit(std::nullopt, err(1700)), std::nullopt);
  EXPECT_EQ(emit(std::nullopt, err(1700)), 1);
  std::string e = R"({"ev":"error","code":"1700"})";
  Lines expected = {"{\"ev\":\"recording\",\"path\":" + output::jsonQuoted(file) + "}",
                    kStart, e, kStart, e, kStart, e, kStart, e, kStart, e,
                    "{\"ev\":\"recorded\",\"ms\":" + std::to_string(finalizedDataBytes(file) / 32) + "}"};
  EXPECT_EQ(events(), expected);
  EXPECT_EQ(capture.err(), (Lines{"speech: voice processing off (no --voice-isolation)",
                                  "speech: giving up after 5 consecutive errors"}));
}

TEST_F(SpeechRunnerRecognitionTest, CallbacksOfAReplacedRequestAreIgnored) {
  auto recognizer = std::make_shared<CapturingRecognizer>();
  RunnerOptions o;
  o.recognizer = recognizer;
  makeRunner(o)->start();
  feedFor(8000);  // rollover: request 2 replaces request 1
  ASSERT_EQ(recognizer->handlers.size(), 2u);
  auto stale = recognizer->handlers[0];
  // Already under way when the request was replaced: partial, final, a
  // counted error, a park, each with the old generation.
  stale(RecognitionResult{"old partial", false}, std::nullopt);
  stale(RecognitionResult{"old final", true}, std::nullopt);
  stale(std::nullopt, err(203));
  stale(std::nullopt, err(201));
  clock->runUntilIdle();
  EXPECT_EQ(events(), (Lines{kStart, kStart}));

  // The current request still works, and the stale partial did not leak
  // into the next rollover.
  recognizer->handlers[1](RecognitionResult{"new", false}, std::nullopt);
  feedFor(8000);
  EXPECT_EQ(events(), (Lines{kStart, kStart, R"({"ev":"partial","text":"new"})", finalLine("new"), kStart}));
}

TEST_F(SpeechRunnerRecognitionTest, ResultAndErrorInOneCallbackResultFirst) {
  struct Case {
    const char* name;
    RecognitionResult result;
    std::int64_t code;
    Lines after;  // following the first start line
  } cases[] = {
      {"partial then silent restart", {"x", false}, 1110,
       {R"({"ev":"partial","text":"x"})", R"({"ev":"final","text":"x"})", kStart}},
      {"partial then counted error", {"z", false}, 203,
       {R"({"ev":"partial","text":"z"})", errorLine(203), R"({"ev":"final","text":"z"})", kStart}},
      {"partial then park: the partial is not published", {"y", false}, 201,
       {R"({"ev":"partial","text":"y"})", kParked}},
      // The final already started a new request, so the error is stale.
      {"final then error", {"done", true}, 203, {R"({"ev":"final","text":"done"})", kStart}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::setScenarioForTesting(json::object());
    capture.clear();
    makeRunner()->start();
    emit(c.result, err(c.code));
    Lines expected{kStart};
    expected.insert(expected.end(), c.after.begin(), c.after.end());
    EXPECT_EQ(events(), expected);
    runner->stop();
    runner.reset();
  }
}

TEST_F(SpeechRunnerRecognitionTest, StoppedRunnerIgnoresLateCallbacks) {
  auto recognizer = std::make_shared<CapturingRecognizer>();
  RunnerOptions o;
  o.recognizer = recognizer;
  makeRunner(o)->start();
  runner->stop();
  recognizer->handlers[0](RecognitionResult{"late", true}, err(203));
  clock->runUntilIdle();
  EXPECT_EQ(events(), (Lines{kStart}));
  EXPECT_EQ(recognizer->handlers.size(), 1u);
}

}  // namespace
}  // namespace qln::testing
