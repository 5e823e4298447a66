// The family's one connection to the sound server: a libpulse context on a
// threaded main loop, the server's objects as last heard (sinks, sources,
// clients, their streams, modules, the defaults), and the hardware object
// view built from them. The connection is made on first use and made again
// whenever the server goes away, so a desktop that restarts its sound server
// loses its devices for a moment and then gets them back.
//
// Callbacks of libpulse run on the loop's thread with the loop locked; they
// never wait for the main queue. Listener blocks are posted to it.
#pragma once

#include <pulse/pulseaudio.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/hardware.h"

namespace qln::platform::linux_backend::pulse {

struct Sink {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::uint32_t monitorSource = PA_INVALID_INDEX;
  bool running = false;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
};

struct Source {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::uint32_t monitorOfSink = PA_INVALID_INDEX;
  bool running = false;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  std::uint32_t ownerModule = PA_INVALID_INDEX;
  std::string masterDevice;  // the source a filter source takes its audio from
  bool isMonitor() const { return monitorOfSink != PA_INVALID_INDEX; }
};

struct Client {
  std::uint32_t index = PA_INVALID_INDEX;
  std::optional<std::int32_t> pid;  // application.process.id
  std::optional<std::string> appId;   // application.id
  std::optional<std::string> binary;  // application.process.binary
};

// A sink input (playback) or source output (recording).
struct Stream {
  std::uint32_t index = PA_INVALID_INDEX;
  std::uint32_t client = PA_INVALID_INDEX;
  std::uint32_t device = PA_INVALID_INDEX;  // its sink or source
  bool corked = false;
};

struct Model {
  bool connected = false;
  std::string defaultSource;
  std::string defaultSink;
  std::map<std::uint32_t, Sink> sinks;
  std::map<std::uint32_t, Source> sources;
  std::map<std::uint32_t, Client> clients;
  std::map<std::uint32_t, Stream> sinkInputs;
  std::map<std::uint32_t, Stream> sourceOutputs;
  std::map<std::uint32_t, std::string> modules;  // index -> name
};

// The hardware object model the server's objects make.
struct DeviceView {
  ObjectId id = 0;
  bool isSource = false;
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;  // 'lnam': the description
  std::uint32_t inputChannels = 0;
  bool running = false;
  bool operator==(const DeviceView&) const = default;
};

struct ProcessView {
  ObjectId id = 0;
  std::uint32_t client = PA_INVALID_INDEX;
  std::int32_t pid = -1;
  std::optional<std::string> bundleId;
  bool runningInput = false;
  bool operator==(const ProcessView&) const = default;
};

struct View {
  std::vector<DeviceView> devices;     // by object id
  std::vector<ProcessView> processes;  // by object id
  const DeviceView* device(ObjectId id) const;
  const ProcessView* process(ObjectId id) const;
};

// What changed on the server, told to the watchers on the loop's thread
// with the loop locked.
enum class ServerEvent { connected, disconnected, serverChanged, sinkInputAdded, sinkInputChanged,
                         sinkInputRemoved };

class ServerWatcher {
 public:
  virtual ~ServerWatcher() = default;
  virtual void onServerEvent(ServerEvent event, std::uint32_t index) = 0;
};

class SoundServer {
 public:
  SoundServer();
  ~SoundServer() = delete;  // lives for the rest of the process

  // Starts the loop and the first connection on the first call, and waits
  // (at most a moment) for the server's object lists; later calls return at
  // once.
  void ensureStarted();

  // Holds the loop's lock; from the loop's own thread it takes nothing (the
  // thread already holds it).
  class Lock {
   public:
    explicit Lock(SoundServer& server);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
    bool locked_;
  };

  pa_threaded_mainloop* loop() const { return loop_; }
  // The current context; use only with the loop locked. Null before start.
  pa_context* context() const { return context_; }
  bool connected() const;
  // Why the last connection failed, readable.
  std::string connectionError() const;

  // A copy of the model or the view, taken under the model's own lock (never
  // the loop's), so readers on any thread do not wait for the server.
  Model model() const;
  template <class F>
  auto withView(F&& f) const {
    std::lock_guard<std::mutex> g(modelMutex_);
    return f(view_);
  }
  template <class F>
  auto withModel(F&& f) const {
    std::lock_guard<std::mutex> g(modelMutex_);
    return f(model_);
  }

  void addListener(ObjectId object, const PropertyAddress& address, std::function<void()> block);
  // An object id that no server object uses (taps, aggregate devices).
  ObjectId newObjectId();
  void addWatcher(std::weak_ptr<ServerWatcher> watcher);

 private:
  friend struct Callbacks;
  void connect();                 // loop thread or locked
  void scheduleReconnect();       // loop thread
  void onContextState(pa_context* c);
  void onSubscription(pa_subscription_event_type_t type, std::uint32_t index);
  void requestAll();
  void operationDone();           // one initial list finished
  // After each model change: rebuild the view, post the listeners of what
  // changed. Caller holds the loop (not the model lock).
  void refresh();
  void tell(ServerEvent event, std::uint32_t index);
  ObjectId idFor(int kind, std::uint32_t index);
  void forgetIds(int kind, const std::set<std::uint32_t>& alive);
  View buildView();

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_context* retired_ = nullptr;  // a failed context, freed at the next attempt
  bool reconnectPending_ = false;
  int initialPending_ = 0;

  mutable std::mutex modelMutex_;
  Model model_;
  View view_;
  std::map<std::pair<int, std::uint32_t>, ObjectId> ids_;
  ObjectId nextId_ = 0x100;
  std::string lastError_;

  std::mutex startMutex_;
  std::condition_variable syncedCv_;
  bool started_ = false;
  bool settled_ = false;  // the first connection synced or failed

  std::mutex listenerMutex_;
  struct Listener {
    ObjectId object;
    PropertyAddress address;
    std::function<void()> block;
  };
  std::vector<Listener> listeners_;
  std::vector<std::weak_ptr<ServerWatcher>> watchers_;  // under the loop lock
};

SoundServer& soundServer();

}  // namespace qln::platform::linux_backend::pulse
