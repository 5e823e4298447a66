// The microphone process watcher on the scripted hardware and process table,
// and own-process identification on scripted and on real processes.
#include <gtest/gtest.h>

#include <thread>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>

#include "dispatch/virtual_dispatcher.h"
#include "line_capture.h"
#include "platform/child_launcher.h"
#include "platform/hardware.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_hardware.h"
#include "platform/sim/sim_process.h"
#include "process/own_process.h"
#include "usage/mic_proc_watcher.h"
#include "usage/usage_watch.h"

namespace {

using nlohmann::json;
using namespace qln;

const std::string kHost = QLN_HOST_BUNDLE_ID;
constexpr int kOwn = 500;
constexpr int kSelf = 800;

json proc(int id, int pid, json bundle, bool capturing = true) {
  return {{"id", id}, {"pid", pid}, {"bundleId", bundle}, {"runningInput", capturing}};
}
json rec(int pid, int ppid, json exe = nullptr) { return {{"pid", pid}, {"ppid", ppid}, {"exe", exe}}; }

// `generations` processes below `root`, pids from `first` on; the last is
// the deepest descendant.
std::vector<json> chain(int root, int first, int generations) {
  std::vector<json> out;
  for (int i = 0; i < generations; ++i) out.push_back(rec(first + i, i == 0 ? root : first + i - 1));
  return out;
}

class MicProcWatcherTest : public ::testing::Test {
 protected:
  MicProcWatcherTest() { platform::initializeFourCharCodes(); }
  ~MicProcWatcherTest() override { sim::setScenarioForTesting(json::object()); }

  std::shared_ptr<MicProcWatcher> start(const json& procs, std::vector<json> table,
                                        std::optional<std::string> selfExec = std::nullopt,
                                        json extra = json::object()) {
    json scenario = extra;
    scenario["audioProcesses"] = {{"supported", true}, {"list", procs}};
    table.push_back(rec(kOwn, 1));
    table.push_back(rec(kSelf, 1, "/Applications/Quiln.app/Contents/MacOS/Quiln"));
    scenario["processTable"] = {{"ownPid", kOwn}, {"list", table}};
    sim::setScenarioForTesting(scenario);
    auto w = std::make_shared<MicProcWatcher>(kSelf, selfExec);
    w->start();
    return w;
  }

