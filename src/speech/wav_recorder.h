// Writes captured audio to a WAV file: 16-bit signed PCM, mono, 16000 Hz,
// whatever the capture format. Converts on the caller's thread, writes on a
// serial queue of its own, and on finalisation rewrites the header with the
// true sizes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "dispatch/dispatch.h"
#include "platform/audio_converter.h"
#include "platform/audio_format.h"

namespace qln::speech {

class WavRecorder : public std::enable_shared_from_this<WavRecorder> {
  struct Key {};

 public:
  static constexpr std::size_t kHeaderBytes = 44;
  static constexpr std::uint64_t kBytesPerMs = 32;

  // Creates or truncates the file at `path` and writes the provisional
  // header (data size 0). None on any failure.
  static std::shared_ptr<WavRecorder> make(const std::string& path, const platform::AudioFormat& inputFormat);

  // Converts one captured buffer and queues its bytes for writing. Called on
  // the capture thread, one thread at a time; returns before the bytes reach
  // the file. Buffers that cannot be converted are dropped.
  void append(const platform::PcmBuffer& buffer);

  // Queues what the resampler still holds, waits for every queued write,
  // rewrites the header, closes the file and returns the milliseconds of
  // audio in it. Appends after it are dropped. Idempotent. Never call it from
  // the write queue.
  std::uint64_t finalize();

  // Feeds later buffers of `format` through a new converter into the same
  // file, so a capture whose format changed is not misread; what the old
  // converter still holds is queued first. Call it from the thread that
  // appends, or while no append can run. False, changing nothing, when no
  // converter can be built or the recording is finalized.
  bool switchInputFormat(const platform::AudioFormat& format);

  WavRecorder(Key, dispatch::QueuePtr writeQueue);
  ~WavRecorder();
  WavRecorder(const WavRecorder&) = delete;
  WavRecorder& operator=(const WavRecorder&) = delete;

 private:
  static std::array<std::byte, kHeaderBytes> header(std::uint32_t dataBytes);
  // On the write queue.
  void write(const std::byte* bytes, std::size_t length);
  // Queues the 16-bit samples of `out` (in outFormat) for writing.
  void queueOutput(const platform::PcmBuffer& out);
  // Queues what the converter's filter still holds; ends its stream. Under
  // convertLock.
  void queueConverterTail();

  int handle = -1;
  // Appends, a format switch and finalize's drain use the converter from
  // different threads.
  std::mutex convertLock;
  platform::AudioConverterPtr converter;
  platform::AudioFormat outFormat;
  dispatch::QueuePtr writeQueue;
  // Changed only on the write queue; atomic so that the early return of a
  // second finalize may read it from any thread.
  std::atomic<std::uint64_t> dataBytes{0};
  std::atomic<bool> finalized{false};
  // Set on the write queue once the file is closed: later writes drop their
  // bytes instead of reaching a closed (or reused) descriptor.
  bool closed = false;
};
using WavRecorderPtr = std::shared_ptr<WavRecorder>;

}  // namespace qln::speech
