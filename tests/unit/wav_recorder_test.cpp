#include "speech/wav_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

#include "dispatch/virtual_dispatcher.h"

namespace qln::speech {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;
using platform::PcmBufferPtr;

const AudioFormat kFloat48k{48000, 1, CommonFormat::float32, false};
const AudioFormat kInt16k{16000, 1, CommonFormat::int16, true};

std::vector<unsigned char> readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t le32(const std::vector<unsigned char>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t le16(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::string tag(const std::vector<unsigned char>& b, std::size_t at) {
  return std::string(reinterpret_cast<const char*>(&b[at]), 4);
}

// Checks every fixed field of the header; returns its data size.
std::uint32_t checkHeader(const std::vector<unsigned char>& file) {
  EXPECT_GE(file.size(), 44u);
  if (file.size() < 44) return 0;
  EXPECT_EQ(tag(file, 0), "RIFF");
  EXPECT_EQ(tag(file, 8), "WAVE");
  EXPECT_EQ(tag(file, 12), "fmt ");
  EXPECT_EQ(le32(file, 16), 16u);
  EXPECT_EQ(le16(file, 20), 1u);
  EXPECT_EQ(le16(file, 22), 1u);
  EXPECT_EQ(le32(file, 24), 16000u);
  EXPECT_EQ(le32(file, 28), 32000u);
  EXPECT_EQ(le16(file, 32), 2u);
  EXPECT_EQ(le16(file, 34), 16u);
  EXPECT_EQ(tag(file, 36), "data");
  EXPECT_EQ(le32(file, 4), le32(file, 40) + 36);
  return le32(file, 40);
}

PcmBufferPtr tone48k(std::uint32_t frames, std::uint64_t first) {
  auto b = PcmBuffer::make(kFloat48k, frames);
  for (std::uint32_t i = 0; i < frames; ++i)
    b->floatChannelData()[0][i] =
        static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(first + i) / 48000));
  b->setFrameLength(frames);
  return b;
}

// Frames i = 0..n-1 hold value(i), at 16 kHz int16: converted without a
// resampler, so byte counts and samples come out exact.
PcmBufferPtr ramp16k(std::uint32_t frames) {
  auto b = PcmBuffer::make(kInt16k, frames);
  for (std::uint32_t i = 0; i < frames; ++i) b->int16ChannelData()[0][i] = static_cast<std::int16_t>(i * 37u - 20000u);
  b->setFrameLength(frames);
  return b;
}

class WavRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qln-wav-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path file(const char* name = "rec.wav") const { return dir_ / name; }

  dispatch::ScopedVirtualDispatcher clock_;
  std::filesystem::path dir_;
};

TEST_F(WavRecorderTest, TenSecondsAt48kHzBecome16kHzMono) {
  auto rec = WavRecorder::make(file(), kFloat48k);
  ASSERT_TRUE(rec);
  std::uint64_t frames = 0;
  for (int i = 0; i < 469; ++i, frames += 1024) rec->append(*tone48k(1024, frames));  // 10.005 s
  clock_->runUntilIdle();
  // While recording the header still says 0.
  auto during = readFile(file());
  EXPECT_EQ(checkHeader(during), 0u);

  std::uint64_t ms = rec->finalize();
  auto bytes = readFile(file());
  std::uint32_t data = checkHeader(bytes);
  EXPECT_EQ(data, bytes.size() - 44);
  EXPECT_EQ(ms, data / 32);
  // 480,256 frames at 48 kHz are 160,085 at 16 kHz: finalize drains the
  // resampler's filter, so the last milliseconds are there too.
  EXPECT_NEAR(data, 2.0 * 160085, 4.0);
  EXPECT_EQ(ms, 10005u);
  // The tail is the tone, not silence the drain padded with.
  std::int16_t loudest = 0;
  for (std::size_t at = bytes.size() - 2 * 160; at + 1 < bytes.size(); at += 2)
    loudest = std::max<std::int16_t>(loudest, static_cast<std::int16_t>(le16(bytes, at)));
  EXPECT_GT(loudest, 8000);
  // The samples are the tone, at 16 kHz: a 1 kHz period is 16 samples.
  std::size_t crossings = 0;
  for (std::size_t at = 44 + 3200; at + 3 < bytes.size(); at += 2)
    if ((static_cast<std::int16_t>(le16(bytes, at)) < 0) != (static_cast<std::int16_t>(le16(bytes, at + 2)) < 0))
      ++crossings;
  double seconds = static_cast<double>(data - 3200) / 32000;
  EXPECT_NEAR(static_cast<double>(crossings) / seconds, 2000.0, 10.0);
}

