// Runs a built binary as the host would and collects what it did.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qln::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;        // exit status, or 128 + N after signal N
  bool timedOut = false;  // killed after the run's time limit
};

struct ProcessOptions {
  std::vector<std::string> args;               // args[0] is the program
  std::map<std::string, std::optional<std::string>> env;  // value none = unset
  std::optional<std::string> stdinData;        // none = /dev/null
  bool keepStdinOpen = false;                  // a pipe left open for writeStdin
  std::chrono::milliseconds timeout{20000};
};

ProcessResult runProcess(const ProcessOptions& options);

// A process that keeps running while the test talks to it.
class RunningProcess {
 public:
  explicit RunningProcess(const ProcessOptions& options);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  int pid() const { return pid_; }
  // Waits until standard output holds `count` lines (or the limit passes).
  bool waitForLines(size_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  // Waits until standard output holds `count` lines containing `needle`.
  bool waitForOut(const std::string& needle, size_t count = 1,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  // Waits until standard error contains `needle`.
  bool waitForErr(const std::string& needle,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
  void writeStdin(const std::string& data);
  void closeStdin();
  void signal(int signo);
  // Waits for the end and returns everything it wrote.
  ProcessResult wait(std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
  std::string outSoFar();
  std::string errSoFar();

 private:
  void pump(int timeoutMs);
  int pid_ = -1;
  int inFd_ = -1, outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
  bool reaped_ = false;
  int status_ = -1;
};

std::string writeTempFile(const std::string& contents, const std::string& suffix = ".json");
// A path in the temporary folder, named for this test process so parallel
// tests never share a file.
std::string tempPath(const std::string& name);
// `binary` copied alone into a folder of its own, once per test process: no
// backend family library lies beside it, as on a machine without the sound
// server or recogniser packages.
std::string aloneCopyOf(const std::string& binary);
std::vector<std::string> splitLines(const std::string& text);
// The program's full path on PATH, or empty when PATH has none.
std::string programOnPath(const char* program);

}  // namespace qln::testing
