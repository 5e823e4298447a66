// `camera-hold <seconds>`: open the default camera as a capture input, keep
// it running for that long, close it. Every outcome ends the process: the
// holding and released lines with status 0, or one error line with status 1.
#pragma once

#include <cstdint>

#include "dispatch/dispatch.h"

namespace qln::commands {

// How long the session may take to report running, and how often it is asked.
constexpr std::uint64_t kCameraStartDeadlineNs = 5 * dispatch::kNsPerSec;
constexpr std::uint64_t kCameraStartPollNs = 100 * dispatch::kNsPerMs;
// Holds longer than this (inf included) last until the process is ended;
// the timer would otherwise overflow the clock.
constexpr double kCameraHoldForeverSeconds = 1e9;

// Opens the camera and leaves the start poll and the hold to the main queue;
// a failure before that ends the process here.
void startCameraHold(double seconds);

// startCameraHold, then serves the main queue until the hold ends the process.
[[noreturn]] void runCameraHold(double seconds);

}  // namespace qln::commands
