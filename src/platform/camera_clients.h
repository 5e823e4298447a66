// Where this system tells which processes hold a camera: either a system
// log tool whose camera-service lines name each client connection, or a
// table of the processes that hold a camera device open, read afresh on
// request. The camera client watcher feeds its one client table from
// whichever the backend offers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace qln::platform {

// Processes holding a camera device open.
class CameraHolders {
 public:
  virtual ~CameraHolders() = default;
  // The distinct ids of the processes that hold a camera open now,
  // ascending; this process is never among them.
  virtual std::vector<std::int32_t> holders() = 0;
  // `changed` runs on a thread of the platform after each event that may
  // have changed the holders (a camera opened, closed, added or removed).
  // Never removed, so it must hold its owner weakly.
  virtual void addHoldersListener(std::function<void()> changed) = 0;
};

// The system log tool to run as a child process.
struct SystemLogTool {
  std::string path;
};

using CameraClientSource = std::variant<SystemLogTool, std::shared_ptr<CameraHolders>>;

// Defined by the backend the binary links.
CameraClientSource cameraClientSource();

}  // namespace qln::platform
