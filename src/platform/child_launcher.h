// Child processes with their standard output on a pipe: run-to-end for a
// one-off read, or a running child whose output and end arrive as callbacks.
// The product spawns the real executable; the sim plays scripted output and
// exits.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qln::platform {

// Standard output goes to a pipe, standard error to the null device, and
// standard input is inherited.
struct ChildCommand {
  std::string path;
  std::vector<std::string> args;  // without the program path
};

class Child {
 public:
  virtual ~Child() = default;
  virtual int pid() const = 0;
  // After this the exit handler is never called.
  virtual void clearExitHandler() = 0;
  // The platform's terminate request (SIGTERM).
  virtual void terminate() = 0;
};

// `output` gets each chunk of bytes as it arrives, split wherever the pipe
// split it; `exited` runs once after the child has ended and its output has
// been delivered. Both run on a thread of the launcher.
struct ChildHandlers {
  std::function<void(std::string bytes)> output;
  std::function<void()> exited;
};

class ChildLauncher {
 public:
  virtual ~ChildLauncher() = default;
  // Runs the command, reads its output to the end and waits for it; none
  // when it cannot be launched.
  virtual std::optional<std::string> runToEnd(const ChildCommand& command) = 0;
  // Null on failure, with `error` set to a description of it.
  virtual std::shared_ptr<Child> launch(const ChildCommand& command, ChildHandlers handlers,
                                        std::string& error) = 0;
};

// Defined by the backend the binary links.
ChildLauncher& childLauncher();

// posix_spawn with a pipe and a reader thread; in the core so that the sim
// can back its scripted children with real processes too.
ChildLauncher& posixChildLauncher();

}  // namespace qln::platform
