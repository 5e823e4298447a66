// An hour of speech mode on the virtual clock: the analyzer with results,
// its fail-over to the legacy engine, rollovers and parks there, and a stop,
// over and over. Lines stay in order, every cycle ends with its one
// recording finalised, and nothing is left scheduled once the runners are
// gone. (Under the sanitizer build, LeakSanitizer checks the memory.)
#include <cstdint>
#include <string>
#include <vector>

#include <map>

#include "analyzer_runner_fixture.h"
#include "line_capture.h"
#include "platform/hardware.h"
#include "usage/camera_watcher.h"
#include "usage/mic_proc_watcher.h"
#include "usage/mic_watcher.h"
#include "globals.h"
#include "platform/sim/sim_speech.h"
#include "platform/speech_recognizer.h"
#include "speech/speech_runner.h"

namespace qln::testing {
namespace {

using nlohmann::json;

std::optional<std::uint64_t> meterTime(const std::string& line) {
  const auto at = line.find("\"micAcoustic\",\"t\":");
  if (at == std::string::npos) return std::nullopt;
  return std::stoull(line.substr(at + 18));
}

class SoakTest : public AnalyzerRunnerTest {
 protected:
  ~SoakTest() override {
    legacy.reset();
    globals::simDictationOff = false;
  }

  // Speech for two seconds, then a second of quiet, block after block, the
  // rhythm kept across calls.
  void speak(std::uint64_t ms) {
    for (std::uint64_t at = 0; at < ms; at += 100, phaseMs_ += 100) block(phaseMs_ % 3000 < 2000 ? kLoud : kQuiet);
  }

  std::shared_ptr<SpeechRunner> legacy;

