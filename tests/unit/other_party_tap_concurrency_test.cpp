// The other-party tap on the real dispatcher: its I/O queue receives the
// call's audio from the scripted tap's own thread and from a second thread,
// while the control queue rebuilds the tap again and again and finally stops
// it. Run under ThreadSanitizer by the CI; the file must come out whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "dispatch/dispatch.h"
#include "line_capture.h"
#include "platform/hardware.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_tap.h"
#include "speech/other_party_tap.h"

namespace {

using nlohmann::json;
using namespace qln;

TEST(ConcurrencyOtherPartyTap, RebuildsAndStopRaceTheIOQueueWithoutTearingTheFile) {
  platform::initializeFourCharCodes();
  platform::kQLNUnsupportedOp = static_cast<std::int32_t>(platform::fourCC("unop"));
  auto previous = dispatch::exchange(dispatch::makeRealDispatcher());
  qln::testing::LineCapture lines;
  char tmpl[] = "/tmp/qln-tap-race-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  const std::string file = (dir / "other.wav").string();

  json s;
  s["processTable"] = {{"ownPid", 500}, {"list", {{{"pid", 500}, {"ppid", 400}}, {{"pid", 400}, {"ppid", 1}}, {{"pid", 123}, {"ppid", 1}}}}};
  s["audioProcesses"] = {{"supported", true},
                         {"list", {{{"id", 10}, {"pid", 123}, {"bundleId", "us.zoom.xos"}, {"runningInput", false}}}}};
  s["capabilities"]["processTap"] = true;
  s["tap"] = {{"runningApps", {{"us.zoom.xos", {123}}}}, {"source", {{"kind", "tone"}, {"hz", 300}, {"amplitude", 0.3}}}};
  sim::setScenarioForTesting(s);

  // The tap runs from a worker while this thread serves the main queue, as
  // in the product.
  bool flowed = false;
  std::thread worker([&] {
    auto tap = OtherPartyTap::make(file, 800, dispatch::nowNs());
    tap->start(std::string("us.zoom.xos"));
    std::atomic<bool> done{false};
    // Synchronous deliveries beside the scripted source's queued ones.
    std::thread extra([&] {
      while (!done.load()) sim::taps().deliverFrames(480, 0.1f);
    });
    for (int i = 0; i < 200; ++i) {
      tap->setBundle(i % 2 ? std::optional<std::string>("us.zoom.xos") : std::nullopt);
      if (i % 20 == 0) std::this_thread::yield();
    }
    tap->setBundle(std::string("us.zoom.xos"));
    // Let audio flow into the last build before the stop races it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(flowed = lines.outContaining("\"otherAcoustic\"").size() >= 3) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
    tap->stop();
    done.store(true);
    extra.join();
    tap.reset();
    dispatch::current().mainQueue()->async([] { dispatch::current().stopMain(); });
  });
  dispatch::current().runMain();
  worker.join();
  ASSERT_TRUE(flowed) << "no call audio reached the meter; out: " << ::testing::PrintToString(lines.out()) << " err: " << ::testing::PrintToString(lines.err());

  auto recorded = lines.outContaining("{\"ev\":\"recordedOther\",\"ms\":");
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(lines.outContaining("{\"ev\":\"recordingOther\"").size(), 1u);
  std::ifstream in(file, std::ios::binary);
  std::vector<unsigned char> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_GE(b.size(), 44u);
  auto le32 = [&](std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
  };
  EXPECT_EQ(le32(4), b.size() - 8);
  EXPECT_EQ(le32(40), b.size() - 44);
  // The metered 300 ms reached the file.
  EXPECT_GT(b.size(), 44u + 2 * 3200u) << "the metered blocks reached the file";
  // 16 kHz mono 16-bit: 32 bytes a millisecond.
  EXPECT_EQ(recorded[0], "{\"ev\":\"recordedOther\",\"ms\":" + std::to_string((b.size() - 44) / 32) + "}");

  sim::setScenarioForTesting(json::object());
  std::filesystem::remove_all(dir);
  dispatch::exchange(previous);
}

}  // namespace
