// One property's value as an object model looks it up, and its reading out
// in the layouts the hardware object interface promises. Every backend's
// model answers size and data reads through it, so that they agree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/hardware.h"

namespace qln::platform {

struct PropertyValue {
  enum class Kind { none, ids, word, configuration, string } kind = Kind::none;
  // The answer when there is no value (kind none).
  Status status = kStatusUnknownProperty;
  std::vector<ObjectId> ids;
  std::uint32_t word = 0;
  std::vector<std::uint32_t> buffers;  // channels per buffer of a stream configuration
  std::optional<std::string> text;

  // Strings are read only through stringValue().
  Status dataSize(std::uint32_t& size) const;
  // An id list gives as many whole ids as `size` holds (the list may have
  // grown since the size query); a word or a configuration needs its whole
  // size.
  Status copyData(std::uint32_t& size, void* data) const;
  std::optional<std::string> stringValue() const;
};

}  // namespace qln::platform
