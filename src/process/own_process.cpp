#include "process/own_process.h"

#include <cerrno>

namespace qln {

namespace {
constexpr int kMaxParentSteps = 40;
}

std::optional<std::string> qlnExecPath(std::int32_t pid, platform::ProcessInfo& info) {
  if (pid <= 0) return std::nullopt;
  return info.execPath(pid);
}

std::optional<std::int32_t> qlnParentPid(std::int32_t pid, platform::ProcessInfo& info) {
  if (pid <= 0) return std::nullopt;
  return info.parentPid(pid);
}

bool qlnIsOwnPidTree(std::int32_t pid, const std::set<std::int32_t>& ownRoots,
                     platform::ProcessInfo& info) {
  std::int32_t current = pid;
  for (int steps = 0;;) {
    if (ownRoots.count(current) != 0) return true;
    if (current < 2) return false;
    auto parent = qlnParentPid(current, info);
    if (!parent || *parent == current) return false;
    if (++steps >= kMaxParentSteps) return false;
    current = *parent;
  }
}

bool qlnIsSameExecutable(std::int32_t pid, const std::optional<std::string>& selfExecPath,
                         platform::ProcessInfo& info) {
  if (!selfExecPath || pid <= 0) return false;
  auto path = qlnExecPath(pid, info);
  return path && *path == *selfExecPath;
}

bool qlnProcessExists(std::int32_t pid, platform::ProcessInfo& info) {
  // Signal 0 to 0 or a negative id would ask about a whole process group.
  if (pid <= 0) return false;
  int rc = info.signalZero(pid);
  return rc == 0 || rc == EPERM;
}

}  // namespace qln
