#include <gtest/gtest.h>

#include "commands/window_list.h"
#include "platform/sim/scenario.h"

namespace {

using nlohmann::json;
using qln::commands::windowListLine;

const std::string kNotFound = R"({"type":"windowList","found":false})";

json baseScenario() {
  return json::parse(R"({
    "displays": [{"id": 1, "x": 0, "y": 0, "w": 1440, "h": 900},
                 {"id": 2, "x": 1440, "y": 0, "w": 1920, "h": 1080}],
    "windows": [
      {"kCGWindowNumber": 10, "kCGWindowOwnerPID": 500, "kCGWindowAlpha": 1.0,
       "kCGWindowIsOnscreen": true,
       "kCGWindowBounds": {"X": 100, "Y": 50.5, "Width": 800, "Height": 600}},
      {"kCGWindowNumber": 11, "kCGWindowOwnerPID": 600, "kCGWindowAlpha": 0.5,
       "kCGWindowIsOnscreen": true,
       "kCGWindowBounds": {"X": 1, "Y": 2, "Width": 3, "Height": 4}},
      {"kCGWindowNumber": 11, "kCGWindowOwnerPID": 700, "kCGWindowAlpha": 0.25,
       "kCGWindowIsOnscreen": false,
       "kCGWindowBounds": {"X": 5, "Y": 6, "Width": 7, "Height": 8}},
      {"kCGWindowNumber": 12},
      {"kCGWindowNumber": 13, "kCGWindowOwnerPID": "not a number", "kCGWindowAlpha": "x",
       "kCGWindowIsOnscreen": 1, "kCGWindowBounds": {"X": -1, "Y": "y", "Width": 25, "Height": 2}},
      {"kCGWindowNumber": 14, "kCGWindowBounds": {"X": 1000, "Y": 0, "Width": 1000, "Height": 100}},
      {"kCGWindowNumber": "15"},
      {"kCGWindowNumber": 16, "kCGWindowBounds": {"X": -5000, "Y": 0, "Width": 10, "Height": 10}}
    ]})");
}

class WindowListTest : public ::testing::Test {
 protected:
  void SetUp() override { qln::sim::setScenarioForTesting(baseScenario()); }
  void TearDown() override { qln::sim::setScenarioForTesting(json::object()); }
};

TEST_F(WindowListTest, MatchingAndDefaults) {
  struct Case {
    const char* name;
    std::int32_t pid;
    std::int64_t window;
    std::string line;
  } cases[] = {
      {"no window option", 0, -1, kNotFound},
      {"any owner", 0, 10, R"({"type":"windowList","found":true,"onscreen":true,"alpha":1.0,"bounds":{"x":100.0,"y":50.5,"w":800.0,"h":600.0},"display":1})"},
      {"negative pid matches any owner", -3, 10, R"({"type":"windowList","found":true,"onscreen":true,"alpha":1.0,"bounds":{"x":100.0,"y":50.5,"w":800.0,"h":600.0},"display":1})"},
      {"owner matches", 500, 10, R"({"type":"windowList","found":true,"onscreen":true,"alpha":1.0,"bounds":{"x":100.0,"y":50.5,"w":800.0,"h":600.0},"display":1})"},
      {"other owner rejected", 501, 10, kNotFound},
      {"later window with same number passes", 700, 11, R"({"type":"windowList","found":true,"onscreen":false,"alpha":0.25,"bounds":{"x":5.0,"y":6.0,"w":7.0,"h":8.0},"display":1})"},
      {"first with number wins", 0, 11, R"({"type":"windowList","found":true,"onscreen":true,"alpha":0.5,"bounds":{"x":1.0,"y":2.0,"w":3.0,"h":4.0},"display":1})"},
      {"no owner, no alpha, no bounds", 99, 12, R"({"type":"windowList","found":true,"onscreen":false,"alpha":-1.0,"bounds":{"x":0.0,"y":0.0,"w":0.0,"h":0.0},"display":1})"},
      {"values of other types take defaults", 42, 13, R"({"type":"windowList","found":true,"onscreen":false,"alpha":-1.0,"bounds":{"x":-1.0,"y":0.0,"w":25.0,"h":2.0},"display":1})"},
      {"straddling window: display under its centre", 0, 14, R"({"type":"windowList","found":true,"onscreen":false,"alpha":-1.0,"bounds":{"x":1000.0,"y":0.0,"w":1000.0,"h":100.0},"display":2})"},
      {"number as text is skipped", 0, 15, kNotFound},
      {"no display under the centre", 0, 16, R"({"type":"windowList","found":true,"onscreen":false,"alpha":-1.0,"bounds":{"x":-5000.0,"y":0.0,"w":10.0,"h":10.0},"display":0})"},
  };
  for (const auto& c : cases) EXPECT_EQ(windowListLine(c.pid, c.window), c.line) << c.name;
}

TEST_F(WindowListTest, NoUsableList) {
  const char* scenarios[] = {R"({})", R"({"windows": {"kCGWindowNumber": 10}})",
                             R"({"windows": [{"kCGWindowNumber": 10}, 5]})"};
  for (const char* s : scenarios) {
    qln::sim::setScenarioForTesting(json::parse(s));
    EXPECT_EQ(windowListLine(0, 10), kNotFound) << s;
  }
}

}  // namespace
