// speech mode as the host runs it: the scripted backend from a scenario, and
// the product on this machine.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "binaries.h"
#include "process_runner.h"
#include "wav_file.h"

namespace {

using namespace qln::testing;
using nlohmann::json;

const json kTone = {{"source", {{"kind", "tone"}, {"hz", 440}, {"amplitude", 0.3}}}};

std::vector<std::string> args(std::vector<std::string> rest) {
  std::vector<std::string> a{kSim, "speech"};
  a.insert(a.end(), rest.begin(), rest.end());
  return a;
}

// A finalized 16 kHz mono 16-bit file: header sizes agree with the length.
void expectFinalizedWav(const std::string& path, const std::string& what) {
  auto file = readRecorded(path);
  ASSERT_TRUE(file.exists) << what << ": " << path << " missing";
  EXPECT_TRUE(file.valid) << what;
  EXPECT_EQ(file.rate, 16000u) << what;
}

std::size_t indexOf(const std::vector<std::string>& lines, const std::string& prefix) {
  auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  return static_cast<std::size_t>(it - lines.begin());
}

std::size_t countOf(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// A call application whose audio the tap can follow.
json withTapTarget(json scenario) {
  scenario["capabilities"]["processTap"] = true;
  scenario["tap"] = {{"runningApps", {{"us.zoom.xos", {4321}}}}};
  scenario["audioProcesses"] = {{"supported", true},
                                {"list", {{{"id", 90}, {"pid", 4321}, {"bundleId", "us.zoom.xos"}, {"runningInput", false}}}}};
  return scenario;
}

TEST(SpeechMode, EndsAfterTheReadyLineWithoutMicrophone) {
  const json analyzerOn = {{"analyzer", true}};
  struct Case {
    const char* name;
    json scenario;
    std::vector<std::string> extra;
    std::string out;
    std::string err;
  } cases[] = {
      {"denied", {{"speech", {{"authorization", "denied"}}}}, {},
       R"({"ev":"ready","onDevice":true,"auth":"denied"})" "\n", "speech: engine=legacy reason=os\n"},
      {"restricted", {{"speech", {{"authorization", "restricted"}}}}, {},
       R"({"ev":"ready","onDevice":true,"auth":"restricted"})" "\n", "speech: engine=legacy reason=os\n"},
      {"undecided, and asking decides nothing", {{"speech", {{"authorization", "notDetermined"}}}}, {},
       R"({"ev":"ready","onDevice":true,"auth":"notDetermined"})" "\n", "speech: engine=legacy reason=os\n"},
      {"asking is answered with a refusal",
       {{"speech", {{"authorization", "notDetermined"}, {"requestAnswer", "denied"}, {"requestDelayMs", 200}}}}, {},
       R"({"ev":"ready","onDevice":true,"auth":"denied"})" "\n", "speech: engine=legacy reason=os\n"},
      {"granted without on-device support, analyzer available",
       {{"capabilities", analyzerOn}, {"speech", {{"onDevice", false}}}}, {},
       R"({"ev":"ready","onDevice":false,"auth":"granted"})" "\n", "speech: engine=analyzer\n"},
      {"granted without an en-US recogniser", {{"speech", {{"locales", {"fr-FR"}}}}}, {},
       R"({"ev":"ready","onDevice":false,"auth":"granted"})" "\n", "speech: engine=legacy reason=os\n"},
      {"recording the other party on a system without taps", {{"speech", {{"authorization", "denied"}}}},
       {"--record-other", tempPath("never-other.wav")},
       R"({"ev":"recordOtherError","message":"unsupported"})" "\n"
       R"({"ev":"ready","onDevice":true,"auth":"denied"})" "\n",
       "speech: engine=legacy reason=os\n"},
  };
  for (auto& c : cases) {
    c.scenario["audio"] = kTone;
    const std::string record = tempPath("never.wav");
    std::vector<std::string> a{"--record", record, "--partials"};
    a.insert(a.end(), c.extra.begin(), c.extra.end());
    auto r = runProcess({.args = args(a), .env = {{"QLN_SIM_SCENARIO", writeTempFile(c.scenario.dump())}}});
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name << ": no engine line, no meter line";
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_FALSE(std::filesystem::exists(record)) << c.name << ": the microphone recording was opened";
  }
}

TEST(SpeechMode, EngineChoiceThenTheChosenEngineRuns) {
  struct Case {
    const char* name;
    json scenario;
    std::vector<std::string> extra;
    std::string err;
    std::string start;
  } cases[] = {
      {"forced legacy although the analyzer is there", {{"capabilities", {{"analyzer", true}}}}, {"--legacy-speech"},
       "speech: engine=legacy reason=flag\n", R"({"ev":"start","engine":"legacy"})"},
      {"no en-US transcription assets",
       {{"capabilities", {{"analyzer", true}}}, {"analyzer", {{"locales", {"fr-FR", "en-GB"}}}}}, {},
       "speech: engine=legacy reason=assets\n", R"({"ev":"start","engine":"legacy"})"},
      {"analyzer with en-US assets", {{"capabilities", {{"analyzer", true}}}}, {},
       "speech: engine=analyzer\n", R"({"ev":"start","engine":"analyzer"})"},
      {"system without the analyzer", json::object(), {}, "speech: engine=legacy reason=os\n",
       R"({"ev":"start","engine":"legacy"})"},
  };
  for (auto& c : cases) {
    c.scenario["audio"] = kTone;
    RunningProcess p({.args = args(c.extra), .env = {{"QLN_SIM_SCENARIO", writeTempFile(c.scenario.dump())}}});
    ASSERT_TRUE(p.waitForLines(2)) << c.name << ": " << p.outSoFar();
    auto lines = splitLines(p.outSoFar());
    EXPECT_EQ(lines[0], R"({"ev":"ready","onDevice":true,"auth":"granted"})") << c.name;
    EXPECT_EQ(countOf(lines, c.start), 1u) << c.name << ": " << p.outSoFar();
    p.signal(SIGTERM);
    auto r = p.wait();
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.name << ": the choice is the first diagnostic";
    EXPECT_EQ(countOf(splitLines(r.err), "speech: engine="), 1u) << c.name << ": " << r.err;
  }
}

TEST(SpeechMode, TapBundleWithoutRecordOtherReadsNoInput) {
  // Standard input is a file here, so its read position shows whether
  // anything read it.
  const std::string input = writeTempFile("{\"cmd\":\"tapOther\",\"bundleId\":\"A\"}\n", ".txt");
  json scenario = withTapTarget({{"audio", kTone}});
  RunningProcess p({.args = {"/bin/sh", "-c", "exec \"$0\" speech --tap-bundle us.zoom.xos < \"$1\"", kSim, input},
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}}});
  // Ready, start, and a few meter lines: well past where a reader starts.
  ASSERT_TRUE(p.waitForLines(6)) << p.outSoFar();
  std::ifstream info("/proc/" + std::to_string(p.pid()) + "/fdinfo/0");
  std::string key;
  long long pos = -1;
  info >> key >> pos;
  EXPECT_EQ(key, "pos:");
  EXPECT_EQ(pos, 0) << "something read standard input";
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  auto lines = splitLines(r.out);
  EXPECT_EQ(countOf(lines, R"({"ev":"recordedOther")"), 0u) << "no tap without --record-other";
  EXPECT_EQ(countOf(lines, R"({"ev":"recordOtherError")"), 0u);
}

