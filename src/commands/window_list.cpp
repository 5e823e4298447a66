#include "commands/window_list.h"

#include "output/output.h"
#include "platform/window_server.h"
#include "process/exit.h"

namespace qln::commands {
namespace {

using nlohmann::json;

const char* const kNotFound = "{\"type\":\"windowList\",\"found\":false}";

std::optional<std::int64_t> readInteger(const json& dict, const char* key) {
  auto it = dict.find(key);
  if (it == dict.end() || !it->is_number_integer()) return std::nullopt;
  if (it->is_number_unsigned()) {
    auto u = it->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  return it->get<std::int64_t>();
}

double readDouble(const json& dict, const char* key, double fallback) {
  auto it = dict.find(key);
  if (it == dict.end() || !it->is_number()) return fallback;
  return it->get<double>();
}

}  // namespace

std::uint32_t displayIDContaining(double x, double y, double w, double h) {
  auto id = platform::windowServer().displayWithPoint(x + w * 0.5, y + h * 0.5);
  return id.value_or(0);
}

std::string windowListLine(std::int32_t pid, std::int64_t window) {
  auto list = platform::windowServer().copyWindowList();
  if (!list || !list->is_array()) return kNotFound;
  for (const auto& entry : *list)
    if (!entry.is_object()) return kNotFound;

  for (const auto& entry : *list) {
    auto number = readInteger(entry, "kCGWindowNumber");
    if (!number || *number != window) continue;
    if (pid > 0) {
      auto owner = readInteger(entry, "kCGWindowOwnerPID");
      if (owner && *owner != pid) continue;
    }
    double alpha = readDouble(entry, "kCGWindowAlpha", -1.0);
    bool onscreen = false;
    if (auto it = entry.find("kCGWindowIsOnscreen"); it != entry.end() && it->is_boolean())
      onscreen = it->get<bool>();
    double x = 0, y = 0, w = 0, h = 0;
    if (auto it = entry.find("kCGWindowBounds"); it != entry.end() && it->is_object()) {
      x = readDouble(*it, "X", 0);
      y = readDouble(*it, "Y", 0);
      w = readDouble(*it, "Width", 0);
      h = readDouble(*it, "Height", 0);
    }
    using output::shortestDouble;
    return std::string("{\"type\":\"windowList\",\"found\":true,") + "\"onscreen\":" +
           output::boolJSON(onscreen) + ",\"alpha\":" + shortestDouble(alpha) + "," +
           "\"bounds\":{\"x\":" + shortestDouble(x) + ",\"y\":" + shortestDouble(y) +
           ",\"w\":" + shortestDouble(w) + ",\"h\":" + shortestDouble(h) + "}," +
           "\"display\":" + std::to_string(displayIDContaining(x, y, w, h)) + "}";
  }
  return kNotFound;
}

void runWindowList(std::int32_t pid, std::int64_t window) {
  output::writeLine(windowListLine(pid, window));
  process::exitProcess(0);
}

}  // namespace qln::commands
