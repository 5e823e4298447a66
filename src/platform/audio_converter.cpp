#include "platform/audio_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "platform/lazy_library.h"

namespace qln::platform {

static_assert(AudioConverter::kSoxrRecipe == SOXR_MQ);

namespace {

// libsoxr, opened when the first converter needs a resampler.
struct Soxr {
  decltype(&soxr_io_spec) ioSpec;
  decltype(&soxr_quality_spec) qualitySpec;
  decltype(&soxr_runtime_spec) runtimeSpec;
  decltype(&soxr_create) create;
  decltype(&soxr_process) process;
  decltype(&soxr_delete) destroy;
  bool ok() const { return ioSpec && qualitySpec && runtimeSpec && create && process && destroy; }
};

const Soxr& soxr() {
  static const Soxr api = [] {
    static LazyLibrary library("libsoxr.so.0");
#define QLN_SOXR_FUNCTION(f) library.function<std::remove_pointer_t<decltype(&f)>>(#f)
    return Soxr{QLN_SOXR_FUNCTION(soxr_io_spec),   QLN_SOXR_FUNCTION(soxr_quality_spec),
                QLN_SOXR_FUNCTION(soxr_runtime_spec), QLN_SOXR_FUNCTION(soxr_create),
                QLN_SOXR_FUNCTION(soxr_process),   QLN_SOXR_FUNCTION(soxr_delete)};
#undef QLN_SOXR_FUNCTION
  }();
  return api;
}

bool usable(const AudioFormat& f) {
  return f.sampleRate > 0 && std::isfinite(f.sampleRate) && f.channelCount > 0;
}

// Scaled by 32768 and clamped, so that int16 → float → int16 gives back the
// same samples (a same-rate, same-type conversion is then an exact copy).
inline std::int16_t toInt16(float v) {
  float s = v * 32768.0f;
  if (s >= 32767.0f) return 32767;
  if (s <= -32768.0f) return -32768;
  if (s != s) return 0;  // NaN
  return static_cast<std::int16_t>(std::lrint(s));
}

constexpr float kFromInt16 = 1.0f / 32768.0f;

// Sample `channel` of `frame`, as float.
template <class T>
inline float sampleAt(const T* const* data, bool interleaved, std::uint32_t channels,
                      std::uint32_t frame, std::uint32_t channel) {
  T v = interleaved ? data[0][std::size_t{frame} * channels + channel] : data[channel][frame];
  if constexpr (std::is_same_v<T, float>)
    return v;
  else
    return static_cast<float>(v) * kFromInt16;
}

// Mixes `buffer` into `dst` as `outChannels` interleaved channels: the same
// channels, or their average when `outChannels` is 1.
template <class T>
void gather(const T* const* data, const AudioFormat& f, std::uint32_t frames, std::uint32_t outChannels,
            float* dst) {
  std::uint32_t in = f.channelCount;
  if (outChannels == in) {
    for (std::uint32_t i = 0; i < frames; ++i)
      for (std::uint32_t c = 0; c < in; ++c) *dst++ = sampleAt(data, f.interleaved, in, i, c);
    return;
  }
  float scale = 1.0f / static_cast<float>(in);
  for (std::uint32_t i = 0; i < frames; ++i) {
    float sum = 0;
    for (std::uint32_t c = 0; c < in; ++c) sum += sampleAt(data, f.interleaved, in, i, c);
    *dst++ = sum * scale;
  }
}

}  // namespace

std::shared_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
  if (!usable(from) || !usable(to)) return nullptr;
  if (to.channelCount != 1 && to.channelCount != from.channelCount) return nullptr;
  const double ratio = from.sampleRate / to.sampleRate;
  if (!(ratio <= kMaxRateRatio && ratio >= 1.0 / kMaxRateRatio)) return nullptr;
  std::shared_ptr<AudioConverter> c(new AudioConverter(from, to));
  if (from.sampleRate != to.sampleRate) {
    const Soxr& api = soxr();
    if (!api.ok()) return nullptr;
    soxr_error_t err = nullptr;
    soxr_io_spec_t io = api.ioSpec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = api.qualitySpec(kSoxrRecipe, SOXR_LINEAR_PHASE);
    soxr_runtime_spec_t runtime = api.runtimeSpec(1);
    c->resampler_ = api.create(from.sampleRate, to.sampleRate, c->channels_, &err, &io, &quality, &runtime);
    if (err != nullptr || c->resampler_ == nullptr) return nullptr;
  }
  return c;
}

AudioConverter::AudioConverter(const AudioFormat& from, const AudioFormat& to)
    : from_(from), to_(to), channels_(to.channelCount) {}

AudioConverter::~AudioConverter() {
  if (resampler_ != nullptr) soxr().destroy(resampler_);
}

