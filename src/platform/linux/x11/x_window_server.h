// The window server on X11: the top-level windows of the screen and the
// monitors XRandR reports, in the shape the window-list mode reads.
//
// With a window manager (one that keeps the EWMH client list on the root
// window) the windows are its managed clients, not their frames; without
// one they are the root's children. A window's number is its X id, its
// owner the _NET_WM_PID its client set, its alpha _NET_WM_WINDOW_OPACITY.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/window_server.h"

namespace qln::platform::linux_backend::x11 {

class XWindowServer final : public WindowServer {
 public:
  std::optional<nlohmann::json> copyWindowList() override;
  std::optional<std::uint32_t> displayWithPoint(double x, double y) override;

 private:
  // The EWMH atoms the list reads; none where no client ever named one.
  struct Atoms {
    std::optional<Atom> clientListStacking, clientList, pid, opacity;
  };
  // One window's dictionary; none when it is gone by the time it is asked.
  std::optional<nlohmann::json> describe(Display* display, const Atoms& atoms, Window root, Window window);
};

}  // namespace qln::platform::linux_backend::x11
