// A scripted capture source, shared by the scripted microphone and the
// scripted process tap:
//
//   {"kind": "tone", "hz": 440, "amplitude": 0.3}
//   {"kind": "silence"}
//   {"kind": "wav", "path": "/abs/file.wav"}
//
// A WAV file is 16-bit PCM of any rate and channel count; it is converted to
// the capture format, played once, then followed by silence. An unreadable
// file or an unknown kind writes one "sim: ..." diagnostic and captures
// silence.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/audio_format.h"

namespace qln::sim {

// A WAV file's samples converted to a capture format, as float frames of
// `channels` interleaved channels (the format's, or 1 to be copied to all).
struct DecodedWav {
  std::vector<float> samples;
  std::uint32_t channels = 1;
};

class AudioSource {
 public:
  AudioSource(const nlohmann::json& script, const platform::AudioFormat& format);
  // Fills `b` to its capacity with the next frames.
  void fill(platform::PcmBuffer& b);

 private:
  double rate_;
  bool tone_ = false;
  double hz_ = 0;
  float amplitude_ = 0;
  DecodedWav wav_;
  std::uint64_t frame_ = 0;
};

}  // namespace qln::sim
