#include "commands/camera_hold.h"

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "output/output.h"
#include "platform/capture_device.h"
#include "process/exit.h"

namespace qln::commands {
namespace {

[[noreturn]] void fail(const std::string& message) {
  output::writeLine("{\"type\":\"error\",\"msg\":" + output::jsonQuoted(message) + "}");
  process::exitProcess(1);
}

// The hold between the start request and the end of the process. The poll
// timer holds it; it drops its own handle before it ends the process, so the
// two never keep each other alive.
struct CameraHold {
  platform::CaptureSessionPtr session;
  platform::CaptureDeviceInputPtr input;  // kept while the session runs it
  double seconds = 0;
  std::uint64_t deadlineNs = 0;
  dispatch::CancellablePtr poll;

  void stopPolling() {
    if (poll) poll->cancel();
    poll.reset();
  }

  void holding() {
    stopPolling();
    output::writeLine("{\"type\":\"holding\"}");
    auto release = [session = session, input = input] {
      session->stopRunning();
      output::writeLine("{\"type\":\"released\"}");
      process::exitProcess(0);
    };
    if (seconds == 0) release();
    if (!(seconds <= kCameraHoldForeverSeconds)) {
      // Held until the process is ended: the camera must outlive this object.
      static auto* forever = new std::vector<std::shared_ptr<void>>;
      forever->push_back(session);
      forever->push_back(input);
      return;
    }
    // Counted from the line, not from the start request.
    dispatch::current().asyncAfter(dispatch::mainQueue(), dispatch::secondsNs(seconds), release);
  }

  // One look at the session; true once it has been decided either way.
  bool check() {
    if (session->isRunning()) {
      holding();
      return true;
    }
    if (dispatch::nowNs() >= deadlineNs) {
      stopPolling();
      session->stopRunning();
      fail("session did not start running");
    }
    return false;
  }
};

}  // namespace

void startCameraHold(double seconds) {
  auto& devices = platform::captureDevices();
  auto device = devices.defaultVideoDevice();
  if (!device) fail("no default video device");
  auto session = devices.makeSession();
  auto made = devices.makeInput(device);
  if (auto* error = std::get_if<platform::CaptureInputError>(&made)) fail(error->localizedDescription);
  auto input = std::get<platform::CaptureDeviceInputPtr>(made);
  if (!session || !input || !session->canAddInput(input)) fail("cannot add camera input");
  session->addInput(input);
  session->startRunning();

  auto hold = std::make_shared<CameraHold>();
  hold->session = session;
  hold->input = input;
  hold->seconds = seconds;
  hold->deadlineNs = dispatch::nowNs() + kCameraStartDeadlineNs;
  if (hold->check()) return;
  hold->poll = dispatch::current().makeTimer(dispatch::mainQueue(), kCameraStartPollNs, kCameraStartPollNs,
                                             [hold] {
                                               // The block may be released while it runs (check()
                                               // cancels this timer); the hold must not go with it.
                                               auto self = hold;
                                               self->check();
                                             });
}

void runCameraHold(double seconds) {
  startCameraHold(seconds);
  dispatch::current().runMain();
  process::exitProcess(0);
}

}  // namespace qln::commands
