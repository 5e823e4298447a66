#include "platform/audio_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

namespace qln::platform {
namespace {

AudioFormat fmt(CommonFormat common, double rate, std::uint32_t channels, bool interleaved) {
  return AudioFormat{rate, channels, common, interleaved};
}

const AudioFormat kMono16k = fmt(CommonFormat::int16, 16000, 1, true);
const AudioFormat kMonoFloat16k = fmt(CommonFormat::float32, 16000, 1, false);

// Sample (frame, channel) of `b`, as float.
float sampleOf(const PcmBuffer& b, std::uint32_t frame, std::uint32_t channel) {
  const AudioFormat& f = b.format();
  std::size_t at = f.interleaved ? std::size_t{frame} * f.channelCount + channel : frame;
  std::uint32_t buf = f.interleaved ? 0 : channel;
  if (f.commonFormat == CommonFormat::float32) return b.floatChannelData()[buf][at];
  return static_cast<float>(b.int16ChannelData()[buf][at]) / 32768.0f;
}

void setSample(PcmBuffer& b, std::uint32_t frame, std::uint32_t channel, float v) {
  const AudioFormat& f = b.format();
  std::size_t at = f.interleaved ? std::size_t{frame} * f.channelCount + channel : frame;
  std::uint32_t buf = f.interleaved ? 0 : channel;
  if (f.commonFormat == CommonFormat::float32)
    b.floatChannelData()[buf][at] = v;
  else
    b.int16ChannelData()[buf][at] = static_cast<std::int16_t>(std::lrint(v * 32767.0f));
}

// `frames` frames of `signal(frameIndex, channel)` from frame `first` on.
template <class Signal>
PcmBufferPtr makeBuffer(const AudioFormat& f, std::uint32_t frames, std::uint64_t first, Signal signal) {
  auto b = PcmBuffer::make(f, frames);
  for (std::uint32_t i = 0; i < frames; ++i)
    for (std::uint32_t c = 0; c < f.channelCount; ++c) setSample(*b, i, c, signal(first + i, c));
  b->setFrameLength(frames);
  return b;
}

auto sine(double hz, double rate, double amplitude) {
  return [=](std::uint64_t n, std::uint32_t) {
    return static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / rate));
  };
}

// Feeds `input` in pieces of the given sizes, one buffer per convert call the
// way the recorder does, and collects channel 0 of the output.
std::vector<float> convertPieces(AudioConverter& conv, const PcmBuffer& input, const std::vector<std::uint32_t>& pieces) {
  std::vector<float> out;
  const AudioFormat& f = input.format();
  std::uint32_t at = 0;
  for (std::uint32_t n : pieces) {
    auto piece = makeBuffer(f, n, 0, [&](std::uint64_t i, std::uint32_t c) {
      return sampleOf(input, at + static_cast<std::uint32_t>(i), c);
    });
    if (f.commonFormat == CommonFormat::int16)  // copy int16 exactly, not via float
      for (std::uint32_t b = 0; b < f.bufferCount(); ++b)
        std::memcpy(piece->int16ChannelData()[b],
                    input.int16ChannelData()[b] + std::size_t{at} * (f.interleaved ? f.channelCount : 1),
                    std::size_t{n} * f.bytesPerFrame());
    at += n;
    auto outBuf = PcmBuffer::make(conv.outputFormat(), static_cast<std::uint32_t>(n * conv.outputFormat().sampleRate / f.sampleRate) + 64);
    bool given = false;
    auto r = conv.convert(*outBuf, [&](std::uint32_t, InputStatus& s) -> const PcmBuffer* {
      if (given) {
        s = InputStatus::noDataNow;
        return nullptr;
      }
      given = true;
      s = InputStatus::haveData;
      return piece.get();
    });
    EXPECT_TRUE(r.ok()) << r.error;
    for (std::uint32_t i = 0; i < outBuf->frameLength(); ++i) out.push_back(sampleOf(*outBuf, i, 0));
  }
  return out;
}

std::vector<std::uint32_t> evenPieces(std::uint32_t total, std::uint32_t size) {
  std::vector<std::uint32_t> p;
  for (; total >= size; total -= size) p.push_back(size);
  if (total > 0) p.push_back(total);
  return p;
}

