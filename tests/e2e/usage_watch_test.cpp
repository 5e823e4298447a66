// usage-watch as the host runs it: the sim with a scenario, and the product
// on this machine.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "binaries.h"
#include "process_runner.h"

namespace {

using namespace qln::testing;
using nlohmann::json;

// Processes whose parent is `pid`.
std::vector<int> childrenOf(int pid) {
  std::vector<int> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const auto name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == pid)
      out.push_back(std::stoi(name));
  }
  return out;
}

// Waits, without polling, for a process that is not ours to end.
bool waitForEnd(int pidfd, int ms) {
  pollfd p{pidfd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

TEST(UsageWatch, SimFirstLinesThenSigtermStopsTheLogChild) {
  json scenario = {
      {"capabilities", {{"audioProcessList", true}}},
      {"videoDevices", {{{"id", 7}, {"running", true}}}},
      {"audioDevices", {{{"id", 40}, {"running", false}}}},
      {"audioProcesses", {{"supported", true}, {"list", {{{"id", 90}, {"pid", 4321}, {"bundleId", "us.zoom.xos"}, {"runningInput", true}}}}}},
      {"processTable", {{"list", {{{"pid", 4321}, {"ppid", 1}, {"exe", "/opt/zoom/zoom"}}}}}},
      {"logTool", {{"standIn", true},
                   {"stream", {{{"output", {{{"atMs", 0}, {"bytes", json{{"eventMessage", "[0x1] activating connection: x.anonymous.peer[4321]"}}.dump() + "\n"}}}}}}}}}};
  auto path = writeTempFile(scenario.dump());
  RunningProcess p({.args = {kSim, "usage-watch", "--self-pid", "77", "--disclaim"}, .env = {{"QLN_SIM_SCENARIO", path}}});
  ASSERT_TRUE(p.waitForLines(5)) << p.outSoFar();
  auto lines = splitLines(p.outSoFar());
  EXPECT_EQ(lines[0], R"({"ev":"camera","active":true})");
  EXPECT_EQ(lines[1], R"({"ev":"mic","active":false})");
  std::multiset<std::string> rest(lines.begin() + 2, lines.end());
  EXPECT_EQ(rest, (std::multiset<std::string>{
                      R"({"type":"extCameraReal","active":false,"pids":[],"paths":[]})",
                      R"({"type":"extCameraReal","active":true,"pids":[4321],"paths":["\/opt\/zoom\/zoom"]})",
                      R"({"type":"micProcs","procs":[{"bundleId":"us.zoom.xos","pid":4321}]})"}));
  // The forced first client line comes before the one the stream caused.
  EXPECT_LT(std::find(lines.begin(), lines.end(), R"({"type":"extCameraReal","active":false,"pids":[],"paths":[]})"),
            std::find(lines.begin(), lines.end(), R"({"type":"extCameraReal","active":true,"pids":[4321],"paths":["\/opt\/zoom\/zoom"]})"));

  auto children = childrenOf(p.pid());
  ASSERT_EQ(children.size(), 1u) << "the log stream stand-in";
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, children[0], 0));
  ASSERT_GE(pidfd, 0);
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "") << "no relaunch in this mode, no diagnostics";
  EXPECT_TRUE(waitForEnd(pidfd, 5000)) << "the log child outlived the helper";
  ::close(pidfd);
}

TEST(UsageWatch, WithoutSoundServerOrLogTool) {
  // The sim's system has no gate and no log tool; this one has no sound
  // server, but knows its camera clients from /proc.
  struct Case {
    std::string bin;
    std::string clientsLine;
    std::string err;
  } cases[] = {
      {kSim, R"({"type":"extCameraRealUnsupported"})", "camera-clients: log stream spawn failed: No such file or directory\n"},
      {kHelper, R"({"type":"extCameraReal","active":false,"pids":[],"paths":[]})", ""},
  };
  for (const auto& c : cases) {
    for (int signo : {SIGTERM, SIGINT}) {
      RunningProcess p({.args = {c.bin, "usage-watch"},
                        .env = {{"PULSE_SERVER", "unix:/nonexistent/native"}, {"XDG_RUNTIME_DIR", "/nonexistent"}}});
      ASSERT_TRUE(p.waitForLines(4)) << c.bin << ": " << p.outSoFar();
      if (!c.err.empty()) {
        ASSERT_TRUE(p.waitForErr("\n"));
      }
      p.signal(signo);
      auto r = p.wait();
      auto lines = splitLines(r.out);
      ASSERT_EQ(lines.size(), 4u) << c.bin;
      EXPECT_EQ(lines[0], R"({"ev":"camera","active":false})") << c.bin;
      EXPECT_EQ(lines[1], R"({"ev":"mic","active":false})") << c.bin;
      EXPECT_EQ(std::set<std::string>(lines.begin() + 2, lines.end()),
                (std::set<std::string>{c.clientsLine, R"({"type":"micProcsUnsupported"})"}))
          << c.bin;
      EXPECT_EQ(r.err, c.err) << c.bin;
      EXPECT_EQ(r.status, 0) << c.bin;
    }
  }
}

TEST(UsageWatch, ProductWithSelfPidOfARealProcess) {
  RunningProcess p({.args = {kHelper, "usage-watch", "--self-pid", std::to_string(::getpid())}});
  ASSERT_TRUE(p.waitForLines(4)) << p.outSoFar();
  p.signal(SIGTERM);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(splitLines(r.out).size(), 4u) << r.out;
}

}  // namespace
