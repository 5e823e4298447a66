// The engine choice: when the answer comes, what decides it, and that a
// forced legacy engine asks the system nothing.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dispatch/virtual_dispatcher.h"
#include "output/output.h"
#include "platform/sim/scenario.h"
#include "speech/speech_driver.h"

namespace {

using nlohmann::json;

TEST(SelectSpeechEngine, AnswersOnceWithItsDiagnostic) {
  struct Case {
    const char* name;
    json scenario;
    bool forceLegacy;
    bool answeredAtOnce;
    bool useAnalyzer;
    std::string diagnostic;
  } cases[] = {
      {"forced, analyzer present", {{"capabilities", {{"analyzer", true}}}}, true, true, false,
       "speech: engine=legacy reason=flag"},
      {"no analyzer on this system", json::object(), false, true, false, "speech: engine=legacy reason=os"},
      {"en-US assets installed",
       {{"capabilities", {{"analyzer", true}}}, {"analyzer", {{"locales", {"fr-FR", "en-US"}}}}}, false, false, true,
       "speech: engine=analyzer"},
      {"only other English assets",
       {{"capabilities", {{"analyzer", true}}}, {"analyzer", {{"locales", {"en-GB", "en_US", "en-us"}}}}}, false, false,
       false, "speech: engine=legacy reason=assets"},
      {"no assets at all", {{"capabilities", {{"analyzer", true}}}, {"analyzer", {{"locales", json::array()}}}}, false,
       false, false, "speech: engine=legacy reason=assets"},
  };
  for (const auto& c : cases) {
    qln::dispatch::ScopedVirtualDispatcher clock;
    qln::sim::setScenarioForTesting(c.scenario);
    std::vector<std::string> err;
    qln::output::setSinkForTesting([&err](qln::output::Channel ch, std::string_view line) {
      if (ch == qln::output::Channel::err) err.emplace_back(line);
    });
    std::vector<bool> answers;
    qln::selectSpeechEngine(c.forceLegacy, [&answers](bool useAnalyzer) { answers.push_back(useAnalyzer); });
    EXPECT_EQ(answers.size(), c.answeredAtOnce ? 1u : 0u) << c.name;
    if (c.answeredAtOnce) {
      EXPECT_EQ(clock->pendingCount(), 0u) << c.name << ": nothing may be asked of the system";
    }
    clock->runUntilIdle();
    EXPECT_EQ(answers, std::vector<bool>{c.useAnalyzer}) << c.name;
    EXPECT_EQ(err, std::vector<std::string>{c.diagnostic}) << c.name;
    qln::output::setSinkForTesting(nullptr);
  }
  qln::sim::setScenarioForTesting(json::object());
}

}  // namespace
