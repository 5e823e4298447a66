// The backend families whose system libraries are heavy to load (the sound
// server, the recogniser, the X server client). Each is a shared library of
// its own beside the binary, opened the first time a mode asks for it, so a
// mode that never touches audio never pays for libpulse or PocketSphinx at
// start-up. A family library resolves the core's symbols from the binary.
//
// A family library exports one C entry point, named below, of the form
//   extern "C" AudioFamily* qln_audio_family();
// that makes its family object (alive for the rest of the process), or
// returns null when the family cannot work on this machine.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_engine.h"
#include "platform/hardware.h"
#include "platform/process_tap.h"
#include "platform/speech_analyzer.h"
#include "platform/speech_recognizer.h"
#include "platform/window_server.h"

namespace qln::platform::linux_backend {

// libqln-audio.so: PulseAudio (or PipeWire through its PulseAudio service).
class AudioFamily {
 public:
  virtual ~AudioFamily() = default;
  virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;
  virtual HardwareObjects& audioObjects() = 0;
  virtual ProcessTaps& processTaps() = 0;
  // Whether the sound server can tap other processes' playback and list the
  // processes that record.
  virtual bool processTap() = 0;
  virtual bool audioProcessList() = 0;
};
inline constexpr const char* kAudioFamilyFile = "libqln-audio.so";
inline constexpr const char* kAudioFamilyEntry = "qln_audio_family";

// libqln-speech.so: PocketSphinx with the en-US model.
class SpeechFamily {
 public:
  virtual ~SpeechFamily() = default;
  virtual SpeechRecognition& recognition() = 0;
  virtual SpeechAnalysis& analysis() = 0;
  // Whether the streaming analyzer can run (its model is present).
  virtual bool analyzer() = 0;
};
inline constexpr const char* kSpeechFamilyFile = "libqln-speech.so";
inline constexpr const char* kSpeechFamilyEntry = "qln_speech_family";

// libqln-x11.so: Xlib and XRandR.
class WindowFamily {
 public:
  virtual ~WindowFamily() = default;
  virtual WindowServer& windowServer() = 0;
};
inline constexpr const char* kWindowFamilyFile = "libqln-x11.so";
inline constexpr const char* kWindowFamilyEntry = "qln_window_family";

// The family, its library opened on the first call; null when the library
// or one of the system libraries it needs cannot be loaded. The reason is
// kept for the one diagnostic a caller may want to write.
AudioFamily* audioFamily();
SpeechFamily* speechFamily();
WindowFamily* windowFamily();
std::string familyLoadError(const char* file);
// Where the family's library would be opened from, without opening it;
// empty when it is in neither place.
std::string familyPath(const char* file);

}  // namespace qln::platform::linux_backend
