#include <atomic>
#include <thread>

#include "analyzer_runner_fixture.h"

namespace qln::testing {
namespace {

// A real feeder thread taps the engine while the test's thread runs the main
// queue and the results task: warm-up, flush, live conversion, results and
// a fail-over with its teardown all overlap the tap.
class ConcurrencyAnalyzerRunner : public AnalyzerRunnerTest {};

TEST_F(ConcurrencyAnalyzerRunner, FeederResultsAndFailOver) {
  makeRunner()->start();
  std::atomic<bool> done{false};
  std::atomic<std::size_t> delivered{0};
  std::thread feeder([&] {
    auto quiet = buffer(kQuiet);
    auto loud = buffer(kLoud);
    for (std::size_t i = 0; !done.load(); ++i)
      delivered += sim::simAudio().deliver(i % 40 < 30 ? *loud : *quiet);
  });
  while (delivered.load() < 50) std::this_thread::yield();
  clock->runUntilIdle();
  for (int i = 0; i < 200; ++i) {
    sim::simAnalyzer().emitResult("words " + std::to_string(i), i % 5 == 0);
    clock->advanceMs(5);
  }
  sim::simAnalyzer().endResults();
  clock->runUntilIdle();
  done.store(true);
  feeder.join();
  clock->runUntilIdle();

  EXPECT_EQ(count("\"start\""), 1u);
  EXPECT_EQ(count("\"code\":\"analyzer\""), 1u);
  EXPECT_EQ(handOffs, 1);
  // The last hypothesis as a partial, then as the fail-over's final.
  EXPECT_EQ(count("\"text\":\"words 199\""), 2u);
  auto session = sim::simAnalyzer().log().sessions.at(0);
  EXPECT_GT(session.framesConsumed, 0u);
  EXPECT_TRUE(session.inputFinished);
}

}  // namespace
}  // namespace qln::testing
