#include "platform/linux/v4l2_nodes.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace qln::platform::linux_backend {
namespace {

// The character-device major number of video4linux.
constexpr unsigned kV4l2Major = 81;

}  // namespace

unsigned long videoNodeIndex(std::string_view name) {
  unsigned long index = 0;
  std::from_chars(name.data() + 5, name.data() + name.size(), index);
  return index;
}

bool isVideoNodeName(std::string_view name) {
  if (name.size() <= 5 || name.substr(0, 5) != "video") return false;
  return std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> videoNodePaths(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (isVideoNodeName(entry->d_name)) names.emplace_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return videoNodeIndex(a) < videoNodeIndex(b);
  });
  for (auto& name : names) name = folder + "/" + name;
  return names;
}

NodeProbe probeNode(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) return {NodeKind::refused, error};
    return {NodeKind::absent, error};
  }
  v4l2_capability cap{};
  NodeKind kind = NodeKind::other;
  if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
    // A driver with several nodes says per node what this one does.
    const auto caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) kind = NodeKind::capture;
  }
  ::close(fd);
  return {kind, 0};
}

bool isCameraNode(const std::string& path) {
  auto probe = probeNode(path);
  if (probe.kind == NodeKind::capture) return true;
  if (probe.kind != NodeKind::refused) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && ::major(st.st_rdev) == kV4l2Major;
}

}  // namespace qln::platform::linux_backend
