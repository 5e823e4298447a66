#include "platform/linux/audio/sound_server.h"

#include <sys/time.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>

#include "dispatch/dispatch.h"

namespace qln::platform::linux_backend::pulse {
namespace {

constexpr int kSinkKind = 0;
constexpr int kSourceKind = 1;
constexpr int kClientKind = 2;

// How long the first user waits for the server's object lists, so that the
// first reading of a mode sees the devices that are there.
constexpr auto kFirstSyncWait = std::chrono::milliseconds(2000);
constexpr long kReconnectDelayUs = 1'000'000;

constexpr std::uint32_t kPiri = fourCC("piri");
constexpr std::uint32_t kPpid = fourCC("ppid");
constexpr std::uint32_t kPbid = fourCC("pbid");
constexpr std::uint32_t kPrs = fourCC("prs#");

std::optional<std::string> prop(const pa_proplist* list, const char* key) {
  if (!list) return std::nullopt;
  const char* v = pa_proplist_gets(list, key);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::optional<std::int32_t> pidProp(const pa_proplist* list) {
  auto text = prop(list, PA_PROP_APPLICATION_PROCESS_ID);
  if (!text) return std::nullopt;
  std::int32_t pid = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), pid);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return pid;
}

}  // namespace

const DeviceView* View::device(ObjectId id) const {
  for (const auto& d : devices)
    if (d.id == id) return &d;
  return nullptr;
}

const ProcessView* View::process(ObjectId id) const {
  for (const auto& p : processes)
    if (p.id == id) return &p;
  return nullptr;
}

// libpulse's C callbacks, forwarding to the server object. Each ignores a
// context that is no longer the current one.
struct Callbacks {
  static SoundServer* self(void* u) { return static_cast<SoundServer*>(u); }

  static void state(pa_context* c, void* u) { self(u)->onContextState(c); }

  static void subscription(pa_context* c, pa_subscription_event_type_t t, std::uint32_t index, void* u) {
    if (c != self(u)->context_) return;
    self(u)->onSubscription(t, index);
  }

  static void reconnect(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* u) {
    api->time_free(e);
    SoundServer* s = self(u);
    s->reconnectPending_ = false;
    if (s->retired_) {
      pa_context_unref(s->retired_);
      s->retired_ = nullptr;
    }
    s->connect();
  }

  template <bool initial>
  static void serverInfo(pa_context* c, const pa_server_info* i, void* u) {
    SoundServer* s = self(u);
    if (c != s->context_) return;
    if (i) {
      bool changed = false;
      {
        std::lock_guard<std::mutex> g(s->modelMutex_);
        std::string source = i->default_source_name ? i->default_source_name : "";
        std::string sink = i->default_sink_name ? i->default_sink_name : "";
        changed = source != s->model_.defaultSource || sink != s->model_.defaultSink;
        s->model_.defaultSource = source;
        s->model_.defaultSink = sink;
      }
      s->refresh();
      if (changed && !initial) s->tell(ServerEvent::serverChanged, PA_INVALID_INDEX);
    }
    if (initial) s->operationDone();
  }

  // Every info list and lookup answers through here: an answer for a
  // connection since replaced is dropped, and the end of a start-up list
  // settles one of the start-up operations.
  template <bool initial, class Info, void (*store)(SoundServer*, const Info*)>
  static void info(pa_context* c, const Info* i, int eol, void* u) {
    SoundServer* s = self(u);
    if (c != s->context_) return;
    if (eol != 0) {
      if (initial) s->operationDone();
      return;
    }
    store(s, i);
  }

  static void storeSink(SoundServer* s, const pa_sink_info* i) {
    {
      std::lock_guard<std::mutex> g(s->modelMutex_);
      Sink& k = s->model_.sinks[i->index];
      k.index = i->index;
      k.name = i->name ? i->name : "";
      k.description = i->description ? i->description : k.name;
      k.monitorSource = i->monitor_source;
      k.running = i->state == PA_SINK_RUNNING;
      k.rate = i->sample_spec.rate;
      k.channels = i->sample_spec.channels;
    }
    s->refresh();
  }

