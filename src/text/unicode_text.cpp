#include "text/unicode_text.h"

#include <cstdint>
#include <vector>

#include "output/output.h"

namespace qln::text {
namespace {

bool isWhitespaceOrNewline(std::uint32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes valid UTF-8 into (code point, byte offset) pairs.
std::vector<std::pair<std::uint32_t, size_t>> decode(std::string_view s) {
  std::vector<std::pair<std::uint32_t, size_t>> out;
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
    std::uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1Fu) : extra == 2 ? (c & 0x0Fu) : (c & 0x07u);
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    out.emplace_back(cp, i);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

}  // namespace

std::string trimWhitespaceAndNewlines(std::string_view s) {
  if (!output::isValidUtf8(s)) return std::string(s);
  auto cps = decode(s);
  size_t first = 0, last = cps.size();
  while (first < last && isWhitespaceOrNewline(cps[first].first)) ++first;
  while (last > first && isWhitespaceOrNewline(cps[last - 1].first)) --last;
  if (first == last) return {};
  size_t begin = cps[first].second;
  size_t end = last < cps.size() ? cps[last].second : s.size();
  return std::string(s.substr(begin, end - begin));
}

}  // namespace qln::text
