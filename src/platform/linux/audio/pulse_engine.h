// The microphone engine on the sound server: a record stream on the default
// source, or on the pinned one, cut into buffers of the tap's size and handed
// to the tap on the server loop's thread.
#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/linux/audio/sound_server.h"

namespace qln::platform::linux_backend::pulse {

std::unique_ptr<AudioEngine> makePulseEngine(SoundServer& server);

// The text voice processing fails with when the server has no echo
// canceller to apply.
inline constexpr const char* kNoEchoCancel = "no echo-cancel filter on this sound server";

}  // namespace qln::platform::linux_backend::pulse