TEST(SpeechMode, SigtermWhileAuthorizationIsPendingStopsOnlyTheTap) {
  const std::string other = tempPath("pending-other.wav");
  std::filesystem::remove(other);
  json scenario = withTapTarget(
      {{"audio", kTone},
       {"speech", {{"authorization", "notDetermined"}, {"requestAnswer", "authorized"}, {"requestDelayMs", 60000}}}});
  RunningProcess p({.args = args({"--record-other", other, "--tap-bundle", "us.zoom.xos", "--self-pid", "77"}),
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}}});
  ASSERT_TRUE(p.waitForErr("speech: engine=legacy reason=os\n")) << "armed and authorising";
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"ev":"recordedOther","ms":0})" "\n") << "no ready line";
  expectFinalizedWav(other, "other party");
}

TEST(SpeechMode, RefusedPermissionFinalizesTheTapBeforeExiting) {
  const std::string other = tempPath("refused-other.wav");
  std::filesystem::remove(other);
  json scenario = withTapTarget({{"audio", kTone}, {"speech", {{"authorization", "denied"}}}});
  auto r = runProcess({.args = args({"--record-other", other, "--tap-bundle", "us.zoom.xos"}),
                       .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"ev":"ready","onDevice":true,"auth":"denied"})" "\n"
                   R"({"ev":"recordedOther","ms":0})" "\n");
  expectFinalizedWav(other, "other party");
}

