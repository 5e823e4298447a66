// The other-party tap on the scripted hardware, process table and taps, on
// virtual time: resolution of the target's processes, the build with its
// failures and clean-up, the 2-second re-resolution, the recording across
// rebuilds and the synchronous stop.
#include "speech/other_party_tap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "dispatch/virtual_dispatcher.h"
#include "line_capture.h"
#include "platform/hardware.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_hardware.h"
#include "platform/sim/sim_tap.h"
#include "speech/wav_recorder.h"

namespace {

using nlohmann::json;
using namespace qln;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;

const std::string kHost = QLN_HOST_BUNDLE_ID;
const std::string kZoom = "us.zoom.xos";
constexpr int kOwn = 500;
constexpr int kOwnParent = 400;
constexpr int kSelf = 800;
constexpr int kApp = 123;

json proc(int id, int pid, json bundle) {
  return {{"id", id}, {"pid", pid}, {"bundleId", bundle}, {"runningInput", false}};
}
json rec(int pid, int ppid) { return {{"pid", pid}, {"ppid", ppid}}; }

std::vector<unsigned char> readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
std::uint32_t le32(const std::vector<unsigned char>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::int16_t sampleAt(const std::vector<unsigned char>& b, std::size_t index) {
  std::size_t at = 44 + 2 * index;
  return static_cast<std::int16_t>(b[at] | (b[at + 1] << 8));
}

class OtherPartyTapTest : public ::testing::Test {
 protected:
  OtherPartyTapTest() {
    platform::initializeFourCharCodes();
    platform::kQLNUnsupportedOp = static_cast<std::int32_t>(platform::fourCC("unop"));
    char tmpl[] = "/tmp/qln-tap-XXXXXX";
    EXPECT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = (dir / "other.wav").string();
  }
  ~OtherPartyTapTest() override {
    sim::setScenarioForTesting(json::object());
    std::filesystem::remove_all(dir);
  }

  // The process table every case shares: this process (500) under 400, the
  // host (800) with a child, the target application (123) with a child, and
  // an unrelated process (300).
  static json processTable() {
    return {{"ownPid", kOwn},
            {"list",
             {rec(kOwn, kOwnParent), rec(kOwnParent, 1), rec(501, kOwn), rec(kSelf, 1), rec(801, kSelf),
              rec(kApp, 1), rec(124, kApp), rec(300, 1)}}};
  }

  void setScenario(json procs, json tap = json::object()) {
    json s;
    s["processTable"] = processTable();
    s["audioProcesses"] = {{"supported", true}, {"list", procs}};
    if (!tap.contains("runningApps")) tap["runningApps"] = {{kZoom, {kApp}}};
    s["tap"] = tap;
    sim::setScenarioForTesting(s);
  }

  std::shared_ptr<OtherPartyTap> startTap(std::optional<std::string> bundle, std::string file = "") {
    auto t = OtherPartyTap::make(file.empty() ? path : file, kSelf, clock->nowNs());
    t->start(std::move(bundle));
    clock->runUntilIdle();
    return t;
  }

  // One second of audio at the tap's current format, in 100 ms buffers.
  void deliverSecond(float value) {
    auto frames = static_cast<std::uint32_t>(sim::taps().format().sampleRate / 10);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(sim::taps().deliverFrames(frames, value), 1);
    clock->runUntilIdle();
  }

  std::vector<std::string> errors() const { return lines.outContaining("recordOtherError"); }

  dispatch::ScopedVirtualDispatcher clock;
  qln::testing::LineCapture lines;
  std::filesystem::path dir;
  std::string path;
};

TEST_F(OtherPartyTapTest, ResolutionTakesTheTargetsTreesAndNeverOurs) {
  // The target's own object (10, pid 123) is always there; each row adds one
  // object (id 5) and says whether it joins the tap.
  struct Case {
    const char* name;
    int pid;
    json bundle;
    bool appRunning;
    bool taken;
  } cases[] = {
      {"same bundle, unrelated process", 300, kZoom, true, true},
      {".helper suffix", 300, kZoom + ".helper", true, true},
      {"letters without the point, unrelated", 300, kZoom + "x", true, false},
      {"letters without the point, app's child", 124, kZoom + "x", true, true},
      {"letters without the point, app not running", 124, kZoom + "x", false, false},
      {"no bundle, app's child", 124, nullptr, true, true},
      {"no bundle, unrelated", 300, nullptr, true, false},
      {"host bundle, even as the app's child", 124, kHost + ".helper", true, false},
      {"this process", kOwn, kZoom, true, false},
      {"our parent", kOwnParent, kZoom, true, false},
      {"our child", 501, kZoom, true, false},
      {"the host", kSelf, kZoom, true, false},
      {"the host's child", 801, kZoom, true, false},
      {"pid 0", 0, kZoom, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json tap = {{"runningApps", c.appRunning ? json{{kZoom, {kApp}}} : json::object()}};
    setScenario({proc(10, kApp, kZoom), proc(5, c.pid, c.bundle)}, tap);
    auto t = startTap(kZoom);
    std::vector<platform::ObjectId> expected = c.taken ? std::vector<platform::ObjectId>{5, 10}
                                                       : std::vector<platform::ObjectId>{10};
    EXPECT_EQ(sim::taps().lastDescribedProcesses(), expected);
    t->stop();
  }
}

TEST_F(OtherPartyTapTest, NoTargetMeansNoTapNoFileNoLines) {
  setScenario({proc(10, kApp, kZoom)});
  for (std::optional<std::string> bundle : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    auto t = startTap(bundle);
    clock->advanceSeconds(6);
    t->stop();
    EXPECT_TRUE(sim::taps().calls().empty());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(lines.out().empty());
  }
}

TEST_F(OtherPartyTapTest, LateTargetQuitsAndReturnsIntoTheSameFile) {
  setScenario(json::array());
  auto t = startTap(kZoom);
  clock->advanceSeconds(10);
  EXPECT_EQ(sim::taps().liveTaps(), 0u);

  // The call application starts 10 s in; the next tick, at most 2 s later,
  // builds the tap.
  sim::hardware().setProcess({90, kApp, kZoom, false});
  clock->advanceSeconds(2);
  ASSERT_EQ(sim::taps().liveIOProcs(), 1u);
  deliverSecond(0.5f);
  auto started = lines.outContaining("recordingOther");
  ASSERT_EQ(started.size(), 1u);
  auto t0 = json::parse(started[0]);
  EXPECT_EQ(t0["path"], path);
  EXPECT_GE(t0["tSinceSpeechStartMs"].get<std::uint64_t>(), 10000u);
  EXPECT_LE(t0["tSinceSpeechStartMs"].get<std::uint64_t>(), 12000u);
  EXPECT_EQ(lines.outContaining("otherAcoustic").size(), 10u);

  // It quits: torn down at the next tick, stop before destroy, proc before
  // device before tap; no block is left to deliver to.
  sim::taps().clearCalls();
  sim::hardware().removeProcess(90);
  clock->advanceSeconds(2);
  EXPECT_EQ(sim::taps().calls(),
            (std::vector<std::string>{"stop 201 1", "destroyIOProc 201 1", "destroyAggregate 201", "destroyTap 200"}));
  EXPECT_EQ(sim::taps().deliverFrames(4800, 0.5f), 0);

  // It returns: rebuilt, the same file goes on, no second recordingOther.
  sim::hardware().setProcess({91, 130, kZoom, false});
  clock->advanceSeconds(2);
  ASSERT_EQ(sim::taps().liveIOProcs(), 1u);
  deliverSecond(0.5f);
  t->stop();
  EXPECT_EQ(lines.outContaining("recordingOther").size(), 1u);
  auto done = lines.outContaining("recordedOther");
  ASSERT_EQ(done.size(), 1u);
  auto ms = json::parse(done[0])["ms"].get<std::uint64_t>();
  EXPECT_EQ(ms, 2000u) << "both seconds, the resampler's tail included";
  auto file = readFile(path);
  EXPECT_EQ(file.size(), 44 + le32(file, 40));
  EXPECT_EQ(le32(file, 40) / 32, ms);
  EXPECT_TRUE(errors().empty());
}

TEST_F(OtherPartyTapTest, EveryBuildFailureIsUndoneInReverseAndReportedOnce) {
  const std::string badPath = "/nonexistent-dir/other.wav";
  struct Case {
    const char* name;
    json tap;
    std::string file;  // empty: the fixture's path
    std::string message;
    std::vector<std::string> calls;  // of one build attempt
    bool recorderOpened;
  } cases[] = {
      {"no description", {{"failAt", "description"}}, "", "descUnavailable", {}, false},
      {"no entry points", {{"available", false}}, "", "tapCreate:1970171760", {}, false},
      {"tap refused", {{"failAt", "createTap"}, {"status", -66}}, "", "tapCreate:-66", {"createTap failed"}, false},
      {"tap id 0", {{"failAt", "createTap"}, {"status", 0}}, "", "tapCreate:0", {"createTap failed"}, false},
      {"format unreadable", {{"failAt", "format"}}, "", "tapFormat", {"createTap 200 [10]", "destroyTap 200"}, false},
      {"format all zero", {{"failAt", "format"}, {"status", 0}}, "", "tapFormat",
       {"createTap 200 [10]", "destroyTap 200"}, false},
      {"format without channels", {{"format", {{"sampleRate", 48000}, {"channels", 0}}}}, "", "tapFormat",
       {"createTap 200 [10]", "destroyTap 200"}, false},
      {"no UUID", {{"failAt", "uuid"}}, "", "tapUUID", {"createTap 200 [10]", "destroyTap 200"}, false},
      {"aggregate refused", {{"failAt", "aggregate"}, {"status", 1852797029}}, "", "aggregate:1852797029",
       {"createTap 200 [10]", "createAggregate failed", "destroyTap 200"}, false},
      {"recorder cannot open", json::object(), badPath, "recorderOpen",
       {"createTap 200 [10]", "createAggregate 201", "destroyAggregate 201", "destroyTap 200"}, false},
      {"I/O proc refused", {{"failAt", "ioProc"}}, "", "ioproc:-50",
       {"createTap 200 [10]", "createAggregate 201", "createIOProc failed", "destroyAggregate 201", "destroyTap 200"},
       true},
      {"device start refused", {{"failAt", "start"}, {"status", -10}}, "", "deviceStart:-10",
       {"createTap 200 [10]", "createAggregate 201", "createIOProc 201 1", "start failed", "destroyIOProc 201 1",
        "destroyAggregate 201", "destroyTap 200"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lines.clear();
    std::filesystem::remove(path);
    setScenario({proc(10, kApp, kZoom)}, c.tap);
    auto t = startTap(kZoom, c.file);
    // The first attempt, then one per tick.
    auto first = sim::taps().calls();
    EXPECT_EQ(first, c.calls);
    clock->advanceSeconds(10);
    EXPECT_EQ(sim::taps().calls().size(), 6 * c.calls.size()) << "tried again at every tick";
    EXPECT_EQ(errors(), (std::vector<std::string>{"{\"ev\":\"recordOtherError\",\"message\":\"" + c.message + "\"}"}));
    EXPECT_EQ(sim::taps().liveTaps() + sim::taps().liveAggregates() + sim::taps().liveIOProcs(), 0u);
    t->stop();
    if (c.recorderOpened) {
      EXPECT_EQ(lines.outContaining("recordedOther"), (std::vector<std::string>{"{\"ev\":\"recordedOther\",\"ms\":0}"}));
      EXPECT_EQ(std::filesystem::file_size(path), 44u);
    } else {
      EXPECT_TRUE(lines.outContaining("recordedOther").empty());
      EXPECT_FALSE(std::filesystem::exists(path));
    }
  }
}

TEST_F(OtherPartyTapTest, AggregateDescriptionNamesTheTapAndIsNewEveryBuild) {
  setScenario({proc(10, kApp, kZoom)});
  auto t = startTap(kZoom);
  sim::hardware().setProcess({11, 300, kZoom, false});
  clock->advanceSeconds(2);
  auto built = sim::taps().aggregateDescriptions();
  ASSERT_EQ(built.size(), 2u);
  std::set<std::string> uids;
  for (std::size_t i = 0; i < built.size(); ++i) {
    const auto& d = built[i];
    EXPECT_EQ(d.name, "qln-other-tap");
    EXPECT_TRUE(d.isPrivate);
    EXPECT_FALSE(d.stacked);
    EXPECT_TRUE(d.tapAutoStart);
    std::string tapUUID = "00000000-0000-4000-8000-00000000000" + std::to_string(i + 1);
    EXPECT_EQ(d.taps, (std::vector<platform::AggregateTap>{{tapUUID, true}}));
    EXPECT_EQ(d.uid.size(), 36u);
    uids.insert(d.uid);
  }
  EXPECT_EQ(uids.size(), 2u);
  EXPECT_EQ(sim::taps().lastDescribedProcesses(), (std::vector<platform::ObjectId>{10, 11}));
  t->stop();
}

TEST_F(OtherPartyTapTest, SetBundleRetargets) {
  struct Case {
    const char* name;
    std::optional<std::string> bundle;
    std::vector<std::string> calls;  // after the change and two ticks
  } cases[] = {
      {"same identifier: nothing", kZoom, {}},
      {"empty: torn down, stays idle", std::string(), {"stop 201 1", "destroyIOProc 201 1", "destroyAggregate 201", "destroyTap 200"}},
      {"none: torn down, stays idle", std::nullopt, {"stop 201 1", "destroyIOProc 201 1", "destroyAggregate 201", "destroyTap 200"}},
      {"another application",
       "com.microsoft.teams2",
       {"stop 201 1", "destroyIOProc 201 1", "destroyAggregate 201", "destroyTap 200", "createTap 202 [20]",
        "createAggregate 203", "createIOProc 203 2", "start 203 2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setScenario({proc(10, kApp, kZoom), proc(20, 300, "com.microsoft.teams2")});
    auto t = startTap(kZoom);
    ASSERT_EQ(sim::taps().liveIOProcs(), 1u);
    sim::taps().clearCalls();
    t->setBundle(c.bundle);
    clock->advanceSeconds(4);
    EXPECT_EQ(sim::taps().calls(), c.calls);
    t->stop();
  }
}

TEST_F(OtherPartyTapTest, ReTargetsNotYetCarriedOutGiveWayToTheNewest) {
  setScenario({proc(10, kApp, kZoom), proc(20, 300, "com.microsoft.teams2"), proc(30, 301, "com.example.meet")});
  // runningApps of the scenario name only the first application; the others
  // are found through the audio process list.
  auto t = startTap(kZoom);
  ASSERT_EQ(sim::taps().liveIOProcs(), 1u);
  sim::taps().clearCalls();
  // A burst before the control queue gets a turn: only the newest counts.
  for (int i = 0; i < 1000; ++i) t->setBundle(i % 2 ? "com.microsoft.teams2" : "com.example.meet");
  t->setBundle(std::string("com.microsoft.teams2"));
  clock->advanceSeconds(4);
  EXPECT_EQ(sim::taps().calls(),
            (std::vector<std::string>{"stop 201 1", "destroyIOProc 201 1", "destroyAggregate 201", "destroyTap 200",
                                      "createTap 202 [20]", "createAggregate 203", "createIOProc 203 2", "start 203 2"}));
  // And a later one is carried out as ever.
  sim::taps().clearCalls();
  t->setBundle(std::string(kZoom));
  clock->advanceSeconds(4);
  EXPECT_EQ(sim::taps().lastDescribedProcesses(), (std::vector<platform::ObjectId>{10}));
  t->stop();
}

TEST_F(OtherPartyTapTest, StopIsFinalAndSilent) {
  setScenario({proc(10, kApp, kZoom)});
  auto t = startTap(kZoom);
  deliverSecond(0.5f);
  t->stop();
  t->stop();
  EXPECT_EQ(lines.outContaining("recordedOther").size(), 1u);
  EXPECT_EQ(clock->pendingTimers(), 0u);
  EXPECT_EQ(sim::taps().liveTaps() + sim::taps().liveAggregates() + sim::taps().liveIOProcs(), 0u);

  // Late requests and failures change nothing and write nothing.
  auto before = lines.out();
  sim::taps().clearCalls();
  sim::taps().failAt(sim::TapStep::aggregate);
  sim::hardware().setProcess({11, 300, kZoom, false});
  t->setBundle("com.microsoft.teams2");
  t->start(kZoom);
  clock->advanceSeconds(6);
  EXPECT_EQ(sim::taps().deliverFrames(4800, 0.5f), 0);
  EXPECT_TRUE(sim::taps().calls().empty());
  EXPECT_EQ(clock->pendingTimers(), 0u);
  EXPECT_EQ(lines.out(), before);
}

TEST_F(OtherPartyTapTest, ARebuiltTapOfAnotherFormatIsConvertedAsItself) {
  setScenario({proc(10, kApp, kZoom)});
  auto t = startTap(kZoom);
  deliverSecond(0.5f);  // 48 kHz
  sim::hardware().removeProcess(10);
  clock->advanceSeconds(2);
  sim::taps().setFormat({24000, 1, CommonFormat::float32, false});
  sim::hardware().setProcess({10, kApp, kZoom, false});
  clock->advanceSeconds(2);
  ASSERT_EQ(sim::taps().liveIOProcs(), 1u);
  deliverSecond(0.25f);  // 24 kHz: read as 48 kHz it would last half as long
  t->stop();
  auto ms = json::parse(lines.outContaining("recordedOther").at(0))["ms"].get<std::uint64_t>();
  EXPECT_EQ(ms, 2000u);  // the last converter's filter tail is drained too
  auto file = readFile(path);
  std::size_t samples = le32(file, 40) / 2;
  ASSERT_GT(samples, 31000u);
  EXPECT_NEAR(sampleAt(file, 8000), 0.5 * 32767, 200);
  EXPECT_NEAR(sampleAt(file, samples - 4000), 0.25 * 32767, 200);
  EXPECT_TRUE(errors().empty());
}

// The recorder's side of a format change, on its own.
class OtherPartyTapRecorderSwitch : public ::testing::Test {
 protected:
  OtherPartyTapRecorderSwitch() {
    char tmpl[] = "/tmp/qln-tap-XXXXXX";
    EXPECT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  ~OtherPartyTapRecorderSwitch() override { std::filesystem::remove_all(dir); }

  static platform::PcmBufferPtr constant(const AudioFormat& f, std::uint32_t frames, float value) {
    auto b = PcmBuffer::make(f, frames);
    b->setFrameLength(frames);
    if (auto* fl = b->floatChannelData()) {
      for (std::uint32_t i = 0; i < frames; ++i) fl[0][i] = value;
    } else {
      for (std::uint32_t i = 0; i < frames; ++i) b->int16ChannelData()[0][i] = static_cast<std::int16_t>(value);
    }
    return b;
  }

  dispatch::ScopedVirtualDispatcher clock;
  std::filesystem::path dir;
};

TEST_F(OtherPartyTapRecorderSwitch, KeepsTheFileAndWritesTheOldTail) {
  const AudioFormat float48k{48000, 1, CommonFormat::float32, false};
  const AudioFormat int16k{16000, 1, CommonFormat::int16, true};
  auto file = (dir / "r.wav").string();
  auto r = speech::WavRecorder::make(file, float48k);
  ASSERT_TRUE(r);
  for (int i = 0; i < 5; ++i) r->append(*constant(float48k, 4800, 0.5f));  // 8000 output samples
  // Refused switches change nothing: the old format still converts.
  EXPECT_FALSE(r->switchInputFormat({48000, 0, CommonFormat::float32, false}));
  r->append(*constant(float48k, 4800, 0.5f));  // 9600 samples in all
  ASSERT_TRUE(r->switchInputFormat(int16k));
  r->append(*constant(int16k, 1600, 1000));
  EXPECT_EQ(r->finalize(), 700u);
  EXPECT_FALSE(r->switchInputFormat(float48k));

  auto bytes = readFile(file);
  std::size_t samples = le32(bytes, 40) / 2;
  ASSERT_EQ(samples, 9600u + 1600u);
  // The old converter's filter tail was written before the switch, so the
  // new format's samples start exactly after all of the old audio.
  EXPECT_NEAR(sampleAt(bytes, 9400), 16384, 200);
  for (std::size_t i = 9600; i < samples; ++i) ASSERT_EQ(sampleAt(bytes, i), 1000) << i;
}

}  // namespace
