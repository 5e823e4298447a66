#include "command_line.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>

namespace qln::cli {
namespace {

template <typename T>
std::optional<T> parseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  for (size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return std::nullopt;
  // Parse the magnitude with the sign attached so the most negative value fits.
  std::string digits = (negative ? "-" : "") + text.substr(i);
  T result{};
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), result);
  if (ec != std::errc() || ptr != digits.data() + digits.size()) return std::nullopt;
  return result;
}

}  // namespace

bool hasFlag(const std::vector<std::string>& args, const std::string& name) {
  for (const auto& a : args)
    if (a == name) return true;
  return false;
}

std::optional<std::string> value(const std::vector<std::string>& args, const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 < args.size()) return args[i + 1];
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::int32_t> parseInt32(const std::string& text) { return parseInteger<std::int32_t>(text); }
std::optional<std::int64_t> parseInt64(const std::string& text) { return parseInteger<std::int64_t>(text); }

std::optional<double> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  switch (text[0]) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
      return std::nullopt;
    default:
      break;
  }
  // An embedded NUL cannot come from argv, but keep the whole-text rule exact.
  if (text.find('\0') != std::string::npos) return std::nullopt;
  static locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
  char* end = nullptr;
  double v = ::strtod_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

}  // namespace qln::cli
