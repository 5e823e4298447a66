#include <gtest/gtest.h>

#include "binaries.h"
#include "process_runner.h"

namespace {

using namespace qln::testing;

TEST(NarrateProcess, ProductAnswersFromStandardInput) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {R"({"probe":true})", R"({"ok":false,"reason":"unsupportedOS"})" "\n"},
      {R"({"user":"Hi"})", R"({"ok":false,"reason":"unsupportedOS"})" "\n"},
      {"hello", R"({"ok":false,"reason":"badRequest"})" "\n"},
      {"", R"({"ok":false,"reason":"badRequest"})" "\n"},
      {"[1,2]", R"({"ok":false,"reason":"badRequest"})" "\n"},
  };
  for (const auto& c : cases) {
    auto r = runProcess({.args = {kHelper, "narrate"}, .stdinData = c.in});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out) << c.in;
    EXPECT_EQ(r.err, "");
  }
}

TEST(NarrateProcess, SimGenerationReachesTheHostOnOneLine) {
  std::string scenario = writeTempFile(R"({"capabilities": {"languageModel": true},
      "languageModel": {"echo": true, "delayMs": 50}})");
  auto r = runProcess({.args = {kSim, "narrate"},
                       .env = {{"QLN_SIM_SCENARIO", scenario}},
                       .stdinData = R"({"user":" \"Hi\"\n","system":"Be/brief"})"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"ok":true,"text":"instructions: Be\/brief\nprompt:  \"Hi\"\n"})" "\n");
  std::remove(scenario.c_str());
}

TEST(NarrateProcess, OversizedRequestIsRefused) {
  std::string big = "{\"user\":\"" + std::string(17u << 20, 'a') + "\"}";
  auto r = runProcess({.args = {kHelper, "narrate"}, .stdinData = big});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"ok":false,"reason":"badRequest"})" "\n");
}

}  // namespace