  static void storeSource(SoundServer* s, const pa_source_info* i) {
    {
      std::lock_guard<std::mutex> g(s->modelMutex_);
      Source& k = s->model_.sources[i->index];
      k.index = i->index;
      k.name = i->name ? i->name : "";
      k.description = i->description ? i->description : k.name;
      k.monitorOfSink = i->monitor_of_sink;
      k.running = i->state == PA_SOURCE_RUNNING;
      k.rate = i->sample_spec.rate;
      k.channels = i->sample_spec.channels;
      k.ownerModule = i->owner_module;
      k.masterDevice = prop(i->proplist, PA_PROP_DEVICE_MASTER_DEVICE).value_or("");
    }
    s->refresh();
  }

  static void storeClient(SoundServer* s, const pa_client_info* i) {
    {
      std::lock_guard<std::mutex> g(s->modelMutex_);
      Client& k = s->model_.clients[i->index];
      k.index = i->index;
      k.pid = pidProp(i->proplist);
      k.appId = prop(i->proplist, PA_PROP_APPLICATION_ID);
      k.binary = prop(i->proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
    }
    s->refresh();
  }

  static void storeSinkInput(SoundServer* s, const pa_sink_input_info* i) {
    bool added = false;
    {
      std::lock_guard<std::mutex> g(s->modelMutex_);
      added = s->model_.sinkInputs.count(i->index) == 0;
      s->model_.sinkInputs[i->index] = Stream{i->index, i->client, i->sink, i->corked != 0};
    }
    s->refresh();
    s->tell(added ? ServerEvent::sinkInputAdded : ServerEvent::sinkInputChanged, i->index);
  }

  static void storeSourceOutput(SoundServer* s, const pa_source_output_info* i) {
    {
      std::lock_guard<std::mutex> g(s->modelMutex_);
      s->model_.sourceOutputs[i->index] = Stream{i->index, i->client, i->source, i->corked != 0};
    }
    s->refresh();
  }

  static void storeModule(SoundServer* s, const pa_module_info* i) {
    std::lock_guard<std::mutex> g(s->modelMutex_);
    s->model_.modules[i->index] = i->name ? i->name : "";
  }

  template <bool initial>
  static constexpr auto sink = &info<initial, pa_sink_info, &storeSink>;
  template <bool initial>
  static constexpr auto source = &info<initial, pa_source_info, &storeSource>;
  template <bool initial>
  static constexpr auto client = &info<initial, pa_client_info, &storeClient>;
  template <bool initial>
  static constexpr auto sinkInput = &info<initial, pa_sink_input_info, &storeSinkInput>;
  template <bool initial>
  static constexpr auto sourceOutput = &info<initial, pa_source_output_info, &storeSourceOutput>;
  template <bool initial>
  static constexpr auto module = &info<initial, pa_module_info, &storeModule>;
};

SoundServer::SoundServer() = default;

SoundServer::Lock::Lock(SoundServer& server) {
  server.ensureStarted();
  loop_ = server.loop_;
  locked_ = loop_ && !pa_threaded_mainloop_in_thread(loop_);
  if (locked_) pa_threaded_mainloop_lock(loop_);
}

SoundServer::Lock::~Lock() {
  if (locked_) pa_threaded_mainloop_unlock(loop_);
}

void SoundServer::ensureStarted() {
  std::unique_lock<std::mutex> g(startMutex_);
  // The loop's own callbacks never wait for it: only they can settle it.
  if (started_ && loop_ && pa_threaded_mainloop_in_thread(loop_)) return;
  if (!started_) {
    started_ = true;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
      std::lock_guard<std::mutex> m(modelMutex_);
      lastError_ = "cannot start the sound server loop";
      settled_ = true;
      return;
    }
    // A connection that fails at once settles from inside connect(), which
    // takes the start lock itself.
    g.unlock();
    pa_threaded_mainloop_lock(loop_);
    connect();
    pa_threaded_mainloop_unlock(loop_);
    g.lock();
  }
  // Every early caller waits for the first answer; later ones find it given.
  syncedCv_.wait_for(g, kFirstSyncWait, [this] { return settled_; });
  settled_ = true;
}