  dispatch::ScopedVirtualDispatcher clock;
  qln::testing::LineCapture lines;
};

TEST_F(MicProcWatcherTest, FiltersSortingAndLine) {
  const std::string hostExec = "/Applications/Quiln.app/Contents/MacOS/Quiln";
  auto deep39 = chain(kOwn, 1000, 39);
  auto deep40 = chain(kSelf, 2000, 40);
  struct Case {
    const char* name;
    json procs;
    std::vector<json> table;
    std::optional<std::string> selfExec;
    json extra;
    std::string line;
  } cases[] = {
      {"nothing listed", json::array(), {}, {}, {}, R"({"type":"micProcs","procs":[]})"},
      {"a foreign process", {proc(90, 123, "us.zoom.xos")}, {rec(123, 1)}, {}, {},
       R"({"type":"micProcs","procs":[{"bundleId":"us.zoom.xos","pid":123}]})"},
      {"not capturing", {proc(90, 123, "us.zoom.xos", false)}, {rec(123, 1)}, {}, {},
       R"({"type":"micProcs","procs":[]})"},
      {"this process and the host by pid",
       {proc(90, kOwn, "a.b"), proc(91, kSelf, "c.d")}, {}, {}, {}, R"({"type":"micProcs","procs":[]})"},
      {"empty and missing bundle identifiers", {proc(90, 123, ""), proc(91, 124, nullptr)},
       {rec(123, 1), rec(124, 1)}, {}, {}, R"({"type":"micProcs","procs":[]})"},
      {"host bundle and host prefix with a dot are own; without the dot is not",
       {proc(90, 123, kHost), proc(91, 124, kHost + ".helper"), proc(92, 125, kHost + "x")},
       {rec(123, 1), rec(124, 1), rec(125, 1)}, {}, {},
       R"({"type":"micProcs","procs":[{"bundleId":")" + kHost + R"(x","pid":125}]})"},
      {"children of this process and of the host",
       {proc(90, 123, "x.child"), proc(91, 124, "x.hostchild")}, {rec(123, kOwn), rec(124, kSelf)}, {}, {},
       R"({"type":"micProcs","procs":[]})"},
      {"39 generations below this process is own", {proc(90, 1038, "x.deep")}, deep39, {}, {},
       R"({"type":"micProcs","procs":[]})"},
      {"40 generations below the host is past the walk", {proc(90, 2039, "x.deeper")}, deep40, {}, {},
       R"({"type":"micProcs","procs":[{"bundleId":"x.deeper","pid":2039}]})"},
      {"the host's executable", {proc(90, 123, "x.same"), proc(91, 124, "x.other")},
       {rec(123, 1, hostExec), rec(124, 1, "/usr/bin/other")}, hostExec, {},
       R"({"type":"micProcs","procs":[{"bundleId":"x.other","pid":124}]})"},
      {"same path but no host path known", {proc(90, 123, "x.same")}, {rec(123, 1, hostExec)}, {}, {},
       R"({"type":"micProcs","procs":[{"bundleId":"x.same","pid":123}]})"},
      {"unreadable pid or capture state",
       {proc(90, 123, "x.a"), proc(91, 124, "x.b")}, {rec(123, 1), rec(124, 1)}, {},
       {{"hardwareFailures", {{{"object", 90}, {"selector", "ppid"}}, {{"object", 91}, {"selector", "piri"}}}}},
       R"({"type":"micProcs","procs":[]})"},
      {"by bundle in code point order, then by pid",
       {proc(90, 300, "zoom"), proc(91, 200, "\xC3\xA9t\xC3\xA9"), proc(92, 120, "Zoom"), proc(93, 100, "zoom"),
        proc(94, 5, "a\"/b")},
       {rec(300, 1), rec(200, 1), rec(120, 1), rec(100, 1), rec(5, 1)}, {}, {},
       R"({"type":"micProcs","procs":[{"bundleId":"Zoom","pid":120},{"bundleId":"a\"\/b","pid":5},)"
       R"({"bundleId":"zoom","pid":100},{"bundleId":"zoom","pid":300},{"bundleId":")" "\xC3\xA9t\xC3\xA9" R"(","pid":200}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lines.clear();
    auto w = start(c.procs, c.table, c.selfExec, c.extra.is_null() ? json::object() : c.extra);
    EXPECT_EQ(lines.out(), std::vector<std::string>{c.line});
  }
}

TEST_F(MicProcWatcherTest, PollsEveryTwoSecondsAndWritesOnlyChanges) {
  auto w = start({proc(90, 123, "b.app"), proc(91, 124, "a.app")}, {rec(123, 1), rec(124, 1), rec(125, 1)});
  const std::string both = R"({"type":"micProcs","procs":[{"bundleId":"a.app","pid":124},{"bundleId":"b.app","pid":123}]})";
  ASSERT_EQ(lines.out(), std::vector<std::string>{both});
  // The same set in another platform order: no line.
  sim::hardware().removeProcess(90);
  sim::hardware().setProcess({.id = 90, .pid = 123, .bundleId = "b.app", .runningInput = true});
  clock->advanceSeconds(4);
  EXPECT_EQ(lines.out().size(), 1u);
  sim::hardware().setProcess({.id = 92, .pid = 125, .bundleId = "c.app", .runningInput = true});
  clock->advanceMs(1999);
  EXPECT_EQ(lines.out().size(), 1u) << "nothing before the next poll";
  clock->advanceMs(1);
  ASSERT_EQ(lines.out().size(), 2u);
  EXPECT_EQ(lines.out()[1], R"({"type":"micProcs","procs":[{"bundleId":"a.app","pid":124},)"
                            R"({"bundleId":"b.app","pid":123},{"bundleId":"c.app","pid":125}]})");
  // A failed list read is an empty list.
  sim::hardware().failRead(sim::Family::audio, 1, platform::fourCC("prs#"), sim::ReadStep::data);
  clock->advanceSeconds(2);
  ASSERT_EQ(lines.out().size(), 3u);
  EXPECT_EQ(lines.out()[2], R"({"type":"micProcs","procs":[]})");
  w.reset();
  sim::hardware().clearFailures();
  clock->advanceSeconds(6);
  EXPECT_EQ(lines.out().size(), 3u) << "a watcher that is gone polls no more";
}