 private:
  std::uint64_t phaseMs_ = 0;
};

TEST_F(SoakTest, AnHourOfCyclesThroughEveryStateStaysInOrderAndLeavesNothingRunning) {
  constexpr int kCycles = 6;  // ten minutes each
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const std::string file = path("cycle" + std::to_string(cycle) + ".wav");
    // The mode's time origin, which the legacy engine takes over.
    const std::uint64_t anchor = clock->nowNs();
    startLive({.recordPath = file, .onHandOff = [this, file, anchor](speech::WavRecorderPtr recorder) {
                 legacy = SpeechRunner::make(platform::speechRecognition().recognizer("en-US"), true, std::nullopt,
                                             file, anchor, false, std::move(recorder));
                 legacy->start();
               }});
    // Four minutes of the analyzer answering: a volatile result and a final
    // for each utterance.
    for (int utterance = 0; utterance < 80; ++utterance) {
      speak(1500);
      sim::simAnalyzer().emitResult("so far", false);
      speak(1500);
      sim::simAnalyzer().emitResult("an utterance " + std::to_string(utterance), true);
      clock->runUntilIdle();
    }
    // Then it falls silent while the user goes on: the result gap hands over.
    for (int i = 0; i < 30 && handOffs == cycle; ++i) speak(1000);
    ASSERT_EQ(handOffs, cycle + 1) << "cycle " << cycle << ": no fail-over";
    ASSERT_TRUE(legacy);
    // Two minutes of the legacy engine: partials and finals, and the
    // 8-second rollovers when a request runs long.
    for (int i = 0; i < 40; ++i) {
      speak(1500);
      sim::simSpeech().emit(platform::RecognitionResult{"legacy words", false}, std::nullopt);
      speak(1500);
      if (i % 3 == 0) sim::simSpeech().emit(platform::RecognitionResult{"legacy words", true}, std::nullopt);
      clock->runUntilIdle();
    }
    // Dictation switched off for three minutes: parked, retried every minute.
    globals::simDictationOff = true;
    speak(180'000);
    globals::simDictationOff = false;
    speak(60'000);
    clock->runUntilIdle();

    legacy->stop();
    runner->stop();
    clock->runUntilIdle();
    legacy.reset();
    runner.reset();
    clock->runUntilIdle();
    EXPECT_EQ(clock->pendingTimers(), 0u) << "cycle " << cycle << ": a timer outlived the runners";

    const auto lines = allLines();
    std::uint64_t lastT = 0;
    std::size_t recorded = 0, finals = 0, parks = 0, legacyStarts = 0;
    bool afterRecorded = false;
    for (const auto& l : lines) {
      if (auto t = meterTime(l)) {
        EXPECT_GE(*t, lastT) << "cycle " << cycle << ": meter time went back at " << l;
        lastT = *t;
      }
      if (afterRecorded) {
        ADD_FAILURE() << "cycle " << cycle << ": a line after the recording was finalised: " << l;
        break;
      }
      if (l.rfind("out {\"ev\":\"recorded\"", 0) == 0) {
        ++recorded;
        afterRecorded = true;
      }
      finals += l.rfind("out {\"ev\":\"final\"", 0) == 0;
      parks += l == R"(out {"ev":"error","code":"201"})";
      legacyStarts += l == R"(out {"ev":"start","engine":"legacy"})";
    }
    EXPECT_EQ(recorded, 1u) << "cycle " << cycle;
    EXPECT_GE(finals, 80u + 13u) << "cycle " << cycle;
    EXPECT_GE(parks, 3u) << "cycle " << cycle << ": dictation off parks once a minute";
    EXPECT_GE(legacyStarts, 10u) << "cycle " << cycle;
    auto wav = std::filesystem::file_size(file);
    EXPECT_GT(wav, 44u + 32u * 9u * 60'000u) << "cycle " << cycle << ": about ten minutes of 16 kHz audio";
    clearLog();
  }
}

}  // namespace

namespace {

using nlohmann::json;

// An hour of usage-watch churn: every three seconds a camera or microphone
// starts or stops, devices come and go, and capturing processes appear and
// vanish. Each watcher's lines must follow the state, never repeat it, and
// end where the state ends.
TEST(UsageSoak, AnHourOfChurnKeepsEveryWatcherInStep) {
  platform::initializeFourCharCodes();
  dispatch::ScopedVirtualDispatcher clock;
  LineCapture lines;
  json events = json::array();
  bool camera = false, mic = false;
  std::vector<int> procs;
  for (int i = 1; i <= 1200; ++i) {
    json set = json::object();
    // A second camera and microphone come and go beside the watched ones.
    camera = i % 4 == 1 ? !camera : camera;
    mic = i % 6 == 2 ? !mic : mic;
    json video = {{{"id", 7}, {"running", camera}}};
    if (i % 10 < 5) video.push_back({{"id", 8}});
    json audio = {{{"id", 40}, {"running", mic}}};
    if (i % 14 < 7) audio.push_back({{"id", 41}, {"outputOnly", true}, {"running", true}});
    set["videoDevices"] = video;
    set["audioDevices"] = audio;
    if (i % 5 == 0) procs.push_back(2000 + i);
    if (i % 7 == 0 && !procs.empty()) procs.erase(procs.begin());
    json list = json::array();
    for (int pid : procs) list.push_back({{"id", 100 + pid}, {"pid", pid}, {"bundleId", "org.example.p" + std::to_string(pid)}, {"runningInput", true}});
    set["audioProcesses"] = {{"supported", true}, {"list", list}};
    events.push_back({{"atMs", 3000 * i}, {"set", set}});
  }
  json table = json::array({{{"pid", 500}, {"ppid", 1}}, {{"pid", 800}, {"ppid", 1}}});
  for (int i = 1; i <= 1200; ++i) table.push_back({{"pid", 2000 + i}, {"ppid", 1}});
  sim::setScenarioForTesting({{"audioProcesses", {{"supported", true}, {"list", json::array()}}},
                              {"processTable", {{"ownPid", 500}, {"list", table}}},
                              {"hardwareEvents", events}});
  auto cameraWatcher = std::make_shared<CameraWatcher>();
  auto micWatcher = std::make_shared<MicWatcher>();
  auto procWatcher = std::make_shared<MicProcWatcher>(800, std::nullopt);
  cameraWatcher->start();
  micWatcher->start();
  procWatcher->start();
  clock->advanceSeconds(3600 + 10);

  std::map<std::string, std::string> last;  // kind -> last line
  std::size_t changes = 0;
  for (const auto& l : lines.out()) {
    const std::string kind = l.find("\"camera\"") != std::string::npos ? "camera"
                             : l.find("\"mic\"") != std::string::npos  ? "mic"
                                                                       : "micProcs";
    EXPECT_NE(last[kind], l) << "a line that changes nothing";
    last[kind] = l;
    ++changes;
  }
  EXPECT_TRUE(lines.err().empty());
  EXPECT_EQ(last["camera"], std::string(R"({"ev":"camera","active":)") + (camera ? "true" : "false") + "}");
  EXPECT_EQ(last["mic"], std::string(R"({"ev":"mic","active":)") + (mic ? "true" : "false") + "}");
  std::string procsLine = R"({"type":"micProcs","procs":[)";
  for (std::size_t i = 0; i < procs.size(); ++i)
    procsLine += (i ? "," : "") + std::string(R"({"bundleId":"org.example.p)") + std::to_string(procs[i]) +
                 R"(","pid":)" + std::to_string(procs[i]) + "}";
  EXPECT_EQ(last["micProcs"], procsLine + "]}");
  // Every camera flip (300) and microphone flip (200) is seen, each once.
  EXPECT_GE(changes, 300u + 200u);
  sim::setScenarioForTesting(json::object());
}

}  // namespace
}  // namespace qln::testing
