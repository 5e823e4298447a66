// The camera client watcher on the virtual clock: the scripted log tool
// plays the archive and the stream, the scripted process table answers who
// is alive and where its executable is.
#include <gtest/gtest.h>

#include "dispatch/virtual_dispatcher.h"
#include "line_capture.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_process.h"
#include "platform/camera_clients.h"
#include "usage/camera_client_watcher.h"

namespace {

using nlohmann::json;
using namespace qln;

constexpr int kOwn = 500;
constexpr int kSelf = 800;
const std::string kHostExec = "/Applications/Quiln.app/Contents/MacOS/Quiln";
const std::string kNone = R"({"type":"extCameraReal","active":false,"pids":[],"paths":[]})";
const std::string kZoom = R"({"type":"extCameraReal","active":true,"pids":[700],"paths":["\/Applications\/zoom.us.app"]})";
const std::string kUnsupported = R"({"type":"extCameraRealUnsupported"})";

std::string logLine(const std::string& message) {
  return json{{"timestamp", "2025-01-01 10:00:00.000000+0100"}, {"processImagePath", "/usr/libexec/cameracaptured"},
              {"eventMessage", message}}
             .dump() +
         "\n";
}
std::string activate(const std::string& conn, const std::string& peer) {
  return logLine((conn.empty() ? "" : "[" + conn + "] ") +
                 "activating connection: mach=false listener=false peer=true "
                 "name=com.apple.cmio.registerassistantservice.anonymous.peer[" + peer + "].0x600002b4c000");
}
std::string invalidate(const std::string& conn, const std::string& pidPart) {
  return logLine((conn.empty() ? "" : "[" + conn + "] ") + "invalidated because the client process " + pidPart +
                 "either cancelled the connection or exited");
}

// A log line of exactly `bytes` bytes before its line feed: the activation
// with a padding key.
std::string paddedActivation(const std::string& conn, const std::string& peer, std::size_t bytes) {
  std::string line = activate(conn, peer);
  line.pop_back();                                 // the line feed
  const std::string key = ",\"pad\":\"\"";     // before the closing brace
  line.insert(line.size() - 1, key);
  line.insert(line.size() - 2, bytes - line.size(), ' ');
  return line + "\n";
}

json table() {
  auto rec = [](int pid, int ppid, json exe) { return json{{"pid", pid}, {"ppid", ppid}, {"exe", exe}}; };
  json list = {rec(kOwn, 1, "/usr/bin/qln-helper"),
               rec(kSelf, 1, kHostExec),
               rec(700, 1, "/Applications/zoom.us.app"),
               rec(701, 1, nullptr),
               rec(600, kOwn, "/bin/sh"),
               rec(801, kSelf, "/usr/bin/renderer"),
               rec(900, 1, kHostExec)};
  json eperm = rec(702, 1, "/usr/bin/other user's app");
  eperm["signal0"] = "EPERM";
  list.push_back(eperm);
  return {{"ownPid", kOwn}, {"list", list}};
}

// Who holds a camera, as a system without the log tool tells it.
class ScriptedHolders final : public platform::CameraHolders {
 public:
  std::vector<std::int32_t> holders() override { return pids; }
  void addHoldersListener(std::function<void()> changed) override { listeners.push_back(std::move(changed)); }
  // The holders become `now`; `told` says whether an event announces it.
  void become(std::vector<std::int32_t> now, bool told) {
    pids = std::move(now);
    if (told)
      for (auto& listener : listeners) listener();
  }

 private:
  std::vector<std::int32_t> pids;
  std::vector<std::function<void()>> listeners;
};

class CameraClientTest : public ::testing::Test {
 protected:
  ~CameraClientTest() override { sim::setScenarioForTesting(json::object()); }

