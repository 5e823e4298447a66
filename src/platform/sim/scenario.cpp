#include "platform/sim/scenario.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace qln::sim {
namespace {

nlohmann::json& root() {
  static auto* r = new nlohmann::json(nlohmann::json::object());
  return *r;
}

std::vector<void (*)()>& resets() {
  static auto* r = new std::vector<void (*)()>;
  return *r;
}

}  // namespace

const nlohmann::json& scenario() { return root(); }

bool loadScenarioFile(const std::string& path, std::string& fault) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fault = "sim: cannot read scenario " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return loadScenarioText(text.str(), path, fault);
}

bool loadScenarioText(const std::string& text, const std::string& name, std::string& fault) {
  nlohmann::json parsed;
  try {
    parsed = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    // Not only syntax: a number too large for a double is out_of_range.
    fault = "sim: malformed scenario " + name + ": " + e.what();
    return false;
  }
  if (!parsed.is_object()) {
    fault = "sim: malformed scenario " + name + ": the top level must be an object";
    return false;
  }
  root() = std::move(parsed);
  return true;
}

void setScenarioForTesting(nlohmann::json r) {
  root() = r.is_object() ? std::move(r) : nlohmann::json::object();
  resetForTesting();
}

void resetForTesting() {
  for (auto* reset : resets()) reset();
}

ResetRegistration::ResetRegistration(void (*reset)()) { resets().push_back(reset); }

}  // namespace qln::sim
