#include "output/output.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace qln::output {
namespace {

std::mutex& outLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: threads may still write at exit
  return *lock;
}

Sink& testSink() {
  static Sink* sink = new Sink;
  return *sink;
}

// A line must reach the descriptor whole: finish short writes and retry
// interrupted ones. Any other failure is dropped silently.
void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void emit(Channel channel, std::string_view line) {
  if (!isValidUtf8(line)) return;
  if (auto& sink = testSink()) {
    sink(channel, line);
    return;
  }
  std::string bytes;
  bytes.reserve(line.size() + 1);
  bytes.append(line);
  bytes.push_back('\n');
  writeAll(channel == Channel::out ? STDOUT_FILENO : STDERR_FILENO, bytes.data(), bytes.size());
}

}  // namespace

void writeLine(std::string_view line) {
  std::lock_guard<std::mutex> guard(outLock());
  emit(Channel::out, line);
}

void errLine(std::string_view line) { emit(Channel::err, line); }

void setSinkForTesting(Sink sink) {
  std::lock_guard<std::mutex> guard(outLock());
  testSink() = std::move(sink);
}

bool isValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

std::string jsonQuoted(std::string_view s) {
  if (!isValidUtf8(s)) return "\"\"";
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string shortestDouble(double v) {
  if (!std::isfinite(v)) return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, res.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

std::string fixed(double v, int decimals) {
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (res.ec != std::errc()) return "0";
  return std::string(buf, res.ptr);
}

}  // namespace qln::output
