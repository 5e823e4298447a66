// What a real desktop throws at speech mode, at process level on the
// scripted backend: termination at any moment, a disk that fills, a host
// that stops reading, a flood of control lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "binaries.h"
#include "process_runner.h"
#include "wav_file.h"

namespace {

using namespace qln::testing;
using namespace std::chrono_literals;
using nlohmann::json;

const json kTone = {{"source", {{"kind", "tone"}, {"hz", 440}, {"amplitude", 0.3}}}};

// A call application, and a second one, whose audio the tap can follow.
json withCallApps(json scenario) {
  scenario["capabilities"]["processTap"] = true;
  scenario["tap"] = {{"runningApps", {{"us.zoom.xos", {4321}}, {"com.example.meet", {4322}}}},
                     {"source", {{"kind", "tone"}, {"hz", 220}, {"amplitude", 0.4}}}};
  scenario["audioProcesses"] = {{"supported", true},
                                {"list", {{{"id", 90}, {"pid", 4321}, {"bundleId", "us.zoom.xos"}, {"runningInput", false}},
                                          {{"id", 91}, {"pid", 4322}, {"bundleId", "com.example.meet"}, {"runningInput", false}}}}};
  return scenario;
}

std::string retargets(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i)
    lines += std::string(R"({"cmd":"tapOther","bundleId":")") + (i % 2 ? "com.example.meet" : "us.zoom.xos") + "\"}\n";
  return lines;
}

// Whether the process has its SIGTERM handler in place (caught, not default).
bool catchesSigterm(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SigCgt:", 0) != 0) continue;
    const auto mask = std::stoull(line.substr(7), nullptr, 16);
    return (mask >> (SIGTERM - 1)) & 1;
  }
  return false;
}

struct DrillState {
  const char* name;
  json scenario;
  std::map<std::string, std::optional<std::string>> env;
  std::optional<std::string> stdinData;
};

std::vector<DrillState> drillStates() {
  json analyzer = {{"analyzer", true}};
  return {
      {"starting (first engine start fails)", withCallApps({{"audio", {{"source", kTone["source"]}, {"startFailures", 1}}}}), {}, {}},
      {"authorising", withCallApps({{"audio", kTone},
                                    {"speech", {{"authorization", "notDetermined"},
                                                {"requestAnswer", "authorized"},
                                                {"requestDelayMs", 400}}}}), {}, {}},
      {"legacy live", withCallApps({{"audio", kTone}}), {}, {}},
      {"analyzer warm-up and live", [&] {
         json s = withCallApps({{"audio", kTone}});
         s["capabilities"]["analyzer"] = true;
         return s;
       }(), {}, {}},
      {"after a fail-over", [&] {
         json s = withCallApps({{"audio", kTone}});
         s["capabilities"]["analyzer"] = true;
         s["analyzer"] = json::parse(R"({"sessions": [[{"atMs": 250, "fails": "scripted failure"}]]})");
         return s;
       }(), {}, {}},
      {"parked", withCallApps({{"audio", kTone}}), {{"QLN_SIM_DICTATION_OFF", "1"}}, {}},
      {"during tap rebuilds", withCallApps({{"audio", kTone}}), {}, retargets(4000)},
  };
}

// Everything the run wrote is whole lines of JSON; each recording named by a
// line is a valid file; the microphone's file is finalised before the call's.
void expectCleanEnd(const ProcessResult& r, const std::string& mic, const std::string& other, const std::string& what) {
  EXPECT_EQ(r.status, 0) << what << "\n" << r.out << r.err;
  EXPECT_TRUE(r.out.empty() || r.out.back() == '\n') << what << ": a line was cut";
  auto lines = splitLines(r.out);
  std::optional<std::size_t> recorded, recordedOther;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto j = json::parse(lines[i], nullptr, false);
    ASSERT_TRUE(j.is_object()) << what << ": not a JSON line: " << lines[i];
    const std::string ev = j.value("ev", "");
    if (ev == "recorded") {
      EXPECT_FALSE(recorded) << what << ": two recorded lines";
      recorded = i;
    }
    if (ev == "recordedOther") {
      EXPECT_FALSE(recordedOther) << what << ": two recordedOther lines";
      recordedOther = i;
    }
  }
  if (recorded && recordedOther) {
    EXPECT_LT(*recorded, *recordedOther) << what << "\n" << r.out;
  }
  for (const auto& path : {mic, other}) {
    auto file = readRecorded(path);
    if (file.exists) {
      EXPECT_TRUE(file.valid) << what << ": " << path << " has a header that does not match its size";
    }
  }
}

int envInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : fallback;
}

// QLN_DRILL_RUNS sets the number of runs (1000 for a long local drill);
// QLN_DRILL_SEED the instants.
TEST(FaultDrill, SigtermAtAnyInstantEndsCleanly) {
  const int runs = envInt("QLN_DRILL_RUNS", 200);
  std::mt19937 random(static_cast<unsigned>(envInt("QLN_DRILL_SEED", 1)));
  std::uniform_int_distribution<int> instantMs(0, 900);
  const auto states = drillStates();
  const std::string mic = tempPath("drill-mic.wav");
  const std::string other = tempPath("drill-other.wav");
  for (int run = 0; run < runs; ++run) {
    const auto& state = states[static_cast<std::size_t>(run) % states.size()];
    const int at = instantMs(random);
    std::filesystem::remove(mic);
    std::filesystem::remove(other);
    auto env = state.env;
    env["QLN_SIM_SCENARIO"] = writeTempFile(state.scenario.dump());
    RunningProcess p({.args = {kSim, "speech", "--partials", "--record", mic, "--record-other", other, "--tap-bundle",
                               "us.zoom.xos"},
                      .env = env,
                      .stdinData = state.stdinData});
    // The instant counts from when the process can take the signal at all.
    const auto armedBy = std::chrono::steady_clock::now() + 5s;
    while (!catchesSigterm(p.pid()) && std::chrono::steady_clock::now() < armedBy)
      std::this_thread::sleep_for(200us);
    std::this_thread::sleep_for(std::chrono::milliseconds(at));
    p.signal(SIGTERM);
    auto r = p.wait();
    const std::string what = std::string(state.name) + ", SIGTERM at " + std::to_string(at) + " ms (run " +
                             std::to_string(run) + ")";
    expectCleanEnd(r, mic, other, what);
    if (HasFailure()) break;
  }
  std::filesystem::remove(mic);
  std::filesystem::remove(other);
}

TEST(FaultDrill, AFullDiskStopsOnlyTheRecording) {
  json scenario = {{"audio", kTone},
                   {"speech", json::parse(R"({"default": [{"atMs": 200, "final": "still listening"}]})")}};
  RunningProcess p({.args = {kSim, "speech", "--record", "/dev/full"},
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}}});
  ASSERT_TRUE(p.waitForOut(R"({"ev":"final","text":"still listening")")) << p.outSoFar() << p.errSoFar();
  // Metering goes on well after the first writes failed.
  ASSERT_TRUE(p.waitForOut(R"("ev":"micAcoustic")", 15)) << p.outSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0) << r.err;
  auto lines = splitLines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), R"({"ev":"recorded","ms":0})") << "nothing reached the disk, and that is what it says";
}

// Spawns `args` in a process group of its own with its standard output a
// pipe whose reading end is already closed: the host went away.
int spawnWithClosedStdout(const std::vector<std::string>& args, const std::string& scenarioPath) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    ::setenv("QLN_SIM_SCENARIO", scenarioPath.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(fds[0]);
  ::close(fds[1]);
  return pid;
}

