// Process records from /proc: the executable link and the stat line.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits.h>

#include "platform/process_info.h"

namespace qln::platform {
namespace {

std::string procPath(std::int32_t pid, const char* leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

class ProcfsProcessInfo final : public ProcessInfo {
 public:
  std::optional<std::string> execPath(std::int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    char buf[PATH_MAX + 1] = {};
    ssize_t n = ::readlink(procPath(pid, "exe").c_str(), buf, PATH_MAX);
    if (n <= 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }

  std::optional<std::int32_t> parentPid(std::int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    std::ifstream in(procPath(pid, "stat"));
    if (!in) return std::nullopt;
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid ...": the command name may hold spaces and
    // parentheses, so the fields start after the last ')'.
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) return std::nullopt;
    const char* p = stat.data() + close + 2;  // the state letter
    const char* end = stat.data() + stat.size();
    while (p < end && *p != ' ') ++p;
    while (p < end && *p == ' ') ++p;
    std::int32_t ppid = 0;
    auto [next, ec] = std::from_chars(p, end, ppid);
    if (ec != std::errc() || next == p) return std::nullopt;
    return ppid;
  }

  int signalZero(std::int32_t pid) override { return ::kill(pid, 0) == 0 ? 0 : errno; }

  std::int32_t ownPid() override { return static_cast<std::int32_t>(::getpid()); }
};

}  // namespace

ProcessInfo& procfsProcessInfo() {
  static auto* info = new ProcfsProcessInfo;
  return *info;
}

}  // namespace qln::platform
