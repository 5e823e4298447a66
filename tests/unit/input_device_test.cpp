#include <gtest/gtest.h>

#include "platform/sim/scenario.h"
#include "platform/sim/sim_hardware.h"
#include "speech/input_device.h"

namespace {

using nlohmann::json;
using qln::qlnInputDeviceID;
using qln::sim::Family;

json mic(std::uint32_t id, json name, std::uint32_t channels = 1) {
  return {{"id", id}, {"name", std::move(name)}, {"inputChannels", channels}};
}

class InputDeviceTest : public ::testing::Test {
 protected:
  void TearDown() override { qln::sim::setScenarioForTesting(json::object()); }
};

TEST_F(InputDeviceTest, ResolvesWantedName) {
  struct Case {
    const char* name;
    std::string want;
    json devices;
    std::optional<std::uint32_t> found;
  } cases[] = {
      {"surrounding space and capitals: exact", "  macbook pro microphone \n",
       {mic(40, "MacBook Pro Microphone")}, 40},
      {"exact beats an earlier partial", "usb", {mic(50, "USB Audio CODEC"), mic(51, "usb")}, 51},
      {"first partial wins", "usb", {mic(50, "USB Audio CODEC"), mic(51, "USB Mic 2")}, 50},
      {"wanted contains the device name", "Studio Display Microphone (2)",
       {mic(60, "Studio Display Microphone")}, 60},
      {"output-only exact match never returned", "LG Monitor", {mic(70, "LG Monitor", 0)}, std::nullopt},
      {"output-only skipped for a later partial", "speakers",
       {{{"id", 71}, {"name", "Speakers"}, {"outputOnly", true}}, mic(72, "Speakers Mic")}, 72},
      {"channels summed over buffers", "dock",
       {{{"id", 73}, {"name", "Dock"}, {"inputBuffers", {0, 0}}},
        {{"id", 74}, {"name", "Dock"}, {"inputBuffers", {0, 2}}}},
       74},
      {"no match", "Blue Yeti", {mic(40, "MacBook Pro Microphone")}, std::nullopt},
      {"no devices", "usb", json::array(), std::nullopt},
      {"null name skipped", "mic", {mic(80, nullptr), mic(81, "Mic")}, 81},
      // An empty name is contained in every wanted name; it must not match.
      {"blank device name skipped", "mic", {mic(82, " \t "), mic(83, "Desk Mic X")}, 83},
      {"non-ASCII capitals", "ÉCOUTEUR USB", {mic(90, "écouteur usb")}, 90},
      {"non-ASCII spaces trimmed", "\u00A0\u3000Écouteur USB\u2028\u00A0", {mic(91, "ÉCOUTEUR USB")}, 91},
      {"device name trimmed too", "micro", {mic(92, "\u2029MICRO\u00A0")}, 92},
      {"Cyrillic capitals", "МИКРОФОН", {mic(93, "микрофон")}, 93},
      {"composed and decomposed accents", "Cafe\u0301 Mic", {mic(94, "Café Mic")}, 94},
      {"inner space kept", "usb mic", {mic(95, "usbmic")}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qln::sim::setScenarioForTesting({{"audioDevices", c.devices}});
    EXPECT_EQ(qlnInputDeviceID(c.want), c.found);
  }
}

TEST_F(InputDeviceTest, BlankWantedNameReadsNoDevice) {
  qln::sim::setScenarioForTesting({{"audioDevices", {mic(40, "Mic")}}});
  for (std::string want : {"", "   ", " \t\n", "\u00A0\u3000\u2028"}) {
    EXPECT_EQ(qlnInputDeviceID(want), std::nullopt) << want;
    EXPECT_EQ(qln::sim::hardware().readCount(Family::audio), 0u) << want;
  }
  EXPECT_EQ(qlnInputDeviceID("mic"), 40u);  // the counter does count reads
  EXPECT_GT(qln::sim::hardware().readCount(Family::audio), 0u);
}

TEST_F(InputDeviceTest, FailedReadsSkipTheDeviceOrGiveNone) {
  struct Case {
    const char* name;
    std::uint32_t object;
    const char* selector;
    const char* read;
    std::optional<std::uint32_t> found;
  } cases[] = {
      {"device list size", 1, "dev#", "size", std::nullopt},
      {"device list data", 1, "dev#", "data", std::nullopt},
      {"input configuration size", 40, "slay", "size", 41},
      {"input configuration data", 40, "slay", "data", 41},
      {"name", 40, "lnam", "data", 41},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qln::sim::setScenarioForTesting(
        {{"audioDevices", {mic(40, "USB Mic"), mic(41, "USB Mic 2")}},
         {"hardwareFailures", {{{"object", c.object}, {"selector", c.selector}, {"read", c.read}}}}});
    EXPECT_EQ(qlnInputDeviceID("usb mic"), c.found);
  }
}

}  // namespace
