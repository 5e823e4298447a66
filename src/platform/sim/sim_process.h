// The scripted process seams: a process table behind processInfo() and a
// scripted system log tool behind childLauncher().
//
// Scenario sections read here:
//   "processTable": {"ownPid": 500,
//                    "list": [ {"pid": 600, "ppid": 500, "exe": "/usr/bin/zoom",
//                               "signal0": "ok" | "EPERM" | "ESRCH"}, ... ]}
//       "ownPid": this process's id as the seam reports it; absent = the real
//       one. A pid not listed has no path, no parent record, and signal 0
//       fails with ESRCH. In a listed one, "exe" absent or null = the path
//       cannot be read, "ppid" absent = the record cannot be read, "signal0"
//       defaults to "ok".
//   "logTool": {"show": "archive output",
//               "stream": [ {"output": [ {"atMs": 0, "bytes": "...\n"}, ... ],
//                            "exitAtMs": 60000, "launchError": "text"}, ... ],
//               "standIn": false}
//       Without this section the tool does not exist: every launch fails.
//       "show" absent = the archive read cannot be launched. "stream" holds
//       one entry per launch, in order; later launches repeat the last entry;
//       no entry = a child that writes nothing and never exits. Each chunk is
//       delivered as written, at atMs after that launch; "exitAtMs" absent =
//       runs until terminated; "launchError" = that launch fails with the
//       text. "standIn": true backs every stream child with a real process
//       (/bin/sleep) that lives exactly as long as the scripted child, so a
//       process-level test can see that it is gone.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_launcher.h"

namespace qln::sim {

struct SimProcessRecord {
  std::int32_t pid = 0;
  std::optional<std::int32_t> ppid;
  std::optional<std::string> exe;
  int signal0 = 0;  // 0 or an error number
};

class SimProcessTable {
 public:
  // Adds the record, or replaces the one of the same pid.
  void set(SimProcessRecord record);
  // The process is gone: signal 0 fails with ESRCH from now on.
  void remove(std::int32_t pid);
  std::int32_t ownPid() const;
  std::optional<SimProcessRecord> find(std::int32_t pid) const;
  void reset();

 private:
  mutable std::mutex mutex_;
  std::optional<std::int32_t> ownPid_;
  std::vector<SimProcessRecord> records_;
};

SimProcessTable& processTable();

class SimChild;

class SimLogTool {
 public:
  // Bytes on the running stream child's output, delivered now.
  void output(std::string bytes);
  // The running stream child ends now.
  void exitChild();
  bool childRunning() const;
  // Every launch asked for, stream and archive alike, in order.
  std::vector<platform::ChildCommand> launches() const;
  // Terminate requests received.
  int terminations() const;

  // The seam's calls.
  std::optional<std::string> runToEnd(const platform::ChildCommand& command);
  std::shared_ptr<platform::Child> launch(const platform::ChildCommand& command,
                                          platform::ChildHandlers handlers, std::string& error);
  void reset();
  void noteTermination();

 private:
  mutable std::mutex mutex_;
  std::vector<platform::ChildCommand> launches_;
  int streamLaunches_ = 0;
  int terminations_ = 0;
  std::weak_ptr<SimChild> current_;
};

SimLogTool& logTool();

}  // namespace qln::sim