void SoundServer::connect() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "qln-helper");
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, QLN_HELPER_BUNDLE_ID);
  context_ = pa_context_new_with_proplist(api, "qln-helper", props);
  pa_proplist_free(props);
  if (!context_) {
    scheduleReconnect();
    return;
  }
  pa_context_set_state_callback(context_, &Callbacks::state, this);
  pa_context_set_subscribe_callback(context_, &Callbacks::subscription, this);
  // Never start a server of our own: the desktop owns it.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    // The state callback has reported the failure (and retired the context)
    // unless the context never got that far.
    if (context_) onContextState(context_);
  }
}

void SoundServer::scheduleReconnect() {
  if (reconnectPending_) return;
  reconnectPending_ = true;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  struct timeval tv;
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, kReconnectDelayUs);
  api->time_new(api, &tv, &Callbacks::reconnect, this);
}

void SoundServer::onContextState(pa_context* c) {
  if (c != context_) return;
  switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY: {
      {
        std::lock_guard<std::mutex> g(modelMutex_);
        model_ = Model{};
        model_.connected = true;
        lastError_.clear();
      }
      auto mask = static_cast<pa_subscription_mask_t>(
          PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK_INPUT |
          PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT | PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SERVER |
          PA_SUBSCRIPTION_MASK_MODULE);
      if (auto* op = pa_context_subscribe(c, mask, nullptr, nullptr)) pa_operation_unref(op);
      requestAll();
      break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
      bool wasConnected = false;
      {
        std::lock_guard<std::mutex> g(modelMutex_);
        wasConnected = model_.connected;
        model_ = Model{};
        lastError_ = pa_strerror(pa_context_errno(c));
      }
      pa_context_set_state_callback(c, nullptr, nullptr);
      pa_context_set_subscribe_callback(c, nullptr, nullptr);
      if (retired_) pa_context_unref(retired_);
      retired_ = c;
      context_ = nullptr;
      initialPending_ = 0;
      refresh();
      if (wasConnected) tell(ServerEvent::disconnected, PA_INVALID_INDEX);
      {
        std::lock_guard<std::mutex> g(startMutex_);
        settled_ = true;
      }
      syncedCv_.notify_all();
      scheduleReconnect();
      break;
    }
    default:
      break;
  }
}

void SoundServer::requestAll() {
  pa_context* c = context_;
  initialPending_ = 7;
  auto run = [this](pa_operation* op) {
    if (op)
      pa_operation_unref(op);
    else
      operationDone();
  };
  run(pa_context_get_server_info(c, &Callbacks::serverInfo<true>, this));
  run(pa_context_get_sink_info_list(c, Callbacks::sink<true>, this));
  run(pa_context_get_source_info_list(c, Callbacks::source<true>, this));
  run(pa_context_get_client_info_list(c, Callbacks::client<true>, this));
  run(pa_context_get_sink_input_info_list(c, Callbacks::sinkInput<true>, this));
  run(pa_context_get_source_output_info_list(c, Callbacks::sourceOutput<true>, this));
  run(pa_context_get_module_info_list(c, Callbacks::module<true>, this));
}

void SoundServer::operationDone() {
  if (initialPending_ <= 0 || --initialPending_ > 0) return;
  {
    std::lock_guard<std::mutex> g(startMutex_);
    settled_ = true;
  }
  syncedCv_.notify_all();
  tell(ServerEvent::connected, PA_INVALID_INDEX);
}

