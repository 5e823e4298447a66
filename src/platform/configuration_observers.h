// The configuration-change observers of one audio engine: registered blocks
// that each change posts to the main queue. Both backends' engines keep
// their observers here.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/audio_engine.h"

namespace qln::platform {

class ConfigurationObservers : public std::enable_shared_from_this<ConfigurationObservers> {
 public:
  ObserverToken add(std::function<void()> block);
  // Whether the token was registered.
  bool remove(ObserverToken token);
  std::size_t size() const;
  // Posts every registered block to the main queue. A block removed before
  // its turn comes, or whose observers are gone by then, does not run.
  void notify();

 private:
  mutable std::mutex mutex_;
  std::map<ObserverToken, std::function<void()>> blocks_;
  ObserverToken lastToken_ = 0;
};

}  // namespace qln::platform
