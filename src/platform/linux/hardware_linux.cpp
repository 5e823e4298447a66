// The product's hardware object models: the sound server's from the audio
// family, else an empty one (no device, no audio process object list, so
// every watcher reports idle). The V4L2 video model is still the empty one.
#include "platform/hardware.h"
#include "platform/linux/families.h"

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

HardwareObjects& videoObjects() {
  static auto* o = new EmptyObjects;
  return *o;
}

}  // namespace qln::platform
