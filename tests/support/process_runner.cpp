#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

extern char** environ;

namespace qln::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> buildEnv(const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) {
    if (v) env[k] = *v;
    else env.erase(k);
  }
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

int decodeStatus(int status) {
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace

RunningProcess::RunningProcess(const ProcessOptions& options) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  auto envStrings = buildEnv(options);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argsCopy = options.args;
  std::vector<char*> argv;
  for (auto& a : argsCopy) argv.push_back(a.data());
  argv.push_back(nullptr);
  bool useStdin = options.stdinData.has_value() || options.keepStdinOpen;

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (useStdin) {
      ::dup2(in[0], 0);
    } else {
      int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, 0);
    }
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    // The test runner may have changed these; the host would not.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    std::_Exit(127);
  }
  pid_ = pid;
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  inFd_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  if (useStdin) {
    ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not kill the test
    if (options.stdinData && !options.stdinData->empty()) writeStdin(*options.stdinData);
    if (!options.keepStdinOpen) closeStdin();
  }
}

RunningProcess::~RunningProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  for (int fd : {inFd_, outFd_, errFd_})
    if (fd >= 0) ::close(fd);
}

void RunningProcess::pump(int timeoutMs) {
  pollfd fds[2];
  nfds_t n = 0;
  if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
  if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
  if (n == 0) return;
  int r = ::poll(fds, n, timeoutMs);
  if (r <= 0) return;
  for (nfds_t i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[65536];
    ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
    bool isOut = fds[i].fd == outFd_;
    if (got > 0) {
      (isOut ? out_ : err_).append(buf, static_cast<size_t>(got));
    } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
      ::close(fds[i].fd);
      (isOut ? outFd_ : errFd_) = -1;
    }
  }
}

bool RunningProcess::waitForLines(size_t count, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    size_t lines = 0;
    for (char c : out_) lines += c == '\n';
    if (lines >= count) return true;
    if (Clock::now() >= deadline || (outFd_ < 0 && errFd_ < 0)) return false;
    pump(50);
  }
}

bool RunningProcess::waitForOut(const std::string& needle, size_t count, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    size_t seen = 0;
    for (size_t at = out_.find(needle); at != std::string::npos; at = out_.find(needle, at + needle.size())) ++seen;
    if (seen >= count) return true;
    if (Clock::now() >= deadline || (outFd_ < 0 && errFd_ < 0)) return false;
    pump(50);
  }
}

bool RunningProcess::waitForErr(const std::string& needle, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    if (err_.find(needle) != std::string::npos) return true;
    if (Clock::now() >= deadline || (outFd_ < 0 && errFd_ < 0)) return false;
    pump(50);
  }
}

void RunningProcess::writeStdin(const std::string& data) {
  size_t done = 0;
  while (done < data.size() && inFd_ >= 0) {
    ssize_t n = ::write(inFd_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

void RunningProcess::closeStdin() {
  if (inFd_ >= 0) ::close(inFd_);
  inFd_ = -1;
}

void RunningProcess::signal(int signo) { ::kill(pid_, signo); }

std::string RunningProcess::outSoFar() {
  pump(0);
  return out_;
}

std::string RunningProcess::errSoFar() {
  pump(0);
  return err_;
}

ProcessResult RunningProcess::wait(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  ProcessResult result;
  while (outFd_ >= 0 || errFd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      ::kill(pid_, SIGKILL);
      break;
    }
    pump(static_cast<int>(std::min<long long>(left, 100)));
  }
  // Output closed (or time ran out): the process ends on its own, or it is
  // killed once the limit has passed.
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = decodeStatus(status);
      break;
    }
    if (r < 0 && errno != EINTR) break;
    if (Clock::now() >= deadline) {
      result.timedOut = true;
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      status_ = decodeStatus(status);
      break;
    }
    ::poll(nullptr, 0, 5);
  }
  reaped_ = true;
  result.out = out_;
  result.err = err_;
  result.status = status_;
  return result;
}

ProcessResult runProcess(const ProcessOptions& options) {
  RunningProcess p(options);
  return p.wait(options.timeout);
}

std::string programOnPath(const char* program) {
  const char* path = ::getenv("PATH");
  if (!path) return "";
  std::string all = path;
  for (std::size_t at = 0; at <= all.size();) {
    std::size_t end = all.find(':', at);
    if (end == std::string::npos) end = all.size();
    std::string dir = all.substr(at, end - at);
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return dir + "/" + program;
    at = end + 1;
  }
  return "";
}

std::string aloneCopyOf(const std::string& binary) {
  static std::mutex mutex;
  static std::map<std::string, std::string> copies;
  std::lock_guard<std::mutex> guard(mutex);
  auto& copy = copies[binary];
  if (copy.empty()) {
    char dir[] = "/tmp/qln-alone-XXXXXX";
    if (::mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::filesystem::path to = std::filesystem::path(dir) / std::filesystem::path(binary).filename();
    std::filesystem::copy_file(binary, to);
    copy = to.string();
  }
  return copy;
}

std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("qln-test-" + std::to_string(::getpid()) + "-" + name)).string();
}

std::string writeTempFile(const std::string& contents, const std::string& suffix) {
  std::string pattern = "/tmp/qln-test-XXXXXX" + suffix;
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  int fd = ::mkstemps(buf.data(), static_cast<int>(suffix.size()));
  if (fd < 0) throw std::runtime_error("mkstemps failed");
  size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return std::string(buf.data());
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace qln::testing
