// The host protocol's two channels: one JSON object per line on standard
// output, one human-readable diagnostic per line on standard error.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace qln::output {

// Writes `line` plus a line feed to standard output as one whole write,
// serialised with every other line. A text that is not valid UTF-8 writes
// nothing.
void writeLine(std::string_view line);

// Writes `line` plus a line feed to standard error, without the lock.
void errLine(std::string_view line);

// The JSON string literal for `s`, quotes included; `""` if `s` is not valid
// UTF-8.
std::string jsonQuoted(std::string_view s);

inline const char* boolJSON(bool b) { return b ? "true" : "false"; }

bool isValidUtf8(std::string_view s);

// Shortest decimal text that reads back as the same double, with ".0" kept
// on whole numbers (25.0, -1.0). Locale-independent.
std::string shortestDouble(double v);

// printf-style "%.Nf" that always uses a decimal point, whatever the locale.
std::string fixed(double v, int decimals);

// Tests divert both channels into a sink instead of descriptors 1 and 2.
enum class Channel { out, err };
using Sink = std::function<void(Channel, std::string_view line)>;
void setSinkForTesting(Sink sink);

}  // namespace qln::output
