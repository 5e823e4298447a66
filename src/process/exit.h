// The one way the program ends itself. Tests replace the final step so that
// an exit taken deep inside a component can be observed in-process.
#pragma once

#include <functional>

namespace qln::process {

[[noreturn]] void exitProcess(int status);

// The hook must not return (tests throw ProcessExit from it).
void setExitHookForTesting(std::function<void(int status)> hook);

struct ProcessExit {
  int status;
};

}  // namespace qln::process
