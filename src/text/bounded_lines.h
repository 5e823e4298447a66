// Cuts a byte stream into lines ended by a line feed while holding at most
// `maxLineBytes` of an unfinished line. A line longer than that is dropped
// whole, up to and including its line feed, however the reads cut it; the
// line after it is handled as usual. So a peer that never ends a line cannot
// grow memory without bound.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qln::text {

// `buf` holds the unfinished line between calls and `discarding` says that
// the unfinished line has already overflowed; both start empty and false.
// `onLine` gets each complete line, without its line feed, in order.
template <class OnLine>
void splitBoundedLines(std::string& buf, bool& discarding, std::string_view bytes, std::size_t maxLineBytes,
                       OnLine&& onLine) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t lf = bytes.find('\n', at);
    if (discarding) {
      if (lf == std::string_view::npos) return;
      discarding = false;
      at = lf + 1;
      continue;
    }
    const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
    if (buf.size() + (end - at) > maxLineBytes) {
      buf.clear();
      discarding = true;
      continue;
    }
    buf.append(bytes.substr(at, end - at));
    if (lf == std::string_view::npos) return;
    onLine(static_cast<const std::string&>(buf));
    buf.clear();
    at = lf + 1;
  }
}

}  // namespace qln::text
