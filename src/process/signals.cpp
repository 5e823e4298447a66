#include "process/signals.h"

#include <dlfcn.h>
#include <pthread.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dispatch/dispatch.h"
#include "globals.h"
#include "output/output.h"
#include "process/exit.h"

extern char** environ;

namespace qln::process {
namespace {

void (*afterSpawnHook)(int) = nullptr;

using DisclaimFn = int (*)(posix_spawnattr_t*, int);

void forwardSignal(int signo) {
  int pid = globals::disclaimChildPid.load(std::memory_order_relaxed);
  if (pid >= 1) ::kill(pid, signo);
}

std::string executablePath(const std::vector<std::string>& args) {
  char buf[PATH_MAX + 1] = {};
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return args.empty() ? std::string() : args[0];
  buf[n] = '\0';
  char resolved[PATH_MAX + 1] = {};
  if (::realpath(buf, resolved) != nullptr) return resolved;
  return buf;
}

}  // namespace

void setAfterSpawnHookForTesting(void (*hook)(int)) { afterSpawnHook = hook; }

void installSignals(std::function<void()> cleanup) {
  auto shared = std::make_shared<std::function<void()>>(std::move(cleanup));
  // Build the dispatcher first and hold both signals back until the
  // delivering source owns them: a signal that arrives meanwhile stays
  // pending instead of killing us or being lost (a relaunched copy can get
  // its forwarded SIGTERM this early). The source replaces the default
  // action itself, so there is no ignored interval in which a signal would
  // be dropped.
  auto& dispatcher = dispatch::current();
  sigset_t hold, previous;
  sigemptyset(&hold);
  sigaddset(&hold, SIGTERM);
  sigaddset(&hold, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &hold, &previous);
  for (int signo : {SIGTERM, SIGINT}) {
    dispatcher.onSignal(signo, [shared] {
      (*shared)();
      exitProcess(0);
    });
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void reExecDisclaimedIfPossible(const std::vector<std::string>& args) {
  if (::getenv("QLN_DISCLAIMED") != nullptr) return;

  auto disclaim = reinterpret_cast<DisclaimFn>(globals::disclaimSym);
  if (disclaim == nullptr) {
    output::errLine("disclaim: SPI absent; running in-process");
    return;
  }
  posix_spawnattr_t attr;
  if (::posix_spawnattr_init(&attr) != 0) {
    output::errLine("disclaim: posix_spawnattr_init failed; running in-process");
    return;
  }
  disclaim(&attr, 1);
  ::setenv("QLN_DISCLAIMED", "1", 1);

  std::string path = executablePath(args);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& a : args) argv.push_back(::strdup(a.c_str()));
  argv.push_back(nullptr);

  // Hold SIGTERM and SIGINT back from the spawn until the forwarding
  // handlers are in place: a signal in between would otherwise kill this
  // parent and leave the copy running unseen. The copy starts with the mask
  // this process had before.
  sigset_t hold, previous;
  sigemptyset(&hold);
  sigaddset(&hold, SIGTERM);
  sigaddset(&hold, SIGINT);
  ::sigprocmask(SIG_BLOCK, &hold, &previous);
  ::posix_spawnattr_setsigmask(&attr, &previous);
  short flags = 0;
  ::posix_spawnattr_getflags(&attr, &flags);
  ::posix_spawnattr_setflags(&attr, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK));

  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, path.c_str(), nullptr, &attr, argv.data(), environ);
  if (rc == 0) {
    globals::disclaimChildPid.store(pid);
    ::signal(SIGTERM, forwardSignal);
    ::signal(SIGINT, forwardSignal);
    if (afterSpawnHook != nullptr) afterSpawnHook(pid);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    waitForDisclaimedChild(pid);
  }
  ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  output::errLine("disclaim: posix_spawn failed (" + std::to_string(rc) + "); running in-process");
  for (char* a : argv) std::free(a);
  ::posix_spawnattr_destroy(&attr);
}

void waitForDisclaimedChild(int pid) {
  globals::disclaimChildPid.store(pid);
  ::signal(SIGTERM, forwardSignal);
  ::signal(SIGINT, forwardSignal);
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    exitProcess(1);
  }
  if (WIFSIGNALED(status)) exitProcess(128 + WTERMSIG(status));
  exitProcess(WEXITSTATUS(status));
}

}  // namespace qln::process
