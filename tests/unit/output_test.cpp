#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "line_capture.h"
#include "output/output.h"

using qln::output::jsonQuoted;

namespace {

struct QuoteCase {
  const char* name;
  std::string input;
  std::string expected;
};

TEST(JsonQuoted, EscapingTable) {
  const QuoteCase cases[] = {
      {"empty", "", "\"\""},
      {"quote backslash slash", "\"\\/", "\"\\\"\\\\\\/\""},
      {"slash in path", "a/b", "\"a\\/b\""},
      {"line feed", "x\ny", "\"x\\ny\""},
      {"named controls", "\b\f\r\t", "\"\\b\\f\\r\\t\""},
      {"other control", std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
      {"nul", std::string("a\0b", 3), "\"a\\u0000b\""},
      {"delete passes", "\x7f", "\"\x7f\""},
      {"e acute passes", "\xc3\xa9", "\"\xc3\xa9\""},
      {"astral passes", "\xf0\x9f\x8e\xa4", "\"\xf0\x9f\x8e\xa4\""},
      {"invalid utf8", "\xff\xfe", "\"\""},
      {"truncated sequence", "ab\xe2\x82", "\"\""},
      {"overlong slash", "\xc0\xaf", "\"\""},
      {"surrogate", "\xed\xa0\x80", "\"\""},
  };
  for (const auto& c : cases) EXPECT_EQ(jsonQuoted(c.input), c.expected) << c.name;
}

TEST(BoolJson, Words) {
  EXPECT_STREQ(qln::output::boolJSON(true), "true");
  EXPECT_STREQ(qln::output::boolJSON(false), "false");
}

TEST(WriteLine, InvalidUtf8WritesNothing) {
  qln::testing::LineCapture capture;
  qln::output::writeLine("{\"a\":\"\xff\"}");
  qln::output::errLine("bad \xc3");
  qln::output::writeLine("{}");
  EXPECT_EQ(capture.out(), std::vector<std::string>{"{}"});
  EXPECT_TRUE(capture.err().empty());
}

TEST(NumberText, ShortestRoundTripKeepsPointZero) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {{0.0, "0.0"}, {25.0, "25.0"}, {-1.0, "-1.0"}, {0.5, "0.5"}, {0.1, "0.1"},
               {1440.25, "1440.25"}, {1.0 / 3.0, "0.3333333333333333"}};
  for (const auto& c : cases) EXPECT_EQ(qln::output::shortestDouble(c.v), c.text);
}

TEST(NumberText, FixedIgnoresCommaLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "C.UTF-8"};
  for (const char* n : names)
    if (std::setlocale(LC_ALL, n)) break;
  EXPECT_EQ(qln::output::fixed(0.01234, 4), "0.0123");
  EXPECT_EQ(qln::output::fixed(-38.25, 1), "-38.2");
  EXPECT_EQ(qln::output::fixed(-100.0, 1), "-100.0");
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
