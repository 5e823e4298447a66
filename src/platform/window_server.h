// The window server and its displays.
#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace qln::platform {

class WindowServer {
 public:
  virtual ~WindowServer() = default;
  // Every window, on screen or not, front to back, as loosely typed
  // dictionaries with the keys kCGWindowNumber, kCGWindowOwnerPID,
  // kCGWindowAlpha, kCGWindowIsOnscreen and kCGWindowBounds {X,Y,Width,Height}.
  // A key may be missing or of another type; the reader decides.
  // None when there is no window server to ask.
  virtual std::optional<nlohmann::json> copyWindowList() = 0;
  // The display containing the point, if any.
  virtual std::optional<std::uint32_t> displayWithPoint(double x, double y) = 0;
};

WindowServer& windowServer();

}  // namespace qln::platform
