#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>

#include "dispatch/virtual_dispatcher.h"
#include "line_capture.h"
#include "platform/audio_format.h"
#include "speech/acoustic_meter.h"

namespace {

using qln::AcousticMeter;
using qln::platform::AudioFormat;
using qln::platform::CommonFormat;
using qln::platform::PcmBuffer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A buffer of `frames` frames; every sample of channel 0 is `value`, other
// channels hold `others`.
std::shared_ptr<PcmBuffer> buffer(std::uint32_t frames, float value, CommonFormat common = CommonFormat::float32,
                                  std::uint32_t channels = 1, bool interleaved = false, float others = 0.9f) {
  auto format = AudioFormat::make(common, 48000, channels, interleaved);
  auto b = PcmBuffer::make(*format, frames == 0 ? 1 : frames);
  b->setFrameLength(frames);
  if (auto data = b->floatChannelData()) {
    for (std::uint32_t f = 0; f < frames; ++f)
      for (std::uint32_t c = 0; c < channels; ++c) {
        float v = c == 0 ? value : others;
        if (interleaved)
          data[0][f * channels + c] = v;
        else
          data[c][f] = v;
      }
  }
  return b;
}

class MeterTest : public ::testing::Test {
 protected:
  std::unique_ptr<AcousticMeter> makeMeter(AcousticMeter::Line line = AcousticMeter::Line::mic) {
    return std::make_unique<AcousticMeter>(line, queue, stop, anchor);
  }
  // Feeds one buffer and lets the emission queue write what was posted.
  void feed(AcousticMeter& meter, const PcmBuffer& b, double rate) {
    meter.accumulate(b, rate);
    clock->runUntilIdle();
  }
  // Moves the clock to `ms` of meter time.
  void at(std::uint64_t ms) { clock->advanceNs(anchor + ms * qln::dispatch::kNsPerMs - clock->nowNs()); }