TEST(SpeechMode, SigtermFinalizesBothRecordingsMicrophoneFirst) {
  const std::string mic = tempPath("mic.wav");
  const std::string other = tempPath("other.wav");
  std::filesystem::remove(mic);
  std::filesystem::remove(other);
  json scenario = withTapTarget({{"audio", kTone}});
  RunningProcess p({.args = args({"--record", mic, "--record-other", other, "--tap-bundle", "us.zoom.xos"}),
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}}});
  // Ready, recording, start and a few meter lines.
  ASSERT_TRUE(p.waitForLines(8)) << p.outSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  auto lines = splitLines(r.out);
  EXPECT_EQ(countOf(lines, R"({"ev":"recorded","ms":)"), 1u) << r.out;
  EXPECT_EQ(countOf(lines, R"({"ev":"recordedOther","ms":)"), 1u) << r.out;
  EXPECT_EQ(indexOf(lines, R"({"ev":"recordedOther")"), lines.size() - 1) << "the tap stops last";
  EXPECT_EQ(indexOf(lines, R"({"ev":"recorded",)"), lines.size() - 2) << r.out;
  expectFinalizedWav(mic, "microphone");
  expectFinalizedWav(other, "other party");
}

TEST(SpeechMode, ClosedInputStopsNothing) {
  const std::string mic = tempPath("closed-mic.wav");
  const std::string other = tempPath("closed-other.wav");
  std::filesystem::remove(other);
  json scenario = withTapTarget({{"audio", kTone}});
  // The host writes its control lines and closes its end at once. There is
  // no --tap-bundle: the other party's file exists only because the first
  // line re-targeted the tap.
  RunningProcess p({.args = args({"--record", mic, "--record-other", other}),
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}},
                    .stdinData = "{\"cmd\":\"tapOther\",\"bundleId\":\"us.zoom.xos\"}\nnot json\n"});
  // Ready, recording, start, then a second of meter lines.
  ASSERT_TRUE(p.waitForLines(13)) << "transcription and metering go on after end of input: " << p.outSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  auto lines = splitLines(r.out);
  EXPECT_EQ(countOf(lines, R"({"ev":"recorded","ms":)"), 1u);
  EXPECT_EQ(countOf(lines, R"({"ev":"recordedOther","ms":)"), 1u) << r.out;
  expectFinalizedWav(mic, "microphone");
  expectFinalizedWav(other, "other party");
}

TEST(SpeechMode, AfterFailOverSigtermStopsTheLegacyEngine) {
  const std::string mic = tempPath("failover-mic.wav");
  std::filesystem::remove(mic);
  json scenario = {{"audio", kTone},
                   {"capabilities", {{"analyzer", true}}},
                   {"analyzer", json::parse(R"({"sessions": [[{"atMs": 300, "fails": "scripted failure"}]]})")}};
  RunningProcess p({.args = args({"--record", mic}), .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}}});
  ASSERT_TRUE(p.waitForErr("speech: engine=fallback")) << p.outSoFar();
  // The legacy engine's first request start, then a meter line of its own.
  while (countOf(splitLines(p.outSoFar()), R"({"ev":"start","engine":"legacy"})") == 0)
    ASSERT_TRUE(p.waitForLines(splitLines(p.outSoFar()).size() + 1)) << p.outSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  auto lines = splitLines(r.out);
  EXPECT_EQ(countOf(lines, R"({"ev":"ready")"), 1u) << "the hand-off does not repeat the ready line";
  EXPECT_EQ(countOf(lines, R"({"ev":"recording")"), 1u) << "one file across the change of engine";
  EXPECT_EQ(countOf(lines, R"({"ev":"recorded","ms":)"), 1u) << r.out;
  EXPECT_EQ(lines.back().rfind(R"({"ev":"recorded","ms":)", 0), 0u) << r.out;
  EXPECT_LT(indexOf(lines, R"({"ev":"error","code":"analyzer"})"), indexOf(lines, R"({"ev":"start","engine":"legacy"})"));
  expectFinalizedWav(mic, "microphone");
}

// The 16-bit samples of a finalized file, as floats.
std::vector<float> wavSamples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> samples;
  for (std::size_t at = 44; at + 1 < bytes.size(); at += 2) {
    auto v = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[at]) |
                                       static_cast<unsigned char>(bytes[at + 1]) << 8);
    samples.push_back(static_cast<float>(v) / 32768.0f);
  }
  return samples;
}

