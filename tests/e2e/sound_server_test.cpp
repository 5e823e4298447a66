// The product binary on a real PulseAudio server that each test starts
// privately: the virtual microphone fed with synthesised speech, the call
// played by a client of its own, the server killed under a running mode.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "../unit/sphinx_sample.h"
#include "binaries.h"
#include "process_runner.h"
#include "pulse_server.h"
#include "wav_file.h"

namespace {

using namespace qln::testing;
using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kModel = "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin";

class SoundServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PulseServer::installed()) GTEST_SKIP() << "pulseaudio is not installed";
    if (::access(kModel, R_OK) != 0) GTEST_SKIP() << "pocketsphinx-en-us is not installed";
    server = std::make_unique<PulseServer>();
    ASSERT_TRUE(server->ok()) << server->why();
  }

  std::string path(const std::string& name) const { return server->folder() + "/" + name; }

  // Two sentences with pauses, as a WAV file; the texts are kept.
  std::string speechFile(std::vector<std::string>* texts = nullptr) {
    auto all = sphinx::fixtureSentences();
    auto sample = sphinx::makeSample({all.at(1), all.at(3)}, 1.0);
    if (!sample) return "";
    if (texts) *texts = sample->texts;
    rate = sample->rate;
    fed = sample->samples;
    writeWav16(path("speech.wav"), sample->rate, sample->samples);
    return path("speech.wav");
  }

  std::unique_ptr<PulseServer> server;
  double rate = 0;
  std::vector<std::int16_t> fed;
};

std::vector<json> jsonLines(const std::string& out) {
  std::vector<json> lines;
  for (const auto& l : splitLines(out)) lines.push_back(json::parse(l));
  return lines;
}

// Loudness every 50 ms.
std::vector<double> envelope(const std::vector<std::int16_t>& s, double rate) {
  const auto window = static_cast<std::size_t>(rate * 0.05);
  std::vector<double> e;
  for (std::size_t at = 0; at + window <= s.size(); at += window) {
    double sum = 0;
    for (std::size_t i = at; i < at + window; ++i) sum += double(s[i]) * s[i];
    e.push_back(std::sqrt(sum / double(window)));
  }
  return e;
}

// The best normalised correlation of `part` anywhere inside `whole`.
double bestCorrelation(const std::vector<double>& whole, const std::vector<double>& part) {
  double best = -1;
  for (std::size_t lag = 0; lag + part.size() <= whole.size(); ++lag) {
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < part.size(); ++i) ma += whole[lag + i], mb += part[i];
    ma /= double(part.size());
    mb /= double(part.size());
    double num = 0, da = 0, db = 0;
    for (std::size_t i = 0; i < part.size(); ++i) {
      num += (whole[lag + i] - ma) * (part[i] - mb);
      da += (whole[lag + i] - ma) * (whole[lag + i] - ma);
      db += (part[i] - mb) * (part[i] - mb);
    }
    if (da > 0 && db > 0) best = std::max(best, num / std::sqrt(da * db));
  }
  return best;
}

