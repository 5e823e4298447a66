// Speech for the PocketSphinx tests, made at test time by espeak-ng from the
// sentences in tests/fixtures/speech/sentences.txt.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/audio_converter.h"
#include "platform/audio_format.h"

namespace qln::testing::sphinx {

inline const char* kVoice = "en-us+f2";
inline const char* kWordsPerMinute = "150";

inline std::vector<std::string> fixtureSentences() {
  std::ifstream in(std::string(QLN_SOURCE_DIR) + "/tests/fixtures/speech/sentences.txt");
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') out.push_back(line);
  return out;
}

struct Wav {
  double rate = 0;
  std::vector<std::int16_t> samples;  // mono
};

// 16-bit mono PCM only, which is what espeak-ng writes.
inline std::optional<Wav> readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return std::nullopt;
  Wav wav;
  bool haveFormat = false;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id = bytes.substr(at, 4);
    std::size_t size = u32(at + 4);
    // espeak-ng writing to a file leaves the data size at its maximum.
    size = std::min(size, bytes.size() - at - 8);
    if (id == "fmt " && size >= 16) {
      std::uint16_t format = 0, channels = 0, bits = 0;
      std::memcpy(&format, bytes.data() + at + 8, 2);
      std::memcpy(&channels, bytes.data() + at + 10, 2);
      std::memcpy(&bits, bytes.data() + at + 22, 2);
      if (format != 1 || channels != 1 || bits != 16) return std::nullopt;
      wav.rate = u32(at + 12);
      haveFormat = true;
    } else if (id == "data" && haveFormat) {
      wav.samples.resize(size / 2);
      std::memcpy(wav.samples.data(), bytes.data() + at + 8, wav.samples.size() * 2);
      return wav;
    }
    at += 8 + size + (size & 1);
  }
  return std::nullopt;
}

inline std::optional<Wav> speak(const std::string& text) {
  char path[] = "/tmp/qln-sphinx-XXXXXX.wav";
  int fd = mkstemps(path, 4);
  if (fd < 0) return std::nullopt;
  close(fd);
  pid_t pid = fork();
  if (pid == 0) {
    execlp("espeak-ng", "espeak-ng", "-v", kVoice, "-s", kWordsPerMinute, "-w", path, text.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    unlink(path);
    return std::nullopt;
  }
  auto wav = readWav(path);
  unlink(path);
  return wav;
}

// Sentences spoken one after another with silence around each.
struct Sample {
  double rate = 0;
  std::vector<std::int16_t> samples;
  std::vector<std::string> texts;
  std::vector<std::pair<double, double>> spans;  // seconds of each sentence
  double seconds() const { return rate > 0 ? static_cast<double>(samples.size()) / rate : 0; }
};

inline std::optional<Sample> makeSample(const std::vector<std::string>& sentences, double pauseSeconds) {
  Sample s;
  for (const auto& text : sentences) {
    auto wav = speak(text);
    if (!wav || (s.rate != 0 && wav->rate != s.rate)) return std::nullopt;
    s.rate = wav->rate;
    s.samples.insert(s.samples.end(), static_cast<std::size_t>(pauseSeconds * s.rate), 0);
    const double start = static_cast<double>(s.samples.size()) / s.rate;
    s.samples.insert(s.samples.end(), wav->samples.begin(), wav->samples.end());
    s.spans.emplace_back(start, static_cast<double>(s.samples.size()) / s.rate);
    s.texts.push_back(text);
  }
  s.samples.insert(s.samples.end(), static_cast<std::size_t>(pauseSeconds * s.rate), 0);
  return s;
}

// The sample cut into buffers of `frames`, in its own format or converted
// through the platform converter.
inline std::vector<platform::PcmBufferPtr> buffersOf(const Sample& s, std::uint32_t frames,
                                                     std::optional<platform::AudioFormat> to = std::nullopt) {
  const auto from = *platform::AudioFormat::make(platform::CommonFormat::int16, s.rate, 1, false);
  std::vector<platform::PcmBufferPtr> raw;
  for (std::size_t at = 0; at < s.samples.size(); at += frames) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(frames, s.samples.size() - at));
    auto b = platform::PcmBuffer::make(from, n);
    b->setFrameLength(n);
    std::copy_n(s.samples.data() + at, n, b->int16ChannelData()[0]);
    raw.push_back(b);
  }
  if (!to) return raw;
  auto converter = platform::AudioConverter::make(from, *to);
  std::vector<platform::PcmBufferPtr> out;
  for (std::size_t i = 0; i <= raw.size(); ++i) {
    auto o = platform::PcmBuffer::make(*to, static_cast<std::uint32_t>(frames * to->sampleRate / s.rate) + 1024);
    bool handed = false;
    converter->convert(*o, [&](std::uint32_t, platform::InputStatus& st) -> const platform::PcmBuffer* {
      if (i == raw.size()) {
        st = platform::InputStatus::endOfStream;
        return nullptr;
      }
      st = handed ? platform::InputStatus::noDataNow : platform::InputStatus::haveData;
      if (handed) return nullptr;
      handed = true;
      return raw[i].get();
    });
    if (o->frameLength() > 0) out.push_back(o);
  }
  return out;
}

inline std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string w;
  for (char c : text + " ") {
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '\'') {
      w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!w.empty()) {
      words.push_back(w);
      w.clear();
    }
  }
  return words;
}

// The share of the reference's words that the hypothesis has (as a
// multiset: a word said twice must be heard twice).
inline double wordOverlap(const std::string& reference, const std::string& hypothesis) {
  auto ref = wordsOf(reference);
  if (ref.empty()) return 0;
  std::map<std::string, int> heard;
  for (const auto& w : wordsOf(hypothesis)) heard[w]++;
  int found = 0;
  for (const auto& w : ref)
    if (heard[w]-- > 0) ++found;
  return static_cast<double>(found) / static_cast<double>(ref.size());
}

}  // namespace qln::testing::sphinx
