// Operating-system gates, answered by the backend from what the system
// really offers.
#pragma once

namespace qln::platform {

class Capabilities {
 public:
  virtual ~Capabilities() = default;
  virtual bool processTap() = 0;        // tapping another application's audio
  virtual bool audioProcessList() = 0;  // listing the processes that capture audio
  virtual bool analyzer() = 0;          // the newer speech analyzer engine
  virtual bool languageModel() = 0;     // an on-device language model
};

Capabilities& capabilities();

}  // namespace qln::platform