TEST_F(SoundServerTest, SpeechModeTranscribesMetersAndRecordsTheMicrophone) {
  std::vector<std::string> texts;
  const std::string speech = speechFile(&texts);
  ASSERT_FALSE(speech.empty()) << "espeak-ng made no speech";
  const std::string recorded = path("mic.wav");
  RunningProcess p({.args = {kHelper, "speech", "--partials", "--record", recorded}, .env = server->env()});
  ASSERT_TRUE(p.waitForOut(R"({"ev":"start")")) << p.outSoFar() << p.errSoFar();
  // A second of silence first, for the meter's unvoiced lines.
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", 10)) << p.outSoFar();
  auto player = server->play(speech, "micfeed", "org.example.feeder");
  EXPECT_EQ(player->wait(60s).status, 0);
  // The last sentence ends in silence: its final follows.
  ASSERT_TRUE(p.waitForOut(R"({"ev":"final")", 1, 15s)) << p.outSoFar();
  const std::size_t finalsBeforeStop = [&] {
    std::size_t n = 0;
    for (const auto& l : splitLines(p.outSoFar())) n += l.find(R"({"ev":"final")") == 0;
    return n;
  }();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0) << r.err;

  auto lines = jsonLines(r.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], json({{"ev", "ready"}, {"onDevice", true}, {"auth", "granted"}}));
  std::string heard;
  std::size_t meters = 0, voiced = 0, unvoiced = 0, partials = 0;
  for (const auto& l : lines) {
    if (l["ev"] == "final") heard += l["text"].get<std::string>() + " ";
    if (l["ev"] == "partial") ++partials;
    if (l["ev"] == "micAcoustic") {
      ++meters;
      (l["voiced"].get<bool>() ? voiced : unvoiced) += 1;
    }
  }
  EXPECT_GE(finalsBeforeStop, 1u);
  EXPECT_GT(partials, 0u);
  EXPECT_GE(sphinx::wordOverlap(texts[0] + " " + texts[1], heard), 0.5) << heard;
  // Every 100 ms for the whole run, at least the played sample's length.
  const double playedSeconds = double(fed.size()) / rate;
  EXPECT_GE(double(meters), playedSeconds * 10 * 0.9);
  // At least a second of the ~6 s of speech; a loaded machine (the
  // sanitizer run) lets the server drop some of the helper's audio.
  EXPECT_GE(voiced, 10u) << "speech is voiced";
  EXPECT_GE(unvoiced, 10u) << "silence is not";
  EXPECT_EQ(lines.back()["ev"], "recorded");

  // The file holds what was fed: the same loudness contour, somewhere in it.
  auto file = readRecorded(recorded);
  ASSERT_TRUE(file.valid);
  EXPECT_EQ(lines.back()["ms"].get<std::uint64_t>(), std::uint64_t(double(file.samples.size()) / file.rate * 1000));
  EXPECT_GE(bestCorrelation(envelope(file.samples, file.rate), envelope(fed, rate)), 0.8);
}

TEST_F(SoundServerTest, TheCallIsTappedAndFollowedByBundle) {
  const std::string speech = speechFile();
  ASSERT_FALSE(speech.empty());
  const std::string other = path("other.wav");
  RunningProcess p({.args = {kHelper, "speech", "--record-other", other, "--tap-bundle", "org.example.call"},
                    .env = server->env(),
                    .keepStdinOpen = true});
  ASSERT_TRUE(p.waitForOut(R"({"ev":"start")")) << p.outSoFar() << p.errSoFar();
  // The host's own children are never tapped: the call is somebody else's.
  const int call = server->playDetached(speech, "call", "org.example.call");
  ASSERT_GT(call, 0);
  ASSERT_TRUE(p.waitForOut(R"({"ev":"recordingOther","path":)", 1, 10s)) << p.outSoFar() << p.errSoFar();
  ASSERT_TRUE(p.waitForOut(R"("voiced":true)", 1, 10s)) << p.outSoFar();
  // Re-targeted to an application that plays nothing: the tapped audio
  // stops, the microphone's meter goes on.
  p.writeStdin("{\"cmd\":\"tapOther\",\"bundleId\":\"org.example.absent\"}\n");
  auto count = [&](const std::string& needle) {
    std::size_t n = 0;
    for (const auto& l : splitLines(p.outSoFar())) n += l.find(needle) != std::string::npos;
    return n;
  };
  const std::size_t mic = count(R"("ev":"micAcoustic")");
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", mic + 10)) << p.outSoFar();
  const std::size_t away = count(R"("ev":"otherAcoustic")");
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", mic + 20)) << p.outSoFar();
  EXPECT_EQ(count(R"("ev":"otherAcoustic")"), away);
  // And back to the call while it still plays.
  p.writeStdin("{\"cmd\":\"tapOther\",\"bundleId\":\"org.example.call\"}\n");
  ASSERT_TRUE(p.waitForOut(R"("ev":"otherAcoustic")", away + 3, 10s)) << p.outSoFar();
  ::kill(call, SIGKILL);
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0) << r.err;
  auto file = readRecorded(other);
  ASSERT_TRUE(file.valid);
  auto loud = envelope(file.samples, file.rate);
  EXPECT_GT(*std::max_element(loud.begin(), loud.end()), 1000.0) << "the call's speech is in the file";
  std::size_t recordingOther = 0;
  for (const auto& l : splitLines(r.out)) recordingOther += l.find(R"({"ev":"recordingOther")") == 0;
  EXPECT_EQ(recordingOther, 1u);
}

