// Camera and capture-device authorization on Linux. The V4L2 camera (open
// the first capture node and stream from it) comes in a later change; until
// then there is no default video device. Linux has no per-application
// camera or microphone permission, so nothing has been decided.
#include "platform/capture_device.h"
#include "platform/permissions.h"

namespace qln::platform {
namespace {

class NoCapturePermissions final : public CapturePermissions {
 public:
  CaptureAuthorization authorizationStatus(CaptureMediaType) override { return CaptureAuthorization::notDetermined; }
};

class NoCaptureDevices final : public CaptureDevices {
 public:
  CaptureDevicePtr defaultVideoDevice() override { return nullptr; }
  std::variant<CaptureDeviceInputPtr, CaptureInputError> makeInput(const CaptureDevicePtr&) override {
    return CaptureInputError{"no video capture device"};
  }
  CaptureSessionPtr makeSession() override { return nullptr; }
};

}  // namespace

CapturePermissions& capturePermissions() {
  static auto* p = new NoCapturePermissions;
  return *p;
}

CaptureDevices& captureDevices() {
  static auto* d = new NoCaptureDevices;
  return *d;
}

}  // namespace qln::platform