  void start(json logTool = {{"stream", {json::object()}}}) {
    sim::setScenarioForTesting({{"processTable", table()}, {"logTool", logTool}});
    watcher = std::make_shared<CameraClientWatcher>(kSelf, kHostExec);
    watcher->start();
    clock->runUntilIdle();
  }
  // Each chunk reaches the stream's output, then a second passes.
  void feed(const std::vector<std::string>& chunks) {
    for (const auto& chunk : chunks) {
      sim::logTool().output(chunk);
      clock->advanceSeconds(1);
    }
  }

  dispatch::ScopedVirtualDispatcher clock;
  qln::testing::LineCapture lines;
  std::shared_ptr<CameraClientWatcher> watcher;
};

TEST_F(CameraClientTest, LogLines) {
  const std::string both701 = R"({"type":"extCameraReal","active":true,"pids":[700,701],"paths":["\/Applications\/zoom.us.app","?"]})";
  const std::string split = logLine("[0x1] activating connection: cam\xC3\xA9ra.anonymous.peer[700]");
  const std::size_t mid = split.find('\xC3') + 1;  // inside the two bytes of the character
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> out;  // after the first line
  } cases[] = {
      {"activation with its address", {activate("0x1", "700")}, {kZoom}},
      {"activation without an address is keyed by pid",
       {activate("", "700"), invalidate("0x1", "")}, {kZoom}},
      {"invalidation by address without a pid part", {activate("0x1", "700"), invalidate("0x1", "")}, {kZoom, kNone}},
      {"unknown address falls back to (pid N)",
       {activate("0x1", "700"), activate("0x2", "700"), invalidate("0x9", "(pid 700) ")}, {kZoom, kNone}},
      {"pid-keyed entry goes by (pid N)", {activate("", "700"), invalidate("", "(pid 700) ")}, {kZoom, kNone}},
      {"two connections of one process",
       {activate("0x1", "700"), activate("0x2", "700"), invalidate("0x1", ""), invalidate("0x2", "")},
       {kZoom, kNone}},
      {"unreadable path is ?", {activate("0x1", "700"), activate("0x2", "701")},
       {kZoom, both701}},
      {"own, host, their descendants, host executable, dead, zero",
       {activate("0x1", "500"), activate("0x2", "800"), activate("0x3", "600"), activate("0x4", "801"),
        activate("0x5", "900"), activate("0x6", "999"), activate("0x7", "0")},
       {}},
      {"EPERM counts as alive", {activate("0x1", "702")},
       {R"({"type":"extCameraReal","active":true,"pids":[702],"paths":["\/usr\/bin\/other user's app"]})"}},
      {"lines the grammar ignores",
       {"  " + activate("0x1", "700"), "[" + activate("0x1", "700").substr(0, activate("0x1", "700").size() - 1) + "]\n",
        R"({"eventMessage":42})" "\n", R"({"eventMessage":["[0x1] activating connection .anonymous.peer[700]"]})" "\n",
        R"({"message":"[0x1] activating connection .anonymous.peer[700]"})" "\n", "{not json\n",
        logLine("[0x1] activating connection: x.peer[700]"), logLine("[0x1] activating: x.anonymous.peer[700]"),
        logLine("[0X1] Invalidated because the client process (pid 700)")},
       {}},
      {"address must start the message", {logLine(" [0x1] activating connection: x.anonymous.peer[700]"),
                                          invalidate("0x1", "")},
       {kZoom}},
      {"peer number beyond 32 bits is unreadable",
       {activate("0x1", "4294967996"), activate("0x2", "700")}, {kZoom}},
      {"a line split across reads, a character split across reads",
       {split.substr(0, 10), split.substr(10, mid - 10), split.substr(mid)}, {kZoom}},
      {"a line that is not UTF-8 is dropped, the next one counts",
       {"{\"eventMessage\":\"[0x1] activating connection: \xFF.anonymous.peer[701]\"}\n" + activate("0x2", "700")}, {kZoom}},
      {"a line of exactly the limit counts",
       {paddedActivation("0x1", "700", CameraClientWatcher::kMaxLineBytes)}, {kZoom}},
      {"a line one byte longer is dropped though it came whole, the next one counts",
       {paddedActivation("0x1", "701", CameraClientWatcher::kMaxLineBytes + 1) + activate("0x2", "700")}, {kZoom}},
      {"an overflow split across reads is dropped up to its line feed",
       {paddedActivation("0x1", "701", CameraClientWatcher::kMaxLineBytes + 1).substr(0, 40000),
        paddedActivation("0x1", "701", CameraClientWatcher::kMaxLineBytes + 1).substr(40000) + activate("0x2", "700")},
       {kZoom}},
      {"an endless line is dropped up to its end",
       {std::string(CameraClientWatcher::kMaxLineBytes, 'x'), std::string(10, 'y'), "\n" + activate("0x1", "700")},
       {kZoom}},
      {"two unreadable peers are tolerated",
       {activate("0x1", ""), activate("0x2", "abc"), activate("0x3", "700")}, {kZoom}},
      {"the third unreadable peer ends it all",
       {activate("0x1", ""), activate("0x2", ""), activate("0x3", "700"), activate("0x4", ""),
        activate("0x5", "701"), invalidate("0x3", "")},
       {kZoom, kUnsupported}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lines.clear();
    start();
    ASSERT_EQ(lines.out(), std::vector<std::string>{kNone});
    feed(c.chunks);
    clock->advanceSeconds(10);
    auto out = lines.out();
    out.erase(out.begin());
    EXPECT_EQ(out, c.out);
  }
}

TEST_F(CameraClientTest, LineFollowsThreeTenthsAfterTheLastChange) {
  start();
  lines.clear();
  sim::logTool().output(activate("0x1", "700"));
  clock->advanceMs(200);
  sim::logTool().output(activate("0x2", "701"));
  clock->advanceMs(299);
  EXPECT_TRUE(lines.out().empty());
  clock->advanceMs(1);
  EXPECT_EQ(lines.out().size(), 1u);
}

TEST_F(CameraClientTest, SeedsFromTheArchiveThenStreams) {
  start({{"show", activate("0x1", "700") + "\n\n" + activate("0x2", "999")}, {"stream", {json::object()}}});
  clock->advanceSeconds(1);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kZoom}) << "the seeded client is in the first line, once";
  auto launches = sim::logTool().launches();
  ASSERT_EQ(launches.size(), 2u);
  const std::string predicate = R"(process == "cameracaptured" AND subsystem == "com.apple.xpc")";
  EXPECT_EQ(launches[0].path, "/usr/bin/log");
  EXPECT_EQ(launches[0].args,
            (std::vector<std::string>{"show", "--last", "3m", "--style", "ndjson", "--predicate", predicate}));
  EXPECT_EQ(launches[1].path, "/usr/bin/log");
  EXPECT_EQ(launches[1].args, (std::vector<std::string>{"stream", "--style", "ndjson", "--predicate", predicate}));
}

TEST_F(CameraClientTest, DeadClientsAreSweptEveryTwoSeconds) {
  start();
  feed({activate("0x1", "700"), activate("0x2", "701")});  // now at +2 s
  lines.clear();
  clock->advanceMs(100);
  sim::processTable().remove(701);
  clock->advanceMs(1899);  // the sweep at +4 s has not run yet
  EXPECT_TRUE(lines.out().empty());
  clock->advanceMs(1 + 300);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kZoom});
}