void SoundServer::onSubscription(pa_subscription_event_type_t t, std::uint32_t index) {
  const auto facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  pa_context* c = context_;
  auto run = [](pa_operation* op) {
    if (op) pa_operation_unref(op);
  };
  if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    bool sinkInputGone = false;
    {
      std::lock_guard<std::mutex> g(modelMutex_);
      switch (facility) {
        case PA_SUBSCRIPTION_EVENT_SINK: model_.sinks.erase(index); break;
        case PA_SUBSCRIPTION_EVENT_SOURCE: model_.sources.erase(index); break;
        case PA_SUBSCRIPTION_EVENT_CLIENT: model_.clients.erase(index); break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT: sinkInputGone = model_.sinkInputs.erase(index) > 0; break;
        case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT: model_.sourceOutputs.erase(index); break;
        case PA_SUBSCRIPTION_EVENT_MODULE: model_.modules.erase(index); break;
        default: break;
      }
    }
    refresh();
    if (sinkInputGone) tell(ServerEvent::sinkInputRemoved, index);
    return;
  }
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK: run(pa_context_get_sink_info_by_index(c, index, Callbacks::sink<false>, this)); break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      run(pa_context_get_source_info_by_index(c, index, Callbacks::source<false>, this));
      break;
    case PA_SUBSCRIPTION_EVENT_CLIENT:
      run(pa_context_get_client_info(c, index, Callbacks::client<false>, this));
      break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      run(pa_context_get_sink_input_info(c, index, Callbacks::sinkInput<false>, this));
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      run(pa_context_get_source_output_info(c, index, Callbacks::sourceOutput<false>, this));
      break;
    case PA_SUBSCRIPTION_EVENT_MODULE:
      run(pa_context_get_module_info(c, index, Callbacks::module<false>, this));
      break;
    case PA_SUBSCRIPTION_EVENT_SERVER:
      run(pa_context_get_server_info(c, &Callbacks::serverInfo<false>, this));
      break;
    default:
      break;
  }
}

ObjectId SoundServer::idFor(int kind, std::uint32_t index) {
  auto [it, added] = ids_.try_emplace({kind, index}, 0);
  if (added) it->second = nextId_++;
  return it->second;
}

ObjectId SoundServer::newObjectId() {
  std::lock_guard<std::mutex> g(modelMutex_);
  return nextId_++;
}

