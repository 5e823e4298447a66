#include "platform/linux/x11/x_display.h"

#include <X11/Xatom.h>

namespace qln::platform::linux_backend::x11 {
namespace {

// A request on a window that has just gone fails with BadWindow (or
// BadDrawable, BadMatch); the request's own return value already says so,
// and the caller skips that window.
int ignoreError(Display*, XErrorEvent*) { return 0; }

}  // namespace

Display* XDisplay::shared() {
  static Display* const display = [] {
    Display* d = XOpenDisplay(nullptr);
    if (d) XSetErrorHandler(ignoreError);
    return d;
  }();
  return display;
}

std::optional<std::vector<unsigned long>> XDisplay::cardinals(Display* display, Window window, Atom property) {
  std::vector<unsigned long> items;
  long offset = 0;  // in 32-bit units
  for (;;) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, bytesAfter = 0;
    unsigned char* data = nullptr;
    // Xlib hands 32-bit items back as longs, whatever the width of long.
    int status = XGetWindowProperty(display, window, property, offset, 1024, False, AnyPropertyType, &type, &format,
                                    &count, &bytesAfter, &data);
    if (status != Success) return std::nullopt;
    const bool usable = type != None && format == 32;
    if (usable) {
      const auto* values = reinterpret_cast<const unsigned long*>(data);
      items.insert(items.end(), values, values + count);
    }
    if (data) XFree(data);
    if (!usable) return std::nullopt;
    if (bytesAfter == 0) return items;
    offset += static_cast<long>(count);
  }
}

std::optional<unsigned long> XDisplay::cardinal(Display* display, Window window, Atom property) {
  auto items = cardinals(display, window, property);
  if (!items || items->empty()) return std::nullopt;
  return items->front();
}

}  // namespace qln::platform::linux_backend::x11
