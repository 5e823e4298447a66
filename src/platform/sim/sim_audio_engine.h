// The scripted audio engine, and the control object tests drive it with.
//
// Scenario section "audio" (every key optional):
//
//   "audio": {
//     "format": {"sampleRate": 48000, "channels": 1,
//                "commonFormat": "float32" | "int16", "interleaved": false},
//         the input node's output format, passed through as written, so
//         {"sampleRate": 0, "channels": 0} scripts a machine without input.
//         Default: 48000 Hz, 1 channel, float32, deinterleaved.
//     "source": {"kind": "tone", "hz": 440, "amplitude": 0.3}
//             | {"kind": "silence"}
//             | {"kind": "wav", "path": "/abs/file.wav"},
//         what a started engine captures. With a source, a started engine
//         feeds its tap from a thread of its own at real-time pace, one
//         buffer of the tap's size (1024 frames if it asked for none) in the
//         tap's format per buffer duration. A WAV file is 16-bit PCM of any
//         rate and channel count; it is converted to the tap's format, played
//         once, then followed by silence. Without a source nothing is fed
//         but what tests hand to SimAudio::deliver.
//     "stallAfterMs": 3000,
//         the feeder stops after this much audio per start while the engine
//         keeps reporting itself running (a stalled tap). Default: never.
//     "startFailures": 2,
//         the first N start calls of the process fail (negative: every one).
//     "startError": "text",  the failure's description. Default
//         "sim: scripted engine start failure".
//     "audioUnit": true,     whether the input node has an audio unit.
//     "pinStatus": 0,        what setting the unit's current device returns.
//     "voiceProcessingError": "no echo canceller",
//         enabling voice processing fails with this description. Default:
//         it succeeds.
//     "configChangeAtMs": [1500, 4000]
//         configuration changes, in ms after each engine's first successful
//         start, delivered to its observers on the main queue.
//   }
//
// The sim only answers the engine's calls as scripted; it knows nothing of
// the runners.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio_engine.h"
#include "platform/audio_format.h"

namespace qln::sim {

// What the engines of this process were asked, since the last reset.
struct AudioEngineLog {
  int enginesMade = 0;
  int prepareCalls = 0;
  int startCalls = 0;
  int startsSucceeded = 0;
  int stopCalls = 0;
  int installTapCalls = 0;
  int removeTapCalls = 0;
  std::optional<std::uint32_t> pinnedDevice;        // last setInputDevice
  std::optional<bool> voiceProcessingRequested;     // last setVoiceProcessingEnabled
  std::uint32_t tapBufferFrames = 0;                // of the last installTap
  platform::AudioFormat tapFormat;                  // of the last installTap
  int runningEngines = 0;                           // live engines now started
  int installedTaps = 0;                            // live engines with a tap now
  int observers = 0;                                // configuration observers now registered
};

// Process-wide control of the scripted engine. Starts from the scenario's
// "audio" section; the setters override it until sim::resetForTesting().
// Safe to call from any thread.
class SimAudio {
 public:
  void setOutputFormat(const platform::AudioFormat& format);
  // The next `count` start calls fail with `description` (negative: all).
  void setStartFailures(int count, std::string description = "sim: scripted engine start failure");
  void setPinStatus(std::int32_t status);
  void setHasAudioUnit(bool hasUnit);
  void setVoiceProcessingError(std::optional<std::string> description);

  // Posts every registered configuration observer of every live engine to
  // the main queue.
  void fireConfigurationChange();

  // Hands `buffer` to the tap of every started engine, synchronously on the
  // calling thread; returns how many taps got it.
  std::size_t deliver(const platform::PcmBuffer& buffer, std::uint64_t hostTimeNs = 0);

  AudioEngineLog log() const;
};

SimAudio& simAudio();

}  // namespace qln::sim
