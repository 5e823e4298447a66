#include "platform/configuration_observers.h"

#include <vector>

#include "dispatch/dispatch.h"

namespace qln::platform {

ObserverToken ConfigurationObservers::add(std::function<void()> block) {
  std::lock_guard<std::mutex> guard(mutex_);
  const ObserverToken token = ++lastToken_;
  blocks_.emplace(token, std::move(block));
  return token;
}

bool ConfigurationObservers::remove(ObserverToken token) {
  std::lock_guard<std::mutex> guard(mutex_);
  return blocks_.erase(token) > 0;
}

std::size_t ConfigurationObservers::size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return blocks_.size();
}

void ConfigurationObservers::notify() {
  std::vector<ObserverToken> tokens;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [token, block] : blocks_) tokens.push_back(token);
  }
  std::weak_ptr<ConfigurationObservers> weak = weak_from_this();
  for (auto token : tokens) {
    dispatch::mainQueue()->async([weak, token] {
      auto self = weak.lock();
      if (!self) return;
      std::function<void()> block;
      {
        std::lock_guard<std::mutex> guard(self->mutex_);
        auto it = self->blocks_.find(token);
        if (it == self->blocks_.end()) return;  // removed since the change
        block = it->second;
      }
      block();
    });
  }
}

}  // namespace qln::platform
