#include "platform/audio_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace qln::platform {

std::optional<AudioFormat> AudioFormat::make(CommonFormat format, double sampleRate,
                                             std::uint32_t channels, bool interleaved) {
  if (!(sampleRate > 0) || !std::isfinite(sampleRate) || channels == 0) return std::nullopt;
  return AudioFormat{sampleRate, channels, format, interleaved};
}

std::optional<AudioFormat> AudioFormat::standard(double sampleRate, std::uint32_t channels) {
  return make(CommonFormat::float32, sampleRate, channels, false);
}

std::optional<AudioFormat> AudioFormat::fromStreamDescription(const StreamDescription& d) {
  if (d.formatID != kFormatLinearPCM || (d.formatFlags & kFormatFlagIsBigEndian) != 0) return std::nullopt;
  CommonFormat common;
  if ((d.formatFlags & kFormatFlagIsFloat) != 0 && d.bitsPerChannel == 32) {
    common = CommonFormat::float32;
  } else if ((d.formatFlags & kFormatFlagIsFloat) == 0 &&
             (d.formatFlags & kFormatFlagIsSignedInteger) != 0 && d.bitsPerChannel == 16) {
    common = CommonFormat::int16;
  } else {
    return std::nullopt;
  }
  bool interleaved = (d.formatFlags & kFormatFlagIsNonInterleaved) == 0;
  auto f = make(common, d.sampleRate, d.channelsPerFrame, interleaved);
  if (!f || d.framesPerPacket != 1 || d.bytesPerFrame != f->bytesPerFrame() ||
      d.bytesPerPacket != d.bytesPerFrame)
    return std::nullopt;
  return f;
}

StreamDescription AudioFormat::streamDescription() const {
  StreamDescription d;
  d.sampleRate = sampleRate;
  d.formatID = kFormatLinearPCM;
  d.formatFlags = (commonFormat == CommonFormat::float32 ? kFormatFlagIsFloat : kFormatFlagIsSignedInteger) |
                  kFormatFlagIsPacked | (interleaved ? 0u : kFormatFlagIsNonInterleaved);
  d.bytesPerFrame = bytesPerFrame();
  d.bytesPerPacket = d.bytesPerFrame;
  d.framesPerPacket = 1;
  d.channelsPerFrame = channelCount;
  d.bitsPerChannel = bytesPerSample() * 8;
  return d;
}

bool sameLayout(const AudioFormat& a, const AudioFormat& b) {
  return a.sampleRate == b.sampleRate && a.channelCount == b.channelCount &&
         a.commonFormat == b.commonFormat && (a.interleaved == b.interleaved || a.channelCount == 1);
}

namespace {

constexpr std::size_t kAlign = alignof(std::max_align_t);

constexpr std::size_t roundUp(std::size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// Where the shared control block ends, and how much more to allocate after
// it. The allocator below fills `base` before the buffer is constructed.
struct Tail {
  std::size_t extra = 0;
  std::byte* base = nullptr;
};

// Lets allocate_shared place the control block, the buffer object and its
// samples in one allocation.
template <class T>
struct TailAllocator {
  using value_type = T;
  Tail* tail;

  explicit TailAllocator(Tail* t) : tail(t) {}
  template <class U>
  TailAllocator(const TailAllocator<U>& other) : tail(other.tail) {}

  T* allocate(std::size_t n) {
    std::size_t head = roundUp(n * sizeof(T));
    auto* p = static_cast<std::byte*>(::operator new(head + tail->extra));
    tail->base = p + head;
    return reinterpret_cast<T*>(p);
  }
  // `tail` may be gone by now; the size is not needed.
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p); }

  template <class U>
  bool operator==(const TailAllocator<U>& other) const { return tail == other.tail; }
};

}  // namespace

