// Telling the host's and this program's own processes from the rest: the
// executable path, the parent, membership of an own process tree, and
// running the same executable. Reentrant; called from any queue.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "platform/process_info.h"

namespace qln {

std::optional<std::string> qlnExecPath(std::int32_t pid,
                                       platform::ProcessInfo& info = platform::processInfo());

std::optional<std::int32_t> qlnParentPid(std::int32_t pid,
                                         platform::ProcessInfo& info = platform::processInfo());

// `pid` itself and at most 39 of its ancestors are compared with the roots.
bool qlnIsOwnPidTree(std::int32_t pid, const std::set<std::int32_t>& ownRoots,
                     platform::ProcessInfo& info = platform::processInfo());

bool qlnIsSameExecutable(std::int32_t pid, const std::optional<std::string>& selfExecPath,
                         platform::ProcessInfo& info = platform::processInfo());

// Signal 0 succeeds, or fails only for want of permission.
bool qlnProcessExists(std::int32_t pid, platform::ProcessInfo& info = platform::processInfo());

}  // namespace qln