TEST_F(SoundServerTest, UsageWatchSeesTheRecorderOnTheMicrophone) {
  RunningProcess p({.args = {kHelper, "usage-watch"}, .env = server->env()});
  ASSERT_TRUE(p.waitForOut(R"({"ev":"mic","active":false})")) << p.outSoFar() << p.errSoFar();
  auto recorder = server->record("org.example.recorder");
  ASSERT_TRUE(p.waitForOut(R"({"ev":"mic","active":true})")) << p.outSoFar();
  const std::string pid = std::to_string(recorder->pid());
  ASSERT_TRUE(p.waitForOut("\"pid\":" + pid)) << p.outSoFar();
  EXPECT_TRUE(p.waitForOut(R"({"bundleId":"org.example.recorder","pid":)" + pid + "}")) << p.outSoFar();
  recorder->signal(SIGKILL);
  recorder->wait();
  EXPECT_TRUE(p.waitForOut(R"({"ev":"mic","active":false})", 2)) << p.outSoFar();
  EXPECT_TRUE(p.waitForOut(R"({"type":"micProcs","procs":[]})")) << p.outSoFar();
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait().status, 0);
}

TEST_F(SoundServerTest, UsageWatchOutlivesTheServerAndFindsTheNextOne) {
  RunningProcess p({.args = {kHelper, "usage-watch"}, .env = server->env()});
  ASSERT_TRUE(p.waitForOut(R"({"ev":"mic","active":false})")) << p.outSoFar() << p.errSoFar();
  auto first = server->record("org.example.recorder");
  ASSERT_TRUE(p.waitForOut(R"({"ev":"mic","active":true})")) << p.outSoFar();
  ASSERT_TRUE(p.waitForOut("\"pid\":" + std::to_string(first->pid()))) << p.outSoFar();
  // Gone with the server: the microphone and its recorder.
  server->kill();
  first->wait();
  EXPECT_TRUE(p.waitForOut(R"({"ev":"mic","active":false})", 2)) << p.outSoFar();
  EXPECT_TRUE(p.waitForOut(R"({"type":"micProcs","procs":[]})")) << p.outSoFar();
  // The desktop starts its sound server again: seen once more, same process.
  ASSERT_TRUE(server->restart()) << server->why();
  auto second = server->record("org.example.recorder");
  EXPECT_TRUE(p.waitForOut(R"({"ev":"mic","active":true})", 2, 20s)) << p.outSoFar() << p.errSoFar();
  EXPECT_TRUE(p.waitForOut("\"pid\":" + std::to_string(second->pid()), 1, 20s)) << p.outSoFar();
  second->signal(SIGKILL);
  second->wait();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0) << "usage-watch kept running through the restart";
}

TEST_F(SoundServerTest, UsageWatchStartsWithRealLinesForEveryFamily) {
  RunningProcess p({.args = {kHelper, "usage-watch"}, .env = server->env()});
  ASSERT_TRUE(p.waitForLines(4)) << p.outSoFar() << p.errSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  auto lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], R"({"ev":"camera","active":false})");
  EXPECT_EQ(lines[1], R"({"ev":"mic","active":false})");
  EXPECT_EQ(std::set<std::string>(lines.begin() + 2, lines.end()),
            (std::set<std::string>{R"({"type":"extCameraReal","active":false,"pids":[],"paths":[]})",
                                   R"({"type":"micProcs","procs":[]})"}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// The microphone permission is whether the sound server takes a connection:
// named by PULSE_SERVER, else the runtime folder's pulse/native.
TEST_F(SoundServerTest, PermissionsAskTheSoundServerWhereAClientWouldFindIt) {
  std::filesystem::create_directories(path("runtime-link/pulse"));
  std::filesystem::create_symlink(path("native"), path("runtime-link/pulse/native"));
  struct Case {
    const char* name;
    std::map<std::string, std::optional<std::string>> env;
    std::string mic;
  } cases[] = {
      {"server named", {{"PULSE_SERVER", "unix:" + path("native")}}, "granted"},
      {"plain path after a remote one", {{"PULSE_SERVER", "tcp:localhost:1 {machine}" + path("native")}}, "granted"},
      {"runtime folder", {{"PULSE_SERVER", std::nullopt}, {"XDG_RUNTIME_DIR", path("runtime-link")}}, "granted"},
      {"nothing listening there", {{"PULSE_SERVER", "unix:" + path("nothing")}}, "notDetermined"},
      {"nowhere to look", {{"PULSE_SERVER", std::nullopt}, {"XDG_RUNTIME_DIR", std::nullopt}}, "notDetermined"},
  };
  for (const auto& c : cases) {
    auto r = runProcess({.args = {kHelper, "permissions"}, .env = c.env});
    ASSERT_EQ(r.status, 0) << c.name;
    auto answer = json::parse(r.out);
    EXPECT_EQ(answer["mic"], c.mic) << c.name;
    EXPECT_EQ(answer["camera"], "notDetermined") << c.name << ": no camera here";
  }
  server->kill();
  auto r = runProcess({.args = {kHelper, "permissions"}, .env = server->env()});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(json::parse(r.out)["mic"], "notDetermined") << "a dead server answers nothing";
}

TEST_F(SoundServerTest, KillingTheServerEndsSpeechModeInTheStallExitWithAValidFile) {
  const std::string recorded = path("stall.wav");
  RunningProcess p({.args = {kHelper, "speech", "--record", recorded}, .env = server->env()});
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", 5)) << p.outSoFar() << p.errSoFar();
  server->kill();
  auto r = p.wait(30s);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  auto file = readRecorded(recorded);
  EXPECT_TRUE(file.valid);
  EXPECT_GT(file.samples.size(), 0u);
}

}  // namespace

namespace {

TEST_F(SoundServerTest, VoiceIsolationWithoutAnEchoCancellerFallsBackToThePlainInput) {
  RunningProcess p({.args = {kHelper, "speech", "--voice-isolation"}, .env = server->env()});
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", 3)) << p.outSoFar() << p.errSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("speech: voice processing could not be enabled (no echo-cancel filter on this sound "
                       "server); using the plain mic input\n"),
            std::string::npos)
      << r.err;
}

}  // namespace

