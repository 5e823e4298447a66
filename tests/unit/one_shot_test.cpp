// The dictation probe's guard and probe audio, and the camera hold's
// deadlines, on the virtual clock with the scripted backend.
#include <gtest/gtest.h>

#include <limits>
#include <mutex>
#include <optional>

#include "commands/camera_hold.h"
#include "commands/dictation.h"
#include "dispatch/virtual_dispatcher.h"
#include "output/output.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_speech.h"
#include "process/exit.h"

namespace {

using nlohmann::json;
using namespace qln;

struct Line {
  std::string text;
  bool cameraStoppedBefore;  // whether the camera session was already stopped
};

class OneShotTest : public ::testing::Test {
 protected:
  OneShotTest() {
    process::setExitHookForTesting([](int status) { throw process::ProcessExit{status}; });
    output::setSinkForTesting([this](output::Channel channel, std::string_view line) {
      auto sessions = sim::simCapture().sessions();
      bool stopped = !sessions.empty() && sessions.back().stoppedAtNs.has_value();
      std::lock_guard<std::mutex> guard(mutex);
      (channel == output::Channel::out ? out : err).push_back({std::string(line), stopped});
    });
  }
  ~OneShotTest() override {
    output::setSinkForTesting(nullptr);
    process::setExitHookForTesting(nullptr);
    sim::setScenarioForTesting(json::object());
  }

  // Runs `step`; the exit status it ended the process with, if it did.
  template <class Step>
  std::optional<int> exitDuring(Step step) {
    try {
      step();
    } catch (const process::ProcessExit& e) {
      return e.status;
    }
    return std::nullopt;
  }
  // Moves the clock to `seconds` after the test started.
  std::optional<int> at(double seconds) {
    return exitDuring([&] { clock->advanceNs(start + dispatch::secondsNs(seconds) - clock->nowNs()); });
  }
  std::vector<std::string> outTexts() {
    std::lock_guard<std::mutex> guard(mutex);
    std::vector<std::string> texts;
    for (const auto& l : out) texts.push_back(l.text);
    return texts;
  }

  dispatch::ScopedVirtualDispatcher clock;
  std::uint64_t start = clock->nowNs();
  std::mutex mutex;
  std::vector<Line> out, err;
};

const std::string kUnknown = R"({"type":"dictation","state":"unknown"})";
const std::string kOff = R"({"type":"dictation","state":"off"})";

TEST_F(OneShotTest, DictationProbeSendsHalfASecondOnDeviceThenAnswersOnceAtTheLimit) {
  sim::setScenarioForTesting(json::parse(R"({"speech": {}})"));
  ASSERT_EQ(exitDuring([] { commands::runDictationProbe(); }), std::nullopt);

  auto requests = sim::simSpeech().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].reportsPartials);
  EXPECT_TRUE(requests[0].requiresOnDevice);
  EXPECT_TRUE(requests[0].taskStarted);
  EXPECT_TRUE(requests[0].audioEnded);
  EXPECT_EQ(requests[0].buffersAppended, 1u);
  EXPECT_EQ(requests[0].framesAppended, 8000u);

  EXPECT_EQ(at(3.999), std::nullopt);
  EXPECT_TRUE(outTexts().empty());
  EXPECT_EQ(at(4.0), 0);
  EXPECT_EQ(outTexts(), std::vector<std::string>{kUnknown});

  // A late answer from the recogniser finds the probe answered: no second
  // line, no second exit.
  EXPECT_EQ(exitDuring([] { sim::simSpeech().emit(std::nullopt, platform::RecognitionError{"d", 201}); }),
            std::nullopt);
  EXPECT_EQ(at(10), std::nullopt);
  EXPECT_EQ(outTexts(), std::vector<std::string>{kUnknown});
  std::lock_guard<std::mutex> guard(mutex);
  EXPECT_TRUE(err.empty());
}

TEST_F(OneShotTest, DictationAnswerFromTheRecogniserSilencesTheLimit) {
  sim::setScenarioForTesting(json::parse(R"({"speech": {"default": [{"atMs": 300, "error": 201}]}})"));
  ASSERT_EQ(exitDuring([] { commands::runDictationProbe(); }), std::nullopt);
  EXPECT_EQ(at(0.299), std::nullopt);
  EXPECT_EQ(at(0.3), 0);
  EXPECT_EQ(outTexts(), std::vector<std::string>{kOff});
  EXPECT_EQ(at(10), std::nullopt);
  EXPECT_EQ(outTexts(), std::vector<std::string>{kOff});
}

TEST_F(OneShotTest, CameraThatNeverRunsIsStoppedBeforeTheErrorAtFiveSeconds) {
  sim::setScenarioForTesting(json::parse(R"({"camera": {"startsAfterMs": "never"}})"));
  ASSERT_EQ(exitDuring([] { commands::startCameraHold(1); }), std::nullopt);
  EXPECT_EQ(at(4.95), std::nullopt);
  EXPECT_TRUE(outTexts().empty());
  EXPECT_EQ(at(5.0), 1);
  std::lock_guard<std::mutex> guard(mutex);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].text, R"({"type":"error","msg":"session did not start running"})");
  EXPECT_TRUE(out[0].cameraStoppedBefore);
}

TEST_F(OneShotTest, CameraHoldCountsFromTheHoldingLine) {
  sim::setScenarioForTesting(json::parse(R"({"camera": {"startsAfterMs": 250}})"));
  ASSERT_EQ(exitDuring([] { commands::startCameraHold(2.5); }), std::nullopt);
  // Polled every 0.1 s: running is first seen at 0.3 s.
  EXPECT_EQ(at(0.299), std::nullopt);
  EXPECT_TRUE(outTexts().empty());
  EXPECT_EQ(at(0.3), std::nullopt);
  EXPECT_EQ(outTexts(), std::vector<std::string>{R"({"type":"holding"})"});
  EXPECT_EQ(at(2.799), std::nullopt);
  EXPECT_EQ(outTexts().size(), 1u);
  EXPECT_EQ(at(2.8), 0);
  EXPECT_EQ(outTexts(), (std::vector<std::string>{R"({"type":"holding"})", R"({"type":"released"})"}));
  auto sessions = sim::simCapture().sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_TRUE(sessions[0].inputAdded);
  EXPECT_EQ(sessions[0].startRequestedAtNs, start);
  EXPECT_EQ(sessions[0].stoppedAtNs, start + dispatch::secondsNs(2.8));
  std::lock_guard<std::mutex> guard(mutex);
  EXPECT_FALSE(out[0].cameraStoppedBefore);
  EXPECT_TRUE(out[1].cameraStoppedBefore);
}

TEST_F(OneShotTest, EndlessHoldKeepsTheCameraRunning) {
  sim::setScenarioForTesting(json::parse(R"({"camera": {}})"));
  for (double seconds : {std::numeric_limits<double>::infinity(), 1e300}) {
    ASSERT_EQ(exitDuring([&] { commands::startCameraHold(seconds); }), std::nullopt) << seconds;
    EXPECT_EQ(at(1e6), std::nullopt) << seconds;
    EXPECT_EQ(clock->pendingCount(), 0u) << seconds;
    auto sessions = sim::simCapture().sessions();
    ASSERT_FALSE(sessions.empty());
    EXPECT_FALSE(sessions.back().stoppedAtNs.has_value()) << seconds;
  }
  EXPECT_EQ(outTexts(), (std::vector<std::string>{R"({"type":"holding"})", R"({"type":"holding"})"}));
}

}  // namespace
