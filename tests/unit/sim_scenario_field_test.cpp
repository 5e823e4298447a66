#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/sim/scenario.h"

namespace qln::sim {
namespace {

using nlohmann::json;

// Numbers a scenario may hold that the field's type cannot: each reads as the
// fallback, never as a wrapped or undefined conversion.
TEST(ScenarioField, NumbersTheTypeCannotHoldReadAsTheFallback) {
  struct Case {
    const char* text;
    std::int64_t asInt32;
    std::int64_t asUint32;
    std::int64_t asInt;
  };
  const Case cases[] = {
      {"2", 2, 2, 2},
      {"2.9", 2, 2, 2},
      {"-0.5", 0, 0, 0},
      {"-3", -3, 7, -3},
      {"-1.5", -1, 7, -1},
      {"4294967295", 7, 4294967295, 7},
      {"4294967296", 7, 7, 7},
      {"2147483648", 7, 2147483648, 7},
      {"-2147483649", 7, 7, 7},
      {"-2147483648", -2147483648, 7, -2147483648},
      {"2.777e80", 7, 7, 7},
      {"-1e300", 7, 7, 7},
      {"18446744073709551615", 7, 7, 7},
      {"\"12\"", 7, 7, 7},
      {"true", 7, 7, 7},
      {"null", 7, 7, 7},
      {"[1]", 7, 7, 7},
  };
  for (const auto& c : cases) {
    const json object = json::parse(std::string("{\"n\": ") + c.text + "}");
    EXPECT_EQ(field<std::int32_t>(object, "n", 7), c.asInt32) << c.text;
    EXPECT_EQ(field<std::uint32_t>(object, "n", 7u), c.asUint32) << c.text;
    EXPECT_EQ(field(object, "n", 7), c.asInt) << c.text;
  }
}

TEST(ScenarioField, WideIntegersAtTheirLimits) {
  const json object = json::parse(R"({"big": 1.8e19, "beyond": 1.9e19, "max": 18446744073709551615,
                                      "i64": 9.3e18, "low": -9.3e18})");
  EXPECT_EQ(field<std::uint64_t>(object, "big", 1), 18000000000000000000u);
  EXPECT_EQ(field<std::uint64_t>(object, "beyond", 1), 1u);
  EXPECT_EQ(field<std::uint64_t>(object, "max", 1), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(field<std::int64_t>(object, "max", 1), 1);
  EXPECT_EQ(field<std::int64_t>(object, "i64", 1), 1);
  EXPECT_EQ(field<std::int64_t>(object, "low", 1), 1);
}

// A value of another kind, or a container that is not an object, reads as
// the fallback instead of throwing out of the seam that asked.
TEST(ScenarioField, WrongKindsReadAsTheFallback) {
  const json object = json::parse(R"({"s": "text", "b": true, "d": 2.5, "o": {"k": 1}})");
  EXPECT_EQ(field(object, "s", "none"), "text");
  EXPECT_EQ(field(object, "d", "none"), "none");
  EXPECT_TRUE(field(object, "b", false));
  EXPECT_FALSE(field(object, "s", false));
  EXPECT_EQ(field(object, "d", 0.0), 2.5);
  EXPECT_EQ(field(object, "s", 1.5), 1.5);
  EXPECT_EQ(field(object, "missing", 1.5), 1.5);
  EXPECT_EQ(field(object, "o", json()), json({{"k", 1}}));
  for (const json& notObject : {json(1), json::array({1}), json("x"), json()}) {
    EXPECT_EQ(field(notObject, "x", 0.25), 0.25) << notObject.dump();
    EXPECT_EQ(field(notObject, "x", "none"), "none") << notObject.dump();
  }
}

TEST(ScenarioField, DelaysAreClampedToWhatTheClockCounts) {
  constexpr std::uint64_t kYearNs = 365ull * 24 * 3600 * 1000 * 1000000;
  EXPECT_EQ(delayNs(1.5), 1500000u);
  EXPECT_EQ(delayNs(0), 0u);
  EXPECT_EQ(delayNs(-5), 0u);
  EXPECT_EQ(delayNs(std::numeric_limits<double>::quiet_NaN()), 0u);
  EXPECT_EQ(delayNs(1e300), kYearNs);
  EXPECT_EQ(delayNs(std::numeric_limits<double>::infinity()), kYearNs);
}

}  // namespace
}  // namespace qln::sim
