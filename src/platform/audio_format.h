// Audio formats and PCM buffers, shared by every backend and the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace qln::platform {

enum class CommonFormat { float32, int16 };

// The 40-byte stream description of the hardware object model.
struct StreamDescription {
  double sampleRate = 0;
  std::uint32_t formatID = 0;  // 'lpcm'
  std::uint32_t formatFlags = 0;
  std::uint32_t bytesPerPacket = 0;
  std::uint32_t framesPerPacket = 0;
  std::uint32_t bytesPerFrame = 0;
  std::uint32_t channelsPerFrame = 0;
  std::uint32_t bitsPerChannel = 0;
  std::uint32_t reserved = 0;
};
static_assert(sizeof(StreamDescription) == 40);

constexpr std::uint32_t kFormatLinearPCM = 0x6C70636Du;  // 'lpcm'
constexpr std::uint32_t kFormatFlagIsFloat = 1u << 0;
constexpr std::uint32_t kFormatFlagIsBigEndian = 1u << 1;
constexpr std::uint32_t kFormatFlagIsSignedInteger = 1u << 2;
constexpr std::uint32_t kFormatFlagIsPacked = 1u << 3;
constexpr std::uint32_t kFormatFlagIsNonInterleaved = 1u << 5;

// A plain value: an engine may answer with one whose rate or channel count is
// 0 (no usable input), so callers check before they use it.
struct AudioFormat {
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
  CommonFormat commonFormat = CommonFormat::float32;
  bool interleaved = false;

  // None when the values cannot describe audio (rate not positive and
  // finite, no channels).
  static std::optional<AudioFormat> make(CommonFormat format, double sampleRate,
                                         std::uint32_t channels, bool interleaved);
  // 32-bit float, deinterleaved.
  static std::optional<AudioFormat> standard(double sampleRate, std::uint32_t channels);
  // None for descriptions that are not native-endian, packed linear PCM
  // float32 / int16 with one frame per packet.
  static std::optional<AudioFormat> fromStreamDescription(const StreamDescription& d);

  StreamDescription streamDescription() const;
  std::uint32_t bytesPerSample() const { return commonFormat == CommonFormat::float32 ? 4 : 2; }
  // Of one buffer of the list: every channel when interleaved, one otherwise.
  std::uint32_t bytesPerFrame() const { return interleaved ? bytesPerSample() * channelCount : bytesPerSample(); }
  // Raw buffers a PCM buffer of this format has.
  std::uint32_t bufferCount() const { return interleaved ? 1 : channelCount; }
  bool operator==(const AudioFormat&) const = default;
};

// Same samples in the same memory layout: one channel reads the same whether
// called interleaved or not.
bool sameLayout(const AudioFormat& a, const AudioFormat& b);

// One raw buffer of a buffer list: interleaved formats have one holding every
// channel, deinterleaved formats one per channel.
struct RawBuffer {
  std::uint32_t numberChannels = 0;
  std::uint32_t dataByteSize = 0;
  void* data = nullptr;
};

// Samples, channel pointers and raw buffer table live in the one allocation
// that make() does, so a buffer costs one allocation and nothing afterwards.
class PcmBuffer {
  struct Key {};

 public:
  // The most bytes of samples one buffer may hold; a larger request is
  // "impossible" rather than a gamble with the allocator.
  static constexpr std::uint64_t kMaxSampleBytes = 1ull << 30;

  // None on an impossible capacity (0, or too large to allocate) or a format
  // without channels. The sample rate is not checked: buffers carry whatever
  // format their producer reports, and consumers decide what they accept.
  // Samples start at zero.
  static std::shared_ptr<PcmBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);
  // A deep copy of the valid frames, for keeping a buffer its producer will
  // reuse; none for an empty buffer or when the copy cannot be made.
  static std::shared_ptr<PcmBuffer> copyOf(const PcmBuffer& buffer);

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(std::uint32_t frames);

  // Per-channel sample arrays (one array of interleaved samples for
  // interleaved formats); null when the format has another sample type.
  float* const* floatChannelData();
  const float* const* floatChannelData() const;
  std::int16_t* const* int16ChannelData();
  const std::int16_t* const* int16ChannelData() const;

  // Raw views for byte copies; byte sizes follow frameLength.
  std::span<const RawBuffer> audioBufferList() const { return {buffers_, format_.bufferCount()}; }

  // Only make() can build one (the key is private).
  PcmBuffer(Key, const AudioFormat& format, std::uint32_t capacity, std::byte* tail);
  PcmBuffer(const PcmBuffer&) = delete;
  PcmBuffer& operator=(const PcmBuffer&) = delete;

 private:
  AudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  RawBuffer* buffers_ = nullptr;  // bufferCount() entries
  std::byte* channelTable_ = nullptr;  // bufferCount() float* or int16_t*
};
using PcmBufferPtr = std::shared_ptr<PcmBuffer>;

}  // namespace qln::platform
