#include "platform/sim/sim_hardware.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "dispatch/dispatch.h"
#include "platform/property_value.h"
#include "platform/sim/scenario.h"

namespace qln::sim {

using platform::ObjectId;
using platform::PropertyAddress;
using platform::Status;

namespace {

std::optional<std::string> optionalString(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::vector<SimDevice> parseDevices(const nlohmann::json& list, bool audio) {
  std::vector<SimDevice> out;
  if (!list.is_array()) return out;
  for (const auto& d : list) {
    if (!d.is_object()) continue;
    SimDevice device;
    device.id = field<ObjectId>(d, "id", 0);
    device.name = optionalString(d, "name");
    device.running = field<bool>(d, "running", false);
    if (audio) {
      auto channels = field<std::uint32_t>(d, "inputChannels", 1);
      device.inputBuffers = channels == 0 || field<bool>(d, "outputOnly", false)
                                ? std::vector<std::uint32_t>{}
                                : std::vector<std::uint32_t>{channels};
      if (auto b = d.find("inputBuffers"); b != d.end() && b->is_array()) {
        device.inputBuffers.clear();
        for (const auto& c : *b)
          if (auto n = numberAs<std::uint32_t>(c)) device.inputBuffers.push_back(*n);
      }
    } else {
      device.inputBuffers.clear();
    }
    out.push_back(std::move(device));
  }
  return out;
}

void parseProcesses(const nlohmann::json& section, SimHardware::Model& model) {
  model.processListSupported = section.is_object() && field<bool>(section, "supported", true);
  model.processes.clear();
  if (!section.is_object()) return;
  auto list = section.find("list");
  if (list == section.end() || !list->is_array()) return;
  for (const auto& p : *list) {
    if (!p.is_object()) continue;
    SimProcess process;
    process.id = field<ObjectId>(p, "id", 0);
    process.pid = field<std::int32_t>(p, "pid", -1);
    process.bundleId = optionalString(p, "bundleId");
    process.runningInput = field<bool>(p, "runningInput", false);
    model.processes.push_back(std::move(process));
  }
}

void parseSections(const nlohmann::json& s, SimHardware::Model& model) {
  if (!s.is_object()) return;
  if (auto it = s.find("audioDevices"); it != s.end()) model.audioDevices = parseDevices(*it, true);
  if (auto it = s.find("videoDevices"); it != s.end()) model.videoDevices = parseDevices(*it, false);
  if (auto it = s.find("audioProcesses"); it != s.end()) parseProcesses(*it, model);
}

std::uint32_t selectorFromText(const nlohmann::json& j) {
  if (auto n = numberAs<std::uint32_t>(j)) return *n;
  if (!j.is_string()) return 0;
  auto text = j.get<std::string>();
  if (text.size() != 4) return 0;
  char code[5] = {text[0], text[1], text[2], text[3], 0};
  return platform::fourCC(code);
}

template <typename T>
const T* findById(const std::vector<T>& list, ObjectId id) {
  auto it = std::find_if(list.begin(), list.end(), [id](const T& x) { return x.id == id; });
  return it == list.end() ? nullptr : &*it;
}

template <typename T>
std::vector<ObjectId> ids(const std::vector<T>& list) {
  std::vector<ObjectId> out;
  for (const auto& x : list) out.push_back(x.id);
  return out;
}

// Properties answer at their own scope and element, or at the wildcards.
bool at(const PropertyAddress& a, std::uint32_t scope) {
  return (a.scope == scope || a.scope == platform::kScopeWildcard) &&
         (a.element == platform::kElementMain || a.element == platform::kElementWildcard);
}

constexpr std::uint32_t kPiri = platform::fourCC("piri");
constexpr std::uint32_t kPpid = platform::fourCC("ppid");
constexpr std::uint32_t kPbid = platform::fourCC("pbid");
constexpr std::uint32_t kPrs = platform::fourCC("prs#");

// What one property read finds: an id array, a 4-byte value, a stream
// configuration, a string, or nothing.
using Value = platform::PropertyValue;

Value lookup(const SimHardware::Model& m, Family family, ObjectId object,
             const PropertyAddress& a) {
  using platform::kScopeGlobal;
  Value v;
  const auto& devices = family == Family::audio ? m.audioDevices : m.videoDevices;
  if (object == platform::kSystemObject) {
    v.status = platform::kStatusUnknownProperty;
    if (a.selector == platform::kSelectorDevices && at(a, kScopeGlobal)) {
      v.kind = Value::Kind::ids;
      v.ids = ids(devices);
    } else if (family == Family::audio && a.selector == kPrs && at(a, kScopeGlobal) &&
               m.processListSupported) {
      v.kind = Value::Kind::ids;
      v.ids = ids(m.processes);
    }
    if (v.kind != Value::Kind::none) v.status = platform::kStatusOK;
    return v;
  }
  if (const SimDevice* d = findById(devices, object)) {
    if (a.selector == platform::kSelectorIsRunningSomewhere && at(a, kScopeGlobal)) {
      v.kind = Value::Kind::word;
      v.word = d->running ? 1 : 0;
    } else if (a.selector == platform::kSelectorName && at(a, kScopeGlobal)) {
      v.kind = Value::Kind::string;
      v.text = d->name;
    } else if (family == Family::audio && a.selector == platform::kSelectorStreamConfiguration &&
               at(a, platform::kScopeInput)) {
      v.kind = Value::Kind::configuration;
      v.buffers = d->inputBuffers;
    }
  } else if (const SimProcess* p = family == Family::audio ? findById(m.processes, object)
                                                            : nullptr) {
    if (a.selector == kPiri && at(a, kScopeGlobal)) {
      v.kind = Value::Kind::word;
      v.word = p->runningInput ? 1 : 0;
    } else if (a.selector == kPpid && at(a, kScopeGlobal)) {
      v.kind = Value::Kind::word;
      v.word = static_cast<std::uint32_t>(p->pid);
    } else if (a.selector == kPbid && at(a, kScopeGlobal)) {
      v.kind = Value::Kind::string;
      v.text = p->bundleId;
    }
  } else {
    v.status = platform::kStatusBadObject;
    return v;
  }
  v.status = v.kind == Value::Kind::none ? platform::kStatusUnknownProperty : platform::kStatusOK;
  return v;
}

PropertyAddress global(std::uint32_t selector) { return platform::audioAddress(selector); }

void diffDevices(Family family, const std::vector<SimDevice>& before,
                 const std::vector<SimDevice>& after, std::vector<PropertyAddress>& systemOut,
                 std::vector<std::pair<ObjectId, PropertyAddress>>& objectOut) {
  if (ids(before) != ids(after)) systemOut.push_back(global(platform::kSelectorDevices));
  for (const auto& d : after) {
    const SimDevice* old = findById(before, d.id);
    if (old == nullptr) continue;
    if (old->running != d.running)
      objectOut.emplace_back(d.id, global(platform::kSelectorIsRunningSomewhere));
    if (old->name != d.name) objectOut.emplace_back(d.id, global(platform::kSelectorName));
    if (family == Family::audio && old->inputBuffers != d.inputBuffers)
      objectOut.emplace_back(d.id, platform::audioAddress(platform::kSelectorStreamConfiguration,
                                                          platform::kScopeInput));
  }
}

}  // namespace

SimHardware::SimHardware() { parseSections(scenario(), model_); }

std::vector<SimDevice>& SimHardware::devices(Model& model, Family family) {
  return family == Family::audio ? model.audioDevices : model.videoDevices;
}

void SimHardware::reset() {
  nlohmann::json events;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto& s = scenario();
    model_ = Model{};
    parseSections(s, model_);
    failures_.clear();
    if (auto it = s.find("hardwareFailures"); it != s.end() && it->is_array()) {
      for (const auto& f : *it) {
        if (!f.is_object()) continue;
        Failure failure{Family::audio, field<ObjectId>(f, "object", 0), 0, ReadStep::both,
                        field<Status>(f, "status", platform::kStatusUnknownProperty)};
        if (field<std::string>(f, "family", "audio") == "video") failure.family = Family::video;
        if (auto sel = f.find("selector"); sel != f.end()) failure.selector = selectorFromText(*sel);
        auto read = field<std::string>(f, "read", "both");
        failure.step = read == "size" ? ReadStep::size : read == "data" ? ReadStep::data : ReadStep::both;
        failures_.push_back(failure);
      }
    }
    listeners_.clear();
    audioReads_ = 0;
    videoReads_ = 0;
    generation = ++generation_;
    if (auto it = s.find("hardwareEvents"); it != s.end() && it->is_array()) events = *it;
  }
  if (events.is_null()) return;
  auto& dispatcher = dispatch::current();
  for (const auto& e : events) {
    if (!e.is_object() || !e.contains("set")) continue;
    auto atMs = field<std::uint64_t>(e, "atMs", 0);
    dispatcher.asyncAfter(dispatcher.mainQueue(), atMs * dispatch::kNsPerMs,
                          [this, generation, sections = e["set"]] {
                            {
                              std::lock_guard<std::mutex> guard(mutex_);
                              if (generation != generation_) return;
                            }
                            applySections(sections);
                          });
  }
}

void SimHardware::change(const std::function<void(Model&)>& mutate) {
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    Model before = model_;
    mutate(model_);

    std::vector<Change> changes;
    for (Family family : {Family::audio, Family::video}) {
      std::vector<PropertyAddress> system;
      std::vector<std::pair<ObjectId, PropertyAddress>> objects;
      diffDevices(family, devices(before, family), devices(model_, family), system, objects);
      for (const auto& a : system) changes.push_back({family, platform::kSystemObject, a});
      for (const auto& [id, a] : objects) changes.push_back({family, id, a});
    }
    if (before.processListSupported != model_.processListSupported ||
        ids(before.processes) != ids(model_.processes))
      changes.push_back({Family::audio, platform::kSystemObject, global(kPrs)});
    for (const auto& p : model_.processes) {
      const SimProcess* old = findById(before.processes, p.id);
      if (old == nullptr) continue;
      if (old->runningInput != p.runningInput) changes.push_back({Family::audio, p.id, global(kPiri)});
      if (old->pid != p.pid) changes.push_back({Family::audio, p.id, global(kPpid)});
      if (old->bundleId != p.bundleId) changes.push_back({Family::audio, p.id, global(kPbid)});
    }

    for (const auto& c : changes)
      for (const auto& l : listeners_)
        if (l.family == c.family && l.object == c.object &&
            platform::addressMatches(l.address, c.address))
          due.push_back(l.block);
  }
  if (due.empty()) return;
  auto queue = dispatch::mainQueue();
  for (auto& block : due) queue->async(std::move(block));
}

