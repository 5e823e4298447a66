// Which processes hold a live camera connection. Where the system has a log
// tool for it, followed through the system log: the camera capture service
// logs each client connection's activation and invalidation; seeded from the
// last three minutes of the archive, then fed by a `log stream` child.
// Elsewhere the processes holding a camera open are the clients, read on
// each camera event and at every sweep, one entry `pid:<pid>` each. Both
// feed the same table through the same filters; dead processes are swept
// every 2 s. Everything runs on the watcher's own serial queue.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "dispatch/dispatch.h"
#include "platform/camera_clients.h"
#include "platform/child_launcher.h"

namespace qln {

class CameraClientWatcher : public std::enable_shared_from_this<CameraClientWatcher> {
 public:
  CameraClientWatcher(std::int32_t selfPid, std::optional<std::string> selfExecPath,
                      platform::CameraClientSource source = platform::cameraClientSource());
  CameraClientWatcher(const CameraClientWatcher&) = delete;
  CameraClientWatcher& operator=(const CameraClientWatcher&) = delete;

  // Returns at once; the work goes on on the watcher's queue.
  void start();
  // Stops the stream child; done when it returns. Never call it from the
  // watcher's own queue.
  void terminate();

  static constexpr const char* kPredicate = R"(process == "cameracaptured" AND subsystem == "com.apple.xpc")";
  // A line longer than this is dropped up to its line feed: the stream must
  // not grow memory without bound on output that never ends a line.
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

 private:
  void startFeed();
  void seedFromArchive();
  void launchStream();
  void handleOutput(const std::string& bytes);
  void handleLine(const std::string& line);
  void ingest(const std::string& conn, std::int32_t pid);
  void scheduleEmit();
  void emitIfChanged(bool force);
  void startPrune();
  void prune();
  void streamExited();
  void emitUnsupported();
  void stopChild();
  void followHolders();
  const std::string& logTool() const;

  std::int32_t selfPid;
  std::optional<std::string> selfExecPath;
  platform::CameraClientSource source;
  dispatch::QueuePtr queue;
  std::shared_ptr<platform::Child> child;
  std::string lineBuf;
  std::map<std::string, std::int32_t> clients;
  std::optional<std::vector<std::int32_t>> lastEmittedPids;
  dispatch::CancellablePtr pending;
  dispatch::CancellablePtr pruneTimer;
  bool unsupportedEmitted = false;
  int redactedAdds = 0;
  int restarts = 0;
  std::uint64_t launchedAt;
  bool discardingLine = false;  // inside a line that overflowed kMaxLineBytes
  const std::regex peerRegex{R"(\.peer\[(\d+)\])"};
  const std::regex stopRegex{R"(client process \(pid (\d+)\))"};
  const std::regex connRegex{R"(^\[(0x[0-9a-f]+)\])"};
  const std::string predicate{kPredicate};

  static constexpr double kPruneSeconds = 2.0;
  static constexpr double kDebounceSeconds = 0.3;
  static constexpr double kMinStreamLifeSeconds = 5.0;
  static constexpr double kRelaunchDelaySeconds = 5.0;
  static constexpr int kMaxRestarts = 5;
  static constexpr int kMaxRedactedAdds = 3;
};

}  // namespace qln
