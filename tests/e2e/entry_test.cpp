// The entry as the host sees it: usage errors, option fallbacks, the
// scenario loader of the test backend.
#include <gtest/gtest.h>

#include "binaries.h"
#include "process_runner.h"

namespace {

using namespace qln::testing;

const std::string kUsageLine =
    "usage: qln-helper <usage-watch|speech|permissions|dictation|camera-hold|narrate|window-list> "
    "[--partials] [--input-name <name>] [--record <path>] [--record-other <path>] "
    "[--tap-bundle <bundleId>] [--request-speech] [--disclaim] [--self-pid <pid>] "
    "[--voice-isolation] [--legacy-speech] [--pid <pid>] [--window <cgWindowID>]\n";
const std::string kCameraHoldUsage = "usage: qln-helper camera-hold <seconds>\n";

struct UsageCase {
  std::vector<std::string> args;
  std::string err;
};

TEST(Entry, UsageErrorsExit64WithTheirLine) {
  const UsageCase cases[] = {
      {{}, kUsageLine},
      {{"--partials"}, kUsageLine},
      {{"Speech"}, kUsageLine},
      {{"speech "}, kUsageLine},
      {{""}, kUsageLine},
      {{"window-list-x"}, kUsageLine},
      {{"camera-hold"}, kCameraHoldUsage},
      {{"camera-hold", "-1"}, kCameraHoldUsage},
      {{"camera-hold", "nan"}, kCameraHoldUsage},
      {{"camera-hold", "-nan"}, kCameraHoldUsage},
      {{"camera-hold", "abc"}, kCameraHoldUsage},
      {{"camera-hold", "5s"}, kCameraHoldUsage},
      {{"camera-hold", " 5"}, kCameraHoldUsage},
      {{"camera-hold", "\n5"}, kCameraHoldUsage},
      {{"camera-hold", ""}, kCameraHoldUsage},
      {{"camera-hold", "--disclaim", "5"}, kCameraHoldUsage},
  };
  for (const auto& bin : {kHelper, kSim}) {
    for (const auto& c : cases) {
      std::vector<std::string> args{bin};
      args.insert(args.end(), c.args.begin(), c.args.end());
      auto r = runProcess({.args = args});
      std::string shown = c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
      EXPECT_EQ(r.status, 64) << bin << " " << shown;
      EXPECT_EQ(r.err, c.err) << bin << " " << shown;
      EXPECT_EQ(r.out, "") << bin << " " << shown;
    }
  }
}

TEST(Entry, WindowListOptionFallbacks) {
  std::string scenario = writeTempFile(R"({"windows": [
      {"kCGWindowNumber": -1, "kCGWindowOwnerPID": 12, "kCGWindowAlpha": 1, "kCGWindowIsOnscreen": true},
      {"kCGWindowNumber": 16, "kCGWindowOwnerPID": 13, "kCGWindowAlpha": 0.5},
      {"kCGWindowNumber": 0, "kCGWindowOwnerPID": 12, "kCGWindowAlpha": 0.75}]})");
  const std::string found1 = R"({"type":"windowList","found":true,"onscreen":true,"alpha":1.0,"bounds":{"x":0.0,"y":0.0,"w":0.0,"h":0.0},"display":0})" "\n";
  const std::string found0 = R"({"type":"windowList","found":true,"onscreen":false,"alpha":0.75,"bounds":{"x":0.0,"y":0.0,"w":0.0,"h":0.0},"display":0})" "\n";
  const std::string found16 = R"({"type":"windowList","found":true,"onscreen":false,"alpha":0.5,"bounds":{"x":0.0,"y":0.0,"w":0.0,"h":0.0},"display":0})" "\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      // A window numbered -1 is what a missing or unreadable --window finds.
      {{"window-list"}, found1},
      {{"window-list", "--pid", "12", "--window", "0x10"}, found1},
      {{"window-list", "--window", "0"}, found0},
      {{"window-list", "--window", "+16", "--pid", "abc"}, found16},
      {{"window-list", "--window", "16", "--pid", "12"}, R"({"type":"windowList","found":false})" "\n"},
      {{"window-list", "--window", "16", "--pid", "99999999999"}, found16},
      {{"window-list", "--window"}, found1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{kSim};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = runProcess({.args = args, .env = {{"QLN_SIM_SCENARIO", scenario}}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out) << c.args.size();
    EXPECT_EQ(r.err, "");
  }
  std::remove(scenario.c_str());
}

TEST(Entry, ProductWithoutWindowServerReportsNotFound) {
  auto r = runProcess({.args = {kHelper, "window-list", "--pid", "1", "--window", "5"}, .env = {{"DISPLAY", std::nullopt}}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "{\"type\":\"windowList\",\"found\":false}\n");
  EXPECT_EQ(r.err, "");
}

TEST(Entry, BrokenScenarioIsOneClearLine) {
  std::string malformed = writeTempFile("{\"windows\": [");
  std::string notObject = writeTempFile("[1]");
  std::string hugeNumber = writeTempFile("{\"windows\": 1e99999}");
  struct Case {
    std::string path;
    std::string errPrefix;
  } cases[] = {
      {"/nonexistent/scenario.json", "sim: cannot read scenario /nonexistent/scenario.json: No such file or directory\n"},
      {malformed, "sim: malformed scenario " + malformed + ": "},
      {notObject, "sim: malformed scenario " + notObject + ": the top level must be an object\n"},
      {hugeNumber, "sim: malformed scenario " + hugeNumber + ": "},
  };
  for (const auto& c : cases) {
    auto r = runProcess({.args = {kSim, "window-list"}, .env = {{"QLN_SIM_SCENARIO", c.path}}});
    EXPECT_EQ(r.status, 78) << c.path;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(c.errPrefix, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  std::remove(malformed.c_str());
  std::remove(notObject.c_str());
  std::remove(hugeNumber.c_str());
}

}  // namespace
