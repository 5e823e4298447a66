#include "commands/narrate.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>

#include <nlohmann/json.hpp>

#include "output/output.h"
#include "platform/capabilities.h"
#include "platform/language_model.h"
#include "process/exit.h"
#include "text/unicode_text.h"

namespace qln::commands {
namespace {

std::string qlnNarrateOkLine(const std::string& text) {
  return "{\"ok\":true,\"text\":" + output::jsonQuoted(text) + "}";
}

std::string qlnNarrateFailLine(const std::string& reason) {
  return "{\"ok\":false,\"reason\":" + output::jsonQuoted(reason) + "}";
}

std::string qlnFMUnavailableReason(platform::ModelAvailability reason) {
  switch (reason) {
    case platform::ModelAvailability::deviceNotEligible: return "deviceNotEligible";
    case platform::ModelAvailability::appleIntelligenceNotEnabled: return "appleIntelligenceNotEnabled";
    case platform::ModelAvailability::modelNotReady: return "modelNotReady";
    default: return "unavailable";
  }
}

}  // namespace

std::optional<std::string> readNarrateRequest(int fd) {
  std::string data;
  char buf[65536];
  for (;;) {
    // Never asks for more than one byte past the limit, so a refused
    // request leaves the rest of the input unread.
    const size_t want = std::min(sizeof buf, kMaxNarrateRequestBytes + 1 - data.size());
    ssize_t n = ::read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (data.size() + static_cast<size_t>(n) > kMaxNarrateRequestBytes) return std::nullopt;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

std::string narrateAnswer(const std::string& request) {
  using nlohmann::json;
  json body = json::parse(request, nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded() || !body.is_object()) return qlnNarrateFailLine("badRequest");

  bool probe = false;
  if (auto it = body.find("probe"); it != body.end() && it->is_boolean()) probe = it->get<bool>();

  if (!platform::capabilities().languageModel()) return qlnNarrateFailLine("unsupportedOS");
  auto& model = platform::languageModel();
  auto availability = model.availability();
  if (availability != platform::ModelAvailability::available)
    return qlnNarrateFailLine(qlnFMUnavailableReason(availability));
  if (probe) return qlnNarrateOkLine("");

  std::string system;
  if (auto it = body.find("system"); it != body.end() && it->is_string()) system = it->get<std::string>();
  auto userIt = body.find("user");
  if (userIt == body.end() || !userIt->is_string()) return qlnNarrateFailLine("badRequest");
  std::string user = userIt->get<std::string>();
  if (text::trimWhitespaceAndNewlines(user).empty()) return qlnNarrateFailLine("badRequest");

  // The generation answers on another thread; this one waits without limit.
  std::mutex mutex;
  std::condition_variable signalled;
  bool done = false;
  platform::GenerationResult result;
  model.respond(system.empty() ? std::nullopt : std::optional<std::string>(system), user,
                [&](platform::GenerationResult r) {
                  std::lock_guard<std::mutex> guard(mutex);
                  result = std::move(r);
                  done = true;
                  signalled.notify_one();
                });
  std::unique_lock<std::mutex> lock(mutex);
  signalled.wait(lock, [&] { return done; });

  if (result.text) return qlnNarrateOkLine(*result.text);
  if (result.error && !result.error->empty()) return qlnNarrateFailLine(*result.error);
  return qlnNarrateFailLine("generationFailed");
}

void runNarrate() {
  auto request = readNarrateRequest(STDIN_FILENO);
  output::writeLine(request ? narrateAnswer(*request) : qlnNarrateFailLine("badRequest"));
  process::exitProcess(0);
}

}  // namespace qln::commands