// Caller holds modelMutex_.
View SoundServer::buildView() {
  // Ids of objects the server no longer has are forgotten: a new object
  // never takes the id of an old one.
  std::erase_if(ids_, [this](const auto& entry) {
    const auto& [key, id] = entry;
    switch (key.first) {
      case kSinkKind: return model_.sinks.count(key.second) == 0;
      case kSourceKind: return model_.sources.count(key.second) == 0;
      default: return model_.clients.count(key.second) == 0;
    }
  });

  View v;
  for (const auto& [index, s] : model_.sources) {
    if (s.isMonitor()) continue;
    bool recorded = std::any_of(model_.sourceOutputs.begin(), model_.sourceOutputs.end(),
                                [&](const auto& o) { return o.second.device == index && !o.second.corked; });
    v.devices.push_back({idFor(kSourceKind, index), true, index, s.description, s.channels, s.running || recorded});
  }
  for (const auto& [index, s] : model_.sinks) {
    bool played = std::any_of(model_.sinkInputs.begin(), model_.sinkInputs.end(),
                              [&](const auto& o) { return o.second.device == index && !o.second.corked; });
    v.devices.push_back({idFor(kSinkKind, index), false, index, s.description, 0, s.running || played});
  }
  std::sort(v.devices.begin(), v.devices.end(), [](const auto& a, const auto& b) { return a.id < b.id; });

  for (const auto& [index, c] : model_.clients) {
    ObjectId id = idFor(kClientKind, index);
    bool plays = std::any_of(model_.sinkInputs.begin(), model_.sinkInputs.end(),
                             [&](const auto& o) { return o.second.client == index; });
    bool records = false;
    bool capturing = false;
    for (const auto& [_, o] : model_.sourceOutputs) {
      if (o.client != index) continue;
      records = true;
      auto src = model_.sources.find(o.device);
      // Recording what a sink plays is not capturing input.
      bool monitor = src != model_.sources.end() && src->second.isMonitor();
      if (!o.corked && !monitor) capturing = true;
    }
    if (!plays && !records) continue;
    v.processes.push_back({id, index, c.pid.value_or(-1), c.appId ? c.appId : c.binary, capturing});
  }
  std::sort(v.processes.begin(), v.processes.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  return v;
}

void SoundServer::refresh() {
  struct Change {
    ObjectId object;
    PropertyAddress address;
  };
  std::vector<Change> changes;
  {
    std::lock_guard<std::mutex> g(modelMutex_);
    View next = buildView();
    auto deviceIds = [](const View& v) {
      std::vector<ObjectId> ids;
      for (const auto& d : v.devices) ids.push_back(d.id);
      return ids;
    };
    auto processIds = [](const View& v) {
      std::vector<ObjectId> ids;
      for (const auto& p : v.processes) ids.push_back(p.id);
      return ids;
    };
    if (deviceIds(view_) != deviceIds(next)) changes.push_back({kSystemObject, audioAddress(kSelectorDevices)});
    if (processIds(view_) != processIds(next)) changes.push_back({kSystemObject, audioAddress(kPrs)});
    for (const auto& d : next.devices) {
      const DeviceView* old = view_.device(d.id);
      if (!old) continue;
      if (old->running != d.running) changes.push_back({d.id, audioAddress(kSelectorIsRunningSomewhere)});
      if (old->name != d.name) changes.push_back({d.id, audioAddress(kSelectorName)});
      if (old->inputChannels != d.inputChannels)
        changes.push_back({d.id, audioAddress(kSelectorStreamConfiguration, kScopeInput)});
    }
    for (const auto& p : next.processes) {
      const ProcessView* old = view_.process(p.id);
      if (!old) continue;
      if (old->runningInput != p.runningInput) changes.push_back({p.id, audioAddress(kPiri)});
      if (old->pid != p.pid) changes.push_back({p.id, audioAddress(kPpid)});
      if (old->bundleId != p.bundleId) changes.push_back({p.id, audioAddress(kPbid)});
    }
    view_ = std::move(next);
  }
  if (changes.empty()) return;
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> g(listenerMutex_);
    for (const auto& c : changes)
      for (const auto& l : listeners_)
        if (l.object == c.object && addressMatches(l.address, c.address)) due.push_back(l.block);
  }
  if (due.empty()) return;
  auto queue = dispatch::mainQueue();
  for (auto& block : due) queue->async(std::move(block));
}

void SoundServer::tell(ServerEvent event, std::uint32_t index) {
  std::erase_if(watchers_, [](const auto& w) { return w.expired(); });
  auto watchers = watchers_;  // a watcher may add another while told
  for (const auto& w : watchers)
    if (auto watcher = w.lock()) watcher->onServerEvent(event, index);
}

bool SoundServer::connected() const {
  std::lock_guard<std::mutex> g(modelMutex_);
  return model_.connected;
}

std::string SoundServer::connectionError() const {
  std::lock_guard<std::mutex> g(modelMutex_);
  return lastError_.empty() ? std::string("not connected") : lastError_;
}

Model SoundServer::model() const {
  std::lock_guard<std::mutex> g(modelMutex_);
  return model_;
}

void SoundServer::addListener(ObjectId object, const PropertyAddress& address, std::function<void()> block) {
  std::lock_guard<std::mutex> g(listenerMutex_);
  listeners_.push_back({object, address, std::move(block)});
}

void SoundServer::addWatcher(std::weak_ptr<ServerWatcher> watcher) {
  Lock lock(*this);
  watchers_.push_back(std::move(watcher));
}

SoundServer& soundServer() {
  static auto* server = new SoundServer;
  return *server;
}

}  // namespace qln::platform::linux_backend::pulse
