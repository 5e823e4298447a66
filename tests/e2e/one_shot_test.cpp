// permissions, dictation and camera-hold as the host sees them: the built
// binaries on real time, the sim driven by a scenario file.
#include <gtest/gtest.h>

#include <chrono>

#include "binaries.h"
#include "process_runner.h"

namespace {

using namespace qln::testing;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Timed {
  ProcessResult r;
  double seconds;
};

Timed runSim(const std::string& scenario, std::vector<std::string> args,
             std::map<std::string, std::optional<std::string>> env = {}) {
  env["QLN_SIM_SCENARIO"] = writeTempFile(scenario);
  args.insert(args.begin(), kSim);
  auto start = Clock::now();
  auto r = runProcess({.args = args, .env = env});
  return {r, secondsSince(start)};
}

// "At once" is far below every time limit these modes have, with room for a
// busy machine.
constexpr double kAtOnce = 2.0;

TEST(Permissions, ReportsTheThreeStatuses) {
  struct Case {
    const char* name;
    std::string scenario;
    std::vector<std::string> args;
    std::string line;
    double minSeconds = 0;
  } cases[] = {
      {"all authorized",
       R"({"permissions": {"camera": "authorized", "microphone": "authorized"},
           "speech": {"authorization": "authorized"}})",
       {"permissions"},
       R"({"type":"perms","camera":"granted","mic":"granted","speech":"authorized"})"},
      {"nothing decided, no request: the user is never asked",
       R"({"speech": {"authorization": "notDetermined", "requestAnswer": "authorized"}})",
       {"permissions"},
       R"({"type":"perms","camera":"notDetermined","mic":"notDetermined","speech":"notDetermined"})"},
      {"request after a denial",
       R"({"permissions": {"camera": "restricted", "microphone": "denied"},
           "speech": {"authorization": "denied"}})",
       {"permissions", "--request-speech"},
       R"({"type":"perms","camera":"restricted","mic":"denied","speech":"denied"})"},
      {"request answered by the user",
       R"({"permissions": {"camera": "denied", "microphone": "authorized"},
           "speech": {"authorization": "notDetermined", "requestAnswer": "authorized", "requestDelayMs": 200}})",
       {"permissions", "--request-speech"},
       R"({"type":"perms","camera":"denied","mic":"granted","speech":"authorized"})"},
      {"request answered restricted",
       R"({"speech": {"authorization": "notDetermined", "requestAnswer": "restricted"}})",
       {"permissions", "stray", "--request-speech"},
       R"({"type":"perms","camera":"notDetermined","mic":"notDetermined","speech":"restricted"})"},
      // The user grants camera and microphone while the speech prompt is up:
      // the report still gives what was read before the request.
      {"camera and mic read before a slow request",
       R"({"permissions": {"camera": "denied", "microphone": "notDetermined",
                           "later": [{"atMs": 100, "camera": "authorized", "microphone": "authorized"}]},
           "speech": {"authorization": "notDetermined", "requestAnswer": "denied", "requestDelayMs": 1500}})",
       {"permissions", "--request-speech"},
       R"({"type":"perms","camera":"denied","mic":"notDetermined","speech":"denied"})", 1.4},
  };
  for (const auto& c : cases) {
    auto [r, seconds] = runSim(c.scenario, c.args);
    EXPECT_EQ(r.out, c.line + "\n") << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_GE(seconds, c.minSeconds) << c.name;
    EXPECT_LT(seconds, c.minSeconds + kAtOnce) << c.name;
  }
}

TEST(Dictation, ClassifiesHowTheProbeEnds) {
  const std::string off = R"({"type":"dictation","state":"off"})" "\n";
  const std::string on = R"({"type":"dictation","state":"on"})" "\n";
  const std::string unknown = R"({"type":"dictation","state":"unknown"})" "\n";
  const std::string answersOn = R"("default": [{"atMs": 0, "final": "x"}])";
  struct Case {
    const char* name;
    std::string scenario;
    std::string line;
    bool simOff = false;
  } cases[] = {
      {"simulated off, even without permission",
       R"({"speech": {"authorization": "denied", )" + answersOn + "}}", off, true},
      {"not authorized: never asks, never probes",
       R"({"speech": {"authorization": "notDetermined", "requestAnswer": "authorized", )" + answersOn + "}}",
       unknown},
      {"no en-US recogniser", R"({"speech": {"locales": ["fr-FR"], )" + answersOn + "}}", unknown},
      {"no on-device recognition", R"({"speech": {"onDevice": false, )" + answersOn + "}}", unknown},
      {"code 201", R"({"speech": {"default": [{"atMs": 100, "error": 201}]}})", off},
      {"code 201 of any domain", R"({"speech": {"default": [{"atMs": 100, "error": 201, "domain": "other"}]}})", off},
      {"code 301", R"({"speech": {"default": [{"atMs": 100, "error": 301}]}})", on},
      {"code 1110", R"({"speech": {"default": [{"atMs": 100, "error": 1110}]}})", on},
      {"code 203", R"({"speech": {"default": [{"atMs": 100, "error": 203}]}})", unknown},
      {"error wins over a result in the same call",
       R"({"speech": {"default": [{"atMs": 100, "partial": "x", "error": 201}]}})", off},
      // Fires only once the whole half second of probe audio has arrived.
      {"a result after the probe audio", R"({"speech": {"default": [{"afterAudioMs": 500, "final": ""}]}})", on},
      {"the first answer is the only one",
       R"({"speech": {"default": [{"atMs": 100, "error": 1110}, {"atMs": 150, "error": 201}]}})", on},
  };
  for (const auto& c : cases) {
    std::map<std::string, std::optional<std::string>> env;
    if (c.simOff) env["QLN_SIM_DICTATION_OFF"] = "1";
    auto [r, seconds] = runSim(c.scenario, {"dictation"}, env);
    EXPECT_EQ(r.out, c.line) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_LT(seconds, kAtOnce) << c.name;
  }
}

