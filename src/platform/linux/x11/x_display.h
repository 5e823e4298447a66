// The family's one connection to the X server named by $DISPLAY, and the
// property reads the window list is made of. Every request that names a
// window another client owns may fail (the window can be destroyed at any
// moment): failures come back as an empty answer, never as the end of the
// process, which is what Xlib's own error handler would make of them.
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

namespace qln::platform::linux_backend::x11 {

class XDisplay {
 public:
  // The shared connection, opened on first use; null when no X server can be
  // reached. Opened once: a failure is not tried again.
  static Display* shared();

  // For each name, its atom if some client ever made it; none otherwise, so
  // that no window can carry the property and no atom needs creating. One
  // round trip for all of them.
  template <std::size_t N>
  static std::array<std::optional<Atom>, N> existingAtoms(Display* display, std::array<const char*, N> names) {
    std::array<Atom, N> atoms{};
    XInternAtoms(display, const_cast<char**>(names.data()), static_cast<int>(N), True, atoms.data());
    std::array<std::optional<Atom>, N> found;
    for (std::size_t i = 0; i < N; ++i)
      if (atoms[i] != None) found[i] = atoms[i];
    return found;
  }

  // A property of 32-bit items (CARDINAL, WINDOW): its items; none when the
  // window has no such property, it holds something else, or the window is
  // gone.
  static std::optional<std::vector<unsigned long>> cardinals(Display* display, Window window, Atom property);
  static std::optional<unsigned long> cardinal(Display* display, Window window, Atom property);
};

}  // namespace qln::platform::linux_backend::x11
