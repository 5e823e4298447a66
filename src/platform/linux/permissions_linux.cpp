// Camera and microphone authorization on Linux, where access is the
// device's or the sound server's own file permission: granted when the
// device class can be opened, denied when the system refuses this user,
// not determined when there is nothing to ask. The sound server is asked
// by connecting to its native socket, without loading its client library.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>

#include "platform/linux/v4l2_nodes.h"
#include "platform/permissions.h"

namespace qln::platform {
namespace {

using linux_backend::NodeKind;

CaptureAuthorization fromOpenError(int error) {
  if (error == 0) return CaptureAuthorization::authorized;
  if (error == EACCES || error == EPERM) return CaptureAuthorization::denied;
  return CaptureAuthorization::notDetermined;
}

CaptureAuthorization cameraAuthorization() {
  bool refused = false;
  for (const auto& path : linux_backend::videoNodePaths(linux_backend::kDeviceFolder)) {
    auto probe = linux_backend::probeNode(path);
    if (probe.kind == NodeKind::capture) return CaptureAuthorization::authorized;
    refused = refused || probe.kind == NodeKind::refused;
  }
  return refused ? CaptureAuthorization::denied : CaptureAuthorization::notDetermined;
}

std::optional<std::string> soundServerSocketPath() {
  // The server list names servers by spaces; the first local socket is the
  // one a client would reach, "{machine-id}" prefixes aside.
  if (const char* servers = std::getenv("PULSE_SERVER")) {
    std::istringstream words(servers);
    std::string word;
    while (words >> word) {
      if (word.front() == '{') {
        auto close = word.find('}');
        if (close == std::string::npos) continue;
        word.erase(0, close + 1);
      }
      if (word.rfind("unix:", 0) == 0) word.erase(0, 5);
      if (!word.empty() && word.front() == '/') return word;
    }
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return std::nullopt;
  return std::string(runtime) + "/pulse/native";
}

int connectUnixSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int error = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

CaptureAuthorization microphoneAuthorization() {
  auto path = soundServerSocketPath();
  return path ? fromOpenError(connectUnixSocket(*path)) : CaptureAuthorization::notDetermined;
}

class LinuxCapturePermissions final : public CapturePermissions {
 public:
  CaptureAuthorization authorizationStatus(CaptureMediaType mediaType) override {
    return mediaType == CaptureMediaType::video ? cameraAuthorization() : microphoneAuthorization();
  }
};

}  // namespace

CapturePermissions& capturePermissions() {
  static auto* p = new LinuxCapturePermissions;
  return *p;
}

}  // namespace qln::platform
