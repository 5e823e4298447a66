#include <gtest/gtest.h>

#include <cmath>

#include "command_line.h"
#include "globals.h"

namespace {

using qln::cli::parseInt32;
using qln::cli::parseInt64;
using qln::cli::parseSeconds;
using Args = std::vector<std::string>;

TEST(OptionGrammar, ValuesAndFlags) {
  Args a{"qln-helper", "speech", "--record", "--partials", "--input-name", "A", "--input-name", "B"};
  EXPECT_EQ(qln::cli::value(a, "--record"), "--partials");
  EXPECT_TRUE(qln::cli::hasFlag(a, "--partials"));
  EXPECT_EQ(qln::cli::value(a, "--input-name"), "A");
  EXPECT_FALSE(qln::cli::value(Args{"x", "speech", "--record"}, "--record").has_value());
  EXPECT_FALSE(qln::cli::hasFlag(Args{"x", "speech", "--Partials", "--partials=1"}, "--partials"));
  // The mode word is searched too.
  EXPECT_EQ(qln::cli::value(Args{"x", "--pid", "7"}, "--pid"), "7");
}

TEST(OptionGrammar, Integers) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> v32;
    std::optional<std::int64_t> v64;
  } cases[] = {
      {"42", 42, 42},
      {"+42", 42, 42},
      {"-7", -7, -7},
      {"0", 0, 0},
      {"007", 7, 7},
      {"2147483647", 2147483647, 2147483647},
      {"-2147483648", INT32_MIN, -2147483648LL},
      {"2147483648", std::nullopt, 2147483648LL},
      {"99999999999", std::nullopt, 99999999999LL},
      {"9223372036854775807", std::nullopt, INT64_MAX},
      {"-9223372036854775808", std::nullopt, INT64_MIN},
      {"9223372036854775808", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {"+-1", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
      {"1e3", std::nullopt, std::nullopt},
      {"abc", std::nullopt, std::nullopt},
      {"\xd9\xa3", std::nullopt, std::nullopt},  // an Arabic-Indic digit is no ASCII digit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseInt32(c.text), c.v32) << c.text;
    EXPECT_EQ(parseInt64(c.text), c.v64) << c.text;
  }
}

TEST(OptionGrammar, Seconds) {
  struct Case {
    const char* text;
    bool valid;
    double v;
  } cases[] = {
      {"2.5", true, 2.5}, {"0", true, 0}, {"-1", true, -1}, {"0x1p1", true, 2}, {"1e1", true, 10},
      {"inf", true, INFINITY}, {"5s", false, 0}, {"abc", false, 0}, {"", false, 0},
      {" 1", false, 0}, {"\t1", false, 0}, {"1 ", false, 0}, {"1,5", false, 0},
  };
  for (const auto& c : cases) {
    auto got = parseSeconds(c.text);
    EXPECT_EQ(got.has_value(), c.valid) << c.text;
    if (got && c.valid) {
      EXPECT_EQ(*got, c.v) << c.text;
    }
  }
  auto nan = parseSeconds("nan");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
}

TEST(StartUp, DictationSimulationFlag) {
  struct Case {
    const char* value;
    bool expected;
  } cases[] = {{"1", true}, {nullptr, false}, {"", false}, {"true", false}, {"01", false}, {"1 ", false}};
  for (const auto& c : cases)
    EXPECT_EQ(qln::globals::parseSimDictationOff(c.value), c.expected) << (c.value ? c.value : "(unset)");
}

}  // namespace