  qln::dispatch::ScopedVirtualDispatcher clock;
  qln::testing::LineCapture capture;
  qln::dispatch::QueuePtr queue = clock->makeSerialQueue("qln.mic.acoustic");
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
  std::uint64_t anchor = clock->nowNs();
};

TEST_F(MeterTest, EmissionCadenceAndValues) {
  struct Feed {
    std::uint32_t frames;
    float value;
    double rate = 48000;
    int count = 1;
    CommonFormat common = CommonFormat::float32;
    std::uint32_t channels = 1;
    bool interleaved = false;
  };
  struct Case {
    const char* name;
    std::vector<Feed> feeds;
    std::vector<int> emittingBuffers;  // indexes of the buffers after which a line appears
    std::string firstLine;
    double floorAfter;
  } cases[] = {
      {"1024 frames at 48 kHz: every fifth buffer", {{1024, 0.1f, 48000, 10}}, {4, 9},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"1024 frames at 44.1 kHz: every fifth buffer, no remainder carried", {{1024, 0.1f, 44100, 10}}, {4, 9},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"9600 frames at 48 kHz: one line per buffer", {{9600, 0.1f, 48000, 2}}, {0, 1},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"1600 frames at 16 kHz", {{1600, 0.1f, 16000, 2}}, {0, 1},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"constant 1.5: rms clamped, db from the unclamped mean", {{4800, 1.5f}}, {0},
       R"({"ev":"micAcoustic","t":0,"rms":1.0000,"db":3.5,"voiced":false})", 1.0},
      {"silence: -100 dB, floor stays unset", {{4800, 0.0f, 48000, 3}}, {0, 1, 2},
       R"({"ev":"micAcoustic","t":0,"rms":0.0000,"db":-100.0,"voiced":false})", 0.0},
      {"channel 0 of an interleaved stereo buffer", {{4800, 0.1f, 48000, 1, CommonFormat::float32, 2, true}}, {0},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"channel 0 of a deinterleaved stereo buffer", {{4800, 0.1f, 48000, 1, CommonFormat::float32, 2, false}}, {0},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      // Each ignored buffer is loud and long: had it counted, the first line
      // would come early or read louder.
      {"rate 0 ignored", {{4000, 1.0f, 0.0}, {1024, 0.1f, 48000, 5}}, {5},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"NaN rate ignored", {{4000, 1.0f, kNaN}, {1024, 0.1f, 48000, 5}}, {5},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"negative rate ignored", {{4000, 1.0f, -48000}, {1024, 0.1f, 48000, 5}}, {5},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"no float data ignored", {{9600, 1.0f, 48000, 1, CommonFormat::int16}, {1024, 0.1f, 48000, 5}}, {5},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"zero length ignored", {{0, 1.0f, 48000, 3}, {1024, 0.1f, 48000, 5}}, {7},
       R"({"ev":"micAcoustic","t":0,"rms":0.1000,"db":-20.0,"voiced":false})", 0.1},
      {"rate too low for one frame per block never emits", {{4800, 0.5f, 9.0, 4}}, {}, "", 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture.clear();
    auto meter = makeMeter();
    std::vector<int> emitted;
    int index = 0;
    for (const auto& f : c.feeds) {
      auto b = buffer(f.frames, f.value, f.common, f.channels, f.interleaved);
      for (int i = 0; i < f.count; ++i, ++index) {
        size_t before = capture.out().size();
        feed(*meter, *b, f.rate);
        if (capture.out().size() > before) emitted.push_back(index);
      }
    }
    EXPECT_EQ(emitted, c.emittingBuffers);
    auto lines = capture.out();
    if (!c.firstLine.empty()) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines[0], c.firstLine);
    }
    if (c.floorAfter == 0.0)
      EXPECT_EQ(meter->currentNoiseFloor(), 0.0);
    else
      EXPECT_NEAR(meter->currentNoiseFloor(), c.floorAfter, 1e-6);
  }
}

TEST_F(MeterTest, OtherPartyLineHasNoDecibels) {
  auto meter = makeMeter(AcousticMeter::Line::other);
  at(1520);
  feed(*meter, *buffer(4800, 0.5f), 48000);
  EXPECT_EQ(capture.out(), std::vector<std::string>{R"({"ev":"otherAcoustic","t":1520,"rms":0.5000,"voiced":false})"});
}

// The voiced flag holds for 200 ms after a block clearly above the floor.
TEST_F(MeterTest, VoicedHangAfterLoudBlock) {
  struct Step {
    std::uint64_t t;
    float value;
    bool voiced;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"quiet after loud until 1199",
       {{100, 0.01f, false}, {500, 0.01f, false}, {1000, 0.5f, true}, {1100, 0.01f, true},
        {1199, 0.01f, true}, {1200, 0.01f, false}, {1300, 0.01f, false}}},
      {"loud again at 1200 extends the hang",
       {{100, 0.01f, false}, {1000, 0.5f, true}, {1200, 0.5f, true}, {1399, 0.01f, true},
        {1400, 0.01f, false}}},
      {"first block is never voiced, however loud", {{100, 0.9f, false}, {200, 0.9f, false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    anchor = clock->nowNs();  // meter time starts again for each case
    capture.clear();
    auto meter = makeMeter();
    for (const auto& s : c.steps) {
      at(s.t);
      feed(*meter, *buffer(4800, s.value), 48000);
      auto lines = capture.out();
      ASSERT_FALSE(lines.empty());
      std::string want = "\"t\":" + std::to_string(s.t) + ",";
      EXPECT_NE(lines.back().find(want), std::string::npos) << lines.back();
      EXPECT_NE(lines.back().find(s.voiced ? "\"voiced\":true}" : "\"voiced\":false}"), std::string::npos)
          << "t=" << s.t << ": " << lines.back();
    }
  }
}

// Four-frame blocks (rate 40 Hz) whose samples make the block RMS land on
// exactly the level that the threshold takes after the floor update, and on
// the next double above it.
using FourFrames = std::array<float, 4>;

// The block RMS as the meter computes it: squares widened to double, summed
// in order, divided by the frame count.
double blockRms(const FourFrames& s) {
  double sum = 0.0;
  for (float v : s) sum += static_cast<double>(v) * v;
  return std::sqrt(sum / 4);
}

// Samples whose block RMS is exactly `r`: a sum of squares S with
// sqrt(S / 4) == r, reached by a large sample and two ever smaller ones
// that make up what the larger squares leave.
std::optional<FourFrames> samplesWithRms(double r) {
  double sum = 4 * r * r;
  for (int i = 0; i < 8; ++i) sum = std::nextafter(sum, 0.0);
  for (int i = 0; i < 16; ++i, sum = std::nextafter(sum, 1.0)) {
    if (std::sqrt(sum / 4) != r) continue;
    FourFrames s{};
    double partial = 0.0;
    for (int k = 0; k < 3; ++k) {
      float v = static_cast<float>(std::sqrt(std::max(sum - partial, 0.0)));
      while (v > 0 && partial + static_cast<double>(v) * v > sum) v = std::nextafter(v, 0.0f);
      s[static_cast<size_t>(k)] = v;
      partial += static_cast<double>(v) * v;
    }
    // The last square may round to the sum from just above or below.
    for (int k = 0; k < 4 && blockRms(s) != r; ++k) s[2] = std::nextafter(s[2], 1.0f);
    if (blockRms(s) == r) return s;
  }
  return std::nullopt;
}

TEST_F(MeterTest, LevelExactlyAtThresholdIsNotVoiced) {
  const float floorLevel = 0.0625f;  // the first block sets the floor to exactly this
  auto thresholdAfter = [&](double rms) {
    double floor = rms * 0.005 + floorLevel * 0.995;
    return floor * 3.0 + 0.0008;
  };
  std::optional<double> equal;
  double guess = (2.985 * floorLevel + 0.0008) / 0.985;
  double r = guess;
  for (int i = 0; i < 2000; ++i) r = std::nextafter(r, 0.0);
  for (int i = 0; i < 4000 && !equal; ++i, r = std::nextafter(r, 1.0))
    if (thresholdAfter(r) == r) equal = r;
  ASSERT_TRUE(equal) << "no level equals its own threshold near " << guess;
  double above = std::nextafter(*equal, 1.0);
  ASSERT_GT(above, thresholdAfter(above));

  struct Case {
    double rms;
    bool voiced;
  } cases[] = {{*equal, false}, {above, true}};
  for (const auto& c : cases) {
    auto samples = samplesWithRms(c.rms);
    ASSERT_TRUE(samples) << "no four-frame block with rms " << c.rms;
    capture.clear();
    auto meter = makeMeter();
    auto setFloor = buffer(4, floorLevel);
    auto level = buffer(4, 0);
    std::copy(samples->begin(), samples->end(), level->floatChannelData()[0]);
    feed(*meter, *setFloor, 40);
    feed(*meter, *level, 40);
    auto lines = capture.out();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find(c.voiced ? "\"voiced\":true" : "\"voiced\":false"), std::string::npos)
        << std::hexfloat << c.rms << ": " << lines[1];
  }
}

TEST_F(MeterTest, PostedLineDroppedOnceOwnerStopsOrIsGone) {
  enum class Owner { running, stopped, gone };
  struct Case {
    const char* name;
    Owner owner;
    size_t lines;
  } cases[] = {{"running", Owner::running, 1}, {"stop flag set", Owner::stopped, 0}, {"owner gone", Owner::gone, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture.clear();
    stop = std::make_shared<std::atomic<bool>>(false);
    auto meter = makeMeter();
    meter->accumulate(*buffer(4800, 0.2f), 48000);  // posted, not yet run
    if (c.owner == Owner::stopped) stop->store(true);
    if (c.owner == Owner::gone) stop.reset();
    clock->runUntilIdle();
    EXPECT_EQ(capture.out().size(), c.lines);
  }
}

// The host reads a decimal point, whatever the locale says.
TEST_F(MeterTest, DecimalPointUnderCommaLocale) {
  struct Comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
  std::string previousC = std::setlocale(LC_ALL, nullptr);
  const char* commaC = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8", "ru_RU.UTF-8"})
    if (std::setlocale(LC_ALL, name) != nullptr) {
      commaC = name;
      break;
    }
  std::ostringstream probe;
  probe << 0.5;
  EXPECT_EQ(probe.str(), "0,5");  // the C++ side really is comma-decimal
  if (commaC == nullptr) std::cout << "[   NOTE   ] no comma C locale installed; C++ locale only\n";

  auto meter = makeMeter();
  feed(*meter, *buffer(4800, 1.5f), 48000);
  auto other = makeMeter(AcousticMeter::Line::other);
  feed(*other, *buffer(4800, 0.1f), 48000);

  std::setlocale(LC_ALL, previousC.c_str());
  std::locale::global(previous);
  EXPECT_EQ(capture.out(), (std::vector<std::string>{
                               R"({"ev":"micAcoustic","t":0,"rms":1.0000,"db":3.5,"voiced":false})",
                               R"({"ev":"otherAcoustic","t":0,"rms":0.1000,"voiced":false})"}));
}

}  // namespace
