// A transcription engine as speech mode holds it.
#pragma once

namespace qln {

class SpeechListener {
 public:
  virtual ~SpeechListener() = default;
  // Begins engine start attempt 0.
  virtual void start() = 0;
  // Synchronous: ends transcription and finalises the engine's recording
  // before it returns.
  virtual void stop() = 0;
};

}  // namespace qln
