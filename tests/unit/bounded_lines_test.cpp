// Lines cut from a byte stream with a bound on the unfinished line, at a
// small bound so each boundary is easy to see.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/bounded_lines.h"

namespace {

constexpr std::size_t kMax = 4;

TEST(BoundedLines, LongerLinesAreDroppedUpToTheirLineFeed) {
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    std::vector<std::string> lines;
  } cases[] = {
      {"a line of exactly the bound", {"abcd\n"}, {"abcd"}},
      {"the bound reached across reads", {"ab", "cd", "\n"}, {"abcd"}},
      {"one byte more, in one read", {"abcde\nok\n"}, {"ok"}},
      {"one byte more, the overflow split across reads", {"abc", "de", "fgh", "\nok\n"}, {"ok"}},
      {"the overflow ends exactly at a read's end", {"abcde", "\nok\n"}, {"ok"}},
      {"the line after an overflow is handled, and the one after it", {"abcdefgh\nx\ny\n"}, {"x", "y"}},
      {"two overflowing lines in a row", {"abcdef\nghijkl\n", "z\n"}, {"z"}},
      {"an overflow with no line feed yet drops what follows", {"abcde", "xyz"}, {}},
      {"empty lines count", {"\n\n"}, {"", ""}},
      {"no line feed, no line", {"ab"}, {}},
  };
  for (const auto& c : cases) {
    std::string buf;
    bool discarding = false;
    std::vector<std::string> lines;
    for (const auto& bytes : c.reads) {
      qln::text::splitBoundedLines(buf, discarding, bytes, kMax, [&](const std::string& line) { lines.push_back(line); });
      EXPECT_LE(buf.size(), kMax) << c.name << ": the unfinished line stays within the bound";
    }
    EXPECT_EQ(lines, c.lines) << c.name;
  }
}

}  // namespace
