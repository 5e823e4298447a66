// Drives the PocketSphinx family in-process for bench/speech-bench: converts
// the bench audio, and runs the analyzer or the legacy path over it, printing
// what each produced and what it cost. Prints figures only.
//
//   speech_bench_driver convert IN.wav OUT.raw      (22.05 kHz WAV -> 16 kHz raw)
//   speech_bench_driver analyzer RAW SPEED [ENDS]  (SPEED 0 = as fast as it goes)
//   speech_bench_driver legacy RAW SPEED [ENDS]
//
// ENDS is a file of utterance end times in seconds, one a line: at SPEED 1
// the delay from feeding each end to the next final is reported.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_converter.h"
#include "platform/linux/speech/sphinx_analyzer.h"
#include "platform/linux/speech/sphinx_model.h"
#include "platform/linux/speech/sphinx_recognizer.h"

namespace {

using namespace qln::platform;
using namespace qln::platform::linux_backend::sphinx;
using Clock = std::chrono::steady_clock;

const AudioFormat k16k{16000, 1, CommonFormat::int16, false};
constexpr std::uint32_t kBufferFrames = 1600;  // 100 ms, as the tap delivers about

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long statusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int convert(const std::string& in, const std::string& out) {
  std::string wav = readAll(in);
  if (wav.size() < 44) return 1;
  std::uint32_t rate = 0;
  std::memcpy(&rate, wav.data() + 24, 4);
  const std::size_t frames = (wav.size() - 44) / 2;
  auto from = *AudioFormat::make(CommonFormat::int16, rate, 1, false);
  auto converter = AudioConverter::make(from, k16k);
  auto src = PcmBuffer::make(from, static_cast<std::uint32_t>(frames));
  src->setFrameLength(static_cast<std::uint32_t>(frames));
  std::memcpy(src->int16ChannelData()[0], wav.data() + 44, frames * 2);
  auto dst = PcmBuffer::make(k16k, static_cast<std::uint32_t>(frames * 16000 / rate) + 4096);
  int calls = 0;
  converter->convert(*dst, [&](std::uint32_t, InputStatus& st) -> const PcmBuffer* {
    st = calls++ == 0 ? InputStatus::haveData : InputStatus::endOfStream;
    return calls == 1 ? src.get() : nullptr;
  });
  std::ofstream(out, std::ios::binary)
      .write(reinterpret_cast<const char*>(dst->int16ChannelData()[0]), dst->frameLength() * 2);
  return 0;
}

// Finals as they arrive, with their arrival time.
struct Finals {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<double, std::string>> items;
  bool ended = false;
  void add(double at, std::string text) {
    std::lock_guard<std::mutex> g(mutex);
    items.emplace_back(at, std::move(text));
    cv.notify_all();
  }
};

struct Feeder {
  std::vector<std::int16_t> samples;
  std::vector<double> ends;  // utterance ends, seconds of audio
  std::vector<double> endFedAt;  // wall seconds since start when each end was fed
  double speed = 0;
  Clock::time_point start;

  // Feeds every buffer to `sink`, paced at `speed` times real time.
  template <class Sink>
  void run(Sink&& sink) {
    start = Clock::now();
    std::size_t nextEnd = 0;
    for (std::size_t at = 0; at < samples.size(); at += kBufferFrames) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(kBufferFrames, samples.size() - at));
      const double audioT = static_cast<double>(at + n) / 16000.0;
      if (speed > 0) std::this_thread::sleep_until(start + std::chrono::duration<double>(audioT / speed));
      auto b = PcmBuffer::make(k16k, n);
      b->setFrameLength(n);
      std::memcpy(b->int16ChannelData()[0], samples.data() + at, n * 2);
      sink(b);
      while (nextEnd < ends.size() && ends[nextEnd] <= audioT) {
        endFedAt.push_back(since(start));
        ++nextEnd;
      }
    }
  }
};

void report(const char* path, Feeder& feeder, Finals& finals, double decodeSeconds, long rssLoadedKb) {
  const double audio = static_cast<double>(feeder.samples.size()) / 16000.0;
  std::string text;
  {
    std::lock_guard<std::mutex> g(finals.mutex);
    for (const auto& [at, t] : finals.items) text += t + " ";
  }
  std::printf("path %s\naudio_seconds %.2f\ndecode_seconds %.2f\nrtf %.3f\n", path, audio, decodeSeconds,
              decodeSeconds / audio);
  std::printf("rss_loaded_kb %ld\nrss_peak_kb %ld\nmodel_loads %d\n", rssLoadedKb, statusKb("VmHWM:"),
              SphinxModel::shared().loadCount());
  if (feeder.speed == 1 && !feeder.endFedAt.empty()) {
    // Each end's delay: to the first final that arrives after it was fed.
    std::vector<double> delays;
    std::lock_guard<std::mutex> g(finals.mutex);
    std::size_t f = 0;
    for (double fed : feeder.endFedAt) {
      while (f < finals.items.size() && finals.items[f].first < fed) ++f;
      if (f == finals.items.size()) break;
      delays.push_back(finals.items[f].first - fed);
      ++f;
    }
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
      double sum = 0;
      for (double d : delays) sum += d;
      std::printf("final_delay_count %zu\nfinal_delay_mean %.3f\nfinal_delay_median %.3f\nfinal_delay_max %.3f\n",
                  delays.size(), sum / static_cast<double>(delays.size()), delays[delays.size() / 2], delays.back());
    }
  }
  std::printf("hypothesis %s\n", text.c_str());
}

