// The scenario that drives the scripted backend: a JSON object read from the
// file named by QLN_SIM_SCENARIO (an empty object when the variable is unset).
// Each scripted seam reads its own section, in its own file.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace qln::sim {

constexpr const char* kScenarioEnv = "QLN_SIM_SCENARIO";

// The scenario's root object.
const nlohmann::json& scenario();

// Reads the file; on failure returns false and sets `fault` to a text naming
// the file and what is wrong with it.
bool loadScenarioFile(const std::string& path, std::string& fault);
// The same for the file's text; `name` names it in the fault.
bool loadScenarioText(const std::string& text, const std::string& name, std::string& fault);

// In-process tests set the scenario directly. Seams that cache what they
// read from it reset through resetForTesting().
void setScenarioForTesting(nlohmann::json root);

// Runs every reset registered by a scripted seam (see ResetRegistration), so
// a test starts from the scenario alone.
void resetForTesting();

struct ResetRegistration {
  explicit ResetRegistration(void (*reset)());
};

}  // namespace qln::sim
