// The hardware object model of the sound server: the system object lists
// sinks and non-monitor sources as audio devices ('dev#') and the clients
// that play or record as process objects ('prs#'). Reads answer from the
// server's last known state without waiting for the server.
#pragma once

#include "platform/hardware.h"
#include "platform/linux/audio/sound_server.h"

namespace qln::platform::linux_backend::pulse {

class PulseObjects final : public HardwareObjects {
 public:
  explicit PulseObjects(SoundServer& server) : server_(server) {}

  Status getPropertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t& size) override;
  Status getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t& size,
                         void* data) override;
  std::optional<std::string> getPropertyString(ObjectId object, const PropertyAddress& address) override;
  void addPropertyListener(ObjectId object, const PropertyAddress& address, std::function<void()> block) override;

 private:
  SoundServer& server_;
};

}  // namespace qln::platform::linux_backend::pulse
