// Reading back a recording the program wrote: 16-bit PCM WAV, its header
// checked against the file's length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qln::testing {

struct WavFile {
  bool exists = false;
  // RIFF, WAVE, fmt and data tags in place, RIFF and data sizes agree with
  // the file's length; 16-bit PCM.
  bool valid = false;
  std::uint32_t rate = 0;
  std::vector<std::int16_t> samples;
};

WavFile readRecorded(const std::string& path);

}  // namespace qln::testing
