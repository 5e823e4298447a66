// The option grammar over any argument list (the input split at NUL bytes):
// a value is the argument right after the first occurrence of its name, a
// flag is any whole-argument occurrence, and the number rules accept only
// what reads back as the same number.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz_check.h"

namespace {

namespace cli = qln::cli;

const char* const kOptions[] = {"--partials",   "--input-name",      "--record",         "--record-other",
                                "--tap-bundle", "--self-pid",        "--voice-isolation", "--legacy-speech",
                                "--request-speech", "--disclaim",    "--pid",            "--window"};

// Sign and digits only, then the same value written without a plus sign or
// leading zeros.
template <class Int>
void checkInteger(const std::string& text, const std::optional<Int>& parsed) {
  std::size_t digits = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
  bool wellFormed = digits < text.size();
  for (std::size_t i = digits; i < text.size(); ++i) wellFormed = wellFormed && text[i] >= '0' && text[i] <= '9';
  if (!wellFormed) {
    FUZZ_CHECK(!parsed);
    return;
  }
  std::string canonical = text.substr(digits);
  canonical.erase(0, std::min(canonical.find_first_not_of('0'), canonical.size() - 1));
  const bool negative = text[0] == '-' && canonical != "0";
  if (negative) canonical.insert(0, "-");
  if (parsed) FUZZ_CHECK(std::to_string(*parsed) == canonical);
  // Out of range is the only reason to refuse a well-formed number.
  if (!parsed) FUZZ_CHECK(canonical.size() >= std::to_string(std::numeric_limits<Int>::max()).size());
}

void checkSeconds(const std::string& text) {
  const auto parsed = cli::parseSeconds(text);
  const bool blankStart = !text.empty() && std::string(" \t\n\v\f\r").find(text[0]) != std::string::npos;
  if (text.empty() || blankStart || text.find('\0') != std::string::npos) {
    FUZZ_CHECK(!parsed);
    return;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  const bool whole = end == text.c_str() + text.size();
  FUZZ_CHECK(parsed.has_value() == whole);
  if (parsed && !std::isnan(value)) FUZZ_CHECK(*parsed == value);
  if (parsed && std::isnan(value)) FUZZ_CHECK(std::isnan(*parsed));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);

  for (const char* name : kOptions) {
    std::size_t first = args.size();
    for (std::size_t i = 0; i < args.size() && first == args.size(); ++i)
      if (args[i] == name) first = i;
    FUZZ_CHECK(cli::hasFlag(args, name) == (first < args.size()));
    const auto value = cli::value(args, name);
    FUZZ_CHECK(value.has_value() == (first + 1 < args.size()));
    if (value) FUZZ_CHECK(*value == args[first + 1]);
  }
  for (const auto& arg : args) {
    checkInteger(arg, cli::parseInt32(arg));
    checkInteger(arg, cli::parseInt64(arg));
    checkSeconds(arg);
  }
  return 0;
}
