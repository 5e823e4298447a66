#include "platform/linux/proc_fd_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace qln::platform::linux_backend {
namespace {

std::optional<std::int32_t> numericName(const char* name) {
  std::int32_t v = 0;
  const char* end = name + std::strlen(name);
  auto [next, ec] = std::from_chars(name, end, v);
  if (ec != std::errc() || next != end || next == name) return std::nullopt;
  return v;
}

}  // namespace

std::vector<std::set<std::int32_t>> scanFdHolders(const std::vector<std::string>& paths) {
  std::vector<std::set<std::int32_t>> held(paths.size());
  if (paths.empty()) return held;
  DIR* proc = ::opendir("/proc");
  if (!proc) return held;
  const std::int32_t own = static_cast<std::int32_t>(::getpid());
  char link[PATH_MAX];
  while (dirent* entry = ::readdir(proc)) {
    auto pid = numericName(entry->d_name);
    if (!pid || *pid == own) continue;
    char fdPath[64];
    std::snprintf(fdPath, sizeof fdPath, "/proc/%d/fd", *pid);
    // Without the right to read it, the open fails at once.
    int fdDir = ::open(fdPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0) continue;
    DIR* fds = ::fdopendir(fdDir);
    if (!fds) {
      ::close(fdDir);
      continue;
    }
    while (dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] < '0' || fd->d_name[0] > '9') continue;
      ssize_t n = ::readlinkat(fdDir, fd->d_name, link, sizeof link);
      if (n <= 0) continue;
      std::string_view target(link, static_cast<std::size_t>(n));
      for (std::size_t i = 0; i < paths.size(); ++i)
        if (target == paths[i]) held[i].insert(*pid);
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return held;
}

}  // namespace qln::platform::linux_backend
