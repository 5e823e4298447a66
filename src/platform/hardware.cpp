#include "platform/hardware.h"

#include <cstring>

namespace qln::platform {

std::uint32_t kQLNProcessObjectList = 0;
std::uint32_t kQLNProcessPID = 0;
std::uint32_t kQLNProcessBundleID = 0;
std::uint32_t kQLNProcessIsRunningInput = 0;
std::uint32_t kQLNTapFormat = 0;
std::int32_t kQLNUnsupportedOp = 0;  // set at its own step of start-up

void initializeFourCharCodes() {
  kQLNProcessObjectList = fourCC("prs#");
  kQLNProcessPID = fourCC("ppid");
  kQLNProcessBundleID = fourCC("pbid");
  kQLNProcessIsRunningInput = fourCC("piri");
  kQLNTapFormat = fourCC("tfmt");
}

std::vector<ObjectId> readObjectIdArray(HardwareObjects& objects, ObjectId object,
                                        const PropertyAddress& address) {
  std::uint32_t size = 0;
  if (objects.getPropertyDataSize(object, address, size) != kStatusOK || size == 0) return {};
  std::vector<ObjectId> ids(size / sizeof(ObjectId), 0);
  if (ids.empty()) return {};
  std::uint32_t bytes = static_cast<std::uint32_t>(ids.size() * sizeof(ObjectId));
  if (objects.getPropertyData(object, address, bytes, ids.data()) != kStatusOK) return {};
  return ids;
}

std::optional<std::uint32_t> readUInt32(HardwareObjects& objects, ObjectId object,
                                        const PropertyAddress& address) {
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  if (objects.getPropertyData(object, address, size, &value) != kStatusOK) return std::nullopt;
  return value;
}

std::optional<std::int32_t> readInt32(HardwareObjects& objects, ObjectId object,
                                      const PropertyAddress& address, std::int32_t preset) {
  std::int32_t value = preset;
  std::uint32_t size = sizeof value;
  if (objects.getPropertyData(object, address, size, &value) != kStatusOK) return std::nullopt;
  return value;
}

std::uint64_t readChannelTotal(HardwareObjects& objects, ObjectId object,
                               const PropertyAddress& address) {
  std::uint32_t size = 0;
  if (objects.getPropertyDataSize(object, address, size) != kStatusOK || size == 0) return 0;
  std::vector<std::byte> data(size);
  if (objects.getPropertyData(object, address, size, data.data()) != kStatusOK) return 0;
  if (size < 4 || size > data.size()) return 0;
  std::uint32_t buffers = 0;
  std::memcpy(&buffers, data.data(), 4);
  // A count the bytes cannot hold is malformed; read no channel from it.
  if (buffers > (size - 4) / 4) return 0;
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < buffers; ++i) {
    std::uint32_t channels = 0;
    std::memcpy(&channels, data.data() + 4 + 4 * static_cast<std::size_t>(i), 4);
    total += channels;
  }
  return total;
}

}  // namespace qln::platform
