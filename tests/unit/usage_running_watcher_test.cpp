// The camera and microphone running watchers on the virtual clock, driven by
// the scripted hardware model.
#include <gtest/gtest.h>

#include "dispatch/virtual_dispatcher.h"
#include "line_capture.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_hardware.h"
#include "usage/camera_watcher.h"
#include "usage/mic_watcher.h"

namespace {

using nlohmann::json;
using namespace qln;
using sim::Family;

const std::string kCameraOn = R"({"ev":"camera","active":true})";
const std::string kCameraOff = R"({"ev":"camera","active":false})";
const std::string kMicOn = R"({"ev":"mic","active":true})";
const std::string kMicOff = R"({"ev":"mic","active":false})";

class RunningWatcherTest : public ::testing::Test {
 protected:
  ~RunningWatcherTest() override { sim::setScenarioForTesting(json::object()); }

  void startBoth(const json& scenario) {
    sim::setScenarioForTesting(scenario);
    camera = std::make_shared<CameraWatcher>();
    mic = std::make_shared<MicWatcher>();
    camera->start();
    mic->start();
  }

  dispatch::ScopedVirtualDispatcher clock;
  qln::testing::LineCapture lines;
  std::shared_ptr<CameraWatcher> camera;
  std::shared_ptr<MicWatcher> mic;
};

TEST_F(RunningWatcherTest, FirstLineIsUnconditionalAndCountsOnlyCountedDevices) {
  struct Case {
    const char* name;
    json scenario;
    std::vector<std::string> out;
  } cases[] = {
      {"no devices at all", json::object(), {kCameraOff, kMicOff}},
      {"running camera, idle microphone",
       {{"videoDevices", {{{"id", 7}, {"running", true}}}}, {"audioDevices", {{{"id", 40}}}}},
       {kCameraOn, kMicOff}},
      {"one of two cameras running",
       {{"videoDevices", {{{"id", 7}}, {{"id", 8}, {"running", true}}}}},
       {kCameraOn, kMicOff}},
      {"running output-only device is no microphone",
       {{"audioDevices", {{{"id", 40}, {"outputOnly", true}, {"running", true}}}}},
       {kCameraOff, kMicOff}},
      {"running device whose input buffers hold no channel",
       {{"audioDevices", {{{"id", 40}, {"inputBuffers", {0, 0}}, {"running", true}}}}},
       {kCameraOff, kMicOff}},
      {"channels in a later buffer count",
       {{"audioDevices", {{{"id", 40}, {"inputBuffers", {0, 2}}, {"running", true}}}}},
       {kCameraOff, kMicOn}},
      {"unreadable running state counts as idle",
       {{"videoDevices", {{{"id", 7}, {"running", true}}}},
        {"hardwareFailures", {{{"family", "video"}, {"object", 7}, {"selector", "gone"}}}}},
       {kCameraOff, kMicOff}},
      {"unreadable device list is an empty one",
       {{"audioDevices", {{{"id", 40}, {"running", true}}}},
        {"hardwareFailures", {{{"object", 1}, {"selector", "dev#"}, {"read", "data"}}}}},
       {kCameraOff, kMicOff}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lines.clear();
    startBoth(c.scenario);
    clock->advanceSeconds(5);
    EXPECT_EQ(lines.out(), c.out);
    EXPECT_TRUE(lines.err().empty());
  }
}

TEST_F(RunningWatcherTest, FlipWithinDebounceWritesNothing) {
  startBoth({{"videoDevices", {{{"id", 7}}}}, {"audioDevices", {{{"id", 40}}}}});
  lines.clear();
  sim::hardware().setRunning(Family::video, 7, true);
  clock->advanceMs(200);
  sim::hardware().setRunning(Family::video, 7, false);
  // Settles back to what was last written before and after the re-check.
  sim::hardware().setRunning(Family::audio, 40, true);
  clock->advanceMs(100);
  sim::hardware().setRunning(Family::audio, 40, false);
  clock->advanceSeconds(5);
  EXPECT_TRUE(lines.out().empty());
}

TEST_F(RunningWatcherTest, BurstGivesOneLineThreeTenthsAfterTheLast) {
  startBoth({{"videoDevices", {{{"id", 7}}}}});
  lines.clear();
  // Nine state changes and one device list change, 50 ms apart.
  for (int i = 0; i < 9; ++i) {
    sim::hardware().setRunning(Family::video, 7, i % 2 == 0);
    clock->advanceMs(50);
  }
  sim::hardware().setDevice(Family::video, {.id = 8});
  clock->advanceMs(299);
  EXPECT_TRUE(lines.out().empty());
  clock->advanceMs(1);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kCameraOn});
  clock->advanceSeconds(5);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kCameraOn});
}

TEST_F(RunningWatcherTest, OutputOnlyMicrophoneGetsNoListenerAndNeverCounts) {
  startBoth({{"audioDevices", {{{"id", 40}, {"outputOnly", true}}, {{"id", 41}}}}});
  EXPECT_EQ(sim::hardware().listenerCount(Family::audio, 40), 0u);
  EXPECT_EQ(sim::hardware().listenerCount(Family::audio, 41), 1u);
  lines.clear();
  sim::hardware().setRunning(Family::audio, 40, true);
  // Something else schedules a re-check: the output device still does not count.
  sim::hardware().setDevice(Family::audio, {.id = 42});
  clock->advanceSeconds(2);
  EXPECT_TRUE(lines.out().empty());
  sim::hardware().setRunning(Family::audio, 41, true);
  clock->advanceSeconds(2);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kMicOn});
}

TEST_F(RunningWatcherTest, RunningDeviceLeavingTheListStopsCounting) {
  startBoth({{"videoDevices", {{{"id", 7}, {"running", true}}}},
             {"audioDevices", {{{"id", 40}, {"running", true}}}}});
  lines.clear();
  sim::hardware().removeDevice(Family::video, 7);
  sim::hardware().removeDevice(Family::audio, 40);
  clock->advanceMs(299);
  EXPECT_TRUE(lines.out().empty());
  clock->advanceMs(1);
  EXPECT_EQ(lines.out(), (std::vector<std::string>{kCameraOff, kMicOff}));
}

TEST_F(RunningWatcherTest, DeviceThatComesBackIsWatchedAgain) {
  startBoth({{"videoDevices", {{{"id", 7}}}}});
  sim::hardware().removeDevice(Family::video, 7);
  clock->advanceSeconds(1);
  sim::hardware().setDevice(Family::video, {.id = 7});
  clock->advanceSeconds(1);
  // The vanished device dropped out of the known set, so it got a fresh
  // listener (the old one's duplicates are absorbed by the debounce).
  EXPECT_EQ(sim::hardware().listenerCount(Family::video, 7), 2u);
  lines.clear();
  sim::hardware().setRunning(Family::video, 7, true);
  clock->advanceSeconds(1);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kCameraOn});
}

TEST_F(RunningWatcherTest, ListenersOfAGoneWatcherDoNothing) {
  startBoth({{"videoDevices", {{{"id", 7}}}}});
  sim::hardware().setRunning(Family::video, 7, true);
  clock->runUntilIdle();  // the debounce item is pending now
  camera.reset();
  sim::hardware().setRunning(Family::video, 7, false);
  sim::hardware().setDevice(Family::video, {.id = 9, .running = true});
  lines.clear();
  clock->advanceSeconds(2);
  EXPECT_TRUE(lines.out().empty());
}

}  // namespace
