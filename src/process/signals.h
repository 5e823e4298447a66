// Termination signals and the disclaimed relaunch.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qln::process {

// SIGTERM, then SIGINT: ignore the default action and run `cleanup` on the
// main queue instead, then exit 0. Once per process.
void installSignals(std::function<void()> cleanup);

// Either becomes the waiting parent of a relaunched copy (never returns) or
// returns so the caller runs the mode in this process.
void reExecDisclaimedIfPossible(const std::vector<std::string>& args);

[[noreturn]] void waitForDisclaimedChild(int pid);

// Test fixtures run this right after the copy is spawned, while SIGTERM and
// SIGINT are still held back, to prove a signal in that window is forwarded.
void setAfterSpawnHookForTesting(void (*hook)(int childPid));

}  // namespace qln::process
