// The camera on Linux through V4L2: the default video device is the first
// capture node of /dev; the input is that node opened for reading and
// writing (the open's error text is the input failure, a missing permission
// among them); the session streams from memory-mapped buffers and runs once
// the first frame has arrived.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/capture_device.h"
#include "platform/linux/v4l2_nodes.h"

namespace qln::platform {
namespace {

using linux_backend::NodeKind;

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

class V4l2Device final : public CaptureDevice {
 public:
  explicit V4l2Device(std::string nodePath) : path(std::move(nodePath)) {}
  const std::string path;
};

class V4l2Input final : public CaptureDeviceInput {
 public:
  explicit V4l2Input(int openFd) : fd(openFd) {
    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
      const auto caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
      streams = (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
    }
  }
  ~V4l2Input() override { ::close(fd); }
  const int fd;
  bool streams = false;  // single-planar capture from memory-mapped buffers
};

class V4l2Session final : public CaptureSession {
 public:
  ~V4l2Session() override { stopRunning(); }

  bool canAddInput(const CaptureDeviceInputPtr& candidate) override {
    auto* v4l2 = dynamic_cast<V4l2Input*>(candidate.get());
    return v4l2 && v4l2->streams && !input;
  }
  void addInput(const CaptureDeviceInputPtr& candidate) override {
    input = std::dynamic_pointer_cast<V4l2Input>(candidate);
  }

  // A setup step that fails leaves the session never running, which the
  // hold reports at its deadline.
  void startRunning() override {
    if (!input || streaming) return;
    const int fd = input->fd;
    v4l2_requestbuffers request{};
    request.count = kBuffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd, VIDIOC_REQBUFS, &request) < 0 || request.count == 0) return;
    requested = true;
    for (std::uint32_t i = 0; i < request.count; ++i) {
      v4l2_buffer buffer = describe(i);
      if (xioctl(fd, VIDIOC_QUERYBUF, &buffer) < 0) return;
      void* at = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
      if (at == MAP_FAILED) return;
      maps.push_back({at, buffer.length});
      if (xioctl(fd, VIDIOC_QBUF, &buffer) < 0) return;
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_STREAMON, &type) < 0) return;
    streaming = true;
  }

  // Running from the first frame on; the frame goes straight back to the
  // driver unread.
  bool isRunning() override {
    if (running || !streaming) return running;
    pollfd ready{input->fd, POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0 || !(ready.revents & POLLIN)) return false;
    v4l2_buffer buffer = describe(0);
    if (xioctl(input->fd, VIDIOC_DQBUF, &buffer) < 0) return false;
    running = true;
    xioctl(input->fd, VIDIOC_QBUF, &buffer);
    return true;
  }

  void stopRunning() override {
    if (!input) return;
    if (streaming) {
      v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      xioctl(input->fd, VIDIOC_STREAMOFF, &type);
    }
    for (const auto& map : maps) ::munmap(map.at, map.length);
    maps.clear();
    if (requested) {
      v4l2_requestbuffers release{};
      release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      release.memory = V4L2_MEMORY_MMAP;
      xioctl(input->fd, VIDIOC_REQBUFS, &release);
    }
    streaming = running = requested = false;
  }

 private:
  static constexpr std::uint32_t kBuffers = 4;

  static v4l2_buffer describe(std::uint32_t index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
  }

  struct Mapping {
    void* at;
    std::size_t length;
  };
  std::shared_ptr<V4l2Input> input;
  std::vector<Mapping> maps;
  bool requested = false;
  bool streaming = false;
  bool running = false;
};

class V4l2CaptureDevices final : public CaptureDevices {
 public:
  // A node this user may not open is still the default camera, so that the
  // refusal reaches the host as the input's failure.
  CaptureDevicePtr defaultVideoDevice() override {
    for (const auto& path : linux_backend::videoNodePaths(linux_backend::kDeviceFolder)) {
      auto kind = linux_backend::probeNode(path).kind;
      if (kind == NodeKind::capture || kind == NodeKind::refused) return std::make_shared<V4l2Device>(path);
    }
    return nullptr;
  }
  std::variant<CaptureDeviceInputPtr, CaptureInputError> makeInput(const CaptureDevicePtr& device) override {
    auto* v4l2 = dynamic_cast<V4l2Device*>(device.get());
    if (!v4l2) return CaptureInputError{"no video capture device"};
    int fd = ::open(v4l2->path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return CaptureInputError{std::strerror(errno)};
    return std::make_shared<V4l2Input>(fd);
  }
  CaptureSessionPtr makeSession() override { return std::make_shared<V4l2Session>(); }
};

}  // namespace

CaptureDevices& captureDevices() {
  static auto* d = new V4l2CaptureDevices;
  return *d;
}

}  // namespace qln::platform
