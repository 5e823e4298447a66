// The scripted speech analyzer, and the control object tests drive it with.
//
// Scenario section "analyzer" (every key optional):
//
//   "analyzer": {
//     "locales": ["en-US"],
//         the installed transcription locales. Default ["en-US"].
//     "format": {"sampleRate": 16000, "channels": 1,
//                "commonFormat": "int16" | "float32", "interleaved": false}
//             | null,
//         the best available audio format; null means none fits.
//         Default: 16000 Hz, 1 channel, int16, deinterleaved.
//     "startError": "text",
//         every analyzer start fails with this description (domain
//         "sim.analyzer", code 1). Default: starts succeed.
//     "sessions": [ [event, ...], ... ],
//         the results script of the Nth started analyzer of the process
//         (0-based);
//     "default": [event, ...]
//         the script of every analyzer past the end of "sessions" (default
//         none: the results sequence waits for ever).
//     An event happens once and joins the results sequence in the order
//     events happen:
//       {"atMs": 500, "partial": "hello wor"}     ms after the analyzer started
//       {"afterAudioMs": 1200, "final": "hello there", "range": [1.2, 1.98]}
//           once that much input audio was consumed; "range" is the audio
//           time range [start, end] in seconds ("nan", "inf", "-inf" allowed);
//           without it the result has no range
//       {"atMs": 3000, "ends": true}               the results sequence ends
//       {"atMs": 3000, "fails": "text"}            it fails (domain "sim.analyzer", code 2)
//     Events after an end or a failure never happen.
//   }
//
// The sim only answers the analyzer's calls as scripted; it knows nothing of
// the runners.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech_analyzer.h"

namespace qln::sim {

// One started analyzer (a session), as the sim saw it.
struct AnalyzerSessionLog {
  std::vector<platform::TranscriberConfiguration> modules;
  platform::AnalyzerOptions options;
  std::size_t buffersConsumed = 0;
  std::uint64_t framesConsumed = 0;
  std::optional<platform::AudioFormat> inputFormat;  // of the first buffer consumed
  bool inputFinished = false;
  bool resultsPending = false;  // a consumer waits for the next result
};

struct AnalyzerLog {
  std::vector<platform::TranscriberConfiguration> transcribers;  // every one made
  std::size_t formatRequests = 0;
  std::size_t startCalls = 0;
  std::vector<AnalyzerSessionLog> sessions;  // started successfully, oldest first
};

// Process-wide control of the scripted analyzer. Starts from the scenario's
// "analyzer" section; the setters override it until sim::resetForTesting().
// Safe to call from any thread.
class SimAnalyzer {
 public:
  void setInstalledLocales(std::vector<std::string> locales);
  void setBestFormat(std::optional<platform::AudioFormat> format);
  void setStartError(std::optional<std::string> description);

  // Adds `event` to the results of the newest started analyzer, as if it had
  // just happened; the waiting consumer gets it through the sim's queue.
  // False when no analyzer was started or its sequence is over.
  bool emit(platform::ResultEvent event);
  bool emitResult(std::string text, bool isFinal, std::optional<platform::MediaTimeRange> range = std::nullopt);
  bool endResults();
  bool failResults(std::string description);

  AnalyzerLog log() const;
};

SimAnalyzer& simAnalyzer();

}  // namespace qln::sim
