// The V4L2 video object model on a folder of fake nodes (regular files
// standing in for devices, every one counted), opened and closed by other
// processes: the device list and running state through inotify and /proc,
// and the camera and camera client watchers on top of it. Real dispatcher;
// this thread serves the main queue, a worker tells the story.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "dispatch/dispatch.h"
#include "file_holder.h"
#include "line_capture.h"
#include "platform/hardware.h"
#include "platform/linux/v4l2_nodes.h"
#include "platform/linux/video_objects_linux.h"
#include "usage/camera_client_watcher.h"
#include "usage/camera_watcher.h"

namespace {

using namespace qln;
using namespace std::chrono_literals;
using platform::linux_backend::V4l2VideoObjects;
using qln::testing::FileHolder;

const platform::PropertyAddress kDevices{platform::kSelectorDevices, platform::kScopeGlobal, platform::kElementMain};
const platform::PropertyAddress kRunning{platform::kSelectorIsRunningSomewhere, platform::kScopeWildcard,
                                         platform::kElementWildcard};

// Counts listener calls and lets another thread wait for them.
class Calls {
 public:
  std::function<void()> counter() {
    return [this] {
      std::lock_guard<std::mutex> guard(mutex_);
      onMain_ = onMain_ && dispatch::mainQueue()->isCurrent();
      ++count_;
      changed_.notify_all();
    };
  }
  // Waits for a call after the `seen`-th one.
  bool waitPast(int seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return count_ > seen; });
  }
  int count() {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
  }
  bool allOnMain() {
    std::lock_guard<std::mutex> guard(mutex_);
    return onMain_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  bool onMain_ = true;
};

class ConcurrencyVideoObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::initializeFourCharCodes();
    previous = dispatch::exchange(dispatch::makeRealDispatcher());
    char tmpl[] = "/tmp/qln-video-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    folder = tmpl;
    touch("video0");
  }
  void TearDown() override {
    std::filesystem::remove_all(folder);
    dispatch::exchange(previous);
  }

  void touch(const std::string& name) { std::ofstream(folder + "/" + name).put('\n'); }
  std::string node(const std::string& name) const { return folder + "/" + name; }

  // Runs `story` on a worker while this thread serves the main queue.
  void serveMainWhile(const std::function<void()>& story) {
    std::thread worker([&] {
      story();
      dispatch::mainQueue()->async([] { dispatch::current().stopMain(); });
    });
    dispatch::current().runMain();
    worker.join();
  }

  std::vector<platform::ObjectId> devices(platform::HardwareObjects& objects) {
    return platform::readObjectIdArray(objects, platform::kSystemObject, kDevices);
  }
  std::optional<std::uint32_t> running(platform::HardwareObjects& objects, platform::ObjectId id) {
    return platform::readUInt32(objects, id, kRunning);
  }

  std::shared_ptr<dispatch::Dispatcher> previous;
  std::string folder;
};

TEST(VideoNodeNames, OnlyVideoAndDigitsInIndexOrder) {
  char tmpl[] = "/tmp/qln-video-names-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string folder = tmpl;
  for (const char* name : {"video10", "video", "videoX", "video1x", "video2", "media0", "video0"})
    std::ofstream(folder + "/" + name).put('\n');
  EXPECT_EQ(platform::linux_backend::videoNodePaths(folder),
            (std::vector<std::string>{folder + "/video0", folder + "/video2", folder + "/video10"}));
  std::filesystem::remove_all(folder);
  EXPECT_TRUE(platform::linux_backend::videoNodePaths(folder).empty()) << "a missing folder lists nothing";
}

TEST(VideoNodeProbe, ARegularFileIsNoCaptureDevice) {
  char tmpl[] = "/tmp/qln-video-probe-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string file = std::string(tmpl) + "/video0";
  std::ofstream(file).put('\n');
  using platform::linux_backend::NodeKind;
  EXPECT_EQ(platform::linux_backend::probeNode(file).kind, NodeKind::other);
  EXPECT_FALSE(platform::linux_backend::isCameraNode(file));
  std::filesystem::remove_all(tmpl);
  EXPECT_EQ(platform::linux_backend::probeNode(file).kind, NodeKind::absent);
}