TEST(SpeechMode, TapFollowsTheCallAudioThroughRetargets) {
  const std::string other = tempPath("follow-other.wav");
  std::filesystem::remove(other);
  json scenario = withTapTarget({{"audio", {{"source", {{"kind", "silence"}}}}}});
  scenario["tap"]["source"] = {{"kind", "tone"}, {"hz", 220}, {"amplitude", 0.4}};
  RunningProcess p({.args = args({"--record-other", other, "--tap-bundle", "us.zoom.xos"}),
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}},
                    .keepStdinOpen = true});
  const std::string otherLine = R"("ev":"otherAcoustic")";
  ASSERT_TRUE(p.waitForOut(otherLine, 5)) << p.outSoFar();
  ASSERT_TRUE(p.waitForOut(R"({"ev":"recordingOther","path":)")) << p.outSoFar();

  // Re-targeted to an application that does not run: the tapped audio stops
  // while the microphone's meter goes on.
  p.writeStdin("{\"cmd\":\"tapOther\",\"bundleId\":\"com.example.absent\"}\n");
  auto micLines = [&] { return countOf(splitLines(p.outSoFar()), R"({"ev":"micAcoustic")"); };
  auto otherLines = [&] { return countOf(splitLines(p.outSoFar()), R"({"ev":"otherAcoustic")"); };
  const std::size_t micAtRetarget = micLines();
  ASSERT_TRUE(p.waitForOut(R"({"ev":"micAcoustic")", micAtRetarget + 10)) << p.outSoFar();
  const std::size_t otherWhileAway = otherLines();
  ASSERT_TRUE(p.waitForOut(R"({"ev":"micAcoustic")", micAtRetarget + 20)) << p.outSoFar();
  EXPECT_EQ(otherLines(), otherWhileAway) << "no audio is tapped from an application that does not run";

  // Back to the call: the same file goes on, announced once.
  p.writeStdin("{\"cmd\":\"tapOther\",\"bundleId\":\"us.zoom.xos\"}\n");
  ASSERT_TRUE(p.waitForOut(otherLine, otherWhileAway + 5)) << p.outSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  auto lines = splitLines(r.out);
  EXPECT_EQ(countOf(lines, R"({"ev":"recordingOther")"), 1u) << r.out;
  EXPECT_EQ(countOf(lines, R"({"ev":"recordedOther","ms":)"), 1u) << r.out;
  expectFinalizedWav(other, "other party");
  auto samples = wavSamples(other);
  ASSERT_GT(samples.size(), 16000u) << "over a second of the call's audio";
  double sum = 0;
  for (float v : samples) sum += double{v} * v;
  // A 0.4 sine has an RMS of 0.28; the file holds only what was tapped.
  EXPECT_NEAR(std::sqrt(sum / static_cast<double>(samples.size())), 0.4 / std::sqrt(2.0), 0.03);
}

// A kB figure ("VmRSS", "VmHWM") of a running process.
std::uint64_t statusKb(int pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  ADD_FAILURE() << field << " missing for " << pid;
  return 0;
}

TEST(SpeechMode, EndlessControlLineKeepsMemoryFlat) {
  const std::string other = tempPath("endless-other.wav");
  std::filesystem::remove(other);
  json scenario = withTapTarget({{"audio", kTone}});
  scenario["tap"]["source"] = {{"kind", "tone"}, {"hz", 220}, {"amplitude", 0.4}};
  // No --tap-bundle: the other party's recording starts only when a control
  // line names the call application. Under AddressSanitizer freed memory is
  // held back in a quarantine of its own (256 MB), which would count here as
  // if the program kept it: the child runs without one.
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  asan += std::string(asan.empty() ? "" : ":") + "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
  RunningProcess p({.args = args({"--record-other", other}),
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}, {"ASAN_OPTIONS", asan}},
                    .keepStdinOpen = true});
  ASSERT_TRUE(p.waitForOut(R"({"ev":"start")")) << p.outSoFar();
  const std::uint64_t startKb = statusKb(p.pid(), "VmRSS");

  // 1 GiB without a line feed: an unbounded buffer would hold all of it.
  const std::string chunk(1u << 20, 'x');
  for (int i = 0; i < 1024; ++i) {
    p.writeStdin(chunk);
    if (i % 64 == 0) (void)p.outSoFar();  // keep the child's output flowing
  }
  // The line after the endless one is still handled.
  p.writeStdin("\n{\"cmd\":\"tapOther\",\"bundleId\":\"us.zoom.xos\"}\n");
  ASSERT_TRUE(p.waitForOut(R"({"ev":"recordingOther","path":)")) << p.outSoFar();
  const std::uint64_t peakKb = statusKb(p.pid(), "VmHWM");
  EXPECT_LT(peakKb, startKb + 64 * 1024) << "peak " << peakKb << " kB, " << startKb << " kB after start";

  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  expectFinalizedWav(other, "other party");
}

TEST(SpeechMode, ProductAnswersAsAMachineWithoutRecogniser) {
  // Alone: no recogniser library beside it.
  auto r = runProcess({.args = {aloneCopyOf(kHelper), "speech", "--partials", "--record", tempPath("product.wav")}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"ev":"ready","onDevice":false,"auth":"notDetermined"})" "\n");
  EXPECT_EQ(r.err, "speech: engine=legacy reason=os\n");
  EXPECT_FALSE(std::filesystem::exists(tempPath("product.wav")));
}

}  // namespace