TEST_F(MicProcWatcherTest, NoProcessListGivesOneUnsupportedLineAndNoPolling) {
  sim::setScenarioForTesting(json::object());
  auto w = std::make_shared<MicProcWatcher>(0, std::nullopt);
  w->start();
  EXPECT_EQ(clock->pendingTimers(), 0u);
  sim::hardware().setProcessListSupported(true);
  sim::hardware().setProcess({.id = 90, .pid = 123, .bundleId = "x", .runningInput = true});
  clock->advanceSeconds(10);
  EXPECT_EQ(lines.out(), std::vector<std::string>{R"({"type":"micProcsUnsupported"})"});
}

// A process table that counts how often it is asked.
class CountingInfo final : public platform::ProcessInfo {
 public:
  std::map<int, int> parent;
  int calls = 0;
  std::optional<std::string> execPath(std::int32_t) override {
    ++calls;
    return "/x";
  }
  std::optional<std::int32_t> parentPid(std::int32_t pid) override {
    ++calls;
    auto it = parent.find(pid);
    return it == parent.end() ? std::nullopt : std::optional<std::int32_t>(it->second);
  }
  int signalZero(std::int32_t) override { return 0; }
  std::int32_t ownPid() override { return 1; }
};

TEST(OwnProcess, ParentWalk) {
  CountingInfo info;
  info.parent = {{10, 9}, {9, 1}, {1, 0}, {20, 20}, {30, 31}};
  for (int i = 0; i < 45; ++i) info.parent[100 + i] = i == 0 ? 50 : 100 + i - 1;  // 144 is 45 below 50
  struct Case {
    int pid;
    std::set<int> roots;
    bool own;
  } cases[] = {
      {10, {9}, true},   {10, {1}, true},    {10, {7}, false}, {1, {}, false},  {1, {1}, true},
      {0, {0}, true},    {0, {}, false},     {20, {7}, false},  // its own parent ends the walk
      {30, {31}, true},  {30, {32}, false},                     // 31 has no readable record
      {138, {50}, true},                                        // 39 generations: the 39th ancestor is compared
      {139, {50}, false},                                       // 40: it is not
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qlnIsOwnPidTree(c.pid, c.roots, info), c.own) << c.pid;
  }
  info.calls = 0;
  EXPECT_EQ(qlnExecPath(0, info), std::nullopt);
  EXPECT_EQ(qlnExecPath(-5, info), std::nullopt);
  EXPECT_EQ(qlnParentPid(0, info), std::nullopt);
  EXPECT_FALSE(qlnIsSameExecutable(-5, "/x", info));
  EXPECT_FALSE(qlnIsSameExecutable(5, std::nullopt, info));
  EXPECT_EQ(info.calls, 0) << "no system call for ids below 1 or without a host path";
  EXPECT_TRUE(qlnIsSameExecutable(5, "/x", info));
  EXPECT_FALSE(qlnIsSameExecutable(5, "/x/", info));
  info.calls = 0;
  qlnIsOwnPidTree(144, {7}, info);
  EXPECT_EQ(info.calls, 40) << "at most 40 parent lookups";
}

TEST(OwnProcess, UsageWatchSelfPidRules) {
  sim::setScenarioForTesting({{"processTable", {{"list", {rec(123, 1, "/Applications/Host"), rec(7, 1)}}}}});
  struct Case {
    std::vector<std::string> args;
    usage::SelfIdentity self;
  } cases[] = {
      {{"qln-helper", "usage-watch"}, {0, {}}},
      {{"qln-helper", "usage-watch", "--self-pid"}, {0, {}}},
      {{"qln-helper", "usage-watch", "--self-pid", ""}, {0, {}}},
      {{"qln-helper", "usage-watch", "--self-pid", "abc"}, {0, {}}},
      {{"qln-helper", "usage-watch", "--self-pid", "0"}, {0, {}}},
      {{"qln-helper", "usage-watch", "--self-pid", "-3"}, {-3, {}}},
      {{"qln-helper", "usage-watch", "--self-pid", "+123"}, {123, "/Applications/Host"}},
      {{"qln-helper", "usage-watch", "--self-pid", "123", "--self-pid", "7"}, {123, "/Applications/Host"}},
      {{"qln-helper", "usage-watch", "--self-pid", "7"}, {7, {}}},
      {{"qln-helper", "usage-watch", "--self-pid", "2147483648"}, {0, {}}},
      {{"qln-helper", "usage-watch", "--self-pid", " 123"}, {0, {}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(usage::usageWatchSelf(c.args), c.self) << c.args.back();
  }
  sim::setScenarioForTesting(json::object());
}

// Real processes: a shell that reports the pid of a sleeping child.
class RealProcesses : public ::testing::Test {
 protected:
  std::shared_ptr<platform::Child> launch(const std::string& path, std::vector<std::string> args) {
    std::string error;
    platform::ChildHandlers handlers;
    handlers.output = [this](std::string bytes) {
      std::lock_guard<std::mutex> guard(mutex);
      out += bytes;
      changed.notify_all();
    };
    handlers.exited = [this] {
      std::lock_guard<std::mutex> guard(mutex);
      exited = true;
      changed.notify_all();
    };
    auto child = platform::posixChildLauncher().launch({path, std::move(args)}, std::move(handlers), error);
    EXPECT_TRUE(child) << error;
    return child;
  }
  std::string waitForLine() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return out.find('\n') != std::string::npos; });
    return out;
  }
  bool waitForExit() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return exited; });
  }
  platform::ProcessInfo& info = platform::procfsProcessInfo();
  std::mutex mutex;
  std::condition_variable changed;
  std::string out;
  bool exited = false;
};

