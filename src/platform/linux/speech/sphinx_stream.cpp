#include "platform/linux/speech/sphinx_stream.h"

#include <pocketsphinx.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qln::platform::linux_backend::sphinx {
namespace {

constexpr double kDecoderRate = 16000;
// The decoder gets audio in slices of 100 ms. The hypothesis is read at most
// every 200 ms: reading it walks the search, and a partial line five times a
// second is all the host shows.
constexpr std::size_t kSliceSamples = 1600;
constexpr std::size_t kHypothesisSamples = 3200;

bool isFiller(const char* word) {
  if (!word || !*word) return true;
  return word[0] == '<' || word[0] == '[' || word[0] == '+';
}

}  // namespace

AudioFormat decoderFormat() { return AudioFormat{kDecoderRate, 1, CommonFormat::int16, false}; }

std::span<const std::int16_t> DecoderFeed::convert(const PcmBuffer& buffer) {
  const AudioFormat& in = buffer.format();
  if (buffer.frameLength() == 0 || !(in.sampleRate > 0)) return {};
  if (in.sampleRate == kDecoderRate && in.channelCount == 1 && in.commonFormat == CommonFormat::int16) {
    const std::int16_t* samples = buffer.int16ChannelData()[0];
    direct_.assign(samples, samples + buffer.frameLength());
    return direct_;
  }
  if (!converter_ || !(converter_->inputFormat() == in)) {
    converter_ = AudioConverter::make(in, decoderFormat());
    if (!converter_) return {};
  }
  const double frames = std::ceil(buffer.frameLength() * kDecoderRate / in.sampleRate);
  return run(&buffer, static_cast<std::uint32_t>(frames) + 1024);
}

std::span<const std::int16_t> DecoderFeed::drain() {
  if (!converter_) return {};
  return run(nullptr, 4096);
}

std::span<const std::int16_t> DecoderFeed::run(const PcmBuffer* buffer, std::uint32_t capacity) {
  if (!out_ || out_->frameCapacity() < capacity) {
    out_ = PcmBuffer::make(decoderFormat(), capacity);
    if (!out_) return {};
  }
  bool handed = false;
  auto result = converter_->convert(*out_, [&](std::uint32_t, InputStatus& status) -> const PcmBuffer* {
    if (!buffer) {
      status = InputStatus::endOfStream;
      return nullptr;
    }
    if (handed) {
      status = InputStatus::noDataNow;
      return nullptr;
    }
    handed = true;
    status = InputStatus::haveData;
    return buffer;
  });
  if (!result.ok()) return {};
  return {out_->int16ChannelData()[0], out_->frameLength()};
}

SphinxStream::SphinxStream(SphinxModel::Lease lease, Events events, bool oneUtterance)
    : lease_(std::move(lease)), events_(std::move(events)), oneUtterance_(oneUtterance) {
  ps_decoder_t* ps = lease_.decoder();
  // Stream-wide: segment frames count from here, across utterances.
  ok_ = ps_start_stream(ps) >= 0 && ps_start_utt(ps) >= 0;
  open_ = ok_;
}

SphinxStream::~SphinxStream() {
  // The decoder goes back to the model with no utterance left open.
  if (open_) ps_end_utt(lease_.decoder());
}

void SphinxStream::feed(std::span<const std::int16_t> samples) {
  while (!samples.empty() && open_) {
    const std::size_t n = std::min(samples.size(), kSliceSamples);
    process(samples.data(), n);
    samples = samples.subspan(n);
  }
}

void SphinxStream::process(const std::int16_t* samples, std::size_t count) {
  ps_decoder_t* ps = lease_.decoder();
  if (ps_process_raw(ps, samples, count, FALSE, FALSE) < 0) return;
  const bool speech = ps_get_in_speech(ps) != 0;
  if (speech && !inSpeech_) {
    inSpeech_ = true;
    heardSpeech_ = true;
    sinceHypothesis_ = kHypothesisSamples;
  }
  if (inSpeech_ && speech) {
    sinceHypothesis_ += count;
    if (sinceHypothesis_ >= kHypothesisSamples) {
      sinceHypothesis_ = 0;
      const char* hyp = ps_get_hyp(ps, nullptr);
      std::string text = hyp ? hyp : "";
      if (!text.empty() && text != lastHypothesis_) {
        lastHypothesis_ = text;
        if (events_.hypothesis) events_.hypothesis(text);
      }
    }
  }
  // The detector let go after its trailing silence: the utterance is over.
  if (inSpeech_ && !speech) endUtterance(!oneUtterance_);
}

void SphinxStream::endUtterance(bool restart) {
  ps_decoder_t* ps = lease_.decoder();
  ps_end_utt(ps);
  open_ = false;
  if (inSpeech_) {
    Utterance u;
    const char* hyp = ps_get_hyp(ps, nullptr);
    u.text = hyp ? hyp : "";
    const double rate = lease_.frameRate() > 0 ? lease_.frameRate() : 100.0;
    for (ps_seg_t* seg = ps_seg_iter(ps); seg; seg = ps_seg_next(seg)) {
      if (isFiller(ps_seg_word(seg))) continue;
      int sf = 0, ef = 0;
      ps_seg_frames(seg, &sf, &ef);
      if (!u.startSeconds) u.startSeconds = sf / rate;
      // The end frame is the last one of the word: it ends a frame later.
      u.endSeconds = (ef + 1) / rate;
    }
    inSpeech_ = false;
    const bool reported = !lastHypothesis_.empty();
    lastHypothesis_.clear();
    if ((reported || !u.text.empty()) && events_.utterance) events_.utterance(u);
  }
  if (restart) open_ = ps_start_utt(ps) >= 0;
}

void SphinxStream::finish() {
  if (open_) endUtterance(false);
}

}  // namespace qln::platform::linux_backend::sphinx
