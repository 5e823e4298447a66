// Signals, the disclaimed relaunch and whole-line output, against real
// processes.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <set>

#include "binaries.h"
#include "process_runner.h"

namespace {

using namespace qln::testing;

const std::string kUsageLine =
    "usage: qln-helper <usage-watch|speech|permissions|dictation|camera-hold|narrate|window-list> "
    "[--partials] [--input-name <name>] [--record <path>] [--record-other <path>] "
    "[--tap-bundle <bundleId>] [--request-speech] [--disclaim] [--self-pid <pid>] "
    "[--voice-isolation] [--legacy-speech] [--pid <pid>] [--window <cgWindowID>]\n";

int pidAfter(const std::string& text, const std::string& marker) {
  auto at = text.find(marker);
  if (at == std::string::npos) return -1;
  return std::atoi(text.c_str() + at + marker.size());
}

bool processExists(int pid) { return pid > 0 && ::kill(pid, 0) == 0; }

TEST(Relaunch, CopyGetsSameArgumentsAndMarker) {
  auto r = runProcess({.args = {kProbe, "report", "--disclaim", "--x", "y z"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  auto lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_NE(lines[0].find(" disclaimed=1 args=report --disclaim --x y z"), std::string::npos) << lines[0];
}

TEST(Relaunch, MarkedProcessRunsInProcessSilently) {
  for (const char* marker : {"", "1", "anything"}) {
    RunningProcess p({.args = {kProbe, "report", "--disclaim"}, .env = {{"QLN_DISCLAIMED", marker}}});
    auto r = p.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(pidAfter(r.out, "pid="), p.pid()) << "marker '" << marker << "' must stop the relaunch";
  }
}

TEST(Relaunch, ParentMirrorsTheCopy) {
  struct Case {
    std::string action;
    int status;
  } cases[] = {{"exit:0", 0}, {"exit:2", 2}, {"exit:1", 1}, {"exit:64", 64}};
  for (const auto& c : cases) {
    auto r = runProcess({.args = {kProbe, c.action, "--disclaim"}});
    EXPECT_EQ(r.status, c.status) << c.action;
  }
}

TEST(Relaunch, CopyKilledBySignalGives128PlusN) {
  RunningProcess p({.args = {kProbe, "hang", "--disclaim"}});
  ASSERT_TRUE(p.waitForLines(1));
  int copy = pidAfter(p.outSoFar(), "copy ready ");
  ASSERT_GT(copy, 0);
  ASSERT_NE(copy, p.pid());
  ::kill(copy, SIGKILL);
  EXPECT_EQ(p.wait().status, 137);
}

TEST(Relaunch, TerminationSignalsReachTheCopy) {
  for (int signo : {SIGTERM, SIGINT}) {
    RunningProcess p({.args = {kProbe, "wait", "--disclaim"}});
    ASSERT_TRUE(p.waitForLines(1));
    int copy = pidAfter(p.outSoFar(), "copy ready ");
    p.signal(signo);
    auto r = p.wait();
    EXPECT_EQ(r.status, 0) << signo;
    EXPECT_EQ(splitLines(r.out).back(), "cleanup") << signo;
    EXPECT_FALSE(processExists(copy));
  }
}

TEST(Relaunch, SignalRightAfterSpawnIsForwardedNotLost) {
  // The parent signals itself before it has started waiting; the copy must
  // still be told, and the parent must still mirror it.
  for (int i = 0; i < 5; ++i) {
    RunningProcess p({.args = {kProbe, "wait", "--disclaim"}, .env = {{"PROBE_RAISE_AFTER_SPAWN", "1"}}});
    auto r = p.wait(std::chrono::milliseconds(10000));
    ASSERT_FALSE(r.timedOut) << "the copy never heard of the signal";
    int copy = pidAfter(r.err, "probe: spawned ");
    ASSERT_GT(copy, 0) << r.err;
    EXPECT_FALSE(processExists(copy));
    // Delivered before or after the copy armed its clean-up.
    EXPECT_TRUE(r.status == 0 || r.status == 128 + SIGTERM) << r.status;
    if (r.status == 0) {
      EXPECT_NE(r.out.find("cleanup"), std::string::npos);
    }
  }
}

TEST(Relaunch, ProductFallsBackInProcess) {
  const std::string fallback = "disclaim: SPI absent; running in-process\n";
  struct Case {
    const char* mode;
    std::string err;
    std::string out;
    int status;
  } cases[] = {
      {"permissions", fallback,
       R"({"type":"perms","camera":"notDetermined","mic":"notDetermined","speech":"notDetermined"})" "\n", 0},
      {"dictation", fallback, R"({"type":"dictation","state":"unknown"})" "\n", 0},
      // No recogniser on this machine: the ready line tells so, then exit 0.
      {"speech", fallback + "speech: engine=legacy reason=os\n",
       R"({"ev":"ready","onDevice":false,"auth":"notDetermined"})" "\n", 0},
  };
  for (const auto& c : cases) {
    // Alone: no recogniser library beside it.
    auto r = runProcess({.args = {aloneCopyOf(kHelper), c.mode, "--disclaim"}});
    EXPECT_EQ(r.err, c.err) << c.mode;
    EXPECT_EQ(r.out, c.out) << c.mode;
    EXPECT_EQ(r.status, c.status) << c.mode;
  }
}

TEST(Relaunch, SimRelaunchesTheModesThatTakeIt) {
  // The copy runs the mode and the parent mirrors its status; no second
  // relaunch, no fallback line. The copy inherits the scenario.
  std::string scenario = writeTempFile(R"({"permissions": {"camera": "authorized", "microphone": "denied"},
      "speech": {"authorization": "authorized", "default": [{"atMs": 0, "error": 201}]}})");
  struct Case {
    const char* mode;
    std::string err;
    std::string out;
    int status;
    std::string ownScenario = "";
  } cases[] = {
      {"permissions", "", R"({"type":"perms","camera":"granted","mic":"denied","speech":"authorized"})" "\n", 0},
      {"dictation", "", R"({"type":"dictation","state":"off"})" "\n", 0},
      // A refused permission ends speech mode on its own.
      {"speech", "speech: engine=legacy reason=os\n", R"({"ev":"ready","onDevice":true,"auth":"denied"})" "\n", 0,
       writeTempFile(R"({"speech": {"authorization": "denied"}})")},
  };
  for (const auto& c : cases) {
    auto r = runProcess({.args = {kSim, c.mode, "--disclaim"},
                         .env = {{"QLN_SIM_SCENARIO", c.ownScenario.empty() ? scenario : c.ownScenario}}});
    EXPECT_EQ(r.err, c.err) << c.mode;
    EXPECT_EQ(r.out, c.out) << c.mode;
    EXPECT_EQ(r.status, c.status) << c.mode;
  }
}

TEST(Signals, TermAndIntRunCleanupThenExitZero) {
  for (int signo : {SIGTERM, SIGINT}) {
    RunningProcess p({.args = {kProbe, "wait"}});
    ASSERT_TRUE(p.waitForLines(1));
    p.signal(signo);
    auto r = p.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(pidAfter(r.out, "copy ready "), p.pid()) << "no relaunch without --disclaim";
    EXPECT_EQ(splitLines(r.out).back(), "cleanup");
  }
}

TEST(ConcurrencyOutput, TwoThreadsNeverInterleaveBytes) {
  auto r = runProcess({.args = {kProbe, "flood:10000"}, .timeout = std::chrono::milliseconds(60000)});
  ASSERT_EQ(r.status, 0);
  auto lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 20000u);
  ASSERT_EQ(r.out.back(), '\n');
  std::map<char, int> next{{'a', 0}, {'b', 0}};
  const std::string padA(200, 'a'), padB(200, 'b');
  for (const auto& line : lines) {
    ASSERT_GE(line.size(), 8u);
    char tag = line[6];
    ASSERT_TRUE(tag == 'a' || tag == 'b') << line;
    std::string expected = std::string("{\"t\":\"") + tag + "\",\"i\":" + std::to_string(next[tag]++) +
                           ",\"pad\":\"" + (tag == 'a' ? padA : padB) + "\"}";
    ASSERT_EQ(line, expected);
  }
}

}  // namespace
