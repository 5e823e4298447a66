// The control channel: bytes cut into reads any way at all give the same
// lines as the whole stream cut at its line feeds, each line at most 64 KiB
// and valid UTF-8; and the line handler ignores white space at both ends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chunks.h"
#include "dispatch/virtual_dispatcher.h"
#include "fuzz_check.h"
#include "output/output.h"
#include "speech/speech_driver.h"
#include "speech/stdin_line_reader.h"

namespace {

using qln::StdinLineReader;

// The lines a reader must hand over for the whole stream.
std::vector<std::string> expectedLines(const std::string& stream) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    const std::size_t lf = stream.find('\n', at);
    if (lf == std::string::npos) break;
    std::string line = stream.substr(at, lf - at);
    if (line.size() <= StdinLineReader::kMaxLineBytes && qln::qlnIsValidUtf8(line)) lines.push_back(line);
    at = lf + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto reads = consumeReads(in, 2 * StdinLineReader::kMaxLineBytes);

  qln::dispatch::ScopedVirtualDispatcher clock;
  std::vector<std::string> lines;
  auto reader = StdinLineReader::make([&lines](const std::string& line) { lines.push_back(line); }, -1);
  std::string stream;
  for (const auto& bytes : reads) {
    reader->feed(bytes);
    stream += bytes;
  }
  clock->runUntilIdle();
  FUZZ_CHECK(lines == expectedLines(stream));

  for (const auto& line : lines) {
    const auto parsed = qln::parseControlLine(line);
    FUZZ_CHECK(parsed == qln::parseControlLine(" \t" + line + "\r\n "));
    qln::handleControlLine(line);  // no tap: must do nothing at all
  }
  return 0;
}
