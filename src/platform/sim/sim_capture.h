// The scripted camera and capture-device authorization, and the control
// object tests inspect them with.
//
// Scenario section "permissions" (every key optional):
//
//   "permissions": {
//     "camera": "authorized" | "denied" | "restricted" | "notDetermined",
//     "microphone": ...same words...,        both default "notDetermined"
//     "later": [ {"atMs": 300, "camera": "authorized", "microphone": "denied"}, ... ]
//         statuses that take over once that many ms of real time have passed
//         since the scenario was loaded (a user changing the setting
//         meanwhile); a key left out keeps its earlier value.
//   }
//
// Scenario section "camera" (absent: the machine has no camera):
//
//   "camera": {
//     "present": true,                 a default video device (default true)
//     "inputError": "text",            making the input fails with this
//                                      localized description
//     "canAddInput": true,             whether the session takes the input
//     "startsAfterMs": 0 | n | "never" how long after the start request the
//                                      session reports running (default 0)
//   }
//
// The sim only answers the platform's calls as scripted; it knows nothing
// of the modes that use them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace qln::sim {

// What one capture session was asked to do, in dispatch clock time.
struct CaptureSessionLog {
  bool inputAdded = false;
  std::optional<std::uint64_t> startRequestedAtNs;
  std::optional<std::uint64_t> stoppedAtNs;
};

class SimCapture {
 public:
  // Every session made since the last reset, oldest first.
  std::vector<CaptureSessionLog> sessions() const;
};

SimCapture& simCapture();

}  // namespace qln::sim
