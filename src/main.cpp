// Entry: the process-wide globals in their order, the mode word, the
// optional disclaimed relaunch, and the mode's entry operation.
#include <string>
#include <vector>

#include "command_line.h"
#include "commands/camera_hold.h"
#include "commands/dictation.h"
#include "commands/narrate.h"
#include "commands/permissions.h"
#include "commands/window_list.h"
#include "dispatch/dispatch.h"
#include "globals.h"
#include "output/output.h"
#include "platform/backend.h"
#include "process/exit.h"
#include "process/signals.h"
#include "speech/speech_driver.h"
#include "usage/usage_watch.h"

namespace {

using namespace qln;

[[noreturn]] void usageExit(const std::string& line) {
  output::errLine(line);
  process::exitProcess(64);
}

}  // namespace

int main(int argc, char** argv) {
  globals::initializeGlobals(argc, argv);
  const auto& args = globals::args;

  if (args.size() < 2) usageExit(globals::usage);
  if (!platform::initializeBackend()) process::exitProcess(platform::kBackendUnavailableStatus);

  const std::string& mode = args[1];
  if ((mode == "speech" || mode == "permissions" || mode == "dictation") && cli::hasFlag(args, "--disclaim"))
    process::reExecDisclaimedIfPossible(args);

  if (mode == "usage-watch") {
    usage::runUsageWatch(args);
    process::exitProcess(0);
  }
  if (mode == "speech") {
    SpeechSettings settings;
    settings.partials = cli::hasFlag(args, "--partials");
    settings.inputName = cli::value(args, "--input-name");
    settings.recordPath = cli::value(args, "--record");
    settings.recordOtherPath = cli::value(args, "--record-other");
    settings.tapBundle = cli::value(args, "--tap-bundle");
    auto selfPidText = cli::value(args, "--self-pid");
    settings.selfPid = selfPidText ? cli::parseInt32(*selfPidText).value_or(0) : 0;
    settings.voiceIsolation = cli::hasFlag(args, "--voice-isolation");
    settings.forceLegacy = cli::hasFlag(args, "--legacy-speech");
    runSpeech(settings);
    dispatch::current().runMain();
    process::exitProcess(0);
  }
  if (mode == "camera-hold") {
    std::optional<double> seconds;
    if (args.size() >= 3) seconds = cli::parseSeconds(args[2]);
    if (!seconds || !(*seconds >= 0)) usageExit(globals::kCameraHoldUsage);
    commands::runCameraHold(*seconds);
  }
  if (mode == "narrate") commands::runNarrate();
  if (mode == "window-list") {
    auto pidText = cli::value(args, "--pid");
    auto windowText = cli::value(args, "--window");
    std::int32_t pid = pidText ? cli::parseInt32(*pidText).value_or(0) : 0;
    std::int64_t window = windowText ? cli::parseInt64(*windowText).value_or(-1) : -1;
    commands::runWindowList(pid, window);
  }
  // Both work on the global queue while the main thread serves the main
  // queue, where their timers and the platform's callbacks arrive.
  if (mode == "permissions") {
    const bool requestSpeech = cli::hasFlag(args, "--request-speech");
    dispatch::current().globalAsync([requestSpeech] { commands::runPermissions(requestSpeech); });
    dispatch::current().runMain();
    process::exitProcess(0);
  }
  if (mode == "dictation") {
    dispatch::current().globalAsync([] { commands::runDictationProbe(); });
    dispatch::current().runMain();
    process::exitProcess(0);
  }
  usageExit(globals::usage);
}