namespace {

// The source our "microphone" record stream reads, from the server's own
// list of streams and sources.
std::string sourceOfOurMicrophoneStream(const PulseServer& server) {
  auto outputs = server.pactl({"list", "source-outputs"});
  auto sources = server.pactl({"list", "short", "sources"});
  if (!outputs || !sources) return "";
  std::string index;
  std::string current;
  for (const auto& l : splitLines(*outputs)) {
    if (auto at = l.find("Source: "); at != std::string::npos) current = l.substr(at + 8);
    if (l.find("media.name = \"microphone\"") != std::string::npos) index = current;
  }
  for (const auto& l : splitLines(*sources))
    if (!index.empty() && l.rfind(index + "\t", 0) == 0) return l.substr(index.size() + 1, l.find('\t', index.size() + 1) - index.size() - 1);
  return "";
}

TEST_F(SoundServerTest, VoiceIsolationRecordsTheEchoCancellerOverTheMicrophone) {
  ASSERT_TRUE(server->pactl({"load-module", "module-echo-cancel", "source_master=mic", "sink_master=call",
                             "aec_method=webrtc", "source_name=mic.cancelled"}))
      << "module-echo-cancel did not load";
  const std::string speech = speechFile();
  ASSERT_FALSE(speech.empty());
  RunningProcess p({.args = {kHelper, "speech", "--voice-isolation"}, .env = server->env()});
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", 5)) << p.outSoFar() << p.errSoFar();
  EXPECT_EQ(sourceOfOurMicrophoneStream(*server), "mic.cancelled");
  auto player = server->play(speech, "micfeed", "org.example.feeder");
  EXPECT_EQ(player->wait(60s).status, 0);
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("speech: voice processing enabled (echo cancellation on the mic input)\n"), std::string::npos)
      << r.err;
  std::size_t voiced = 0;
  for (const auto& l : splitLines(r.out)) voiced += l.find(R"("voiced":true)") != std::string::npos;
  EXPECT_GE(voiced, 10u) << "the microphone's speech comes through the canceller";
}

TEST_F(SoundServerTest, InputNamePinsTheNamedMicrophone) {
  const std::string speech = speechFile();
  ASSERT_FALSE(speech.empty());
  // Speech reaches only the second microphone; the default one stays silent.
  RunningProcess p({.args = {kHelper, "speech", "--input-name", "SecondMicrophone"}, .env = server->env()});
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", 3)) << p.outSoFar() << p.errSoFar();
  auto player = server->play(speech, "mic2feed", "org.example.feeder");
  EXPECT_EQ(player->wait(60s).status, 0);
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  std::size_t voiced = 0;
  for (const auto& l : splitLines(r.out)) voiced += l.find(R"("voiced":true)") != std::string::npos;
  EXPECT_GE(voiced, 10u) << "the pinned microphone is the one heard";
}

}  // namespace
