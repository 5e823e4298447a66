#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace qln::commands {

// The answer line for one request text (everything read from standard
// input), running the generation when the request asks for one.
std::string narrateAnswer(const std::string& request);

// Reads the request from standard input to its end, answers, exits 0.
[[noreturn]] void runNarrate();

// Requests larger than this are refused rather than held in memory.
constexpr size_t kMaxNarrateRequestBytes = 16u << 20;

// Reads `fd` to its end; none once the input grows past the limit, without
// reading further.
std::optional<std::string> readNarrateRequest(int fd);

}  // namespace qln::commands
