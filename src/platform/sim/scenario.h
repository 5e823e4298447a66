// The scenario that drives the scripted backend: a JSON object read from the
// file named by QLN_SIM_SCENARIO (an empty object when the variable is unset).
// Each scripted seam reads its own section, in its own file.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

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

// A scenario value as a number of type T; none when it is not a number or T
// cannot hold it (a float is cut toward zero). Converting an out-of-range
// float to an integer is undefined, so no scripted seam reads one unchecked.
template <typename T>
std::optional<T> numberAs(const nlohmann::json& v) {
  if constexpr (std::is_floating_point_v<T>) {
    if (v.is_number()) return static_cast<T>(v.get<double>());
  } else if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(u);
  } else if (v.is_number_integer()) {
    auto i = v.get<std::int64_t>();
    if constexpr (std::is_unsigned_v<T>) {
      if (i >= 0 && static_cast<std::uint64_t>(i) <= std::numeric_limits<T>::max()) return static_cast<T>(i);
    } else if (i >= std::numeric_limits<T>::min() && i <= std::numeric_limits<T>::max()) {
      return static_cast<T>(i);
    }
  } else if (v.is_number_float()) {
    auto d = v.get<double>();
    if (d > static_cast<double>(std::numeric_limits<T>::min()) - 1.0 &&
        d < static_cast<double>(std::numeric_limits<T>::max()) + 1.0)
      return static_cast<T>(d);
  }
  return std::nullopt;
}

// A field of a scenario object read leniently: a missing field, a value of
// another type or a number T cannot hold reads as `fallback`, so a sloppy
// scenario degrades to defaults instead of ending the program.
template <typename T>
T field(const nlohmann::json& object, const char* key, T fallback) {
  if (!object.is_object()) return fallback;
  auto it = object.find(key);
  if (it == object.end()) return fallback;
  if constexpr (std::is_same_v<T, nlohmann::json>) {
    return *it;
  } else if constexpr (std::is_same_v<T, bool>) {
    return it->is_boolean() ? it->template get<bool>() : fallback;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return it->is_string() ? it->template get<std::string>() : fallback;
  } else {
    return numberAs<T>(*it).value_or(fallback);
  }
}

inline std::string field(const nlohmann::json& object, const char* key, const char* fallback) {
  return field<std::string>(object, key, fallback);
}

// The highest sample rate a scripted device delivers audio at.
constexpr double kMaxScriptedRate = 1e7;

// A scripted delay in milliseconds as nanoseconds for the dispatcher: none
// below zero, and no more than a year.
inline std::uint64_t delayNs(double ms) {
  constexpr double kYearMs = 365.0 * 24 * 3600 * 1000;
  if (!(ms > 0)) return 0;
  return static_cast<std::uint64_t>(std::min(ms, kYearMs) * 1e6);
}

}  // namespace qln::sim
