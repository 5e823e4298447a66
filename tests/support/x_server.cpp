#include "x_server.h"

#include <signal.h>

#include <chrono>

namespace qln::testing {

bool XServer::installed() { return !programOnPath("Xvfb").empty(); }

XServer::XServer() {
  const std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
  // -displayfd: the server takes the first free display and writes its
  // number on our pipe once it accepts clients. -noreset: the last client
  // leaving (each helper run) must not wipe the windows and monitors the
  // test set up.
  server_ = std::make_unique<RunningProcess>(ProcessOptions{
      .args = {programOnPath("Xvfb"), "-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", screen}});
  if (!server_->waitForLines(1, std::chrono::milliseconds(20000))) {
    why_ = "Xvfb did not start: " + server_->errSoFar();
    stop();
    return;
  }
  std::string number = server_->outSoFar();
  number.erase(number.find('\n'));
  display_ = ":" + number;
  ok_ = true;
}

XServer::~XServer() { stop(); }

std::map<std::string, std::optional<std::string>> XServer::env() const {
  return {{"DISPLAY", display_}, {"XAUTHORITY", std::nullopt}};
}

void XServer::stop() {
  if (!server_) return;
  server_->signal(SIGTERM);
  server_->wait(std::chrono::milliseconds(10000));
  server_.reset();
}

}  // namespace qln::testing
