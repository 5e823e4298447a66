// The PocketSphinx family in-process: both engines on speech synthesised by
// espeak-ng, the shared model, and the answers without a model.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/linux/speech/sphinx_analyzer.h"
#include "platform/linux/speech/sphinx_model.h"
#include "platform/linux/speech/sphinx_recognizer.h"
#include "sphinx_sample.h"

namespace {

using namespace qln::platform;
using namespace qln::platform::linux_backend::sphinx;
using namespace qln::testing::sphinx;
using namespace std::chrono_literals;

// Word overlap with the synthesised text that each path must reach. The
// espeak-ng voice is hard for the en-US model: on these sentences the
// decoder hears ~55-100% of the words (the first utterance after the model
// loads, before its cepstral mean settles, is the worst); a broken path
// hears next to nothing.
constexpr double kOverlap = 0.5;
// Decoding runs faster than real time, but the test machine is shared.
constexpr auto kDeadline = 60s;

// Events of one legacy task, as the handler saw them on its thread.
struct Seen {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> partials;
  std::vector<std::string> finals;
  std::vector<RecognitionError> errors;
  int afterFinal = 0;  // anything that came after the first final or error

  RecognitionHandler handler() {
    return [this](std::optional<RecognitionResult> r, std::optional<RecognitionError> e) {
      std::lock_guard<std::mutex> guard(mutex);
      if (!finals.empty() || !errors.empty()) afterFinal++;
      if (r) (r->isFinal ? finals : partials).push_back(r->formattedString);
      if (e) errors.push_back(*e);
      cv.notify_all();
    };
  }
  bool waitForAnswer() {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, kDeadline, [&] { return !finals.empty() || !errors.empty(); });
  }
};

class SphinxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SphinxModel::shared().installed()) GTEST_SKIP() << "pocketsphinx-en-us is not installed";
  }
  static const Sample& twoSentences() {
    static const std::optional<Sample> sample = [] {
      auto all = fixtureSentences();
      return all.size() < 2 ? std::nullopt : makeSample({all[0], all[1]}, 0.8);
    }();
    if (!sample) throw std::runtime_error("espeak-ng could not make the sample");
    return *sample;
  }
  static const Sample& oneSentence() {
    static const std::optional<Sample> sample = [] {
      auto all = fixtureSentences();
      return all.empty() ? std::nullopt : makeSample({all[0]}, 0.8);
    }();
    if (!sample) throw std::runtime_error("espeak-ng could not make the sample");
    return *sample;
  }
  SphinxRecognition recognition{SphinxModel::shared()};
  SphinxAnalysis analysis{SphinxModel::shared()};
};

// ---- The legacy recogniser ----

TEST_F(SphinxTest, LegacyRequestGivesPartialsThenOneFinalWithMostWords) {
  const auto& s = oneSentence();
  auto recognizer = recognition.recognizer("en-US");
  ASSERT_TRUE(recognizer);
  EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
  auto request = recognizer->makeRequest();
  request->setShouldReportPartialResults(true);
  Seen seen;
  auto task = recognizer->startTask(request, seen.handler());
  ASSERT_TRUE(task);
  // As the tap would: the capture format, buffer by buffer, no end of audio.
  for (const auto& b : buffersOf(s, 1024)) request->append(*b);
  ASSERT_TRUE(seen.waitForAnswer());

  std::lock_guard<std::mutex> guard(seen.mutex);
  EXPECT_TRUE(seen.errors.empty()) << seen.errors.front().code;
  ASSERT_EQ(seen.finals.size(), 1u);
  EXPECT_FALSE(seen.partials.empty());
  EXPECT_GE(wordOverlap(s.texts[0], seen.finals[0]), kOverlap) << seen.finals[0];
  // The last partial is a prefix of what the final settles on, more or less.
  EXPECT_GE(wordOverlap(seen.partials.back(), seen.finals[0]), 0.5);
  EXPECT_EQ(seen.afterFinal, 0);
}