void SimHardware::setDevice(Family family, SimDevice device) {
  change([&](Model& m) {
    auto& list = devices(m, family);
    auto it = std::find_if(list.begin(), list.end(), [&](const SimDevice& d) { return d.id == device.id; });
    if (it == list.end())
      list.push_back(std::move(device));
    else
      *it = std::move(device);
  });
}

void SimHardware::removeDevice(Family family, ObjectId id) {
  change([&](Model& m) {
    auto& list = devices(m, family);
    list.erase(std::remove_if(list.begin(), list.end(), [id](const SimDevice& d) { return d.id == id; }),
               list.end());
  });
}

void SimHardware::setRunning(Family family, ObjectId id, bool running) {
  change([&](Model& m) {
    for (auto& d : devices(m, family))
      if (d.id == id) d.running = running;
  });
}

void SimHardware::setName(Family family, ObjectId id, std::optional<std::string> name) {
  change([&](Model& m) {
    for (auto& d : devices(m, family))
      if (d.id == id) d.name = name;
  });
}

void SimHardware::setProcess(SimProcess process) {
  change([&](Model& m) {
    auto it = std::find_if(m.processes.begin(), m.processes.end(),
                           [&](const SimProcess& p) { return p.id == process.id; });
    if (it == m.processes.end())
      m.processes.push_back(std::move(process));
    else
      *it = std::move(process);
  });
}

