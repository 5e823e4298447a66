// Input device selection: the host names a microphone as the user saw it,
// and the lookup forgives case and surrounding whitespace. An exact name
// wins; otherwise the first device whose name contains the wanted one, or
// is contained in it. Only devices with input channels count.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/hardware.h"

namespace qln {

// The input device to pin for `named`; none for a blank name, an unreadable
// device list or no match. Keeps no state between calls.
std::optional<platform::ObjectId> qlnInputDeviceID(std::string_view named);

// The device's name ('lnam'); none when the read fails or yields null.
std::optional<std::string> qlnDeviceName(platform::ObjectId device);

// Whether the device's input stream configuration holds any channel.
bool qlnDeviceHasInput(platform::ObjectId device);

}  // namespace qln
