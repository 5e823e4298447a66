// The legacy runner with its tap fed from a real thread while the main queue
// rolls recognition requests over: run under ThreadSanitizer by the CI.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "speech_runner_fixture.h"

namespace qln::testing {
namespace {

class ConcurrencySpeechRunner : public SpeechRunnerTest {};

TEST_F(ConcurrencySpeechRunner, TapThreadFeedsWhileTheMainQueueRollsRequestsOver) {
  constexpr int kSeconds = 40;
  constexpr int kBuffersPerSecond = 50;
  constexpr int kTotal = kSeconds * kBuffersPerSecond;

  std::string file = path("concurrent.wav");
  RunnerOptions o;
  o.recordPath = file;
  makeRunner(o)->start();

  // The feeder may run one virtual second ahead of the clock; the clock
  // moves only once a buffer of the current second has arrived, so the
  // watchdog never sees a gap, while the rest of that second's buffers
  // arrive during the advance.
  std::atomic<int> allowed{0};
  std::atomic<int> delivered{0};
  std::thread feeder([&] {
    auto b = buffer(0.2f);
    for (int i = 0; i < kTotal; ++i) {
      for (int a = allowed.load(); i >= a; a = allowed.load()) allowed.wait(a);
      if (sim::simAudio().deliver(*b) != 1) ADD_FAILURE() << "buffer " << i << " found no tap";
      delivered.fetch_add(1);
      delivered.notify_all();
    }
  });
  std::optional<int> exited;
  for (int s = 0; s < kSeconds && !exited; ++s) {
    allowed.store(kBuffersPerSecond * (s + 1));
    allowed.notify_all();
    for (int d = delivered.load(); d < kBuffersPerSecond * s + 1; d = delivered.load()) delivered.wait(d);
    exited = exitOf([&] { clock->advanceMs(1000); });
  }
  allowed.store(kTotal);
  allowed.notify_all();
  feeder.join();
  ASSERT_EQ(exited, std::nullopt);
  clock->runUntilIdle();

  // Requests rolled over at 8, 16, 24, 32 and 40 s.
  EXPECT_EQ(capture.outContaining(R"({"ev":"start","engine":"legacy"})").size(), 6u);
  // One meter line per five 1024-frame buffers at 48 kHz: none lost.
  EXPECT_EQ(capture.outContaining("\"micAcoustic\"").size(), static_cast<std::size_t>(kTotal / 5));
  std::size_t appended = 0;
  auto requests = sim::simSpeech().requests();
  ASSERT_EQ(requests.size(), 6u);
  for (const auto& r : requests) appended += r.buffersAppended;
  EXPECT_LE(appended, static_cast<std::size_t>(kTotal)) << "a buffer reached two requests";
  // Each of the first five requests was current through eight seconds, each
  // with a buffer that arrived while the clock stood still.
  for (std::size_t i = 0; i < 5; ++i) EXPECT_GE(requests[i].buffersAppended, 8u) << "request " << i;

  runner->stop();
  std::uint32_t bytes = finalizedDataBytes(file);
  EXPECT_NEAR(bytes, kTotal * 1024 / 3 * 2, kConverterSlackBytes) << "the recording lost buffers";
  auto recorded = capture.outContaining("\"recorded\"");
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0], "{\"ev\":\"recorded\",\"ms\":" + std::to_string(bytes / 32) + "}");
}

}  // namespace
}  // namespace qln::testing
