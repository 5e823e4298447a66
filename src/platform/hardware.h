// The audio and video hardware object model: objects with 32-bit ids (the
// system object is 1) whose properties are read by address and watched by
// listeners, the property addresses, four-character codes and the helpers
// every reader shares.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qln::platform {

constexpr std::uint32_t fourCC(const char (&s)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[3]));
}

struct PropertyAddress {
  std::uint32_t selector;
  std::uint32_t scope;
  std::uint32_t element;
  bool operator==(const PropertyAddress&) const = default;
};

constexpr std::uint32_t kScopeGlobal = fourCC("glob");
constexpr std::uint32_t kScopeInput = fourCC("inpt");
constexpr std::uint32_t kScopeWildcard = fourCC("****");
constexpr std::uint32_t kSelectorWildcard = fourCC("****");
constexpr std::uint32_t kElementMain = 0;
constexpr std::uint32_t kElementWildcard = 0xFFFFFFFFu;
constexpr std::uint32_t kSystemObject = 1;

// Selectors of the system's own model.
constexpr std::uint32_t kSelectorDevices = fourCC("dev#");
constexpr std::uint32_t kSelectorStreamConfiguration = fourCC("slay");
constexpr std::uint32_t kSelectorIsRunningSomewhere = fourCC("gone");
constexpr std::uint32_t kSelectorName = fourCC("lnam");

constexpr PropertyAddress audioAddress(std::uint32_t selector, std::uint32_t scope = kScopeGlobal,
                                       std::uint32_t element = kElementMain) {
  return {selector, scope, element};
}
constexpr PropertyAddress cmioAddress(std::uint32_t selector, std::uint32_t scope = kScopeGlobal,
                                      std::uint32_t element = kElementMain) {
  return {selector, scope, element};
}

// Whether a listener registered at `watched` hears a change of `changed`:
// each part is equal or a wildcard on either side.
constexpr bool addressMatches(const PropertyAddress& watched, const PropertyAddress& changed) {
  auto part = [](std::uint32_t a, std::uint32_t b, std::uint32_t wildcard) {
    return a == b || a == wildcard || b == wildcard;
  };
  return part(watched.selector, changed.selector, kSelectorWildcard) &&
         part(watched.scope, changed.scope, kScopeWildcard) &&
         part(watched.element, changed.element, kElementWildcard);
}

// The program's own codes, set at start-up.
extern std::uint32_t kQLNProcessObjectList;      // 'prs#'
extern std::uint32_t kQLNProcessPID;             // 'ppid'
extern std::uint32_t kQLNProcessBundleID;        // 'pbid'
extern std::uint32_t kQLNProcessIsRunningInput;  // 'piri'
extern std::uint32_t kQLNTapFormat;              // 'tfmt'
extern std::int32_t kQLNUnsupportedOp;           // 'unop'

// Sets every code above but kQLNUnsupportedOp, which start-up sets later.
void initializeFourCharCodes();

using ObjectId = std::uint32_t;
using Status = std::int32_t;  // 0 = success

constexpr Status kStatusOK = 0;
// The failures a backend answers with; callers only tell 0 from the rest.
constexpr Status kStatusUnknownProperty = static_cast<Status>(fourCC("who?"));
constexpr Status kStatusBadObject = static_cast<Status>(fourCC("!obj"));
constexpr Status kStatusBadPropertySize = static_cast<Status>(fourCC("!siz"));

// The data layout of a stream configuration ('slay'), after the system's
// buffer list: a uint32 number of buffers, then one uint32 channel count per
// buffer, packed, in native byte order. Its size is 4 + 4 × buffers.
constexpr std::uint32_t streamConfigurationSize(std::uint32_t buffers) { return 4 + 4 * buffers; }

// One family of hardware objects (audio or video). Reads may come from any
// thread; listener blocks run on the main queue.
class HardwareObjects {
 public:
  virtual ~HardwareObjects() = default;

  // Byte size of the property's value. Non-zero status: the property is
  // absent (or the object is).
  virtual Status getPropertyDataSize(ObjectId object, const PropertyAddress& address,
                                     std::uint32_t& size) = 0;
  // Copies the value into `data`, which holds `size` bytes; on return `size`
  // is the number of bytes written. Non-zero status: no value.
  virtual Status getPropertyData(ObjectId object, const PropertyAddress& address,
                                 std::uint32_t& size, void* data) = 0;
  // A string-valued property ('lnam', 'pbid'): none when the read fails or
  // the value is null.
  virtual std::optional<std::string> getPropertyString(ObjectId object,
                                                       const PropertyAddress& address) = 0;
  // `block` runs on the main queue after each change of a matching property
  // (addressMatches). Listeners are never removed, so a block must hold its
  // owner weakly and do nothing once the owner is gone.
  virtual void addPropertyListener(ObjectId object, const PropertyAddress& address,
                                   std::function<void()> block) = 0;
};

// Defined by the backend the binary links.
HardwareObjects& audioObjects();
HardwareObjects& videoObjects();

// The one reading of an id array ('dev#', 'prs#'): a failed or zero size
// query gives an empty list; otherwise size / 4 zeroed ids are read, and a
// failed data read gives an empty list.
std::vector<ObjectId> readObjectIdArray(HardwareObjects& objects, ObjectId object,
                                        const PropertyAddress& address);

// A 4-byte unsigned value ('gone', 'piri'); none when the read fails.
std::optional<std::uint32_t> readUInt32(HardwareObjects& objects, ObjectId object,
                                        const PropertyAddress& address);

// A 4-byte signed value read over `preset` ('ppid' uses -1); none when the
// read fails.
std::optional<std::int32_t> readInt32(HardwareObjects& objects, ObjectId object,
                                      const PropertyAddress& address, std::int32_t preset);

// Total channels of a stream configuration ('slay'): the sum of every
// buffer's channel count, read into a buffer of exactly the queried size. A
// failed or zero size query, a failed read or a malformed value give 0.
std::uint64_t readChannelTotal(HardwareObjects& objects, ObjectId object,
                               const PropertyAddress& address);

}  // namespace qln::platform
