#include "globals.h"

#include <cstdlib>
#include <cstring>

#include "platform/hardware.h"
#include "platform/symbols.h"

namespace qln::globals {

void* procPidPathSym = nullptr;
std::shared_ptr<CameraClientWatcher> cameraClientWatcher;
std::shared_ptr<MicProcWatcher> micProcWatcher;
void* createProcessTapSym = nullptr;
void* destroyProcessTapSym = nullptr;
void* objcMsgSendSym = nullptr;
std::shared_ptr<OtherPartyTap> otherPartyTap;
std::shared_ptr<StdinLineReader> otherPartyStdin;
bool simDictationOff = false;
std::shared_ptr<SpeechListener> speechRunner;
std::atomic<int> disclaimChildPid{0};
std::string usage;
std::vector<std::string> args;
void* disclaimSym = nullptr;

const char* const kUsage =
    "usage: qln-helper <usage-watch|speech|permissions|dictation|camera-hold|narrate|window-list> "
    "[--partials] [--input-name <name>] [--record <path>] [--record-other <path>] "
    "[--tap-bundle <bundleId>] [--request-speech] [--disclaim] [--self-pid <pid>] "
    "[--voice-isolation] [--legacy-speech] [--pid <pid>] [--window <cgWindowID>]";
const char* const kCameraHoldUsage = "usage: qln-helper camera-hold <seconds>";

bool parseSimDictationOff(const char* value) { return value != nullptr && std::strcmp(value, "1") == 0; }

void initializeGlobals(int argc, char** argv) {
  // The output lock and handles exist before this runs (static in output/).
  procPidPathSym = platform::lookupSymbol("proc_pidpath");
  cameraClientWatcher.reset();
  platform::initializeFourCharCodes();
  micProcWatcher.reset();
  createProcessTapSym = platform::lookupSymbol("AudioHardwareCreateProcessTap");
  destroyProcessTapSym = platform::lookupSymbol("AudioHardwareDestroyProcessTap");
  objcMsgSendSym = platform::lookupSymbol("objc_msgSend");
  platform::kQLNUnsupportedOp = static_cast<std::int32_t>(platform::fourCC("unop"));
  otherPartyTap.reset();
  otherPartyStdin.reset();
  simDictationOff = parseSimDictationOff(std::getenv("QLN_SIM_DICTATION_OFF"));
  speechRunner.reset();
  disclaimChildPid.store(0);
  usage = kUsage;
  args.assign(argv, argv + argc);
  disclaimSym = platform::lookupSymbol("responsibility_spawnattrs_setdisclaim");
}

}  // namespace qln::globals