std::shared_ptr<PcmBuffer> PcmBuffer::copyOf(const PcmBuffer& buffer) {
  auto copy = make(buffer.format(), buffer.frameLength());
  if (!copy) return nullptr;
  copy->setFrameLength(buffer.frameLength());
  auto from = buffer.audioBufferList();
  auto to = copy->audioBufferList();
  if (from.size() != to.size()) return nullptr;
  for (std::size_t i = 0; i < from.size(); ++i) {
    if (from[i].data == nullptr || to[i].data == nullptr) return nullptr;
    std::memcpy(to[i].data, from[i].data, std::min(from[i].dataByteSize, to[i].dataByteSize));
  }
  return copy;
}

std::shared_ptr<PcmBuffer> PcmBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
  if (frameCapacity == 0 || format.channelCount == 0) return nullptr;
  std::uint64_t buffers = format.bufferCount();
  std::uint64_t sampleBytes = std::uint64_t{frameCapacity} * format.bytesPerFrame() * buffers;
  // bytesPerFrame() is at most 4 × 2^32 and the product is checked in steps,
  // so nothing here wraps.
  if (std::uint64_t{format.bytesPerFrame()} * frameCapacity > kMaxSampleBytes ||
      sampleBytes > kMaxSampleBytes)
    return nullptr;
  std::size_t perBufferBytes = roundUp(static_cast<std::size_t>(frameCapacity) * format.bytesPerFrame());
  std::size_t tables = roundUp(buffers * (sizeof(RawBuffer) + sizeof(void*)));
  Tail tail{tables + perBufferBytes * buffers, nullptr};
  try {
    return std::allocate_shared<PcmBuffer>(TailAllocator<PcmBuffer>(&tail), Key{}, format,
                                           frameCapacity, tail.base);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

PcmBuffer::PcmBuffer(Key, const AudioFormat& format, std::uint32_t capacity, std::byte* tail)
    : format_(format), frameCapacity_(capacity) {
  std::uint32_t count = format.bufferCount();
  std::size_t perBufferBytes = roundUp(static_cast<std::size_t>(capacity) * format.bytesPerFrame());
  std::size_t tables = roundUp(count * (sizeof(RawBuffer) + sizeof(void*)));
  std::byte* table = tail + count * sizeof(RawBuffer);
  std::byte* samples = tail + tables;
  std::memset(samples, 0, perBufferBytes * count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::byte* data = samples + perBufferBytes * i;
    ::new (tail + i * sizeof(RawBuffer)) RawBuffer{format.interleaved ? format.channelCount : 1u, 0, data};
    if (format.commonFormat == CommonFormat::float32)
      ::new (table + i * sizeof(void*)) float*(reinterpret_cast<float*>(data));
    else
      ::new (table + i * sizeof(void*)) std::int16_t*(reinterpret_cast<std::int16_t*>(data));
  }
  buffers_ = std::launder(reinterpret_cast<RawBuffer*>(tail));
  channelTable_ = table;
}

void PcmBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
  std::uint32_t bytes = frameLength_ * format_.bytesPerFrame();  // fits: see kMaxSampleBytes
  for (std::uint32_t i = 0; i < format_.bufferCount(); ++i) buffers_[i].dataByteSize = bytes;
}

float* const* PcmBuffer::floatChannelData() {
  if (format_.commonFormat != CommonFormat::float32) return nullptr;
  return std::launder(reinterpret_cast<float**>(channelTable_));
}

const float* const* PcmBuffer::floatChannelData() const {
  if (format_.commonFormat != CommonFormat::float32) return nullptr;
  return std::launder(reinterpret_cast<float**>(channelTable_));
}

std::int16_t* const* PcmBuffer::int16ChannelData() {
  if (format_.commonFormat != CommonFormat::int16) return nullptr;
  return std::launder(reinterpret_cast<std::int16_t**>(channelTable_));
}

const std::int16_t* const* PcmBuffer::int16ChannelData() const {
  if (format_.commonFormat != CommonFormat::int16) return nullptr;
  return std::launder(reinterpret_cast<std::int16_t**>(channelTable_));
}

}  // namespace qln::platform