TEST_F(ConcurrencyVideoObjectsTest, ListsNodesAndFollowsTheirHoldersAndTheFolder) {
  // The capability check is skipped for the fakes, but the filter still
  // decides: video5 is not a camera here.
  V4l2VideoObjects objects(folder, [](const std::string& path) { return !path.ends_with("/video5"); });
  touch("video5");
  Calls listChanges, runningChanges;
  serveMainWhile([&] {
    auto list = devices(objects);
    ASSERT_EQ(list.size(), 1u);
    const auto first = list[0];
    EXPECT_EQ(running(objects, first), 0u);
    std::uint32_t size = 0;
    EXPECT_NE(objects.getPropertyDataSize(first + 100, kRunning, size), platform::kStatusOK)
        << "an unknown device has no running state";
    objects.addPropertyListener(platform::kSystemObject, kDevices, listChanges.counter());
    objects.addPropertyListener(first, kRunning, runningChanges.counter());

    FileHolder holder(node("video0"), true);
    ASSERT_GT(holder.pid(), 0);
    int seen = runningChanges.count();
    ASSERT_TRUE(holder.open());
    ASSERT_TRUE(runningChanges.waitPast(seen)) << "opening the node fires its listener";
    EXPECT_EQ(running(objects, first), 1u);
    EXPECT_EQ(objects.holders(), std::vector<std::int32_t>{holder.pid()});

    seen = runningChanges.count();
    ASSERT_TRUE(holder.close());
    ASSERT_TRUE(runningChanges.waitPast(seen)) << "closing the node fires its listener";
    EXPECT_EQ(running(objects, first), 0u);
    EXPECT_TRUE(objects.holders().empty());

    // Our own process holding the node is no use of the camera.
    {
      seen = runningChanges.count();
      int own = ::open(node("video0").c_str(), O_RDONLY);
      ASSERT_TRUE(runningChanges.waitPast(seen));
      EXPECT_EQ(running(objects, first), 0u);
      ::close(own);
    }

    int listSeen = listChanges.count();
    touch("video1");
    ASSERT_TRUE(listChanges.waitPast(listSeen)) << "a new node fires the list listener";
    list = devices(objects);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], first);

    listSeen = listChanges.count();
    std::filesystem::remove(node("video0"));
    ASSERT_TRUE(listChanges.waitPast(listSeen)) << "a removed node fires the list listener";
    EXPECT_EQ(devices(objects), std::vector<platform::ObjectId>{list[1]});
    EXPECT_FALSE(running(objects, first).has_value()) << "the removed device has no state";

    listSeen = listChanges.count();
    touch("video0");
    ASSERT_TRUE(listChanges.waitPast(listSeen));
    EXPECT_EQ(devices(objects), (std::vector<platform::ObjectId>{first, list[1]}))
        << "a node that comes back keeps its id, in index order";
  });
  EXPECT_TRUE(listChanges.allOnMain());
  EXPECT_TRUE(runningChanges.allOnMain());
}

// A holder's child inherits the node and the holder closes its copy: the
// node stays open, so no event tells; the next reading of the holders
// still finds the new one.
TEST_F(ConcurrencyVideoObjectsTest, HoldersThatChangeHandsWithoutAnEventAreFoundByTheNextReading) {
  V4l2VideoObjects objects(folder, [](const std::string&) { return true; });
  Calls runningChanges;
  serveMainWhile([&] {
    const auto first = devices(objects).at(0);
    objects.addPropertyListener(first, kRunning, runningChanges.counter());
    FileHolder holder(node("video0"), true);
    ASSERT_TRUE(holder.open());
    ASSERT_TRUE(runningChanges.waitPast(0));
    ASSERT_EQ(objects.holders(), std::vector<std::int32_t>{holder.pid()});
    const int heir = holder.fork();
    ASSERT_GT(heir, 0);
    ASSERT_TRUE(holder.close());
    EXPECT_EQ(objects.holders(), std::vector<std::int32_t>{heir});
    EXPECT_EQ(running(objects, first), 1u);
    ::kill(heir, SIGKILL);
  });
}

TEST_F(ConcurrencyVideoObjectsTest, CameraAndClientLinesFollowProcessesOpeningTheNode) {
  auto objects = std::make_shared<V4l2VideoObjects>(folder, [](const std::string&) { return true; });
  qln::testing::LineCapture lines;
  char exe[PATH_MAX] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const std::string path = output::jsonQuoted(exe);
  const std::string idle = R"({"type":"extCameraReal","active":false,"pids":[],"paths":[]})";
  std::shared_ptr<CameraWatcher> camera;
  std::shared_ptr<CameraClientWatcher> clients;

  serveMainWhile([&] {
    dispatch::mainQueue()->sync([&] {
      camera = std::make_shared<CameraWatcher>(*objects);
      camera->start();
    });
    clients = std::make_shared<CameraClientWatcher>(0, std::nullopt, objects);
    clients->start();
    ASSERT_TRUE(lines.waitForOut(idle));
    EXPECT_EQ(lines.outContaining(R"("ev":"camera")"), std::vector<std::string>{R"({"ev":"camera","active":false})"});

    // A descendant of ours uses the camera, but is left out of the clients.
    FileHolder ours(node("video0"), false);
    ASSERT_TRUE(ours.open());
    ASSERT_TRUE(lines.waitForOut(R"({"ev":"camera","active":true})"));

    FileHolder other(node("video0"), true);
    ASSERT_TRUE(other.open());
    const std::string held = R"({"type":"extCameraReal","active":true,"pids":[)" + std::to_string(other.pid()) +
                             R"(],"paths":[)" + path + "]}";
    ASSERT_TRUE(lines.waitForOut(held)) << ::testing::PrintToString(lines.out());
    ASSERT_TRUE(other.close());
    ASSERT_TRUE(lines.waitForOut(idle, 2)) << ::testing::PrintToString(lines.out());
    EXPECT_EQ(lines.outContaining(R"("ev":"camera")").size(), 2u) << "still held by our child";

    ASSERT_TRUE(ours.close());
    ASSERT_TRUE(lines.waitForOut(R"({"ev":"camera","active":false})", 2));
    EXPECT_EQ(lines.outContaining("extCameraReal").size(), 3u) << ::testing::PrintToString(lines.out());
    clients->terminate();
    dispatch::mainQueue()->sync([&] { camera.reset(); });
  });
  EXPECT_TRUE(lines.err().empty());
  clients.reset();
}

}  // namespace
