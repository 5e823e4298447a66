// The speech analyzer on Linux: PocketSphinx streaming sessions from the
// speech family. Without that family no locale is installed and no audio
// format fits, so speech mode keeps to the legacy engine.
#include "platform/linux/families.h"
#include "platform/speech_analyzer.h"

namespace qln::platform {
namespace {

class NoTranscriber final : public SpeechTranscriber {
 public:
  class Ended final : public TranscriptionResults {
   public:
    void next(std::function<void(ResultEvent)> done) override { done(ResultEvent{}); }
  };
  std::shared_ptr<TranscriptionResults> results() override { return results_; }

 private:
  std::shared_ptr<TranscriptionResults> results_ = std::make_shared<Ended>();
};

class NoAnalyzer final : public SpeechAnalyzer {
 public:
  void start(AnalyzerInputStreamPtr, std::function<void(std::optional<AnalyzerError>)> done) override {
    done(AnalyzerError{"qln.analyzer", 3, "no speech analyzer on this system"});
  }
};

class NoSpeechAnalysis final : public SpeechAnalysis {
 public:
  SpeechTranscriberPtr makeTranscriber(const TranscriberConfiguration&) override {
    return std::make_shared<NoTranscriber>();
  }
  void bestAvailableAudioFormat(const std::vector<SpeechTranscriberPtr>&,
                                std::function<void(std::optional<AudioFormat>)> done) override {
    done(std::nullopt);
  }
  SpeechAnalyzerPtr makeAnalyzer(const std::vector<SpeechTranscriberPtr>&, const AnalyzerOptions&) override {
    return std::make_shared<NoAnalyzer>();
  }
  void installedLocales(std::function<void(std::vector<std::string>)> done) override { done({}); }
};

}  // namespace

SpeechAnalysis& speechAnalysis() {
  if (auto* family = linux_backend::speechFamily()) return family->analysis();
  static auto* a = new NoSpeechAnalysis;
  return *a;
}

}  // namespace qln::platform
