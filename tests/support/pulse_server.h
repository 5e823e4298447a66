// A private PulseAudio server for tests on the real sound backend: its own
// folder and socket, a null sink "call" for the call's audio, and a virtual
// microphone "mic" fed by whatever plays to the null sink "micfeed", and a
// second one, "SecondMicrophone", fed from "mic2feed".
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process_runner.h"

namespace qln::testing {

class PulseServer {
 public:
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Whether pulseaudio is installed here (else the test skips).
  static bool installed();
  // Whether the server answered after start.
  bool ok() const { return ok_; }
  std::string why() const { return why_; }

  // The environment a client needs to reach this server and no other.
  std::map<std::string, std::optional<std::string>> env() const;
  // Plays a WAV file to `sink` as a client of its own with application id
  // `appId`; the process ends when the file has played.
  std::unique_ptr<RunningProcess> play(const std::string& wav, const std::string& sink, const std::string& appId) const;
  // The same, from a process that is not ours (reparented away from the
  // test, as an application the user started is): its pid.
  int playDetached(const std::string& wav, const std::string& sink, const std::string& appId) const;
  // Records the virtual microphone to nowhere, until the process is killed.
  std::unique_ptr<RunningProcess> record(const std::string& appId) const;
  // Runs pactl against this server with `args`; its output, or none when
  // it fails.
  std::optional<std::string> pactl(const std::vector<std::string>& args) const;
  // The server dies without a word, as a crashed desktop sound server does.
  void kill();
  // A new server on the same socket, as a desktop restarts its own; whether
  // it answered.
  bool restart();

  const std::string& folder() const { return folder_; }

 private:
  void start();
  std::map<std::string, std::optional<std::string>> clientEnv(const std::string& appId) const;

  std::string folder_;
  std::unique_ptr<RunningProcess> server_;
  bool ok_ = false;
  std::string why_;
};

// 16-bit mono PCM as a WAV file.
void writeWav16(const std::string& path, double rate, const std::vector<std::int16_t>& samples);

}  // namespace qln::testing