// Power of `x` at `hz` (Goertzel).
double powerAt(const std::vector<float>& x, std::size_t from, double hz, double rate) {
  double k = 2 * std::cos(2 * std::numbers::pi * hz / rate), s1 = 0, s2 = 0;
  for (std::size_t i = from; i < x.size(); ++i) {
    double s = x[i] + k * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  return s1 * s1 + s2 * s2 - k * s1 * s2;
}

// The strongest frequency on a 10 Hz grid up to just below Nyquist.
double dominantHz(const std::vector<float>& x, std::size_t from, double rate) {
  double best = 0, bestHz = 0;
  for (double hz = 50; hz < rate / 2 - 50; hz += 10) {
    double p = powerAt(x, from, hz, rate);
    if (p > best) best = p, bestHz = hz;
  }
  return bestHz;
}

double rms(const std::vector<float>& x, std::size_t from) {
  double sum = 0;
  for (std::size_t i = from; i < x.size(); ++i) sum += double{x[i]} * x[i];
  return std::sqrt(sum / static_cast<double>(x.size() - from));
}

struct ToneCase {
  const char* name;
  AudioFormat from;
  AudioFormat to;
  double hz;
};

class ConverterToneTest : public ::testing::TestWithParam<ToneCase> {};

// A tone keeps its frequency and level through rate, layout and type changes
// (every input channel carries the same tone, so the mixdown keeps it too).
TEST_P(ConverterToneTest, KeepsFrequencyAndLevel) {
  const ToneCase& tc = GetParam();
  auto conv = AudioConverter::make(tc.from, tc.to);
  ASSERT_TRUE(conv);
  auto frames = static_cast<std::uint32_t>(tc.from.sampleRate);  // one second
  auto input = makeBuffer(tc.from, frames, 0, sine(tc.hz, tc.from.sampleRate, 0.5));
  auto out = convertPieces(*conv, *input, evenPieces(frames, 1024));

  // One second out, less what the filter still holds (under 0.1 s).
  auto size = static_cast<double>(out.size());
  EXPECT_LE(size, tc.to.sampleRate + 1);
  EXPECT_GE(size, tc.to.sampleRate * 0.9);
  std::size_t settle = out.size() / 10;
  EXPECT_NEAR(dominantHz(out, settle, tc.to.sampleRate), tc.hz, 10.0);
  EXPECT_NEAR(rms(out, settle), 0.5 / std::sqrt(2.0), 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConverterToneTest,
    ::testing::Values(
        ToneCase{"f48kMonoToI16k", fmt(CommonFormat::float32, 48000, 1, false), kMono16k, 1000},
        ToneCase{"f44k1StereoToI16k", fmt(CommonFormat::float32, 44100, 2, false), kMono16k, 1000},
        ToneCase{"i48kStereoInterleavedToF16k", fmt(CommonFormat::int16, 48000, 2, true), kMonoFloat16k, 3000},
        ToneCase{"f8kToI16kUpsampled", fmt(CommonFormat::float32, 8000, 1, false), kMono16k, 1000},
        ToneCase{"f16kToI16kSameRate", fmt(CommonFormat::float32, 16000, 1, false), kMono16k, 1000},
        ToneCase{"f48kStereoToF16kStereo", fmt(CommonFormat::float32, 48000, 2, false),
                 fmt(CommonFormat::float32, 16000, 2, true), 440}),
    [](const ::testing::TestParamInfo<ToneCase>& tp) { return std::string(tp.param.name); });

TEST(ConverterMixdown, AveragesTheChannels) {
  const AudioFormat stereo48 = fmt(CommonFormat::float32, 48000, 2, false);
  // Opposite channels cancel; one silent channel halves the level.
  struct Case {
    const char* name;
    float left, right;
    double rmsOut;
  } cases[] = {{"opposite", 0.5f, -0.5f, 0.0}, {"oneSilent", 0.6f, 0.0f, 0.3 / std::sqrt(2.0)},
               {"equal", 0.4f, 0.4f, 0.4 / std::sqrt(2.0)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto conv = AudioConverter::make(stereo48, kMonoFloat16k);
    ASSERT_TRUE(conv);
    auto tone = sine(1000, 48000, 1.0);
    auto input = makeBuffer(stereo48, 48000, 0, [&](std::uint64_t n, std::uint32_t ch) {
      return (ch == 0 ? c.left : c.right) * tone(n, ch);
    });
    auto out = convertPieces(*conv, *input, evenPieces(48000, 1024));
    EXPECT_NEAR(rms(out, out.size() / 10), c.rmsOut, 0.005);
  }
}

TEST(ConverterMixdown, SameRateIntegerMixIsExact) {
  const AudioFormat stereo16 = fmt(CommonFormat::int16, 16000, 2, true);
  auto conv = AudioConverter::make(stereo16, kMono16k);
  ASSERT_TRUE(conv);
  auto in = PcmBuffer::make(stereo16, 3);
  std::int16_t samples[] = {1000, 3000, -32768, -32768, 32767, -32767};
  std::memcpy(in->int16ChannelData()[0], samples, sizeof samples);
  in->setFrameLength(3);
  auto out = PcmBuffer::make(kMono16k, 8);
  bool given = false;
  auto r = conv->convert(*out, [&](std::uint32_t, InputStatus& s) -> const PcmBuffer* {
    s = given ? InputStatus::noDataNow : InputStatus::haveData;
    return std::exchange(given, true) ? nullptr : in.get();
  });
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(out->frameLength(), 3u);
  const std::int16_t* o = out->int16ChannelData()[0];
  EXPECT_EQ(o[0], 2000);
  EXPECT_EQ(o[1], -32768);
  EXPECT_EQ(o[2], 0);
}

// Float to int16: clamped to full scale, scaled by 32768, rounded to nearest.
TEST(ConverterSampleType, FloatToInt16ClampsAndRounds) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> in = {0.0f, 0.5f, -0.5f, 1.0f, 1.5f, -1.0f, -7.0f, 1.4f / 32768, 1.6f / 32768, -1.6f / 32768, nan};
  std::vector<std::int16_t> expected = {0, 16384, -16384, 32767, 32767, -32768, -32768, 1, 2, -2, 0};
  auto conv = AudioConverter::make(kMonoFloat16k, kMono16k);
  ASSERT_TRUE(conv);
  auto buf = PcmBuffer::make(kMonoFloat16k, static_cast<std::uint32_t>(in.size()));
  std::copy(in.begin(), in.end(), buf->floatChannelData()[0]);
  buf->setFrameLength(static_cast<std::uint32_t>(in.size()));
  auto out = PcmBuffer::make(kMono16k, 64);
  bool given = false;
  ASSERT_TRUE(conv->convert(*out, [&](std::uint32_t, InputStatus& s) -> const PcmBuffer* {
                    s = given ? InputStatus::noDataNow : InputStatus::haveData;
                    return std::exchange(given, true) ? nullptr : buf.get();
                  }).ok());
  ASSERT_EQ(out->frameLength(), in.size());
  std::vector<std::int16_t> got(out->int16ChannelData()[0], out->int16ChannelData()[0] + in.size());
  EXPECT_EQ(got, expected);
}

TEST(ConverterStreaming, SplitAnywhereGivesTheSameSamples) {
  const AudioFormat from = fmt(CommonFormat::float32, 48000, 1, false);
  auto noise = [gen = std::mt19937(7)](std::uint64_t, std::uint32_t) mutable {
    return std::uniform_real_distribution<float>(-0.5f, 0.5f)(gen);
  };
  const std::uint32_t total = 48000;
  auto input = makeBuffer(from, total, 0, noise);
  for (const AudioFormat& to : {kMono16k, kMonoFloat16k}) {
    auto whole = convertPieces(*AudioConverter::make(from, to), *input, {total});
    std::mt19937 gen(42);
    std::vector<std::uint32_t> pieces;
    for (std::uint32_t left = total; left > 0;) {
      std::uint32_t n = std::min(left, std::uniform_int_distribution<std::uint32_t>(1, 3000)(gen));
      pieces.push_back(n);
      left -= n;
    }
    auto split = convertPieces(*AudioConverter::make(from, to), *input, pieces);
    // The filter holds back about the same tail either way.
    ASSERT_NEAR(static_cast<double>(split.size()), static_cast<double>(whole.size()), 400);
    std::size_t common = std::min(split.size(), whole.size());
    ASSERT_GT(common, 15000u);
    double worst = 0;
    for (std::size_t i = 0; i < common; ++i) worst = std::max(worst, double{std::fabs(split[i] - whole[i])});
    EXPECT_LE(worst, to.commonFormat == CommonFormat::int16 ? 1.5 / 32768 : 1e-5);
  }
}

// Same rate and type: an exact copy, no frame held back.
TEST(ConverterStreaming, SameRateInt16IsAnExactCopy) {
  const AudioFormat mono = kMono16k;
  auto conv = AudioConverter::make(mono, mono);
  ASSERT_TRUE(conv);
  auto input = PcmBuffer::make(mono, 70000);
  for (std::uint32_t i = 0; i < 70000; ++i) input->int16ChannelData()[0][i] = static_cast<std::int16_t>(i * 7919u);
  input->setFrameLength(70000);
  auto out = convertPieces(*conv, *input, {1, 999, 34000, 35000});
  ASSERT_EQ(out.size(), 70000u);
  for (std::uint32_t i = 0; i < 70000; ++i)
    ASSERT_EQ(std::lrint(out[i] * 32768.0f), input->int16ChannelData()[0][i]) << "frame " << i;
}

// What does not fit the output waits for the next call; the block is asked
// again after it handed a buffer over, and only then.
TEST(ConverterStreaming, SmallOutputsCarryTheRestOver) {
  const AudioFormat from = fmt(CommonFormat::float32, 48000, 1, false);
  auto input = makeBuffer(from, 4800, 0, sine(700, 48000, 0.5));
  auto reference = convertPieces(*AudioConverter::make(from, kMonoFloat16k), *input, {4800});

  auto conv = AudioConverter::make(from, kMonoFloat16k);
  auto small = PcmBuffer::make(kMonoFloat16k, 100);
  std::vector<float> got;
  int asked = 0, askedThisCall = 0;
  bool given = false;
  auto block = [&](std::uint32_t, InputStatus& s) -> const PcmBuffer* {
    ++asked;
    ++askedThisCall;
    s = given ? InputStatus::noDataNow : InputStatus::haveData;
    return std::exchange(given, true) ? nullptr : input.get();
  };
  for (int call = 0; call < 30; ++call) {
    askedThisCall = 0;
    auto r = conv->convert(*small, block);
    ASSERT_TRUE(r.ok());
    // Held frames fill the output first; input is asked for only when they
    // run out.
    if (call > 0 && small->frameLength() == 100) {
      EXPECT_EQ(askedThisCall, 0) << "call " << call;
    }
    for (std::uint32_t i = 0; i < small->frameLength(); ++i) got.push_back(small->floatChannelData()[0][i]);
  }
  EXPECT_EQ(got, reference);
  EXPECT_EQ(small->frameLength(), 0u);  // ran dry: an empty output is not an error
  EXPECT_GT(asked, 1);
}

TEST(ConverterStreaming, EndOfStreamReleasesTheHeldTail) {
  const AudioFormat from = fmt(CommonFormat::float32, 48000, 1, false);
  auto conv = AudioConverter::make(from, kMonoFloat16k);
  auto input = makeBuffer(from, 4800, 0, sine(700, 48000, 0.5));
  auto out = PcmBuffer::make(kMonoFloat16k, 4096);
  int step = 0;
  auto r = conv->convert(*out, [&](std::uint32_t, InputStatus& s) -> const PcmBuffer* {
    s = step++ == 0 ? InputStatus::haveData : InputStatus::endOfStream;
    return step == 1 ? input.get() : nullptr;
  });
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(step, 2);  // asked again after the buffer, within the same call
  EXPECT_EQ(r.status, ConvertStatus::endOfStream);
  EXPECT_NEAR(out->frameLength(), 1600, 2);
}

TEST(ConverterFailures, RefusesWhatItCannotConvert) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    AudioFormat from, to;
  } cases[] = {
      {"zeroRate", fmt(CommonFormat::float32, 0, 1, false), kMono16k},
      {"nanRate", fmt(CommonFormat::float32, nan, 1, false), kMono16k},
      {"noChannels", fmt(CommonFormat::float32, 48000, 0, false), kMono16k},
      {"outputNoRate", kMonoFloat16k, fmt(CommonFormat::int16, -16000, 1, true)},
      {"twoToThree", fmt(CommonFormat::float32, 48000, 2, false), fmt(CommonFormat::float32, 16000, 3, false)},
      {"rateFarBelow", fmt(CommonFormat::float32, 16000 / 256.5, 1, false), kMono16k},
      {"rateFarAbove", fmt(CommonFormat::float32, 16000 * 256.5, 1, false), kMono16k},
      {"tinyRate", fmt(CommonFormat::float32, std::numeric_limits<double>::denorm_min(), 1, false), kMono16k},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(AudioConverter::make(c.from, c.to)) << c.name;
  }
  // The widest ratios still allowed are built.
  EXPECT_TRUE(AudioConverter::make(fmt(CommonFormat::float32, 16000 / 256.0, 1, false), kMono16k));
  EXPECT_TRUE(AudioConverter::make(fmt(CommonFormat::float32, 16000 * 256.0, 1, false), kMono16k));
}