TEST_F(CameraClientTest, StreamExits) {
  // Under 5 s: unsupported at once, no relaunch.
  start({{"stream", {{{"exitAtMs", 1000}}}}});
  clock->advanceSeconds(1);
  EXPECT_EQ(lines.out(), (std::vector<std::string>{kNone, kUnsupported}));
  clock->advanceSeconds(60);
  EXPECT_EQ(sim::logTool().launches().size(), 2u);  // archive + one stream
  EXPECT_EQ(lines.out().size(), 2u);

  // A minute each: relaunched 5 s after each exit, five times, then final.
  lines.clear();
  start({{"stream", {{{"exitAtMs", 60000}}}}});
  feed({activate("0x1", "700")});
  clock->advanceSeconds(59);  // first exit at +60 s
  EXPECT_EQ(sim::logTool().launches().size(), 2u);
  clock->advanceMs(4999);
  EXPECT_EQ(sim::logTool().launches().size(), 2u);
  clock->advanceMs(1);
  EXPECT_EQ(sim::logTool().launches().size(), 3u) << "relaunched 5 s after the exit";
  clock->advanceSeconds(4 * 65);
  EXPECT_EQ(sim::logTool().launches().size(), 7u);
  EXPECT_EQ(lines.out(), (std::vector<std::string>{kNone, kZoom})) << "clients outlive a relaunch";
  clock->advanceSeconds(60);  // the sixth child ends
  EXPECT_EQ(lines.out(), (std::vector<std::string>{kNone, kZoom, kUnsupported}));
  clock->advanceSeconds(600);
  EXPECT_EQ(sim::logTool().launches().size(), 7u);
}

