// The product's hardware object models: the sound server's from the audio
// family, else an empty one (no device, no audio process object list, so
// every watcher reports idle); the V4L2 cameras of /dev, which also tell
// the camera client watcher who holds a camera.
#include <memory>

#include "platform/camera_clients.h"
#include "platform/hardware.h"
#include "platform/linux/families.h"
#include "platform/linux/video_objects_linux.h"

namespace qln::platform {
namespace {

class EmptyObjects final : public HardwareObjects {
 public:
  Status getPropertyDataSize(ObjectId object, const PropertyAddress& address,
                             std::uint32_t& size) override {
    if (object == kSystemObject && address.selector == kSelectorDevices) {
      size = 0;
      return kStatusOK;
    }
    return object == kSystemObject ? kStatusUnknownProperty : kStatusBadObject;
  }
  Status getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t& size,
                         void*) override {
    if (object == kSystemObject && address.selector == kSelectorDevices) {
      size = 0;
      return kStatusOK;
    }
    return object == kSystemObject ? kStatusUnknownProperty : kStatusBadObject;
  }
  std::optional<std::string> getPropertyString(ObjectId, const PropertyAddress&) override {
    return std::nullopt;
  }
  // Nothing ever changes, so a listener is never called.
  void addPropertyListener(ObjectId, const PropertyAddress&, std::function<void()>) override {}
};

}  // namespace

HardwareObjects& audioObjects() {
  if (auto* family = linux_backend::audioFamily()) return family->audioObjects();
  static auto* o = new EmptyObjects;
  return *o;
}

namespace {

// Made on first use (only usage-watch asks), alive for the rest of the
// process with its inotify thread.
const std::shared_ptr<linux_backend::V4l2VideoObjects>& systemVideo() {
  static auto* video = new std::shared_ptr<linux_backend::V4l2VideoObjects>(
      std::make_shared<linux_backend::V4l2VideoObjects>());
  return *video;
}

}  // namespace

HardwareObjects& videoObjects() { return *systemVideo(); }

// This system has no log tool that names camera clients; the processes
// holding a camera node are the clients.
CameraClientSource cameraClientSource() { return systemVideo(); }

}  // namespace qln::platform
