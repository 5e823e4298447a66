#include "platform/linux/x11/x_window_server.h"

#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <vector>

#include "platform/linux/x11/x_display.h"

namespace qln::platform::linux_backend::x11 {
namespace {

using nlohmann::json;

// Bottom to top, as X keeps them: the window manager's client list in
// stacking order (or, from one that keeps no such list, in mapping order,
// the closest there is), else the root's children.
std::vector<Window> bottomToTop(Display* display, Window root, std::optional<Atom> stacking,
                                std::optional<Atom> mapping) {
  for (auto atom : {stacking, mapping}) {
    if (!atom) continue;
    if (auto clients = XDisplay::cardinals(display, root, *atom))
      return std::vector<Window>(clients->begin(), clients->end());
  }
  Window rootReturn = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> windows;
  if (XQueryTree(display, root, &rootReturn, &parent, &children, &count)) windows.assign(children, children + count);
  if (children) XFree(children);
  return windows;
}

}  // namespace

std::optional<json> XWindowServer::copyWindowList() {
  Display* display = XDisplay::shared();
  if (!display) return std::nullopt;
  const Window root = DefaultRootWindow(display);
  const auto found = XDisplay::existingAtoms<4>(
      display, {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST", "_NET_WM_PID", "_NET_WM_WINDOW_OPACITY"});
  const Atoms atoms{found[0], found[1], found[2], found[3]};
  auto windows = bottomToTop(display, root, atoms.clientListStacking, atoms.clientList);
  std::reverse(windows.begin(), windows.end());
  json list = json::array();
  for (Window window : windows)
    if (auto entry = describe(display, atoms, root, window)) list.push_back(std::move(*entry));
  return list;
}

std::optional<json> XWindowServer::describe(Display* display, const Atoms& atoms, Window root, Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes)) return std::nullopt;
  int x = 0, y = 0;
  Window child = None;
  if (!XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) return std::nullopt;

  json entry = {{"kCGWindowNumber", static_cast<std::uint64_t>(window)},
                {"kCGWindowIsOnscreen", attributes.map_state == IsViewable},
                {"kCGWindowBounds",
                 {{"X", double(x)}, {"Y", double(y)}, {"Width", double(attributes.width)},
                  {"Height", double(attributes.height)}}}};
  // Without a pid the window stays ownerless, and so matches any owner.
  if (atoms.pid)
    if (auto pid = XDisplay::cardinal(display, window, *atoms.pid))
      entry["kCGWindowOwnerPID"] = static_cast<std::uint64_t>(*pid & 0xFFFFFFFFul);
  // Opacity is a fraction of 0xFFFFFFFF; a window without one is opaque.
  double alpha = 1.0;
  if (atoms.opacity)
    if (auto opacity = XDisplay::cardinal(display, window, *atoms.opacity))
      alpha = double(*opacity & 0xFFFFFFFFul) / double(0xFFFFFFFFul);
  entry["kCGWindowAlpha"] = alpha;
  return entry;
}

// A monitor is known by its first output; one made up of no output (a
// monitor a client set on part of the screen) by its name's atom.
std::optional<std::uint32_t> XWindowServer::displayWithPoint(double x, double y) {
  Display* display = XDisplay::shared();
  if (!display) return std::nullopt;
  int eventBase = 0, errorBase = 0;
  if (!XRRQueryExtension(display, &eventBase, &errorBase)) return std::nullopt;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  if (!monitors) return std::nullopt;
  std::optional<std::uint32_t> found;
  for (int i = 0; i < count && !found; ++i) {
    const XRRMonitorInfo& m = monitors[i];
    if (x >= m.x && x < double(m.x) + m.width && y >= m.y && y < double(m.y) + m.height)
      found = static_cast<std::uint32_t>(m.noutput > 0 ? m.outputs[0] : m.name);
  }
  XRRFreeMonitors(monitors);
  return found;
}

}  // namespace qln::platform::linux_backend::x11
