#pragma once

#include <optional>
#include <string>

namespace qln::sim {

struct ModelRequest {
  std::optional<std::string> instructions;
  std::string prompt;
};

// What the scripted language model was last asked.
std::optional<ModelRequest> lastModelRequestForTesting();

}  // namespace qln::sim
