// libqln-audio.so: the sound server behind the audio engine, the audio
// hardware objects and the process taps.
#include <memory>

#include "platform/linux/audio/pulse_engine.h"
#include "platform/linux/audio/pulse_objects.h"
#include "platform/linux/audio/pulse_taps.h"
#include "platform/linux/audio/sound_server.h"
#include "platform/linux/families.h"

namespace qln::platform::linux_backend {
namespace {

class PulseAudioFamily final : public AudioFamily {
 public:
  PulseAudioFamily()
      : server_(pulse::soundServer()), objects_(server_), taps_(std::make_shared<pulse::PulseTaps>(server_)) {
    taps_->attach();
  }

  std::unique_ptr<AudioEngine> makeAudioEngine() override { return pulse::makePulseEngine(server_); }
  HardwareObjects& audioObjects() override { return objects_; }
  ProcessTaps& processTaps() override { return *taps_; }
  // Both need only a server to talk to.
  bool processTap() override { return connected(); }
  bool audioProcessList() override { return connected(); }

 private:
  bool connected() {
    server_.ensureStarted();
    return server_.connected();
  }

  pulse::SoundServer& server_;
  pulse::PulseObjects objects_;
  std::shared_ptr<pulse::PulseTaps> taps_;
};

}  // namespace
}  // namespace qln::platform::linux_backend

extern "C" __attribute__((visibility("default"))) qln::platform::linux_backend::AudioFamily* qln_audio_family() {
  static auto* family = new qln::platform::linux_backend::PulseAudioFamily;
  return family;
}
