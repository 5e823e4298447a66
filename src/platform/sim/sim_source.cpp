#include "platform/sim/sim_source.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>

#include "output/output.h"
#include "platform/audio_converter.h"
#include "platform/sim/scenario.h"

namespace qln::sim {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;

namespace {

inline std::int16_t toInt16(float v) {
  float s = v * 32768.0f;
  if (s >= 32767.0f) return 32767;
  if (s <= -32768.0f) return -32768;
  if (s != s) return 0;
  return static_cast<std::int16_t>(std::lrint(s));
}

// Writes `value` as sample (frame, channel) of `b`.
void put(PcmBuffer& b, std::uint32_t frame, std::uint32_t channel, float value) {
  const AudioFormat& f = b.format();
  std::size_t at = f.interleaved ? std::size_t{frame} * f.channelCount + channel : frame;
  std::uint32_t buf = f.interleaved ? 0 : channel;
  if (f.commonFormat == CommonFormat::float32)
    b.floatChannelData()[buf][at] = value;
  else
    b.int16ChannelData()[buf][at] = toInt16(value);
}


bool decodeWav(const std::string& path, const AudioFormat& format, DecodedWav& out, std::string& fault) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fault = "cannot read it";
    return false;
  }
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u16 = [&](std::size_t p) { return static_cast<std::uint32_t>(bytes[p] | (bytes[p + 1] << 8)); };
  auto u32 = [&](std::size_t p) { return u16(p) | (u16(p + 2) << 16); };
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    fault = "not a RIFF WAVE file";
    return false;
  }
  std::uint32_t tag = 0, channels = 0, rate = 0, bits = 0;
  std::size_t dataAt = 0, dataLen = 0;
  bool haveFmt = false, haveData = false;
  for (std::size_t p = 12; p + 8 <= bytes.size();) {
    std::size_t len = u32(p + 4);
    std::size_t body = p + 8;
    if (std::memcmp(&bytes[p], "fmt ", 4) == 0 && len >= 16 && body + 16 <= bytes.size()) {
      tag = u16(body);
      channels = u16(body + 2);
      rate = u32(body + 4);
      bits = u16(body + 14);
      haveFmt = true;
    } else if (std::memcmp(&bytes[p], "data", 4) == 0) {
      dataAt = body;
      dataLen = std::min(len, bytes.size() - body);  // a truncated file plays what it has
      haveData = true;
      break;
    }
    p = body + len + (len & 1);
  }
  if (!haveFmt || !haveData || (tag != 1 && tag != 0xFFFE) || bits != 16 || channels == 0 || rate == 0) {
    fault = "not 16-bit PCM";
    return false;
  }
  AudioFormat wavFormat{static_cast<double>(rate), channels, CommonFormat::int16, true};
  out.channels = channels == format.channelCount ? channels : 1;
  AudioFormat work{format.sampleRate, out.channels, CommonFormat::float32, true};
  auto converter = platform::AudioConverter::make(wavFormat, work);
  if (!converter) {
    fault = "no conversion to the tap's format";
    return false;
  }
  std::uint32_t frames = static_cast<std::uint32_t>(dataLen / (2u * channels));
  auto pcm = PcmBuffer::make(wavFormat, std::max(frames, 1u));
  auto chunk = PcmBuffer::make(work, 4096);
  if (!pcm || !chunk) {
    fault = "too large";
    return false;
  }
  std::memcpy(pcm->int16ChannelData()[0], bytes.data() + dataAt, std::size_t{frames} * 2 * channels);
  pcm->setFrameLength(frames);
  bool handedOver = false;
  for (;;) {
    auto r = converter->convert(*chunk, [&](std::uint32_t, platform::InputStatus& status) -> const PcmBuffer* {
      if (handedOver) {
        status = platform::InputStatus::endOfStream;
        return nullptr;
      }
      handedOver = true;
      status = platform::InputStatus::haveData;
      return pcm.get();
    });
    const float* s = chunk->floatChannelData()[0];
    out.samples.insert(out.samples.end(), s, s + std::size_t{chunk->frameLength()} * out.channels);
    if (!r.ok()) {
      fault = r.error;
      return false;
    }
    if (r.status == platform::ConvertStatus::endOfStream && chunk->frameLength() == 0) return true;
  }
}

}  // namespace

AudioSource::AudioSource(const nlohmann::json& script, const AudioFormat& format) : rate_(format.sampleRate) {
  std::string kind = field(script, "kind", "");
  if (kind == "tone") {
    tone_ = true;
    hz_ = field(script, "hz", 440.0);
    amplitude_ = static_cast<float>(field(script, "amplitude", 0.3));
  } else if (kind == "wav") {
    std::string path = field(script, "path", "");
    std::string fault;
    if (!decodeWav(path, format, wav_, fault)) {
      output::errLine("sim: audio source " + path + ": " + fault + "; capturing silence");
      wav_.samples.clear();
    }
  } else if (kind != "silence") {
    output::errLine("sim: unknown audio source kind '" + kind + "'; capturing silence");
  }
}

void AudioSource::fill(PcmBuffer& b) {
  std::uint32_t channels = b.format().channelCount;
  for (std::uint32_t i = 0; i < b.frameCapacity(); ++i, ++frame_) {
    if (tone_) {
      double phase = std::fmod(static_cast<double>(frame_) * hz_ / rate_, 1.0);
      auto v = static_cast<float>(amplitude_ * std::sin(2.0 * std::numbers::pi * phase));
      for (std::uint32_t c = 0; c < channels; ++c) put(b, i, c, v);
      continue;
    }
    std::size_t at = static_cast<std::size_t>(frame_) * wav_.channels;
    for (std::uint32_t c = 0; c < channels; ++c) {
      float v = 0;
      if (at + wav_.channels <= wav_.samples.size()) v = wav_.samples[at + (wav_.channels == 1 ? 0 : c)];
      put(b, i, c, v);
    }
  }
  b.setFrameLength(b.frameCapacity());
}

}  // namespace qln::sim
