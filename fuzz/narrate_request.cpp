// The narrate request, on an old system, with an unavailable model and with
// a model that echoes what it was given: the answer is always one line of
// one JSON object with a Boolean "ok", "text" when it is true and "reason"
// when it is false, and a generation gets the request's own texts.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "commands/narrate.h"
#include "fuzz_check.h"
#include "platform/sim/scenario.h"

namespace {

using nlohmann::json;

const json kScenarios[] = {
    json::object(),
    {{"capabilities", {{"languageModel", true}}}, {"languageModel", {{"availability", "modelNotReady"}}}},
    {{"capabilities", {{"languageModel", true}}}, {"languageModel", {{"echo", true}}}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t which = data[0] % 3;
  const std::string request(reinterpret_cast<const char*>(data + 1), size - 1);
  qln::sim::setScenarioForTesting(kScenarios[which]);

  const std::string answer = qln::commands::narrateAnswer(request);
  FUZZ_CHECK(answer.find('\n') == std::string::npos);
  json line = json::parse(answer, nullptr, false);
  FUZZ_CHECK(line.is_object() && line.size() == 2);
  FUZZ_CHECK(line.contains("ok") && line["ok"].is_boolean());
  const bool ok = line["ok"].get<bool>();
  FUZZ_CHECK(ok ? line.contains("text") && line["text"].is_string()
                : line.contains("reason") && line["reason"].is_string());

  json body = json::parse(request, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    FUZZ_CHECK(answer == R"({"ok":false,"reason":"badRequest"})");
    return 0;
  }
  if (which == 0) FUZZ_CHECK(answer == R"({"ok":false,"reason":"unsupportedOS"})");
  if (which == 1) FUZZ_CHECK(answer == R"({"ok":false,"reason":"modelNotReady"})");
  if (which == 2 && ok) {
    const auto probe = body.find("probe");
    if (probe != body.end() && probe->is_boolean() && probe->get<bool>()) {
      FUZZ_CHECK(line["text"] == "");
    } else {
      // The echoing model shows exactly what the session was given.
      const auto system = body.find("system");
      const bool instructed = system != body.end() && system->is_string() && !system->get<std::string>().empty();
      FUZZ_CHECK(line["text"] == "instructions: " + (instructed ? system->get<std::string>() : std::string("(none)")) +
                                     "\nprompt: " + body["user"].get<std::string>());
    }
  }
  return 0;
}
