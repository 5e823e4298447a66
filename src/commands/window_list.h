#pragma once

#include <cstdint>
#include <string>

namespace qln::commands {

// The display under the centre of the rectangle; 0 when none contains it.
std::uint32_t displayIDContaining(double x, double y, double w, double h);

// The one line describing window `window` (owned by `pid` when pid > 0).
std::string windowListLine(std::int32_t pid, std::int64_t window);

// Writes that line and ends the process with status 0.
[[noreturn]] void runWindowList(std::int32_t pid, std::int64_t window);

}  // namespace qln::commands