void SimHardware::removeProcess(ObjectId id) {
  change([&](Model& m) {
    m.processes.erase(std::remove_if(m.processes.begin(), m.processes.end(),
                                     [id](const SimProcess& p) { return p.id == id; }),
                      m.processes.end());
  });
}

void SimHardware::setRunningInput(ObjectId id, bool runningInput) {
  change([&](Model& m) {
    for (auto& p : m.processes)
      if (p.id == id) p.runningInput = runningInput;
  });
}

void SimHardware::setProcessListSupported(bool supported) {
  change([&](Model& m) { m.processListSupported = supported; });
}

void SimHardware::applySections(const nlohmann::json& sections) {
  change([&](Model& m) { parseSections(sections, m); });
}

void SimHardware::failRead(Family family, ObjectId object, std::uint32_t selector, ReadStep step,
                           Status status) {
  std::lock_guard<std::mutex> guard(mutex_);
  failures_.push_back({family, object, selector, step, status});
}

void SimHardware::clearFailures() {
  std::lock_guard<std::mutex> guard(mutex_);
  failures_.clear();
}

std::optional<Status> SimHardware::failure(Family family, ObjectId object, std::uint32_t selector,
                                           ReadStep step) const {
  for (const auto& f : failures_)
    if (f.family == family && f.object == object && f.selector == selector &&
        (f.step == ReadStep::both || f.step == step))
      return f.status;
  return std::nullopt;
}

