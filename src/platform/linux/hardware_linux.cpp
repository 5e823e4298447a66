// The product's hardware object model, for now an empty one: no audio or
// video device, and no audio process object list, so every watcher reports
// idle and the process watcher reports the list unsupported. The PulseAudio
// (sources, source outputs and their clients) and V4L2 (capture nodes and
// their holders) object models come with the Linux backend issues.
#include "platform/hardware.h"

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
  static auto* o = new EmptyObjects;
  return *o;
}

HardwareObjects& videoObjects() {
  static auto* o = new EmptyObjects;
  return *o;
}

}  // namespace qln::platform
