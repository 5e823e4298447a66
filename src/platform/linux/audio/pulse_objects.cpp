#include "platform/linux/audio/pulse_objects.h"

#include <cstring>
#include <vector>

namespace qln::platform::linux_backend::pulse {
namespace {

constexpr std::uint32_t kPiri = fourCC("piri");
constexpr std::uint32_t kPpid = fourCC("ppid");
constexpr std::uint32_t kPbid = fourCC("pbid");
constexpr std::uint32_t kPrs = fourCC("prs#");

// Properties answer at their own scope and main element, or at the wildcards.
bool at(const PropertyAddress& a, std::uint32_t scope) {
  return (a.scope == scope || a.scope == kScopeWildcard) &&
         (a.element == kElementMain || a.element == kElementWildcard);
}

// One property's value as the view holds it.
struct Value {
  enum class Kind { none, ids, word, configuration, string } kind = Kind::none;
  Status status = kStatusUnknownProperty;
  std::vector<ObjectId> ids;
  std::uint32_t word = 0;
  std::vector<std::uint32_t> buffers;  // channels per input buffer
  std::optional<std::string> text;
};

Value lookup(const View& v, ObjectId object, const PropertyAddress& a) {
  Value out;
  if (object == kSystemObject) {
    if (a.selector == kSelectorDevices && at(a, kScopeGlobal)) {
      out.kind = Value::Kind::ids;
      for (const auto& d : v.devices) out.ids.push_back(d.id);
    } else if (a.selector == kPrs && at(a, kScopeGlobal)) {
      out.kind = Value::Kind::ids;
      for (const auto& p : v.processes) out.ids.push_back(p.id);
    }
  } else if (const DeviceView* d = v.device(object)) {
    if (a.selector == kSelectorIsRunningSomewhere && at(a, kScopeGlobal)) {
      out.kind = Value::Kind::word;
      out.word = d->running ? 1 : 0;
    } else if (a.selector == kSelectorName && at(a, kScopeGlobal)) {
      out.kind = Value::Kind::string;
      out.text = d->name;
    } else if (a.selector == kSelectorStreamConfiguration && at(a, kScopeInput)) {
      out.kind = Value::Kind::configuration;
      if (d->inputChannels > 0) out.buffers.push_back(d->inputChannels);
    }
  } else if (const ProcessView* p = v.process(object)) {
    if (a.selector == kPiri && at(a, kScopeGlobal)) {
      out.kind = Value::Kind::word;
      out.word = p->runningInput ? 1 : 0;
    } else if (a.selector == kPpid && at(a, kScopeGlobal)) {
      out.kind = Value::Kind::word;
      out.word = static_cast<std::uint32_t>(p->pid);
    } else if (a.selector == kPbid && at(a, kScopeGlobal)) {
      out.kind = Value::Kind::string;
      out.text = p->bundleId;
    }
  } else {
    out.status = kStatusBadObject;
    return out;
  }
  out.status = out.kind == Value::Kind::none ? kStatusUnknownProperty : kStatusOK;
  return out;
}

}  // namespace

Status PulseObjects::getPropertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t& size) {
  server_.ensureStarted();
  Value v = server_.withView([&](const View& view) { return lookup(view, object, address); });
  switch (v.kind) {
    case Value::Kind::ids:
      size = static_cast<std::uint32_t>(v.ids.size() * sizeof(ObjectId));
      return kStatusOK;
    case Value::Kind::word:
      size = 4;
      return kStatusOK;
    case Value::Kind::configuration:
      size = streamConfigurationSize(static_cast<std::uint32_t>(v.buffers.size()));
      return kStatusOK;
    case Value::Kind::string:
      // Strings are read only through getPropertyString.
      return kStatusUnknownProperty;
    case Value::Kind::none:
      break;
  }
  return v.status;
}

Status PulseObjects::getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t& size,
                                     void* data) {
  server_.ensureStarted();
  Value v = server_.withView([&](const View& view) { return lookup(view, object, address); });
  auto* out = static_cast<std::byte*>(data);
  switch (v.kind) {
    case Value::Kind::ids: {
      // As many whole ids as the buffer holds: the list may have grown since
      // the size query.
      std::size_t n = std::min<std::size_t>(v.ids.size(), size / sizeof(ObjectId));
      if (n > 0 && out == nullptr) return kStatusBadPropertySize;
      if (n > 0) std::memcpy(out, v.ids.data(), n * sizeof(ObjectId));
      size = static_cast<std::uint32_t>(n * sizeof(ObjectId));
      return kStatusOK;
    }
    case Value::Kind::word:
      if (size < 4 || out == nullptr) return kStatusBadPropertySize;
      std::memcpy(out, &v.word, 4);
      size = 4;
      return kStatusOK;
    case Value::Kind::configuration: {
      auto count = static_cast<std::uint32_t>(v.buffers.size());
      std::uint32_t need = streamConfigurationSize(count);
      if (size < need || out == nullptr) return kStatusBadPropertySize;
      std::memcpy(out, &count, 4);
      if (count > 0) std::memcpy(out + 4, v.buffers.data(), 4 * static_cast<std::size_t>(count));
      size = need;
      return kStatusOK;
    }
    case Value::Kind::string:
      return kStatusUnknownProperty;
    case Value::Kind::none:
      break;
  }
  return v.status;
}

std::optional<std::string> PulseObjects::getPropertyString(ObjectId object, const PropertyAddress& address) {
  server_.ensureStarted();
  Value v = server_.withView([&](const View& view) { return lookup(view, object, address); });
  if (v.kind != Value::Kind::string) return std::nullopt;
  return v.text;
}

void PulseObjects::addPropertyListener(ObjectId object, const PropertyAddress& address,
                                       std::function<void()> block) {
  server_.ensureStarted();
  server_.addListener(object, address, std::move(block));
}

}  // namespace qln::platform::linux_backend::pulse