TEST_F(SphinxTest, LegacyRequestWithoutSpeechReportsNoSpeech) {
  struct Case {
    const char* name;
    std::optional<AudioFormat> format;
    std::uint32_t frames;
  } cases[] = {
      {"the dictation probe's half second of float silence", AudioFormat::standard(16000, 1), 8000},
      {"a second of 48 kHz int16 silence", AudioFormat::make(CommonFormat::int16, 48000, 1, false), 48000},
      {"no audio at all", AudioFormat::standard(16000, 1), 0},
  };
  auto recognizer = recognition.recognizer("en-US");
  ASSERT_TRUE(recognizer);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = recognizer->makeRequest();
    request->setShouldReportPartialResults(false);
    Seen seen;
    auto task = recognizer->startTask(request, seen.handler());
    if (c.frames > 0) {
      auto b = PcmBuffer::make(*c.format, c.frames);
      b->setFrameLength(c.frames);
      request->append(*b);
    }
    request->endAudio();
    ASSERT_TRUE(seen.waitForAnswer());
    std::lock_guard<std::mutex> guard(seen.mutex);
    EXPECT_TRUE(seen.finals.empty());
    EXPECT_TRUE(seen.partials.empty());
    ASSERT_EQ(seen.errors.size(), 1u);
    EXPECT_EQ(seen.errors[0].code, 1110);
    EXPECT_EQ(seen.errors[0].domain, "kAFAssistantErrorDomain");
  }
}

TEST_F(SphinxTest, CancelledTaskSaysNothingAndFreesTheDecoder) {
  const auto& s = oneSentence();
  auto recognizer = recognition.recognizer("en-US");
  auto first = recognizer->makeRequest();
  Seen cancelled;
  auto task = recognizer->startTask(first, cancelled.handler());
  // Half the sentence, then a rollover drops the request.
  auto buffers = buffersOf(s, 1024);
  for (std::size_t i = 0; i < buffers.size() / 2; ++i) first->append(*buffers[i]);
  task->cancel();

  // The next request gets the decoder and hears the whole sentence.
  auto second = recognizer->makeRequest();
  Seen seen;
  auto next = recognizer->startTask(second, seen.handler());
  for (const auto& b : buffers) second->append(*b);
  second->endAudio();
  ASSERT_TRUE(seen.waitForAnswer());
  {
    std::lock_guard<std::mutex> guard(seen.mutex);
    ASSERT_EQ(seen.finals.size(), 1u);
    EXPECT_GE(wordOverlap(s.texts[0], seen.finals[0]), kOverlap) << seen.finals[0];
  }
  std::lock_guard<std::mutex> guard(cancelled.mutex);
  EXPECT_TRUE(cancelled.finals.empty());
  EXPECT_TRUE(cancelled.errors.empty());
}

// ---- The analyzer ----

struct Session {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<TranscriptionResult> results;
  bool ended = false;
  std::optional<AnalyzerError> failure;
  std::optional<std::optional<AnalyzerError>> started;

  // Reads the sequence as the core does: one next at a time, holding the
  // sequence only weakly while the callback is parked.
  void read(const std::shared_ptr<TranscriptionResults>& seq) {
    std::weak_ptr<TranscriptionResults> weak = seq;
    seq->next([this, weak](ResultEvent ev) {
      {
        std::lock_guard<std::mutex> guard(mutex);
        if (ev.kind == ResultEvent::Kind::result) results.push_back(ev.result);
        if (ev.kind == ResultEvent::Kind::end) ended = true;
        if (ev.kind == ResultEvent::Kind::failure) failure = ev.error;
        cv.notify_all();
        if (ev.kind != ResultEvent::Kind::result) return;
      }
      if (auto live = weak.lock()) read(live);
    });
  }
  template <class P>
  bool waitFor(P p) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, kDeadline, [&] { return p(); });
  }
};

TranscriberConfiguration coreConfiguration(std::string locale = "en-US") { return {std::move(locale), true, true, true}; }

