// The product binary's window-list mode on a real X server that each test
// starts privately (Xvfb). The test is an X client of its own: it makes the
// windows, sets the properties a client and a window manager would, and
// then asks the helper about them.
#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool, Status) would break its headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "binaries.h"
#include "process_runner.h"
#include "x_server.h"

namespace {

using namespace qln::testing;

const std::string kNotFound = "{\"type\":\"windowList\",\"found\":false}\n";

// The found line, the numbers given as the helper should print them.
std::string foundLine(bool onscreen, const std::string& alpha, const std::string& bounds, std::uint32_t display) {
  return std::string("{\"type\":\"windowList\",\"found\":true,\"onscreen\":") + (onscreen ? "true" : "false") +
         ",\"alpha\":" + alpha + ",\"bounds\":" + bounds + ",\"display\":" + std::to_string(display) + "}\n";
}

struct WindowSpec {
  int x = 0, y = 0;
  unsigned int w = 10, h = 10;
  std::optional<unsigned long> pid;
  std::optional<unsigned long> opacity;
  bool mapped = true;
  Window parent = None;  // None: a top-level window
};

// The test's own connection: the windows it makes live as long as it does.
class XClient {
 public:
  explicit XClient(const std::string& display) : d_(XOpenDisplay(display.c_str())) {}
  ~XClient() {
    if (d_) XCloseDisplay(d_);
  }
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  bool ok() const { return d_ != nullptr; }
  Display* display() const { return d_; }
  Window root() const { return DefaultRootWindow(d_); }
  Atom atom(const char* name) const { return XInternAtom(d_, name, False); }

  Window make(const WindowSpec& s) {
    Window w = XCreateSimpleWindow(d_, s.parent == None ? root() : s.parent, s.x, s.y, s.w, s.h, 0, 0, 0);
    if (s.pid) setCardinals(w, "_NET_WM_PID", XA_CARDINAL, {*s.pid});
    if (s.opacity) setCardinals(w, "_NET_WM_WINDOW_OPACITY", XA_CARDINAL, {*s.opacity});
    if (s.mapped) XMapWindow(d_, w);
    XSync(d_, False);
    return w;
  }

  // A window that existed and is gone: its number names nothing any more.
  Window gone() {
    Window w = make({});
    XDestroyWindow(d_, w);
    XSync(d_, False);
    return w;
  }

  // What a window manager publishes on the root window.
  void setClientList(const char* property, const std::vector<Window>& bottomToTop) {
    setCardinals(root(), property, XA_WINDOW, {bottomToTop.begin(), bottomToTop.end()});
    XSync(d_, False);
  }
  void removeClientList(const char* property) {
    XDeleteProperty(d_, root(), atom(property));
    XSync(d_, False);
  }

  // The screen's one output, as XRandR names it.
  std::uint32_t firstOutput() {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d_, root(), True, &count);
    RROutput output = (monitors && count > 0 && monitors[0].noutput > 0) ? monitors[0].outputs[0] : None;
    if (monitors) XRRFreeMonitors(monitors);
    return static_cast<std::uint32_t>(output);
  }

  // A monitor on a part of the screen, made of the given outputs.
  void setMonitor(const char* name, int x, int y, int w, int h, const std::vector<std::uint32_t>& outputs) {
    XRRMonitorInfo* m = XRRAllocateMonitor(d_, static_cast<int>(outputs.size()));
    m->name = atom(name);
    m->x = x;
    m->y = y;
    m->width = w;
    m->height = h;
    m->mwidth = w / 4;
    m->mheight = h / 4;
    for (std::size_t i = 0; i < outputs.size(); ++i) m->outputs[i] = outputs[i];
    XRRSetMonitor(d_, root(), m);
    XRRFreeMonitors(m);
    XSync(d_, False);
  }

 private:
  void setCardinals(Window w, const char* property, Atom type, const std::vector<unsigned long>& values) {
    XChangeProperty(d_, w, atom(property), type, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
  }

  Display* d_;
};

ProcessResult windowList(const std::string& binary, const std::map<std::string, std::optional<std::string>>& env,
                         const std::string& pid, Window window) {
  return runProcess({.args = {binary, "window-list", "--pid", pid, "--window", std::to_string(window)}, .env = env});
}

class WindowListX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XServer::installed()) GTEST_SKIP() << "Xvfb is not installed";
    server = std::make_unique<XServer>();
    ASSERT_TRUE(server->ok()) << server->why();
    client = std::make_unique<XClient>(server->display());
    ASSERT_TRUE(client->ok()) << "cannot reach " << server->display();
  }

  struct Case {
    const char* name;
    std::string pid;
    Window window;
    std::string line;
  };

  void expectLines(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
      auto r = windowList(kHelper, server->env(), c.pid, c.window);
      EXPECT_EQ(r.status, 0) << c.name;
      EXPECT_EQ(r.out, c.line) << c.name;
      EXPECT_EQ(r.err, "") << c.name;
    }
  }

  std::unique_ptr<XServer> server;
  std::unique_ptr<XClient> client;
};

