#include "wav_file.h"

#include <fstream>
#include <iterator>

namespace qln::testing {

WavFile readRecorded(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  WavFile w;
  if (!in) return w;
  w.exists = true;
  std::vector<unsigned char> b{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (b.size() < 44) return w;
  auto le32 = [&](std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
  };
  auto tag = [&](std::size_t at, const char* text) { return std::string(b.begin() + at, b.begin() + at + 4) == text; };
  w.valid = tag(0, "RIFF") && tag(8, "WAVE") && tag(12, "fmt ") && tag(36, "data") && le32(4) == b.size() - 8 &&
            le32(40) == b.size() - 44 && b[22] == 1 && b[34] == 16;
  w.rate = le32(24);
  w.samples.resize((b.size() - 44) / 2);
  for (std::size_t i = 0; i < w.samples.size(); ++i)
    w.samples[i] = static_cast<std::int16_t>(b[44 + 2 * i] | (b[45 + 2 * i] << 8));
  return w;
}

}  // namespace qln::testing
