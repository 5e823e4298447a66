// The product's dictation probe on PocketSphinx: libqln-speech.so beside the
// binary decodes the probe's silence and reports "no speech", which means
// recognition works.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "binaries.h"
#include "process_runner.h"

namespace {

using namespace qln::testing;

TEST(SphinxDictation, AnswersOnWhenTheRecogniserHearsNoSpeech) {
  if (access("/usr/share/pocketsphinx/model/en-us/en-us.lm.bin", R_OK) != 0)
    GTEST_SKIP() << "pocketsphinx-en-us is not installed";
  ASSERT_TRUE(std::filesystem::exists(std::filesystem::path(kHelper).parent_path() / "libqln-speech.so"));
  // Unset: the probe must run the recogniser, not the simulated answer.
  auto r = runProcess({.args = {kHelper, "dictation"}, .env = {{"QLN_SIM_DICTATION_OFF", std::nullopt}}});
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0);
  // "unknown" would mean the 4-second limit answered first.
  EXPECT_EQ(r.out, "{\"type\":\"dictation\",\"state\":\"on\"}\n");
  EXPECT_EQ(r.err, "");
}

}  // namespace
