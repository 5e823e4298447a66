// The control channel: bytes to lines on the reader's queue, and which lines
// re-target the other-party tap.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "dispatch/virtual_dispatcher.h"
#include "speech/stdin_line_reader.h"

namespace {

using qln::StdinLineReader;
using qln::dispatch::ScopedVirtualDispatcher;

struct Recorded {
  std::vector<std::string> lines;
  std::shared_ptr<StdinLineReader> reader;
  explicit Recorded(int fd = 0) {
    reader = StdinLineReader::make([this](const std::string& line) { lines.push_back(line); }, fd);
  }
};

TEST(StdinLineReader, BytesBecomeLinesInArrivalOrder) {
  const std::string big(StdinLineReader::kMaxLineBytes, 'x');
  const std::string tooBig(StdinLineReader::kMaxLineBytes + 1, 'y');
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    std::vector<std::string> lines;
  } cases[] = {
      {"two lines in one read", {"{\"cmd\":\"tapOther\",\"bundleId\":\"A\"}\n{\"cmd\":\"tapOther\",\"bundleId\":\"B\"}\n"},
       {"{\"cmd\":\"tapOther\",\"bundleId\":\"A\"}", "{\"cmd\":\"tapOther\",\"bundleId\":\"B\"}"}},
      {"a line split across reads, once", {"{\"cmd\":\"tap", "Other\"}", "\nnext"}, {"{\"cmd\":\"tapOther\"}"}},
      {"a last line without a line feed is never handled", {"a\nb"}, {"a"}},
      {"empty lines are lines", {"\n\n"}, {"", ""}},
      {"a character split across reads", {"caf\xC3", "\xA9\n"}, {"caf\xC3\xA9"}},
      {"a line that is not UTF-8 is dropped, the next one kept", {"bad \xFF\nok\n", "\xC0\x80\n"}, {"ok"}},
      {"a surrogate is not UTF-8", {"\xED\xA0\x80\nok\n"}, {"ok"}},
      {"a line of the limit is kept", {big + "\n"}, {big}},
      {"a line of the limit over many reads is kept", {big.substr(0, 5000), big.substr(5000), "\n"}, {big}},
      {"a longer line in one read is dropped", {tooBig + "\nafter\n"}, {"after"}},
      {"a longer line over many reads is dropped up to its line feed",
       {tooBig, "still the same line", "\nafter\n"}, {"after"}},
      {"the rest of a dropped line ends at its line feed only", {tooBig, "z\nfirst\nsecond"}, {"first"}},
  };
  for (const auto& c : cases) {
    ScopedVirtualDispatcher clock;
    Recorded r;
    for (const auto& bytes : c.reads) r.reader->feed(bytes);
    EXPECT_TRUE(r.lines.empty()) << c.name << ": lines are handled on the reader's queue, not in the read";
    clock->runUntilIdle();
    EXPECT_EQ(r.lines, c.lines) << c.name;
  }
}

TEST(StdinLineReader, WatchesTheDescriptorUntilEndOfInput) {
  ScopedVirtualDispatcher clock;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  Recorded r(fds[0]);
  EXPECT_FALSE(r.reader->watching()) << "nothing is read before start";
  r.reader->start();
  EXPECT_TRUE(r.reader->watching());
  const std::string bytes = "one\ntwo\nthr";
  ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::write(fds[1], "ee\n", 3), 3);
  ::close(fds[1]);
  ASSERT_TRUE(r.reader->waitUntilInputEnds(5000));
  EXPECT_FALSE(r.reader->watching()) << "the watch ends with the input";
  clock->runUntilIdle();
  EXPECT_EQ(r.lines, (std::vector<std::string>{"one", "two", "three"}));
  ::close(fds[0]);
}

TEST(StdinLineReader, ReleasedReaderStopsWatchingAnOpenInput) {
  ScopedVirtualDispatcher clock;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::vector<std::string> lines;
  auto reader = StdinLineReader::make([&lines](const std::string& line) { lines.push_back(line); }, fds[0]);
  reader->start();
  reader.reset();  // returns although the input is still open
  ASSERT_EQ(::write(fds[1], "late\n", 5), 5);
  clock->runUntilIdle();
  EXPECT_TRUE(lines.empty()) << "nothing is handled for a reader that is gone";
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(ControlLine, WhichLinesRetargetTheTap) {
  using Bundle = std::optional<std::string>;
  struct Case {
    std::string line;
    std::optional<Bundle> result;  // none = ignored
  } cases[] = {
      {R"({"cmd":"tapOther","bundleId":"A"})", Bundle("A")},
      {R"(  {"cmd":"tapOther","bundleId":"A"}  )", Bundle("A")},
      {"{\"cmd\":\"tapOther\",\"bundleId\":\"us.zoom.xos\"}\r", Bundle("us.zoom.xos")},
      {"\xE2\x80\xA8{\"cmd\":\"tapOther\",\"bundleId\":\"A\"}\t", Bundle("A")},
      {R"({"cmd":"tapOther","bundleId":"A","extra":[1,2]})", Bundle("A")},
      {R"({"cmd":"tapOther"})", Bundle()},
      {R"({"cmd":"tapOther","bundleId":null})", Bundle()},
      {R"({"cmd":"tapOther","bundleId":5})", Bundle()},
      {R"({"cmd":"tapOther","bundleId":["A"]})", Bundle()},
      {"", std::nullopt},
      {"    ", std::nullopt},
      {"[]", std::nullopt},
      {R"("tapOther")", std::nullopt},
      {R"({"cmd":"TAPOTHER"})", std::nullopt},
      {R"({"cmd":1})", std::nullopt},
      {R"({"cmd":null})", std::nullopt},
      {R"({"bundleId":"A"})", std::nullopt},
      {R"({"cmd":"tapOther","bundleId":"A")", std::nullopt},
      {R"({"cmd":"tapOther"} {"cmd":"tapOther"})", std::nullopt},
      {"tapOther", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(qln::parseControlLine(c.line), c.result) << "line: " << c.line;
}

}  // namespace
