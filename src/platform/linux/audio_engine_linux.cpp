// The product's audio engine: the sound server's record stream from the audio
// family. Without that family (its library or libpulse missing) the engine
// has no usable input, so every start attempt fails the way it does on a
// machine without a microphone.
#include "platform/audio_engine.h"
#include "platform/linux/families.h"

namespace qln::platform {

namespace {

class LinuxAudioEngine final : public AudioEngine {
 public:
  bool hasAudioUnit() override { return false; }
  std::int32_t setInputDevice(std::uint32_t) override { return -1; }
  bool setVoiceProcessingEnabled(bool, std::string& errorDescription) override {
    errorDescription = "no voice processing on this system yet";
    return false;
  }
  AudioFormat outputFormat() override { return AudioFormat{}; }
  void installTap(std::uint32_t, const AudioFormat&, TapBlock) override {}
  void removeTap() override {}
  void prepare() override {}
  bool start(std::string& error) override {
    error = "no audio capture backend (" + linux_backend::familyLoadError(linux_backend::kAudioFamilyFile) + ")";
    return false;
  }
  void stop() override {}
  ObserverToken addConfigurationChangeObserver(std::function<void()>) override { return ++lastToken_; }
  void removeObserver(ObserverToken) override {}

 private:
  ObserverToken lastToken_ = 0;
};

}  // namespace

std::unique_ptr<AudioEngine> makeAudioEngine() {
  if (auto* family = linux_backend::audioFamily()) return family->makeAudioEngine();
  return std::make_unique<LinuxAudioEngine>();
}

}  // namespace qln::platform
