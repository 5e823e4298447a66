#include "platform/property_value.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace qln::platform {

Status PropertyValue::dataSize(std::uint32_t& size) const {
  switch (kind) {
    case Kind::ids:
      size = static_cast<std::uint32_t>(ids.size() * sizeof(ObjectId));
      return kStatusOK;
    case Kind::word:
      size = 4;
      return kStatusOK;
    case Kind::configuration:
      size = streamConfigurationSize(static_cast<std::uint32_t>(buffers.size()));
      return kStatusOK;
    case Kind::string:
      return kStatusUnknownProperty;
    case Kind::none:
      break;
  }
  return status;
}

Status PropertyValue::copyData(std::uint32_t& size, void* data) const {
  auto* out = static_cast<std::byte*>(data);
  switch (kind) {
    case Kind::ids: {
      std::size_t n = std::min<std::size_t>(ids.size(), size / sizeof(ObjectId));
      if (n > 0 && out == nullptr) return kStatusBadPropertySize;
      if (n > 0) std::memcpy(out, ids.data(), n * sizeof(ObjectId));
      size = static_cast<std::uint32_t>(n * sizeof(ObjectId));
      return kStatusOK;
    }
    case Kind::word:
      if (size < 4 || out == nullptr) return kStatusBadPropertySize;
      std::memcpy(out, &word, 4);
      size = 4;
      return kStatusOK;
    case Kind::configuration: {
      auto count = static_cast<std::uint32_t>(buffers.size());
      std::uint32_t need = streamConfigurationSize(count);
      if (size < need || out == nullptr) return kStatusBadPropertySize;
      std::memcpy(out, &count, 4);
      if (count > 0) std::memcpy(out + 4, buffers.data(), 4 * static_cast<std::size_t>(count));
      size = need;
      return kStatusOK;
    }
    case Kind::string:
      return kStatusUnknownProperty;
    case Kind::none:
      break;
  }
  return status;
}

std::optional<std::string> PropertyValue::stringValue() const {
  if (kind != Kind::string) return std::nullopt;
  return text;
}

}  // namespace qln::platform