TEST(ConverterFailures, ReportsBuffersOfTheWrongFormat) {
  auto conv = AudioConverter::make(fmt(CommonFormat::float32, 48000, 1, false), kMono16k);
  auto stranger = makeBuffer(fmt(CommonFormat::float32, 44100, 1, false), 512, 0, sine(1000, 44100, 0.5));
  auto out = PcmBuffer::make(kMono16k, 512);
  auto r = conv->convert(*out, [&](std::uint32_t, InputStatus& s) -> const PcmBuffer* {
    s = InputStatus::haveData;
    return stranger.get();
  });
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(out->frameLength(), 0u);
  auto wrongOut = PcmBuffer::make(kMonoFloat16k, 512);
  EXPECT_FALSE(conv->convert(*wrongOut, [](std::uint32_t, InputStatus& s) -> const PcmBuffer* {
                      s = InputStatus::noDataNow;
                      return nullptr;
                    }).ok());
}

TEST(ConverterBuffers, LayoutFollowsTheFormat) {
  auto planar = PcmBuffer::make(fmt(CommonFormat::float32, 48000, 2, false), 100);
  ASSERT_TRUE(planar);
  planar->setFrameLength(1000);  // clamped
  EXPECT_EQ(planar->frameLength(), 100u);
  auto list = planar->audioBufferList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].dataByteSize, 400u);
  EXPECT_EQ(list[1].numberChannels, 1u);
  EXPECT_EQ(list[1].data, planar->floatChannelData()[1]);
  EXPECT_EQ(planar->int16ChannelData(), nullptr);
  EXPECT_NE(planar->floatChannelData()[0], planar->floatChannelData()[1]);

  auto packed = PcmBuffer::make(fmt(CommonFormat::int16, 16000, 2, true), 10);
  packed->setFrameLength(10);
  ASSERT_EQ(packed->audioBufferList().size(), 1u);
  EXPECT_EQ(packed->audioBufferList()[0].dataByteSize, 40u);
  EXPECT_EQ(packed->audioBufferList()[0].numberChannels, 2u);

  EXPECT_FALSE(PcmBuffer::make(kMono16k, 0));
  EXPECT_FALSE(PcmBuffer::make(fmt(CommonFormat::float32, 48000, 64, false), 0xFFFFFFFFu));
  EXPECT_FALSE(PcmBuffer::make(fmt(CommonFormat::float32, 48000, 0, false), 16));
}

TEST(ConverterBuffers, StreamDescriptionsRoundTrip) {
  for (const AudioFormat& f : {kMono16k, fmt(CommonFormat::float32, 44100, 2, false),
                               fmt(CommonFormat::float32, 48000, 2, true)}) {
    auto back = AudioFormat::fromStreamDescription(f.streamDescription());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, f);
  }
  StreamDescription d = fmt(CommonFormat::float32, 48000, 2, true).streamDescription();
  d.bitsPerChannel = 24;
  EXPECT_FALSE(AudioFormat::fromStreamDescription(d));
  d = kMono16k.streamDescription();
  d.formatFlags |= kFormatFlagIsBigEndian;
  EXPECT_FALSE(AudioFormat::fromStreamDescription(d));
  d = kMono16k.streamDescription();
  d.sampleRate = 0;
  EXPECT_FALSE(AudioFormat::fromStreamDescription(d));
}

}  // namespace
}  // namespace qln::platform