ConvertResult AudioConverter::convert(PcmBuffer& out, InputBlock input) {
  ConvertResult result;
  out.setFrameLength(0);
  if (!sameLayout(out.format(), to_)) {
    result.status = ConvertStatus::error;
    result.error = "the output buffer is not in the converter's output format";
    return result;
  }
  std::uint32_t written = emit(out, 0);
  if (ended_) {
    result.status = ConvertStatus::endOfStream;
    return result;
  }
  while (written < out.frameCapacity()) {
    auto wanted = static_cast<std::uint32_t>(std::min(
        std::ceil((out.frameCapacity() - written) * from_.sampleRate / to_.sampleRate), 4294967295.0));
    InputStatus status = InputStatus::noDataNow;
    const PcmBuffer* buffer = input(wanted, status);
    if (status == InputStatus::haveData) {
      if (buffer == nullptr) {
        result.error = "the input block reported data but handed over no buffer";
      } else if (takeInput(*buffer, result.error)) {
        written = emit(out, written);
        continue;
      }
      result.status = ConvertStatus::error;
      return result;
    }
    if (status == InputStatus::endOfStream) {
      ended_ = true;
      if (!drainResampler(result.error)) {
        result.status = ConvertStatus::error;
        return result;
      }
      emit(out, written);
      result.status = ConvertStatus::endOfStream;
      return result;
    }
    result.status = ConvertStatus::inputRanDry;
    return result;
  }
  result.status = ConvertStatus::haveData;
  return result;
}

bool AudioConverter::takeInput(const PcmBuffer& buffer, std::string& error) {
  if (!sameLayout(buffer.format(), from_)) {
    error = "the input buffer is not in the converter's input format";
    return false;
  }
  std::uint32_t frames = buffer.frameLength();
  if (frames == 0) return true;
  // Without resampling the mix goes straight to the held frames.
  float* dst;
  if (resampler_ == nullptr) {
    dst = reserveHeld(frames);
  } else {
    std::size_t need = std::size_t{frames} * channels_;
    if (input_.size() < need) input_.resize(need);
    dst = input_.data();
  }
  if (from_.commonFormat == CommonFormat::float32)
    gather(buffer.floatChannelData(), from_, frames, channels_, dst);
  else
    gather(buffer.int16ChannelData(), from_, frames, channels_, dst);
  if (resampler_ == nullptr) {
    heldEnd_ += std::size_t{frames} * channels_;
    return true;
  }
  return resample(input_.data(), frames, error);
}

bool AudioConverter::resample(const float* in, std::size_t frames, std::string& error) {
  double ratio = to_.sampleRate / from_.sampleRate;
  while (frames > 0) {
    std::size_t room = static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio)) + 64;
    float* dst = reserveHeld(room);
    std::size_t used = 0, made = 0;
    soxr_error_t err = soxr().process(resampler_, in, frames, &used, dst, room, &made);
    if (err != nullptr) {
      error = std::string("resampler: ") + err;
      return false;
    }
    heldEnd_ += made * channels_;
    in += used * channels_;
    frames -= used;
    if (used == 0 && made == 0) break;  // cannot happen with room to spare; never spin
  }
  return true;
}

bool AudioConverter::drainResampler(std::string& error) {
  if (resampler_ == nullptr) return true;
  for (;;) {
    constexpr std::size_t room = 1024;
    float* dst = reserveHeld(room);
    std::size_t made = 0;
    soxr_error_t err = soxr().process(resampler_, nullptr, 0, nullptr, dst, room, &made);
    if (err != nullptr) {
      error = std::string("resampler: ") + err;
      return false;
    }
    heldEnd_ += made * channels_;
    if (made == 0) return true;
  }
}

float* AudioConverter::reserveHeld(std::size_t frames) {
  std::size_t need = frames * channels_;
  if (heldBegin_ == heldEnd_) heldBegin_ = heldEnd_ = 0;
  if (held_.size() - heldEnd_ < need) {
    // Move what is left to the front before growing.
    std::copy(held_.begin() + static_cast<std::ptrdiff_t>(heldBegin_),
              held_.begin() + static_cast<std::ptrdiff_t>(heldEnd_), held_.begin());
    heldEnd_ -= heldBegin_;
    heldBegin_ = 0;
    if (held_.size() - heldEnd_ < need) held_.resize(heldEnd_ + need);
  }
  return held_.data() + heldEnd_;
}

std::uint32_t AudioConverter::emit(PcmBuffer& out, std::uint32_t at) {
  std::size_t available = (heldEnd_ - heldBegin_) / channels_;
  auto frames = static_cast<std::uint32_t>(std::min<std::size_t>(available, out.frameCapacity() - at));
  if (frames == 0) return at;  // nothing held (held_ may not even be allocated yet)
  const float* src = held_.data() + heldBegin_;
  const AudioFormat& f = out.format();
  std::uint32_t ch = channels_;
  if (f.commonFormat == CommonFormat::float32) {
    float* const* dst = out.floatChannelData();
    if (f.interleaved || ch == 1) {
      std::memcpy(dst[0] + std::size_t{at} * ch, src, std::size_t{frames} * ch * sizeof(float));
    } else {
      for (std::uint32_t i = 0; i < frames; ++i)
        for (std::uint32_t c = 0; c < ch; ++c) dst[c][at + i] = src[std::size_t{i} * ch + c];
    }
  } else {
    std::int16_t* const* dst = out.int16ChannelData();
    if (f.interleaved || ch == 1) {
      std::int16_t* d = dst[0] + std::size_t{at} * ch;
      for (std::size_t i = 0; i < std::size_t{frames} * ch; ++i) d[i] = toInt16(src[i]);
    } else {
      for (std::uint32_t i = 0; i < frames; ++i)
        for (std::uint32_t c = 0; c < ch; ++c) dst[c][at + i] = toInt16(src[std::size_t{i} * ch + c]);
    }
  }
  heldBegin_ += std::size_t{frames} * ch;
  out.setFrameLength(at + frames);
  return at + frames;
}

}  // namespace qln::platform
