#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "dispatch/virtual_dispatcher.h"
#include "platform/hardware.h"
#include "platform/sim/scenario.h"
#include "platform/sim/sim_hardware.h"

namespace {

using nlohmann::json;
using qln::platform::audioAddress;
using qln::platform::cmioAddress;
using qln::platform::fourCC;
using qln::platform::ObjectId;
using qln::platform::PropertyAddress;
using qln::platform::Status;
using qln::sim::Family;

// An object model that answers one property with scripted bytes and
// statuses, and records what it was asked.
class ScriptedObjects final : public qln::platform::HardwareObjects {
 public:
  Status sizeStatus = 0;
  std::uint32_t size = 0;
  Status dataStatus = 0;
  std::vector<std::uint32_t> words;  // what a data read writes, as far as it fits
  int dataReads = 0;
  std::uint32_t sizeOffered = 0;

  Status getPropertyDataSize(ObjectId, const PropertyAddress&, std::uint32_t& out) override {
    out = size;
    return sizeStatus;
  }
  Status getPropertyData(ObjectId, const PropertyAddress&, std::uint32_t& inOut, void* data) override {
    ++dataReads;
    sizeOffered = inOut;
    if (dataStatus != 0) return dataStatus;
    auto n = std::min<std::size_t>(words.size(), inOut / 4);
    std::memcpy(data, words.data(), n * 4);
    inOut = static_cast<std::uint32_t>(n * 4);
    return 0;
  }
  std::optional<std::string> getPropertyString(ObjectId, const PropertyAddress&) override { return {}; }
  void addPropertyListener(ObjectId, const PropertyAddress&, std::function<void()>) override {}
};

TEST(HardwareReads, ObjectIdArrayRule) {
  struct Case {
    const char* name;
    Status sizeStatus;
    std::uint32_t size;
    Status dataStatus;
    std::vector<std::uint32_t> written;
    std::vector<ObjectId> ids;
    int dataReads;
  } cases[] = {
      {"size query fails", 1, 12, 0, {5, 6, 7}, {}, 0},
      {"size 0", 0, 0, 0, {5}, {}, 0},
      {"size below one id", 0, 3, 0, {5}, {}, 0},
      {"data read fails", 0, 12, 1, {5, 6, 7}, {}, 1},
      {"whole list", 0, 12, 0, {5, 6, 7}, {5, 6, 7}, 1},
      {"size / 4 ids", 0, 10, 0, {5, 6, 7}, {5, 6}, 1},
      {"ids not written stay zero", 0, 12, 0, {5}, {5, 0, 0}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedObjects objects;
    objects.sizeStatus = c.sizeStatus;
    objects.size = c.size;
    objects.dataStatus = c.dataStatus;
    objects.words = c.written;
    EXPECT_EQ(qln::platform::readObjectIdArray(objects, 1, audioAddress(fourCC("dev#"))), c.ids);
    EXPECT_EQ(objects.dataReads, c.dataReads);
    if (c.dataReads > 0) {
      EXPECT_EQ(objects.sizeOffered, c.size / 4 * 4);
    }
  }
}

TEST(HardwareReads, ChannelTotalOfStreamConfiguration) {
  struct Case {
    const char* name;
    Status sizeStatus;
    std::uint32_t size;
    Status dataStatus;
    std::vector<std::uint32_t> words;  // buffer count, then channels per buffer
    std::uint64_t total;
  } cases[] = {
      {"size query fails", 1, 8, 0, {1, 2}, 0},
      {"size 0", 0, 0, 0, {1, 2}, 0},
      {"data read fails", 0, 8, 1, {1, 2}, 0},
      {"no buffers", 0, 4, 0, {0}, 0},
      {"buffers without channels", 0, 12, 0, {2, 0, 0}, 0},
      {"summed over buffers", 0, 16, 0, {3, 2, 0, 1}, 3},
      {"one mono buffer", 0, 8, 0, {1, 1}, 1},
      {"count beyond the bytes", 0, 8, 0, {5, 2}, 0},
      {"shorter than a count", 0, 2, 0, {1}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedObjects objects;
    objects.sizeStatus = c.sizeStatus;
    objects.size = c.size;
    objects.dataStatus = c.dataStatus;
    objects.words = c.words;
    auto address = audioAddress(fourCC("slay"), qln::platform::kScopeInput);
    EXPECT_EQ(qln::platform::readChannelTotal(objects, 40, address), c.total);
    if (objects.dataReads > 0) {
      EXPECT_EQ(objects.sizeOffered, c.size);  // a buffer of exactly the queried size
    }
  }
}

class SimHardwareTest : public ::testing::Test {
 protected:
  void TearDown() override { qln::sim::setScenarioForTesting(json::object()); }
  qln::dispatch::ScopedVirtualDispatcher clock;
};

const json kModel = {
    {"audioDevices", {{{"id", 40}, {"name", "Mic"}, {"running", false}},
                      {{"id", 41}, {"name", "Speakers"}, {"outputOnly", true}, {"running", true}}}},
    {"videoDevices", {{{"id", 7}, {"name", "FaceTime HD Camera"}, {"running", false}}}},
    {"audioProcesses", {{"list", {{{"id", 90}, {"pid", 123}, {"bundleId", "us.zoom.xos"}, {"runningInput", true}}}}}},
};

TEST_F(SimHardwareTest, AnswersReadsAsTheScenarioSays) {
  qln::sim::setScenarioForTesting(kModel);
  auto& audio = qln::platform::audioObjects();
  auto& video = qln::platform::videoObjects();
  using qln::platform::readInt32;
  using qln::platform::readUInt32;
  const auto wildcardGone = cmioAddress(fourCC("gone"), qln::platform::kScopeWildcard, qln::platform::kElementWildcard);

  EXPECT_EQ(qln::platform::readObjectIdArray(audio, 1, audioAddress(fourCC("dev#"))), (std::vector<ObjectId>{40, 41}));
  EXPECT_EQ(qln::platform::readObjectIdArray(video, 1, cmioAddress(fourCC("dev#"))), (std::vector<ObjectId>{7}));
  EXPECT_EQ(qln::platform::readObjectIdArray(audio, 1, audioAddress(fourCC("prs#"))), (std::vector<ObjectId>{90}));
  EXPECT_EQ(readUInt32(audio, 41, audioAddress(fourCC("gone"))), 1u);
  EXPECT_EQ(readUInt32(video, 7, wildcardGone), 0u);
  EXPECT_EQ(readUInt32(audio, 90, audioAddress(fourCC("piri"))), 1u);
  EXPECT_EQ(readInt32(audio, 90, audioAddress(fourCC("ppid")), -1), 123);
  EXPECT_EQ(audio.getPropertyString(90, audioAddress(fourCC("pbid"))), "us.zoom.xos");
  EXPECT_EQ(audio.getPropertyString(40, audioAddress(fourCC("lnam"))), "Mic");
  auto slay = audioAddress(fourCC("slay"), qln::platform::kScopeInput);
  EXPECT_EQ(qln::platform::readChannelTotal(audio, 40, slay), 1u);
  EXPECT_EQ(qln::platform::readChannelTotal(audio, 41, slay), 0u);
  // Absent properties and objects fail.
  EXPECT_EQ(readUInt32(audio, 99, audioAddress(fourCC("gone"))), std::nullopt);
  EXPECT_EQ(readUInt32(audio, 40, audioAddress(fourCC("gone"), qln::platform::kScopeInput)), std::nullopt);
  EXPECT_EQ(readUInt32(video, 90, audioAddress(fourCC("piri"))), std::nullopt);

  // Without the process section the list is unsupported; with it, an empty
  // list is supported and empty.
  std::uint32_t size = 99;
  qln::sim::setScenarioForTesting(json::object());
  EXPECT_NE(audio.getPropertyDataSize(1, audioAddress(fourCC("prs#")), size), 0);
  qln::sim::setScenarioForTesting({{"audioProcesses", {{"list", json::array()}}}});
  EXPECT_EQ(audio.getPropertyDataSize(1, audioAddress(fourCC("prs#")), size), 0);
  EXPECT_EQ(size, 0u);
  qln::sim::setScenarioForTesting({{"audioProcesses", {{"supported", false}, {"list", {{{"id", 90}}}}}}});
  EXPECT_NE(audio.getPropertyDataSize(1, audioAddress(fourCC("prs#")), size), 0);
}

// Listeners of the kinds the watchers register, and which of them a change fires.
TEST_F(SimHardwareTest, ChangeFiresMatchingListenersOnMainQueue) {
  using qln::sim::SimDevice;
  using qln::sim::SimProcess;
  auto& hw = qln::sim::hardware();
  struct Case {
    const char* name;
    std::function<void()> change;
    std::set<std::string> fired;
  } cases[] = {
      {"audio device added", [&] { hw.setDevice(Family::audio, SimDevice{42, "USB", {1}, false}); }, {"audio dev#"}},
      {"audio device removed", [&] { hw.removeDevice(Family::audio, 41); }, {"audio dev#"}},
      {"audio device starts running", [&] { hw.setRunning(Family::audio, 40, true); }, {"audio gone 40"}},
      {"audio device stops running", [&] { hw.setRunning(Family::audio, 41, false); }, {"audio gone 41"}},
      {"running unchanged", [&] { hw.setRunning(Family::audio, 41, true); }, {}},
      {"camera starts running", [&] { hw.setRunning(Family::video, 7, true); }, {"video gone 7"}},
      {"camera added", [&] { hw.setDevice(Family::video, SimDevice{8, "Cam", {}, true}); }, {"video dev#"}},
      {"process added", [&] { hw.setProcess(SimProcess{91, 124, "com.apple.FaceTime", true}); }, {"prs#"}},
      {"process removed", [&] { hw.removeProcess(90); }, {"prs#"}},
      {"process list unsupported", [&] { hw.setProcessListSupported(false); }, {"prs#"}},
      {"name changed", [&] { hw.setName(Family::audio, 40, "Mic 2"); }, {}},
      {"sections replaced", [&] {
         hw.applySections({{"videoDevices", {{{"id", 7}, {"running", true}}, {{"id", 8}}}}});
       }, {"video dev#", "video gone 7"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qln::sim::setScenarioForTesting(kModel);
    std::set<std::string> fired;
    bool offMain = false;
    auto listen = [&](Family family, ObjectId object, PropertyAddress address, std::string label) {
      auto& objects = family == Family::audio ? qln::platform::audioObjects() : qln::platform::videoObjects();
      objects.addPropertyListener(object, address, [&, label] {
        fired.insert(label);
        if (!clock->mainQueue()->isCurrent()) offMain = true;
      });
    };
    const auto any = [](std::uint32_t selector) {
      return audioAddress(selector, qln::platform::kScopeWildcard, qln::platform::kElementWildcard);
    };
    listen(Family::audio, 1, audioAddress(fourCC("dev#")), "audio dev#");
    listen(Family::audio, 40, any(fourCC("gone")), "audio gone 40");
    listen(Family::audio, 41, audioAddress(fourCC("gone")), "audio gone 41");
    listen(Family::video, 1, cmioAddress(fourCC("dev#")), "video dev#");
    listen(Family::video, 7, any(fourCC("gone")), "video gone 7");
    listen(Family::audio, 1, audioAddress(fourCC("prs#")), "prs#");

    c.change();
    EXPECT_TRUE(fired.empty()) << "a listener ran inside the change";
    clock->runUntilIdle();
    EXPECT_EQ(fired, c.fired);
    EXPECT_FALSE(offMain);
  }
}

TEST_F(SimHardwareTest, TimedEventsRunOnTheClock) {
  const json scenario = {
      {"videoDevices", {{{"id", 7}, {"running", false}}}},
      {"hardwareEvents", {{{"atMs", 2000}, {"set", {{"videoDevices", {{{"id", 7}, {"running", true}}}}}}}}},
  };
  auto& video = qln::platform::videoObjects();
  const auto gone = cmioAddress(fourCC("gone"), qln::platform::kScopeWildcard, qln::platform::kElementWildcard);
  int fired = 0;

  qln::sim::setScenarioForTesting(scenario);
  video.addPropertyListener(7, gone, [&] { ++fired; });
  clock->advanceMs(1999);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(qln::platform::readUInt32(video, 7, gone), 0u);
  clock->advanceMs(1);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(qln::platform::readUInt32(video, 7, gone), 1u);

  // A new scenario drops the old one's pending events and listeners.
  qln::sim::setScenarioForTesting(scenario);
  video.addPropertyListener(7, gone, [&] { ++fired; });
  clock->advanceMs(1000);
  qln::sim::setScenarioForTesting({{"videoDevices", {{{"id", 7}, {"running", false}}}}});
  clock->advanceMs(5000);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(qln::platform::readUInt32(video, 7, gone), 0u);
}

}  // namespace
