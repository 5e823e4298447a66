// The speech analyzer on PocketSphinx: one streaming session per analyzer,
// on a thread of its own, consuming the input stream until it is finished.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/speech/sphinx_model.h"
#include "platform/speech_analyzer.h"

namespace qln::platform::linux_backend::sphinx {

inline constexpr const char* kAnalyzerDomain = "qln.sphinx.analyzer";

class SphinxAnalysis final : public SpeechAnalysis {
 public:
  explicit SphinxAnalysis(SphinxModel& model) : model_(model) {}
  SpeechTranscriberPtr makeTranscriber(const TranscriberConfiguration& configuration) override;
  void bestAvailableAudioFormat(const std::vector<SpeechTranscriberPtr>& modules,
                                std::function<void(std::optional<AudioFormat>)> done) override;
  SpeechAnalyzerPtr makeAnalyzer(const std::vector<SpeechTranscriberPtr>& modules,
                                 const AnalyzerOptions& options) override;
  void installedLocales(std::function<void(std::vector<std::string>)> done) override;

 private:
  SphinxModel& model_;
};

}  // namespace qln::platform::linux_backend::sphinx
