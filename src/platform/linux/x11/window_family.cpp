// libqln-x11.so: Xlib and XRandR behind the window server seam.
#include "platform/linux/families.h"
#include "platform/linux/x11/x_window_server.h"

namespace qln::platform::linux_backend {
namespace {

class XWindowFamily final : public WindowFamily {
 public:
  WindowServer& windowServer() override { return server_; }

 private:
  x11::XWindowServer server_;
};

}  // namespace
}  // namespace qln::platform::linux_backend

// Always made: whether a display can be reached is the window server's to
// find out, when it is asked.
extern "C" __attribute__((visibility("default"))) qln::platform::linux_backend::WindowFamily* qln_window_family() {
  static auto* family = new qln::platform::linux_backend::XWindowFamily;
  return family;
}
