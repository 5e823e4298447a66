// Process-wide state, created once at start-up in this order (see
// initializeGlobals) and kept for the life of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qln {
class CameraClientWatcher;
class OtherPartyTap;
class StdinLineReader;
class SpeechListener;
class MicProcWatcher;
}  // namespace qln

namespace qln::globals {

// The output lock and the two descriptors live in output/; the signal
// sources live in the dispatcher.
extern void* procPidPathSym;
extern std::shared_ptr<CameraClientWatcher> cameraClientWatcher;
extern std::shared_ptr<MicProcWatcher> micProcWatcher;
extern void* createProcessTapSym;
extern void* destroyProcessTapSym;
extern void* objcMsgSendSym;
extern std::shared_ptr<OtherPartyTap> otherPartyTap;
extern std::shared_ptr<StdinLineReader> otherPartyStdin;
extern bool simDictationOff;
extern std::shared_ptr<SpeechListener> speechRunner;
extern std::atomic<int> disclaimChildPid;
extern std::string usage;
extern std::vector<std::string> args;
// Looked up by the relaunch; kept beside the other optional functions.
extern void* disclaimSym;

extern const char* const kUsage;
extern const char* const kCameraHoldUsage;

// True exactly when the value is the one-character text "1".
bool parseSimDictationOff(const char* value);

void initializeGlobals(int argc, char** argv);

}  // namespace qln::globals