int analyzer(Feeder& feeder) {
  SphinxModel::shared().load();
  const long rssLoaded = statusKb("VmRSS:");
  SphinxAnalysis analysis(SphinxModel::shared());
  auto transcriber = analysis.makeTranscriber({"en-US", true, true, true});
  auto session = analysis.makeAnalyzer({transcriber}, {});
  auto input = std::make_shared<AnalyzerInputStream>();
  Finals finals;
  std::function<void(ResultEvent)> read;
  auto results = transcriber->results();
  read = [&](ResultEvent ev) {
    if (ev.kind == ResultEvent::Kind::result) {
      if (ev.result.isFinal) finals.add(since(feeder.start), ev.result.text);
      results->next(read);
      return;
    }
    std::lock_guard<std::mutex> g(finals.mutex);
    finals.ended = true;
    finals.cv.notify_all();
  };
  session->start(input, [](std::optional<AnalyzerError>) {});
  results->next(read);
  feeder.run([&](const PcmBufferPtr& b) { input->yield(b); });
  input->finish();
  {
    std::unique_lock<std::mutex> l(finals.mutex);
    finals.cv.wait(l, [&] { return finals.ended; });
  }
  report("analyzer", feeder, finals, since(feeder.start), rssLoaded);
  return 0;
}

// The legacy runner's way: a request per utterance, replaced at each final
// and rolled over every 8 s of audio with its last partial as the final.
int legacy(Feeder& feeder) {
  SphinxModel::shared().load();
  const long rssLoaded = statusKb("VmRSS:");
  SphinxRecognition recognition(SphinxModel::shared());
  auto recognizer = recognition.recognizer("en-US");
  Finals finals;
  std::mutex m;
  RecognitionRequestPtr request;
  RecognitionTaskPtr task;
  std::string lastPartial;
  std::atomic<int> generation{0};
  std::function<void()> startRequest = [&] {
    // Called with m held.
    const int g = ++generation;
    lastPartial.clear();
    request = recognizer->makeRequest();
    request->setShouldReportPartialResults(true);
    task = recognizer->startTask(request, [&, g](std::optional<RecognitionResult> r, std::optional<RecognitionError>) {
      std::lock_guard<std::mutex> guard(m);
      if (g != generation.load()) return;
      if (r && !r->isFinal) lastPartial = r->formattedString;
      if (r && r->isFinal) finals.add(since(feeder.start), r->formattedString);
      // A final, or no speech: the next request takes over.
      if ((r && r->isFinal) || !r) {
        task->cancel();
        startRequest();
      }
    });
  };
  {
    std::lock_guard<std::mutex> guard(m);
    startRequest();
  }
  std::size_t fed = 0;
  const std::size_t rollover = 8 * 16000;
  feeder.run([&](const PcmBufferPtr& b) {
    std::lock_guard<std::mutex> guard(m);
    request->append(*b);
    fed += b->frameLength();
    if (fed % rollover < b->frameLength()) {
      if (!lastPartial.empty()) finals.add(since(feeder.start), lastPartial);
      task->cancel();
      startRequest();
    }
  });
  {
    std::lock_guard<std::mutex> guard(m);
    request->endAudio();
  }
  // The last request answers with its final or with no speech.
  const int last = generation.load();
  while (generation.load() == last) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double decode = since(feeder.start);
  {
    std::lock_guard<std::mutex> guard(m);
    task->cancel();
  }
  report("legacy", feeder, finals, decode, rssLoaded);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "convert") return convert(argv[2], argv[3]);
  if (argc < 4) {
    std::fprintf(stderr, "usage: speech_bench_driver convert IN OUT | analyzer|legacy RAW SPEED [ENDS]\n");
    return 64;
  }
  Feeder feeder;
  std::string raw = readAll(argv[2]);
  feeder.samples.resize(raw.size() / 2);
  std::memcpy(feeder.samples.data(), raw.data(), feeder.samples.size() * 2);
  feeder.speed = std::stod(argv[3]);
  if (argc >= 5) {
    std::ifstream in(argv[4]);
    for (double e; in >> e;) feeder.ends.push_back(e);
  }
  const std::string mode = argv[1];
  if (mode == "analyzer") return analyzer(feeder);
  if (mode == "legacy") return legacy(feeder);
  return 64;
}