TEST_F(SphinxTest, AnalyzerSessionGivesVolatileResultsAndPlacedFinalsThenEnds) {
  const auto& s = twoSentences();
  auto transcriber = analysis.makeTranscriber(coreConfiguration());
  EXPECT_EQ(transcriber->results(), transcriber->results());
  std::optional<AudioFormat> format;
  analysis.bestAvailableAudioFormat({transcriber}, [&](std::optional<AudioFormat> f) { format = f; });
  ASSERT_TRUE(format);
  EXPECT_EQ(*format, (AudioFormat{16000, 1, CommonFormat::int16, false}));

  auto analyzer = analysis.makeAnalyzer({transcriber}, {});
  auto input = std::make_shared<AnalyzerInputStream>();
  Session session;
  session.read(transcriber->results());
  analyzer->start(input, [&](std::optional<AnalyzerError> e) {
    std::lock_guard<std::mutex> guard(session.mutex);
    session.started = e;
    session.cv.notify_all();
  });
  for (const auto& b : buffersOf(s, 1024, format)) input->yield(b);
  ASSERT_TRUE(session.waitFor([&] { return session.started.has_value(); }));
  EXPECT_FALSE(*session.started);
  input->finish();
  ASSERT_TRUE(session.waitFor([&] { return session.ended || session.failure; }));

  std::lock_guard<std::mutex> guard(session.mutex);
  EXPECT_FALSE(session.failure);
  std::string heard;
  int volatiles = 0, finals = 0;
  double lastEnd = 0;
  for (const auto& r : session.results) {
    if (!r.isFinal) {
      ++volatiles;
      continue;
    }
    ++finals;
    heard += r.text + " ";
    ASSERT_TRUE(r.range) << r.text;
    EXPECT_GE(r.range->startSeconds, lastEnd) << r.text;
    EXPECT_GT(r.range->durationSeconds, 0.2) << r.text;
    EXPECT_LE(r.range->endSeconds(), s.seconds()) << r.text;
    lastEnd = r.range->endSeconds();
  }
  EXPECT_GE(finals, 2);
  EXPECT_GE(volatiles, finals);
  EXPECT_FALSE(session.results.back().isFinal == false) << "the last result settles";
  EXPECT_GE(wordOverlap(s.texts[0] + " " + s.texts[1], heard), kOverlap) << heard;
  // Each sentence lies inside the span the finals cover, give or take the
  // detector's padding.
  const double firstStart = session.results.empty() ? -1 : [&] {
    for (const auto& r : session.results)
      if (r.isFinal && r.range) return r.range->startSeconds;
    return -1.0;
  }();
  // espeak-ng pads each sentence with up to half a second of its own
  // silence, which the spans include.
  EXPECT_NEAR(firstStart, s.spans[0].first, 0.6);
  EXPECT_NEAR(lastEnd, s.spans[1].second, 0.6);
}

TEST_F(SphinxTest, DroppedSessionEndsAndReleasesItsParkedReader) {
  // The core lets go of everything without finishing the input; the session
  // must end, and the reader's parked callback must not outlive it.
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  {
    auto transcriber = analysis.makeTranscriber(coreConfiguration());
    auto analyzer = analysis.makeAnalyzer({transcriber}, {});
    auto input = std::make_shared<AnalyzerInputStream>();
    // The session may report its start after this block has ended.
    analyzer->start(input, [](std::optional<AnalyzerError>) {});
    transcriber->results()->next([token](ResultEvent) {});
    token.reset();
    auto silence = PcmBuffer::make(AudioFormat{16000, 1, CommonFormat::int16, false}, 1600);
    silence->setFrameLength(1600);
    input->yield(silence);
  }
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!watch.expired() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  EXPECT_TRUE(watch.expired());
}

