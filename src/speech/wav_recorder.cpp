#include "speech/wav_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

namespace qln::speech {

using platform::AudioConverter;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::InputStatus;
using platform::PcmBuffer;

namespace {

constexpr double kOutRate = 16000.0;
// Room for the frames the resampler releases beyond the buffer's own share.
constexpr std::uint32_t kCapacitySlack = 16;

void put16(std::byte* p, std::uint16_t v) {
  p[0] = static_cast<std::byte>(v & 0xFF);
  p[1] = static_cast<std::byte>(v >> 8);
}

void put32(std::byte* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}

void putTag(std::byte* p, const char (&tag)[5]) { std::memcpy(p, tag, 4); }

// Writes all of `length` bytes unless the descriptor fails; returns how many
// reached it.
std::size_t writeFully(int fd, const std::byte* bytes, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

std::array<std::byte, WavRecorder::kHeaderBytes> WavRecorder::header(std::uint32_t dataBytes) {
  std::array<std::byte, kHeaderBytes> h{};
  std::byte* p = h.data();
  putTag(p + 0, "RIFF");
  put32(p + 4, dataBytes + 36u);  // wraps in 32 bits, as the format has it
  putTag(p + 8, "WAVE");
  putTag(p + 12, "fmt ");
  put32(p + 16, 16);
  put16(p + 20, 1);
  put16(p + 22, 1);
  put32(p + 24, 16000);
  put32(p + 28, 32000);
  put16(p + 32, 2);
  put16(p + 34, 16);
  putTag(p + 36, "data");
  put32(p + 40, dataBytes);
  return h;
}

WavRecorder::WavRecorder(Key, dispatch::QueuePtr queue) : writeQueue(std::move(queue)) {}

WavRecorder::~WavRecorder() {
  // Dropped without finalize: the header keeps saying 0, the samples stay.
  if (handle >= 0) ::close(handle);
}

std::shared_ptr<WavRecorder> WavRecorder::make(const std::string& path, const AudioFormat& inputFormat) {
  auto r = std::make_shared<WavRecorder>(Key{}, dispatch::current().makeSerialQueue("qln.wav.write"));
  auto out = AudioFormat::make(CommonFormat::int16, kOutRate, 1, true);
  if (!out) return nullptr;
  r->outFormat = *out;
  r->converter = AudioConverter::make(inputFormat, r->outFormat);
  if (!r->converter) return nullptr;
  // Creating and opening are one call here; an existing file is emptied.
  r->handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (r->handle < 0) return nullptr;
  auto h = header(0);
  writeFully(r->handle, h.data(), h.size());
  return r;
}

void WavRecorder::append(const PcmBuffer& buffer) {
  double rate = buffer.format().sampleRate;
  if (!(rate > 0) || !std::isfinite(rate)) return;
  double frames = kOutRate / rate * buffer.frameLength();
  if (!(frames < 4294967296.0 - kCapacitySlack)) return;
  auto capacity = static_cast<std::uint32_t>(frames) + kCapacitySlack;

  auto out = PcmBuffer::make(outFormat, capacity);
  if (!out) return;
  std::lock_guard lock(convertLock);
  if (finalized.load()) return;
  bool handedOver = false;
  auto result = converter->convert(*out, [&](std::uint32_t, InputStatus& status) -> const PcmBuffer* {
    if (handedOver) {
      status = InputStatus::noDataNow;
      return nullptr;
    }
    handedOver = true;
    status = InputStatus::haveData;
    return &buffer;
  });
  if (!result.ok() || out->frameLength() == 0 || out->int16ChannelData() == nullptr) return;
  queueOutput(*out);
}

void WavRecorder::write(const std::byte* bytes, std::size_t length) {
  if (closed) return;
  // A failed or short write (a full disk) counts only whole samples that
  // reached the file, so the header never claims more than is there; a torn
  // sample is stepped back over so later samples stay aligned.
  std::size_t written = writeFully(handle, bytes, length);
  if (written % 2 != 0) {
    --written;
    ::lseek(handle, -1, SEEK_CUR);
  }
  dataBytes.store(dataBytes.load(std::memory_order_relaxed) + written, std::memory_order_relaxed);
}

bool WavRecorder::switchInputFormat(const AudioFormat& format) {
  std::lock_guard lock(convertLock);
  if (finalized.load()) return false;
  auto next = AudioConverter::make(format, outFormat);
  if (!next) return false;
  // The old converter's filter tail belongs to the audio already appended.
  queueConverterTail();
  converter = std::move(next);
  return true;
}

void WavRecorder::queueConverterTail() {
  constexpr std::uint32_t kDrainFrames = 1600;  // 100 ms, well above the filter delay
  for (int round = 0; round < 8; ++round) {
    auto out = PcmBuffer::make(outFormat, kDrainFrames);
    if (!out) break;
    auto result = converter->convert(*out, [](std::uint32_t, InputStatus& status) -> const PcmBuffer* {
      status = InputStatus::endOfStream;
      return nullptr;
    });
    if (!result.ok() || out->frameLength() == 0 || out->int16ChannelData() == nullptr) break;
    queueOutput(*out);
  }
}

void WavRecorder::queueOutput(const PcmBuffer& out) {
  std::size_t length = std::size_t{out.frameLength()} * 2;
  auto bytes = std::make_shared_for_overwrite<std::byte[]>(length);
  std::memcpy(bytes.get(), out.int16ChannelData()[0], length);
  writeQueue->async([weak = weak_from_this(), bytes = std::move(bytes), length] {
    if (auto self = weak.lock()) self->write(bytes.get(), length);
  });
}

std::uint64_t WavRecorder::finalize() {
  if (finalized.exchange(true)) return dataBytes.load() / kBytesPerMs;
  {
    // The last milliseconds still inside the resampler's filter are part of
    // the recording. Under the lock, so an append already converting queues
    // its bytes first, and every later append sees the recording finalized.
    std::lock_guard lock(convertLock);
    queueConverterTail();
  }
  std::uint64_t ms = 0;
  writeQueue->sync([this, &ms] {
    std::uint64_t total = dataBytes.load(std::memory_order_relaxed);
    auto h = header(static_cast<std::uint32_t>(std::min<std::uint64_t>(total, 0xFFFFFFFFu)));
    if (::lseek(handle, 0, SEEK_SET) == 0) writeFully(handle, h.data(), h.size());
    // Bytes of a torn write past the counted data would trail the samples.
    if (total <= 0xFFFFFFFFu) (void)::ftruncate(handle, static_cast<off_t>(kHeaderBytes + total));
    ::close(handle);
    handle = -1;
    closed = true;
    ms = total / kBytesPerMs;
  });
  return ms;
}

}  // namespace qln::speech
