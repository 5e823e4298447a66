// The option grammar shared by every mode: whole-argument names, the value
// right after the first occurrence, and strict number rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qln::cli {

// True when `name` occurs anywhere in `args`, mode word included.
bool hasFlag(const std::vector<std::string>& args, const std::string& name);

// The argument right after the first occurrence of `name`, whatever it looks
// like; none when the name is absent or last.
std::optional<std::string> value(const std::vector<std::string>& args, const std::string& name);

// An optional single sign and one or more ASCII digits, nothing else, within
// the target's range.
std::optional<std::int32_t> parseInt32(const std::string& text);
std::optional<std::int64_t> parseInt64(const std::string& text);

// Non-empty, no leading white space, consumed whole by a C-locale strtod
// (decimal, hexadecimal, inf and nan words).
std::optional<double> parseSeconds(const std::string& text);

}  // namespace qln::cli
