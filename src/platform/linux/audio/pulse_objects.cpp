#include "platform/linux/audio/pulse_objects.h"

#include <cstring>
#include <vector>

#include "platform/property_value.h"

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
using Value = PropertyValue;

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
  return server_.withView([&](const View& view) { return lookup(view, object, address); }).dataSize(size);
}

Status PulseObjects::getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t& size,
                                     void* data) {
  server_.ensureStarted();
  return server_.withView([&](const View& view) { return lookup(view, object, address); }).copyData(size, data);
}

std::optional<std::string> PulseObjects::getPropertyString(ObjectId object, const PropertyAddress& address) {
  server_.ensureStarted();
  return server_.withView([&](const View& view) { return lookup(view, object, address); }).stringValue();
}

void PulseObjects::addPropertyListener(ObjectId object, const PropertyAddress& address,
                                       std::function<void()> block) {
  server_.ensureStarted();
  server_.addListener(object, address, std::move(block));
}

}  // namespace qln::platform::linux_backend::pulse