TEST_F(RealProcesses, ProcReadsAgainstSpawnedProcesses) {
  auto shell = launch("/bin/sh", {"-c", "sleep 30 & echo $!; wait"});
  ASSERT_TRUE(shell);
  int grandchild = std::atoi(waitForLine().c_str());
  ASSERT_GT(grandchild, 0);
  const int me = static_cast<int>(::getpid());
  // The shell reports the pid right after forking; the child may not have
  // become sleep yet.
  const std::string sleepPath = std::filesystem::canonical("/bin/sleep").string();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (qlnExecPath(grandchild, info) != sleepPath && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();

  EXPECT_EQ(qlnParentPid(shell->pid(), info), me);
  EXPECT_EQ(qlnParentPid(grandchild, info), shell->pid());
  EXPECT_EQ(qlnExecPath(grandchild, info), std::filesystem::canonical("/bin/sleep").string());
  EXPECT_EQ(qlnExecPath(me, info), std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_TRUE(qlnIsOwnPidTree(grandchild, {me}, info));
  EXPECT_TRUE(qlnIsOwnPidTree(grandchild, {0, shell->pid()}, info));
  EXPECT_FALSE(qlnIsOwnPidTree(grandchild, {0, 999999999}, info));
  EXPECT_FALSE(qlnIsOwnPidTree(me, {grandchild}, info));
  EXPECT_TRUE(qlnIsSameExecutable(grandchild, std::filesystem::canonical("/bin/sleep").string(), info));
  EXPECT_FALSE(qlnIsSameExecutable(grandchild, qlnExecPath(me, info), info));
  EXPECT_TRUE(qlnProcessExists(grandchild, info));
  // pid 1 is someone else's unless we run as root: EPERM still means alive.
  EXPECT_TRUE(qlnProcessExists(1, info));

  ::kill(grandchild, SIGKILL);  // the shell's wait returns, the shell ends
  ASSERT_TRUE(waitForExit());
  EXPECT_FALSE(qlnProcessExists(shell->pid(), info));
  EXPECT_EQ(qlnParentPid(shell->pid(), info), std::nullopt);
  EXPECT_EQ(qlnExecPath(shell->pid(), info), std::nullopt);
}

TEST_F(RealProcesses, ParentOfAProcessWhoseNameHoldsParenthesesAndSpaces) {
  auto dir = std::filesystem::temp_directory_path() / ("qln-own-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto odd = dir / "a) b (c 1";
  std::filesystem::remove(odd);
  std::filesystem::create_symlink(std::filesystem::canonical("/bin/sleep"), odd);
  auto child = launch(odd.string(), {"30"});
  ASSERT_TRUE(child);
  EXPECT_EQ(qlnParentPid(child->pid(), info), static_cast<int>(::getpid()));
  child->terminate();
  EXPECT_TRUE(waitForExit());
  std::filesystem::remove_all(dir);
}

TEST_F(RealProcesses, LaunchFailureIsReported) {
  std::string error;
  auto child = platform::posixChildLauncher().launch({"/nonexistent/log", {"stream"}}, {}, error);
  EXPECT_EQ(child, nullptr);
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_EQ(platform::posixChildLauncher().runToEnd({"/nonexistent/log", {}}), std::nullopt);
  EXPECT_EQ(platform::posixChildLauncher().runToEnd({"/bin/sh", {"-c", "printf 'a\\nb'"}}), "a\nb");
}

}  // namespace