TEST_F(WavRecorderTest, NoBuffersGiveAnEmptyRecording) {
  auto rec = WavRecorder::make(file(), kFloat48k);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->finalize(), 0u);
  auto bytes = readFile(file());
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(checkHeader(bytes), 0u);
  EXPECT_EQ(le32(bytes, 4), 36u);
}

TEST_F(WavRecorderTest, DurationIsWholeMillisecondsOfData) {
  // Data bytes = 2 × frames; one millisecond is 32 bytes.
  struct Case {
    std::uint32_t frames;
    std::uint64_t ms;
  } cases[] = {{1, 0}, {15, 0}, {16, 1}, {31, 1}, {32, 2}, {16000, 1000}, {16015, 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    auto rec = WavRecorder::make(file(), kInt16k);
    ASSERT_TRUE(rec);
    auto input = ramp16k(c.frames);
    rec->append(*input);
    EXPECT_EQ(rec->finalize(), c.ms);
    auto bytes = readFile(file());
    ASSERT_EQ(bytes.size(), 44 + 2 * c.frames);
    EXPECT_EQ(checkHeader(bytes), 2 * c.frames);
    // Channel 0, little-endian, sample for sample.
    for (std::uint32_t i = 0; i < c.frames; ++i)
      ASSERT_EQ(static_cast<std::int16_t>(le16(bytes, 44 + 2 * i)), input->int16ChannelData()[0][i]);
  }
}

TEST_F(WavRecorderTest, SecondFinalizeChangesNothing) {
  auto rec = WavRecorder::make(file(), kInt16k);
  ASSERT_TRUE(rec);
  rec->append(*ramp16k(3200));
  std::uint64_t first = rec->finalize();
  auto before = readFile(file());
  EXPECT_EQ(first, 200u);
  // Likely to reuse the closed descriptor's number: it must stay untouched.
  int other = ::open(file("other").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(other, 0);
  EXPECT_EQ(rec->finalize(), first);
  EXPECT_EQ(::write(other, "x", 1), 1);
  ::close(other);
  EXPECT_EQ(readFile(file()), before);
  EXPECT_EQ(std::filesystem::file_size(file("other")), 1u);
}

TEST_F(WavRecorderTest, LateAppendsNeverReachAFile) {
  auto rec = WavRecorder::make(file(), kInt16k);
  ASSERT_TRUE(rec);
  rec->append(*ramp16k(320));
  ASSERT_EQ(rec->finalize(), 20u);
  auto before = readFile(file());
  // The next file opened is likely to get the closed descriptor's number.
  int other = ::open(file("other").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(other, 0);
  rec->append(*ramp16k(320));
  clock_->runUntilIdle();
  ::close(other);
  EXPECT_EQ(readFile(file()), before);
  EXPECT_EQ(std::filesystem::file_size(file("other")), 0u);
  EXPECT_EQ(rec->finalize(), 20u);
}

TEST_F(WavRecorderTest, AnExistingFileStartsOver) {
  {
    std::ofstream old(file(), std::ios::binary);
    old << std::string(100000, 'x');
  }
  auto rec = WavRecorder::make(file(), kInt16k);
  ASSERT_TRUE(rec);
  rec->append(*ramp16k(16));
  EXPECT_EQ(rec->finalize(), 1u);
  auto bytes = readFile(file());
  EXPECT_EQ(bytes.size(), 44u + 32u);
  EXPECT_EQ(checkHeader(bytes), 32u);
}

TEST_F(WavRecorderTest, NoRecorderWithoutAFileOrAFormat) {
  EXPECT_FALSE(WavRecorder::make((dir_ / "missing" / "rec.wav").string(), kFloat48k));
  EXPECT_FALSE(WavRecorder::make(file(), AudioFormat{0, 1, CommonFormat::float32, false}));
  EXPECT_FALSE(WavRecorder::make(file("nochannels"), AudioFormat{48000, 0, CommonFormat::float32, false}));
}

TEST_F(WavRecorderTest, UnconvertibleBuffersAreDropped) {
  auto rec = WavRecorder::make(file(), kInt16k);
  ASSERT_TRUE(rec);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    AudioFormat format;
  } cases[] = {
      {"zeroRate", {0, 1, CommonFormat::int16, true}},
      {"negativeRate", {-16000, 1, CommonFormat::int16, true}},
      {"nanRate", {nan, 1, CommonFormat::int16, true}},
      {"infiniteRate", {std::numeric_limits<double>::infinity(), 1, CommonFormat::int16, true}},
      // 16000 / 1e-6 × 1000 frames: a capacity far past 32 bits.
      {"capacityPast32Bits", {1e-6, 1, CommonFormat::int16, true}},
      {"otherFormat", {44100, 1, CommonFormat::int16, true}},
  };
  for (const auto& c : cases) {
    auto bad = PcmBuffer::make(c.format, 1000);
    ASSERT_TRUE(bad) << c.name;
    bad->setFrameLength(1000);
    rec->append(*bad);
  }
  rec->append(*ramp16k(160));
  EXPECT_EQ(rec->finalize(), 10u);
  EXPECT_EQ(readFile(file()).size(), 44u + 320u);
}

// A full disk: nothing reaches the file, so nothing is counted, and nothing
// crashes.
TEST_F(WavRecorderTest, FailedWritesCountNothing) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto rec = WavRecorder::make("/dev/full", kInt16k);
  ASSERT_TRUE(rec);
  for (int i = 0; i < 10; ++i) rec->append(*ramp16k(1600));
  EXPECT_EQ(rec->finalize(), 0u);
}

TEST_F(WavRecorderTest, TornWriteKeepsSamplesAligned) {
  // A file size limit stands in for a disk that fills up in the middle of a
  // sample: the write stops at an odd byte count.
  auto path = (dir_ / "torn.wav").string();
  auto rec = WavRecorder::make(path, kInt16k);
  ASSERT_TRUE(rec);
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 44 + 1001;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  rec->append(*ramp16k(1600));
  rec->append(*ramp16k(1600));
  std::uint64_t ms = rec->finalize();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(ms, 1000u / 32u);
  auto bytes = readFile(path);
  ASSERT_EQ(bytes.size(), 44u + 1000u) << "nothing may follow the counted samples";
  EXPECT_EQ(le32(bytes, 40), 1000u);
  EXPECT_EQ(le32(bytes, 4), 1036u);
}

// On the real dispatcher: a capture thread appends while the main thread
// finalizes; appends after finalize are dropped. Run under ThreadSanitizer to
// see the races it would have.
TEST(ConcurrencyWavRecorder, FinalizeWhileAThreadAppends) {
  char tmpl[] = "/tmp/qln-wav-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::filesystem::path dir = tmpl;
  auto rec = WavRecorder::make((dir / "rec.wav").string(), kInt16k);
  ASSERT_TRUE(rec);
  auto buffer = ramp16k(160);
  std::atomic<int> appended{0};
  std::atomic<bool> done{false};
  std::thread capture([&] {
    while (!done.load()) {
      rec->append(*buffer);
      appended.fetch_add(1);
    }
  });
  while (appended.load() < 50) std::this_thread::yield();
  std::uint64_t ms = rec->finalize();
  int atFinalize = appended.load();
  while (appended.load() < atFinalize + 50) std::this_thread::yield();
  done = true;
  capture.join();
  auto bytes = readFile(dir / "rec.wav");
  std::uint32_t data = checkHeader(bytes);
  EXPECT_EQ(data, bytes.size() - 44);
  EXPECT_EQ(ms, data / 32);
  EXPECT_EQ(data % 320, 0u);  // whole buffers only
  EXPECT_GE(data, 320u * 50);
  EXPECT_EQ(rec->finalize(), ms);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qln::speech