void SimHardware::countRead(Family family) {
  (family == Family::audio ? audioReads_ : videoReads_).fetch_add(1);
}

std::uint64_t SimHardware::readCount(Family family) const {
  return (family == Family::audio ? audioReads_ : videoReads_).load();
}

std::size_t SimHardware::listenerCount(Family family, ObjectId object) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<std::size_t>(std::count_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) {
    return l.family == family && l.object == object;
  }));
}

Status SimHardware::getPropertyDataSize(Family family, ObjectId object, const PropertyAddress& address,
                                        std::uint32_t& size) {
  countRead(family);
  std::lock_guard<std::mutex> guard(mutex_);
  if (auto f = failure(family, object, address.selector, ReadStep::size)) return *f;
  return lookup(model_, family, object, address).dataSize(size);
}

Status SimHardware::getPropertyData(Family family, ObjectId object, const PropertyAddress& address,
                                    std::uint32_t& size, void* data) {
  countRead(family);
  std::lock_guard<std::mutex> guard(mutex_);
  if (auto f = failure(family, object, address.selector, ReadStep::data)) return *f;
  return lookup(model_, family, object, address).copyData(size, data);
}

std::optional<std::string> SimHardware::getPropertyString(Family family, ObjectId object,
                                                          const PropertyAddress& address) {
  countRead(family);
  std::lock_guard<std::mutex> guard(mutex_);
  if (failure(family, object, address.selector, ReadStep::data)) return std::nullopt;
  return lookup(model_, family, object, address).stringValue();
}

void SimHardware::addPropertyListener(Family family, ObjectId object, const PropertyAddress& address,
                                      std::function<void()> block) {
  std::lock_guard<std::mutex> guard(mutex_);
  listeners_.push_back({family, object, address, std::move(block)});
}

SimHardware& hardware() {
  static auto* h = new SimHardware;  // never destroyed: listener blocks may be queued at exit
  return *h;
}

namespace {

const ResetRegistration registration([] { hardware().reset(); });

class SimObjects final : public platform::HardwareObjects {
 public:
  explicit SimObjects(Family family) : family_(family) {}
  Status getPropertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t& size) override {
    return hardware().getPropertyDataSize(family_, object, address, size);
  }
  Status getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t& size,
                         void* data) override {
    return hardware().getPropertyData(family_, object, address, size, data);
  }
  std::optional<std::string> getPropertyString(ObjectId object, const PropertyAddress& address) override {
    return hardware().getPropertyString(family_, object, address);
  }
  void addPropertyListener(ObjectId object, const PropertyAddress& address,
                           std::function<void()> block) override {
    hardware().addPropertyListener(family_, object, address, std::move(block));
  }

 private:
  Family family_;
};

}  // namespace

}  // namespace qln::sim

namespace qln::platform {

HardwareObjects& audioObjects() {
  static auto* o = new sim::SimObjects(sim::Family::audio);
  return *o;
}

HardwareObjects& videoObjects() {
  static auto* o = new sim::SimObjects(sim::Family::video);
  return *o;
}

}  // namespace qln::platform
