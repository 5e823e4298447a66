// One stream of 16 kHz mono 16-bit audio through the leased decoder, cut
// into utterances where the decoder's voice detector hears speech end, as
// pocketsphinx_continuous does. Both engines stand on it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/audio_converter.h"
#include "platform/audio_format.h"
#include "platform/linux/speech/sphinx_model.h"

namespace qln::platform::linux_backend::sphinx {

// The decoder's own format.
AudioFormat decoderFormat();

// Brings buffers of any format to the decoder's format, through the
// platform converter when they are not in it already.
class DecoderFeed {
 public:
  // The samples of `buffer` in the decoder's format, valid until the next call.
  std::span<const std::int16_t> convert(const PcmBuffer& buffer);
  // What the resampler still holds back, at the end of the stream.
  std::span<const std::int16_t> drain();

 private:
  std::span<const std::int16_t> run(const PcmBuffer* buffer, std::uint32_t capacity);

  AudioConverterPtr converter_;
  PcmBufferPtr out_;
  std::vector<std::int16_t> direct_;
};

struct Utterance {
  std::string text;
  // Seconds on the stream's time line, from the first to the last word;
  // none when the decoder placed no word.
  std::optional<double> startSeconds;
  std::optional<double> endSeconds;
};

class SphinxStream {
 public:
  struct Events {
    std::function<void(const std::string&)> hypothesis;  // the utterance so far, when it changes
    std::function<void(const Utterance&)> utterance;      // at each end of speech
  };

  // Starts the stream on the leased decoder (ok() is false when the decoder
  // refuses). With `oneUtterance` the stream ends at the first end of speech.
  SphinxStream(SphinxModel::Lease lease, Events events, bool oneUtterance);
  ~SphinxStream();
  SphinxStream(const SphinxStream&) = delete;
  SphinxStream& operator=(const SphinxStream&) = delete;

  bool ok() const { return ok_; }
  // Still decoding: not finished, and not over after its one utterance.
  bool open() const { return open_; }
  void feed(std::span<const std::int16_t> samples);
  // Ends the audio: an utterance in progress is reported. Nothing is
  // decoded after it.
  void finish();
  // Whether any speech was heard since the stream started.
  bool heardSpeech() const { return heardSpeech_; }

 private:
  void process(const std::int16_t* samples, std::size_t count);
  void endUtterance(bool restart);

  SphinxModel::Lease lease_;
  Events events_;
  const bool oneUtterance_;
  bool ok_ = false;
  bool open_ = false;     // an utterance is started in the decoder
  bool inSpeech_ = false; // the detector heard speech in the current utterance
  bool heardSpeech_ = false;
  std::size_t sinceHypothesis_ = 0;
  std::string lastHypothesis_;
};

}  // namespace qln::platform::linux_backend::sphinx
