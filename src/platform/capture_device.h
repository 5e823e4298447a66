// The camera as a capture input: the default video device, an input made
// from it, and a session that runs the input. No frames are read here.
#pragma once

#include <memory>
#include <string>
#include <variant>

namespace qln::platform {

class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
};
using CaptureDevicePtr = std::shared_ptr<CaptureDevice>;

class CaptureDeviceInput {
 public:
  virtual ~CaptureDeviceInput() = default;
};
using CaptureDeviceInputPtr = std::shared_ptr<CaptureDeviceInput>;

// The platform's localized description of why an input could not be made
// (a missing camera permission arrives this way).
struct CaptureInputError {
  std::string localizedDescription;
};

class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual bool canAddInput(const CaptureDeviceInputPtr& input) = 0;
  virtual void addInput(const CaptureDeviceInputPtr& input) = 0;
  // Asks the session to start; it may report running only later.
  virtual void startRunning() = 0;
  virtual bool isRunning() = 0;
  virtual void stopRunning() = 0;
};
using CaptureSessionPtr = std::shared_ptr<CaptureSession>;

class CaptureDevices {
 public:
  virtual ~CaptureDevices() = default;
  // None on a machine without a camera.
  virtual CaptureDevicePtr defaultVideoDevice() = 0;
  virtual std::variant<CaptureDeviceInputPtr, CaptureInputError> makeInput(const CaptureDevicePtr& device) = 0;
  virtual CaptureSessionPtr makeSession() = 0;
};

CaptureDevices& captureDevices();

}  // namespace qln::platform