TEST_F(CameraClientTest, LaunchFailureIsFinal) {
  sim::setScenarioForTesting({{"processTable", table()}});  // no log tool at all
  watcher = std::make_shared<CameraClientWatcher>(0, std::nullopt);
  watcher->start();
  clock->advanceSeconds(30);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kUnsupported});
  EXPECT_EQ(lines.err(), std::vector<std::string>{"camera-clients: log stream spawn failed: No such file or directory"});
  EXPECT_EQ(clock->pendingTimers(), 0u) << "no sweep once unsupported";
}

TEST_F(CameraClientTest, TerminateStopsTheChildForGood) {
  start({{"stream", {{{"exitAtMs", 60000}}}}});
  ASSERT_TRUE(sim::logTool().childRunning());
  watcher->terminate();
  clock->advanceSeconds(1);
  EXPECT_EQ(sim::logTool().terminations(), 1);
  EXPECT_FALSE(sim::logTool().childRunning());
  clock->advanceSeconds(120);
  EXPECT_EQ(sim::logTool().launches().size(), 2u) << "a terminated child is not relaunched";
  EXPECT_EQ(lines.out(), std::vector<std::string>{kNone});
}

TEST_F(CameraClientTest, HoldersFeedTheSameTableThroughTheSameFilters) {
  sim::setScenarioForTesting({{"processTable", table()}});  // and no log tool
  auto holders = std::make_shared<ScriptedHolders>();
  holders->become({700}, false);
  watcher = std::make_shared<CameraClientWatcher>(kSelf, kHostExec, holders);
  watcher->start();
  clock->runUntilIdle();
  EXPECT_EQ(lines.out(), std::vector<std::string>{kZoom}) << "a holder at start is in the first line";
  EXPECT_TRUE(sim::logTool().launches().empty());

  // Own, host, their descendants, the host's executable, a dead process.
  holders->become({500, 600, 700, 800, 801, 900, 999}, true);
  clock->advanceSeconds(1);
  EXPECT_EQ(lines.out(), std::vector<std::string>{kZoom});

  holders->become({}, true);  // now at +1 s
  clock->advanceMs(299);
  EXPECT_EQ(lines.out().size(), 1u);
  clock->advanceMs(1);
  EXPECT_EQ(lines.out(), (std::vector<std::string>{kZoom, kNone}));

  // A change no event announced waits for the sweep at +2 s.
  holders->become({700}, false);  // now at +1.3 s
  clock->advanceMs(699);
  EXPECT_EQ(lines.out().size(), 2u);
  clock->advanceMs(300);
  EXPECT_EQ(lines.out().size(), 2u) << "the sweep's find is debounced too";
  clock->advanceMs(1);
  EXPECT_EQ(lines.out(), (std::vector<std::string>{kZoom, kNone, kZoom}));
  EXPECT_TRUE(lines.err().empty());
}

}  // namespace