TEST(Dictation, SilenceAnswersUnknownAtTheTimeLimit) {
  const std::string unknown = R"({"type":"dictation","state":"unknown"})" "\n";
  struct Case {
    const char* name;
    std::string scenario;
  } cases[] = {
      {"no answer at all", R"({"speech": {}})"},
      {"an error after the limit changes nothing", R"({"speech": {"default": [{"atMs": 4600, "error": 201}]}})"},
  };
  for (const auto& c : cases) {
    auto [r, seconds] = runSim(c.scenario, {"dictation"});
    EXPECT_EQ(r.out, unknown) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_GE(seconds, 3.9) << c.name;
    EXPECT_LT(seconds, 4.5) << c.name;  // before the late error would fire
  }
}

TEST(CameraHold, FailuresAreOneErrorLineAndStatusOne) {
  struct Case {
    const char* name;
    std::string scenario;
    std::string msg;  // as it appears in the line
  } cases[] = {
      {"no camera section", "{}", R"("no default video device")"},
      {"camera absent", R"({"camera": {"present": false}})", R"("no default video device")"},
      {"input refused, description escaped",
       R"({"camera": {"inputError": "Cannot use \"FaceTime HD\"\nAccess denied\/"}})",
       R"("Cannot use \"FaceTime HD\"\nAccess denied\/")"},
      {"input not added", R"({"camera": {"canAddInput": false}})", R"("cannot add camera input")"},
  };
  for (const auto& c : cases) {
    auto [r, seconds] = runSim(c.scenario, {"camera-hold", "2"});
    EXPECT_EQ(r.out, R"({"type":"error","msg":)" + c.msg + "}\n") << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_LT(seconds, 1.0) << c.name;
  }
}

TEST(CameraHold, CameraThatNeverStartsFailsAfterFiveSeconds) {
  auto [r, seconds] = runSim(R"({"camera": {"startsAfterMs": "never"}})", {"camera-hold", "1"});
  EXPECT_EQ(r.out, R"({"type":"error","msg":"session did not start running"})" "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_GE(seconds, 4.9);
  EXPECT_LT(seconds, 6.5);
}

TEST(CameraHold, HoldsFromTheHoldingLineThenReleases) {
  struct Case {
    const char* name;
    std::string scenario;
    std::string seconds;
    double startAtLeast, holdAtLeast, holdBelow;
  } cases[] = {
      {"2.5 s once running", R"({"camera": {"startsAfterMs": 400}})", "2.5", 0.35, 2.4, 3.5},
      {"zero releases at once", R"({"camera": {}})", "0", 0, 0, 0.5},
      {"slow start inside the deadline", R"({"camera": {"startsAfterMs": 4500}})", "0.0", 4.4, 0, 0.5},
  };
  for (const auto& c : cases) {
    auto start = Clock::now();
    RunningProcess p({.args = {kSim, "camera-hold", c.seconds},
                      .env = {{"QLN_SIM_SCENARIO", writeTempFile(c.scenario)}}});
    ASSERT_TRUE(p.waitForLines(1)) << c.name;
    double holdingAt = secondsSince(start);
    auto r = p.wait();
    double held = secondsSince(start) - holdingAt;
    EXPECT_EQ(r.out, "{\"type\":\"holding\"}\n{\"type\":\"released\"}\n") << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_GE(holdingAt, c.startAtLeast) << c.name;
    EXPECT_LT(holdingAt, c.startAtLeast + 1.5) << c.name;
    EXPECT_GE(held, c.holdAtLeast) << c.name;
    EXPECT_LT(held, c.holdBelow) << c.name;
  }
}

// The binary alone, without the recogniser's or the sound server's library.
TEST(OneShotProduct, AnswersFromWhatThisSystemOffers) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {{"permissions"}, R"({"type":"perms","camera":"notDetermined","mic":"notDetermined","speech":"notDetermined"})" "\n", 0},
      {{"permissions", "--request-speech"}, R"({"type":"perms","camera":"notDetermined","mic":"notDetermined","speech":"notDetermined"})" "\n", 0},
      {{"dictation"}, R"({"type":"dictation","state":"unknown"})" "\n", 0},
      {{"camera-hold", "3"}, R"({"type":"error","msg":"no default video device"})" "\n", 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{aloneCopyOf(kHelper)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto start = Clock::now();
    // No sound server to ask, whatever runs on this machine.
    auto r = runProcess({.args = args, .env = {{"PULSE_SERVER", std::nullopt}, {"XDG_RUNTIME_DIR", "/nonexistent"}}});
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, "") << c.args[0];
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_LT(secondsSince(start), kAtOnce) << c.args[0];
  }
}

}  // namespace
