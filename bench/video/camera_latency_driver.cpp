// How fast a camera being opened reaches the host, and what the /proc sweep
// costs: the camera watcher on the V4L2 object model over a folder with one
// fake node, opened and closed by another process; then the descriptor scan
// of every process on this machine, timed.
//
//   camera_latency_driver [rounds]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/dispatch.h"
#include "file_holder.h"
#include "output/output.h"
#include "platform/linux/proc_fd_scan.h"
#include "platform/linux/video_objects_linux.h"
#include "usage/camera_watcher.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace qln;

// The camera lines, as they are written.
struct Lines {
  std::mutex mutex;
  std::condition_variable written;
  std::vector<std::pair<std::string, Clock::time_point>> camera;

  bool waitFor(const std::string& line, std::size_t count, Clock::time_point& at) {
    std::unique_lock<std::mutex> lock(mutex);
    auto seen = [&] {
      std::size_t n = 0;
      for (const auto& [text, when] : camera)
        if (text == line && ++n == count) {
          at = when;
          return true;
        }
      return false;
    };
    return written.wait_for(lock, std::chrono::seconds(10), seen);
  }
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void report(const char* what, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("%s: median %.1f ms, max %.1f ms over %zu\n", what, values[values.size() / 2], values.back(),
              values.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  platform::initializeFourCharCodes();
  dispatch::install(dispatch::makeRealDispatcher());
  Lines lines;
  output::setSinkForTesting([&](output::Channel channel, std::string_view line) {
    if (channel != output::Channel::out) return;
    std::lock_guard<std::mutex> guard(lines.mutex);
    lines.camera.emplace_back(std::string(line), Clock::now());
    lines.written.notify_all();
  });

  char tmpl[] = "/tmp/qln-camera-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string folder = tmpl;
  std::ofstream(folder + "/video0").put('\n');
  auto objects = std::make_shared<platform::linux_backend::V4l2VideoObjects>(folder, [](const std::string&) { return true; });
  std::shared_ptr<CameraWatcher> camera;
  bool ok = true;
  std::vector<double> opened, closed;

  std::thread story([&] {
    dispatch::mainQueue()->sync([&] {
      camera = std::make_shared<CameraWatcher>(*objects);
      camera->start();
    });
    testing::FileHolder holder(folder + "/video0", true);
    for (int i = 1; i <= rounds && ok; ++i) {
      Clock::time_point at;
      auto start = Clock::now();
      ok = holder.open() && lines.waitFor(R"({"ev":"camera","active":true})", i, at);
      opened.push_back(ms(at - start));
      start = Clock::now();
      ok = ok && holder.close() && lines.waitFor(R"({"ev":"camera","active":false})", i + 1, at);
      closed.push_back(ms(at - start));
    }
    dispatch::mainQueue()->sync([&] { camera.reset(); });
    dispatch::mainQueue()->async([] { dispatch::current().stopMain(); });
  });
  dispatch::current().runMain();
  story.join();
  output::setSinkForTesting(nullptr);
  std::filesystem::remove_all(folder);
  if (!ok) {
    std::fprintf(stderr, "camera-bench: a camera line did not come\n");
    return 1;
  }
  report("node opened -> camera true line (0.3 s debounce included)", opened);
  report("node closed -> camera false line", closed);

  // The sweep's cost when a camera is held: every process's descriptors.
  std::vector<double> scans;
  for (int i = 0; i < 50; ++i) {
    auto start = Clock::now();
    platform::linux_backend::scanFdHolders({"/dev/video0"});
    scans.push_back(ms(Clock::now() - start));
  }
  std::size_t processes = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc"))
    processes += entry.path().filename().string().find_first_not_of("0123456789") == std::string::npos;
  std::printf("/proc descriptor scan over %zu processes:\n", processes);
  report("  one scan", scans);
  return 0;
}
