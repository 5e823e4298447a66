#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "commands/narrate.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_backend.h"

namespace {

using nlohmann::json;
using qln::commands::narrateAnswer;

json modelScenario(json model) {
  return json{{"capabilities", {{"languageModel", true}}}, {"languageModel", std::move(model)}};
}

class NarrateTest : public ::testing::Test {
 protected:
  void TearDown() override { qln::sim::setScenarioForTesting(json::object()); }
};

TEST_F(NarrateTest, OrderOfChecksAndReasons) {
  struct Case {
    const char* name;
    json scenario;
    std::string request;
    std::string answer;
  } cases[] = {
      {"not json on an old system", json::object(), "hello", R"({"ok":false,"reason":"badRequest"})"},
      {"empty input", json::object(), "", R"({"ok":false,"reason":"badRequest"})"},
      {"array top level", json::object(), "[1,2]", R"({"ok":false,"reason":"badRequest"})"},
      {"truncated", json::object(), R"({"user":"Hi")", R"({"ok":false,"reason":"badRequest"})"},
      {"old system", json::object(), R"({"probe":true})", R"({"ok":false,"reason":"unsupportedOS"})"},
      {"probe with model", modelScenario({{"availability", "available"}}), R"({"probe":true})", R"({"ok":true,"text":""})"},
      {"feature off even for a probe", modelScenario({{"availability", "appleIntelligenceNotEnabled"}}), R"({"probe":true})", R"({"ok":false,"reason":"appleIntelligenceNotEnabled"})"},
      {"device not eligible", modelScenario({{"availability", "deviceNotEligible"}}), R"({"user":"Hi"})", R"({"ok":false,"reason":"deviceNotEligible"})"},
      {"not ready", modelScenario({{"availability", "modelNotReady"}}), R"({"user":"Hi"})", R"({"ok":false,"reason":"modelNotReady"})"},
      {"other reason", modelScenario({{"availability", "other"}}), R"({"user":"Hi"})", R"({"ok":false,"reason":"unavailable"})"},
      {"unavailable before a blank user", modelScenario({{"availability", "modelNotReady"}}), R"({"user":"   "})", R"({"ok":false,"reason":"modelNotReady"})"},
      {"blank user", modelScenario({{"text", "x"}}), "{\"user\":\" \\n\\t\\u3000\"}", R"({"ok":false,"reason":"badRequest"})"},
      {"user not text", modelScenario({{"text", "x"}}), R"({"user":5})", R"({"ok":false,"reason":"badRequest"})"},
      {"probe not boolean counts as false", modelScenario({{"text", "x"}}), R"({"probe":1})", R"({"ok":false,"reason":"badRequest"})"},
      {"generated text escaped", modelScenario({{"text", "She said \"hi\"\nthen left/"}}), R"({"user":"Hi"})", R"({"ok":true,"text":"She said \"hi\"\nthen left\/"})"},
      {"failure description", modelScenario({{"error", "The model \"timed\" out"}}), R"({"user":"Hi"})", R"({"ok":false,"reason":"The model \"timed\" out"})"},
      {"neither text nor error", modelScenario(json::object()), R"({"user":"Hi"})", R"({"ok":false,"reason":"generationFailed"})"},
  };
  for (auto& c : cases) {
    qln::sim::setScenarioForTesting(c.scenario);
    EXPECT_EQ(narrateAnswer(c.request), c.answer) << c.name;
  }
}

TEST_F(NarrateTest, SessionGetsInstructionsAndUntrimmedPrompt) {
  struct Case {
    std::string request;
    std::optional<std::string> instructions;
    std::string prompt;
  } cases[] = {
      {R"({"user":"Hi","system":""})", std::nullopt, "Hi"},
      {R"({"user":"Hi","system":5})", std::nullopt, "Hi"},
      {R"({"user":"  Hi\n","system":"Be brief."})", "Be brief.", "  Hi\n"},
  };
  for (const auto& c : cases) {
    qln::sim::setScenarioForTesting(modelScenario({{"text", "ok"}}));
    EXPECT_EQ(narrateAnswer(c.request), R"({"ok":true,"text":"ok"})");
    auto asked = qln::sim::lastModelRequestForTesting();
    ASSERT_TRUE(asked.has_value());
    EXPECT_EQ(asked->instructions, c.instructions) << c.request;
    EXPECT_EQ(asked->prompt, c.prompt) << c.request;
  }
}

TEST_F(NarrateTest, HostileBodiesAnswerBadRequest) {
  std::string deep(100000, '[');
  std::string deepObject;
  for (int i = 0; i < 50000; ++i) deepObject += "{\"a\":";
  const std::string bodies[] = {deep, deepObject, std::string("{\"user\":\"\xff\"}"), "{\"user\":\"x\"", std::string(1, '\0')};
  for (const auto& b : bodies) EXPECT_EQ(narrateAnswer(b), R"({"ok":false,"reason":"badRequest"})");
}

// The request reader on a pipe fed in odd-sized writes: up to the limit the
// whole input is the request; past it the answer is a refusal and the reader
// takes no more than one byte beyond the limit.
TEST(NarrateRequestReader, StopsAtTheLimit) {
  constexpr std::size_t kLimit = qln::commands::kMaxNarrateRequestBytes;
  struct Case {
    const char* name;
    std::size_t bytes;
    bool accepted;
  } cases[] = {
      {"empty input", 0, true},
      {"exactly the limit", kLimit, true},
      {"one byte past the limit", kLimit + 1, false},
      {"far past the limit", kLimit + (5u << 20), false},
  };
  for (const auto& c : cases) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([fd = fds[1], n = c.bytes] {
      const std::string chunk(1000003, 'a');
      for (std::size_t done = 0; done < n;) {
        const std::size_t want = std::min(chunk.size(), n - done);
        const ssize_t wrote = ::write(fd, chunk.data(), want);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
      }
      ::close(fd);
    });
    auto request = qln::commands::readNarrateRequest(fds[0]);
    EXPECT_EQ(request.has_value(), c.accepted) << c.name;
    EXPECT_EQ(request.value_or("").size(), c.accepted ? c.bytes : 0) << c.name;
    // What the reader left is still in the pipe.
    std::size_t left = 0;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) left += static_cast<std::size_t>(n);
    writer.join();
    ::close(fds[0]);
    EXPECT_EQ(left, c.accepted ? 0 : c.bytes - kLimit - 1) << c.name;
  }
}

}  // namespace
