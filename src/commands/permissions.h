// `permissions`: one line with the camera, microphone and speech-recognition
// permissions, optionally asking for the speech permission first.
#pragma once

#include "platform/permissions.h"
#include "platform/speech_recognizer.h"

namespace qln::commands {

// Camera and microphone: "granted", "denied", "restricted", "notDetermined".
const char* avAuthString(platform::CaptureAuthorization status);
// Speech recognition says "authorized" where the capture devices say "granted".
const char* speechPermString(platform::SpeechAuthorization status);

// Runs on a global queue while the main thread serves the main queue (the
// system's prompt may need it). Writes the perms line and exits 0; with
// `requestSpeech` it first waits, without a limit, for the answer to the
// speech-recognition request.
[[noreturn]] void runPermissions(bool requestSpeech);

}  // namespace qln::commands
