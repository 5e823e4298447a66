// Child processes through posix_spawn: standard output on a pipe read by a
// thread of the child's own, standard error on the null device.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/child_launcher.h"

extern char** environ;

namespace qln::platform {
namespace {

// Spawns the command with its output on a fresh pipe; returns the pid and
// the read end, or the error number.
int spawnPiped(const ChildCommand& command, pid_t& pid, int& readFd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argv{command.path};
  argv.insert(argv.end(), command.args.begin(), command.args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  int rc = ::posix_spawn(&pid, command.path.c_str(), &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    return rc;
  }
  readFd = fds[0];
  return 0;
}

void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

class PosixChild final : public Child {
 public:
  PosixChild(pid_t pid, std::function<void()> exited) : pid_(pid), exited_(std::move(exited)) {}
  int pid() const override { return pid_; }
  void clearExitHandler() override {
    std::lock_guard<std::mutex> guard(mutex_);
    exited_ = nullptr;
  }
  void terminate() override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!reaped_) ::kill(pid_, SIGTERM);
  }
  // On the reader thread, after the end of output.
  void finish() {
    reap(pid_);
    std::function<void()> exited;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      reaped_ = true;  // the pid may be reused from here on: never signal it
      exited = std::move(exited_);
    }
    if (exited) exited();
  }

 private:
  const pid_t pid_;
  std::mutex mutex_;
  std::function<void()> exited_;
  bool reaped_ = false;
};

class PosixChildLauncher final : public ChildLauncher {
 public:
  std::optional<std::string> runToEnd(const ChildCommand& command) override {
    pid_t pid = 0;
    int fd = -1;
    if (spawnPiped(command, pid, fd) != 0) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<std::size_t>(n));
      else if (n == 0 || errno != EINTR) break;
    }
    ::close(fd);
    reap(pid);
    return out;
  }

  std::shared_ptr<Child> launch(const ChildCommand& command, ChildHandlers handlers,
                                std::string& error) override {
    pid_t pid = 0;
    int fd = -1;
    if (int rc = spawnPiped(command, pid, fd); rc != 0) {
      error = std::strerror(rc);
      return nullptr;
    }
    auto child = std::make_shared<PosixChild>(pid, std::move(handlers.exited));
    std::thread([child, fd, output = std::move(handlers.output)] {
      char buf[65536];
      for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
          if (output) output(std::string(buf, static_cast<std::size_t>(n)));
        } else if (n == 0 || errno != EINTR) {
          break;
        }
      }
      ::close(fd);
      child->finish();
    }).detach();
    return child;
  }
};

}  // namespace

ChildLauncher& posixChildLauncher() {
  static auto* launcher = new PosixChildLauncher;
  return *launcher;
}

}  // namespace qln::platform
