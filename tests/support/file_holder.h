// A process that holds a file open while told to, for tests and benchmarks
// of who holds a device: it opens and closes the file on command and ends
// with the object (a child it forked lives on until killed). Header-only, so that drivers on any backend can use it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace qln::testing {

// A process that opens a file and closes it again when told. Detached, it is
// reparented away from the test, as an application the user started is; else
// it is the test's own child.
class FileHolder {
 public:
  FileHolder(const std::string& path, bool detached) {
    int control[2], answer[2];
    if (::pipe(control) != 0 || ::pipe(answer) != 0) return;
    pid_t child = ::fork();
    if (child == 0) {
      ::close(control[1]);
      ::close(answer[0]);
      if (detached && ::fork() != 0) ::_exit(0);
      serve(path, control[0], answer[1]);
    }
    ::close(control[0]);
    ::close(answer[1]);
    control_ = control[1];
    answer_ = answer[0];
    if (detached) ::waitpid(child, nullptr, 0);
    else child_ = child;
    std::int32_t pid = 0;
    if (receive(&pid, sizeof pid)) pid_ = pid;
  }
  ~FileHolder() {
    // End of input ends it.
    ::close(control_);
    ::close(answer_);
    if (child_ > 0) ::waitpid(child_, nullptr, 0);
  }
  int pid() const { return pid_; }
  bool open() { return command('o'); }
  bool close() { return command('c'); }
  // Forks a child that inherits the open file and waits until it is
  // killed; its pid, or -1.
  int fork() {
    std::int32_t heir = -1;
    return command('f') && receive(&heir, sizeof heir) ? heir : -1;
  }

 private:
  // Only async-signal-safe calls: the test process has threads.
  [[noreturn]] static void serve(const std::string& path, int control, int answer) {
    std::int32_t pid = ::getpid();
    if (::write(answer, &pid, sizeof pid) != sizeof pid) ::_exit(1);
    int fd = -1;
    char c;
    while (::read(control, &c, 1) == 1) {
      if (c == 'o') fd = ::open(path.c_str(), O_RDONLY);
      if (c == 'c' && fd >= 0) ::close(fd), fd = -1;
      std::int32_t heir = 0;
      if (c == 'f') {
        heir = ::fork();
        if (heir == 0) {
          ::close(control);
          ::close(answer);
          for (;;) ::pause();
        }
      }
      if (::write(answer, &c, 1) != 1) break;
      if (c == 'f' && ::write(answer, &heir, sizeof heir) != sizeof heir) break;
    }
    ::_exit(0);
  }
  bool command(char c) {
    char reply = 0;
    return ::write(control_, &c, 1) == 1 && receive(&reply, 1) && reply == c;
  }
  bool receive(void* data, std::size_t size) {
    pollfd ready{answer_, POLLIN, 0};
    return ::poll(&ready, 1, 10000) == 1 && ::read(answer_, data, size) == static_cast<ssize_t>(size);
  }

  int control_ = -1, answer_ = -1;
  pid_t child_ = -1;
  int pid_ = -1;
};

}  // namespace qln::testing
