#include "usage/usage_watch.h"

#include "command_line.h"
#include "dispatch/dispatch.h"
#include "globals.h"
#include "output/output.h"
#include "platform/capabilities.h"
#include "process/own_process.h"
#include "process/signals.h"
#include "usage/camera_client_watcher.h"
#include "usage/camera_watcher.h"
#include "usage/mic_proc_watcher.h"
#include "usage/mic_watcher.h"

namespace qln::usage {

SelfIdentity usageWatchSelf(const std::vector<std::string>& args) {
  SelfIdentity self;
  auto text = cli::value(args, "--self-pid");
  if (!text || text->empty()) return self;
  auto pid = cli::parseInt32(*text);
  if (!pid) return self;
  self.selfPid = *pid;
  if (self.selfPid >= 1) self.selfExecPath = qlnExecPath(self.selfPid);
  return self;
}

void runUsageWatch(const std::vector<std::string>& args) {
  const SelfIdentity self = usageWatchSelf(args);
  auto camera = std::make_shared<CameraWatcher>();
  auto mic = std::make_shared<MicWatcher>();
  camera->start();
  mic->start();

  auto clients = std::make_shared<CameraClientWatcher>(self.selfPid, self.selfExecPath);
  clients->start();
  globals::cameraClientWatcher = clients;
  process::installSignals([clients] { clients->terminate(); });

  if (platform::capabilities().audioProcessList()) {
    auto procs = std::make_shared<MicProcWatcher>(self.selfPid, self.selfExecPath);
    procs->start();
    globals::micProcWatcher = procs;
  } else {
    output::writeLine(R"({"type":"micProcsUnsupported"})");
  }
  dispatch::current().runMain();
}

}  // namespace qln::usage
