// A private X server for tests on the real window backend: Xvfb on a display
// number it picks itself among the free ones, reachable only through its
// local socket, with no window manager and one screen.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "process_runner.h"

namespace qln::testing {

class XServer {
 public:
  XServer();
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  // Whether Xvfb is installed here (else the test skips).
  static bool installed();
  // Whether the server said which display it serves.
  bool ok() const { return ok_; }
  std::string why() const { return why_; }

  // ":N", for XOpenDisplay and $DISPLAY.
  const std::string& display() const { return display_; }
  // The environment a client needs to reach this server and no other.
  std::map<std::string, std::optional<std::string>> env() const;
  // The server ends; its display number is then free again.
  void stop();

  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 800;

 private:
  std::unique_ptr<RunningProcess> server_;
  std::string display_;
  bool ok_ = false;
  std::string why_;
};

}  // namespace qln::testing
