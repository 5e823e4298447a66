// Converts a stream of PCM buffers from one format to another: sample rate,
// channel count (mixdown to mono, or the same count) and sample type and
// layout. One class for every backend; the resampler is libsoxr in streaming
// mode, so a stream converts to the same samples however it is cut into
// buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/audio_format.h"

struct soxr;

namespace qln::platform {

enum class InputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };

// What convert() asks for input with: (frames it could use, status out) ->
// the buffer, valid for the rest of the call, or null. A non-owning
// reference to the caller's callable, so a call allocates nothing.
class InputBlock {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, InputBlock>>>
  InputBlock(F&& f)  // NOLINT: implicit, so a lambda can be passed directly
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, std::uint32_t frames, InputStatus& status) -> const PcmBuffer* {
          return (*static_cast<std::remove_reference_t<F>*>(o))(frames, status);
        }) {}

  const PcmBuffer* operator()(std::uint32_t frames, InputStatus& status) const {
    return call_(object_, frames, status);
  }

 private:
  void* object_;
  const PcmBuffer* (*call_)(void*, std::uint32_t, InputStatus&);
};

enum class ConvertStatus { haveData, inputRanDry, endOfStream, error };

struct ConvertResult {
  ConvertStatus status = ConvertStatus::haveData;
  std::string error;  // empty on success
  bool ok() const { return error.empty(); }
};

class AudioConverter {
 public:
  // Resampling quality: libsoxr's "medium" recipe (16-bit precision, pass
  // band flat to 0.35 dB), linear phase. The output is 16-bit at best, and it
  // costs about half of "high" per buffer; its delay is ~13 ms at 48 kHz to
  // 16 kHz.
  static constexpr unsigned long kSoxrRecipe = 2;  // SOXR_MQ

  // Rates further apart than this are refused: the resampler would spend
  // minutes building its filter for a rate no capture device runs at.
  static constexpr double kMaxRateRatio = 256.0;

  // None when either format cannot describe audio, when `to` has neither one
  // channel nor as many as `from`, when the rates are more than
  // kMaxRateRatio apart, or when the resampler cannot be built.
  static std::shared_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
  ~AudioConverter();
  AudioConverter(const AudioConverter&) = delete;
  AudioConverter& operator=(const AudioConverter&) = delete;

  const AudioFormat& inputFormat() const { return from_; }
  const AudioFormat& outputFormat() const { return to_; }

  // Fills `out` (which must be in the output format) with converted frames:
  // first those left over from the last call, then from input, asking
  // `input` again after each buffer until it answers anything but haveData
  // or `out` is full. Its frameLength is set to the frames written, possibly
  // 0. Everything handed over is consumed during the call; what does not fit
  // `out` waits for the next call. The resampler holds back some frames of
  // its filter until more input arrives; endOfStream drains them, after which
  // the converter produces nothing more.
  ConvertResult convert(PcmBuffer& out, InputBlock input);

 private:
  AudioConverter(const AudioFormat& from, const AudioFormat& to);
  bool takeInput(const PcmBuffer& buffer, std::string& error);
  bool resample(const float* in, std::size_t frames, std::string& error);
  bool drainResampler(std::string& error);
  std::uint32_t emit(PcmBuffer& out, std::uint32_t at);
  float* reserveHeld(std::size_t frames);

  AudioFormat from_;
  AudioFormat to_;
  std::uint32_t channels_;     // of the working samples: to_.channelCount
  ::soxr* resampler_ = nullptr;  // none at equal rates
  std::vector<float> input_;   // one input buffer, mixed to channels_, interleaved
  std::vector<float> held_;    // converted frames not yet emitted, interleaved
  std::size_t heldBegin_ = 0;  // in samples
  std::size_t heldEnd_ = 0;
  bool ended_ = false;
};
using AudioConverterPtr = std::shared_ptr<AudioConverter>;

}  // namespace qln::platform