// No window manager: the windows are the root's children.
TEST_F(WindowListX11Test, TopLevelWindowsWithoutWindowManager) {
  const std::uint32_t output = client->firstOutput();
  ASSERT_NE(output, 0u);
  const Window half = client->make({.x = 10, .y = 20, .w = 300, .h = 200, .pid = 4242, .opacity = 0x80000000ul});
  const Window ownerless = client->make({.x = 1200, .y = 700, .w = 60, .h = 40});
  const Window hidden = client->make({.x = 50, .y = 60, .w = 40, .h = 30, .pid = 4242, .opacity = 0, .mapped = false});
  const Window offScreen = client->make({.x = -5000, .y = 0, .w = 100, .h = 100, .pid = 7});
  const Window gone = client->gone();
  const std::string halfLine = foundLine(true, "0.5000000001164153", R"({"x":10.0,"y":20.0,"w":300.0,"h":200.0})", output);

  expectLines({
      {"owner's window", "4242", half, halfLine},
      {"any owner", "0", half, halfLine},
      {"negative pid: any owner", "-1", half, halfLine},
      {"another process's window", "4243", half, kNotFound},
      {"no pid on the window: any owner", "999", ownerless,
       foundLine(true, "1.0", R"({"x":1200.0,"y":700.0,"w":60.0,"h":40.0})", output)},
      {"unmapped, transparent", "4242", hidden,
       foundLine(false, "0.0", R"({"x":50.0,"y":60.0,"w":40.0,"h":30.0})", output)},
      {"centre on no monitor", "7", offScreen,
       foundLine(true, "1.0", R"({"x":-5000.0,"y":0.0,"w":100.0,"h":100.0})", 0)},
      {"destroyed window", "0", gone, kNotFound},
      {"the root is no window of an application", "0", client->root(), kNotFound},
  });
}

// With a window manager: its clients, reparented into frames, are the list;
// the frames and windows it does not manage are not.
TEST_F(WindowListX11Test, ManagedClientsOfAWindowManager) {
  const std::uint32_t output = client->firstOutput();
  const Window frame = client->make({.x = 100, .y = 100, .w = 400, .h = 300});
  const Window managed = client->make({.x = 5, .y = 25, .w = 200, .h = 100, .pid = 4242, .parent = frame});
  const Window hiddenFrame = client->make({.x = 600, .y = 100, .w = 100, .h = 100, .mapped = false});
  const Window minimised = client->make({.x = 2, .y = 3, .w = 50, .h = 50, .pid = 4242, .parent = hiddenFrame});
  const Window unmanaged = client->make({.x = 0, .y = 0, .w = 20, .h = 20, .pid = 4242});
  // The manager's list may still name a client that has just gone.
  const Window gone = client->gone();
  const std::string managedLine =
      foundLine(true, "1.0", R"({"x":105.0,"y":125.0,"w":200.0,"h":100.0})", output);

  for (const char* property : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"}) {
    SCOPED_TRACE(property);
    client->setClientList(property, {managed, gone, minimised});
    expectLines({
        {"client in root coordinates", "4242", managed, managedLine},
        {"client of an unmapped frame", "4242", minimised,
         foundLine(false, "1.0", R"({"x":602.0,"y":103.0,"w":50.0,"h":50.0})", output)},
        {"frame", "0", frame, kNotFound},
        {"window not managed", "4242", unmanaged, kNotFound},
        {"listed but gone", "0", gone, kNotFound},
    });
    client->removeClientList(property);
  }
}

// Two monitors side by side on the one screen: the display under the
// window's centre. A monitor made of no output is known by its name.
TEST_F(WindowListX11Test, DisplayUnderTheCentre) {
  const std::uint32_t output = client->firstOutput();
  client->setMonitor("QLN-LEFT", 0, 0, XServer::kWidth / 2, XServer::kHeight, {output});
  client->setMonitor("QLN-RIGHT", XServer::kWidth / 2, 0, XServer::kWidth / 2, XServer::kHeight, {});
  const auto right = static_cast<std::uint32_t>(client->atom("QLN-RIGHT"));
  const Window leftMostly = client->make({.x = 500, .y = 10, .w = 200, .h = 50});
  const Window rightMostly = client->make({.x = 600, .y = 10, .w = 200, .h = 50});
  const Window onTheEdge = client->make({.x = 630, .y = 10, .w = 20, .h = 50});

  expectLines({
      {"centre on the left", "0", leftMostly, foundLine(true, "1.0", R"({"x":500.0,"y":10.0,"w":200.0,"h":50.0})", output)},
      {"centre on the right", "0", rightMostly,
       foundLine(true, "1.0", R"({"x":600.0,"y":10.0,"w":200.0,"h":50.0})", right)},
      {"centre on the boundary belongs to the right", "0", onTheEdge,
       foundLine(true, "1.0", R"({"x":630.0,"y":10.0,"w":20.0,"h":50.0})", right)},
  });
}

// No X server to ask, or no X library to ask it with: not found, and still
// status 0 with nothing on standard error.
TEST_F(WindowListX11Test, NoWindowServer) {
  const Window window = client->make({.x = 10, .y = 10, .w = 100, .h = 100, .pid = 4242});
  XServer stopped;
  ASSERT_TRUE(stopped.ok()) << stopped.why();
  const std::string stoppedDisplay = stopped.display();
  stopped.stop();

  struct NoServerCase {
    const char* name;
    std::string binary;
    std::map<std::string, std::optional<std::string>> env;
  } cases[] = {
      {"empty DISPLAY", kHelper, {{"DISPLAY", ""}}},
      {"display of a server that has ended", kHelper, {{"DISPLAY", stoppedDisplay}}},
      {"live display, no X family beside the binary", aloneCopyOf(kHelper), server->env()},
  };
  // The same window is there to be found when everything is in place.
  auto control = windowList(kHelper, server->env(), "4242", window);
  ASSERT_NE(control.out, kNotFound);
  for (const auto& c : cases) {
    auto r = windowList(c.binary, c.env, "4242", window);
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.out, kNotFound) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
  }
}

}  // namespace