TEST(FaultDrill, AHostThatStopsReadingEndsUsAndLeavesNoChild) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    json scenario;
  };
  const std::vector<Case> cases = {
      // The relaunched copy is a child: it must not outlive the waiting parent.
      {"speech, relaunched", {kSim, "speech"}, {{"audio", kTone}}},
      {"usage-watch, with its log stream child", {kSim, "usage-watch"}, json::object()},
  };
  for (const auto& c : cases) {
    const int pid = spawnWithClosedStdout(c.args, writeTempFile(c.scenario.dump()));
    ASSERT_GT(pid, 0);
    int status = 0;
    const auto limit = std::chrono::steady_clock::now() + 10s;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(5ms);
    if (done == 0) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << c.name << ": still running 10 s after its output closed";
      continue;
    }
    EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == SIGPIPE : WEXITSTATUS(status) != 0)
        << c.name << ": ended with status " << status << " as if nothing went wrong";
    // Every process of its group must be gone with it (a zombie is not
    // reaped by us but by the init process, so give the group a moment).
    const auto groupLimit = std::chrono::steady_clock::now() + 5s;
    while (::kill(-pid, 0) == 0 && std::chrono::steady_clock::now() < groupLimit) std::this_thread::sleep_for(5ms);
    EXPECT_NE(::kill(-pid, 0), 0) << c.name << ": a process of its group outlived it";
    ::kill(-pid, SIGKILL);
  }
}

// Gaps in a tone: runs of samples at exact zero longer than `frames`.
std::size_t longestSilence(const std::vector<std::int16_t>& samples) {
  std::size_t longest = 0, run = 0;
  for (auto s : samples) {
    run = s == 0 ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

TEST(FaultDrill, AControlLineFloodKeepsTheRecordingWholeAndTheLastTargetWins) {
  const std::string mic = tempPath("flood-mic.wav");
  const std::string other = tempPath("flood-other.wav");
  std::filesystem::remove(mic);
  std::filesystem::remove(other);
  json scenario = withCallApps({{"audio", kTone}});
  RunningProcess p({.args = {kSim, "speech", "--record", mic, "--record-other", other, "--tap-bundle", "us.zoom.xos"},
                    .env = {{"QLN_SIM_SCENARIO", writeTempFile(scenario.dump())}},
                    .keepStdinOpen = true});
  ASSERT_TRUE(p.waitForOut(R"({"ev":"recordingOther")")) << p.outSoFar() << p.errSoFar();
  // 100,000 lines a second for 10 s: re-targets between the two call
  // applications among lines to ignore, in batches every 10 ms.
  const std::string junk = "not json\n{\"cmd\":\"TAPOTHER\"}\n   \n[]\n{\"cmd\":1}\n";
  std::string batch;
  while (batch.size() < 1000 * 28) batch += retargets(2) + junk;
  std::size_t lines = static_cast<std::size_t>(std::count(batch.begin(), batch.end(), '\n'));
  const auto start = std::chrono::steady_clock::now();
  std::size_t sent = 0;
  for (int tick = 0; tick < 1000; ++tick) {
    p.writeStdin(batch);
    sent += lines;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
  }
  // Last, the call moves to an application that is not running: if any
  // earlier line were carried out after it, the call's audio would go on.
  p.writeStdin("{\"cmd\":\"tapOther\",\"bundleId\":\"org.example.absent\"}\n");
  const auto floodSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::uintmax_t settled = 0;
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(300ms);
    const auto size = std::filesystem::file_size(other);
    if (size == settled) break;
    settled = size;
  }
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(std::filesystem::file_size(other), settled) << "the last target is the one followed";
  p.signal(SIGTERM);
  auto r = p.wait(60s);
  ASSERT_EQ(r.status, 0) << r.err;
  auto file = readRecorded(mic);
  ASSERT_TRUE(file.valid);
  const double seconds = double(file.samples.size()) / file.rate;
  EXPECT_GE(seconds, floodSeconds) << "the microphone recording covers the flood (" << sent << " lines)";
  EXPECT_LT(longestSilence(file.samples), file.rate / 50) << "no gap of 20 ms or more in the microphone's tone";
  std::filesystem::remove(mic);
  std::filesystem::remove(other);
}

}  // namespace