TEST_F(SphinxTest, HandOverFromAnalyzerToLegacyLoadsTheModelOnce) {
  const auto& s = oneSentence();
  auto transcriber = analysis.makeTranscriber(coreConfiguration());
  auto analyzer = analysis.makeAnalyzer({transcriber}, {});
  auto input = std::make_shared<AnalyzerInputStream>();
  Session session;
  session.read(transcriber->results());
  analyzer->start(input, [](std::optional<AnalyzerError>) {});
  for (const auto& b : buffersOf(s, 1024, AudioFormat{16000, 1, CommonFormat::int16, false})) input->yield(b);

  // The fail-over starts the legacy request while the session still decodes.
  auto recognizer = recognition.recognizer("en-US");
  auto request = recognizer->makeRequest();
  Seen seen;
  auto task = recognizer->startTask(request, seen.handler());
  for (const auto& b : buffersOf(s, 1024)) request->append(*b);
  input->finish();

  ASSERT_TRUE(seen.waitForAnswer());
  ASSERT_TRUE(session.waitFor([&] { return session.ended; }));
  {
    std::lock_guard<std::mutex> guard(seen.mutex);
    ASSERT_EQ(seen.finals.size(), 1u);
    EXPECT_GE(wordOverlap(s.texts[0], seen.finals[0]), kOverlap) << seen.finals[0];
  }
  EXPECT_EQ(SphinxModel::shared().loadCount(), 1);
}

// ---- What the family answers, with and without its model ----

TEST(SphinxAnswers, FollowWhetherTheModelIsInstalled) {
  struct Case {
    const char* name;
    SphinxModel* model;
    bool installed;
  };
  SphinxModel absent(ModelPaths{"/nonexistent/hmm", "/nonexistent/lm.bin", "/nonexistent/dict"});
  std::vector<Case> cases{{"absent", &absent, false}};
  if (SphinxModel::shared().installed()) cases.push_back({"Debian's en-US", &SphinxModel::shared(), true});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SphinxRecognition recognition(*c.model);
    SphinxAnalysis analysis(*c.model);
    EXPECT_EQ(c.model->installed(), c.installed);
    EXPECT_EQ(recognition.authorizationStatus(),
              c.installed ? SpeechAuthorization::authorized : SpeechAuthorization::notDetermined);
    std::optional<SpeechAuthorization> answer;
    recognition.requestAuthorization([&](SpeechAuthorization a) { answer = a; });
    EXPECT_EQ(answer, recognition.authorizationStatus());
    EXPECT_EQ(recognition.recognizer("en-US") != nullptr, c.installed);
    EXPECT_EQ(recognition.recognizer("fr-FR"), nullptr);
    std::vector<std::string> locales{"unanswered"};
    analysis.installedLocales([&](std::vector<std::string> l) { locales = std::move(l); });
    EXPECT_EQ(locales, c.installed ? std::vector<std::string>{"en-US"} : std::vector<std::string>{});
    std::optional<AudioFormat> format{AudioFormat{}};
    analysis.bestAvailableAudioFormat({analysis.makeTranscriber(coreConfiguration())},
                                      [&](std::optional<AudioFormat> f) { format = f; });
    EXPECT_EQ(format.has_value(), c.installed);
  }
  // Without the model nothing loads, and no lease is handed out.
  std::atomic<bool> never{false};
  EXPECT_FALSE(absent.acquire(never));
  EXPECT_FALSE(absent.loadError().empty());
  EXPECT_EQ(absent.loadCount(), 0);
}

TEST_F(SphinxTest, AnalyzerRefusesALocaleItHasNoModelFor) {
  auto transcriber = analysis.makeTranscriber(coreConfiguration("fr-FR"));
  auto analyzer = analysis.makeAnalyzer({transcriber}, {});
  std::optional<std::optional<AnalyzerError>> started;
  analyzer->start(std::make_shared<AnalyzerInputStream>(), [&](std::optional<AnalyzerError> e) { started = e; });
  ASSERT_TRUE(started && *started);
  EXPECT_EQ((*started)->domain, kAnalyzerDomain);
}

}  // namespace
