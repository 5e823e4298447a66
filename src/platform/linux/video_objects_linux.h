// The video hardware object model on Linux: the camera nodes of a device
// folder as the device list ('dev#' of the system object), and for each one
// whether some other process holds it open ('gone'), found through
// /proc/<pid>/fd. inotify follows the folder (nodes created, removed,
// re-permissioned) and each node (opened, closed) on a thread of its own;
// listeners run on the main queue. The same reading answers which processes
// hold a camera, for the camera client watcher.
//
// Our own process is left out of the holders: the only time it holds a
// node is its own capability probe, which is no use of the camera.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/camera_clients.h"
#include "platform/hardware.h"
#include "platform/linux/v4l2_nodes.h"
#include "platform/property_value.h"

namespace qln::platform::linux_backend {

class V4l2VideoObjects final : public HardwareObjects, public CameraHolders {
 public:
  // Decides whether the video node at a path is listed as a camera.
  using NodeFilter = std::function<bool(const std::string& path)>;

  explicit V4l2VideoObjects(std::string folder = kDeviceFolder, NodeFilter counts = isCameraNode);
  ~V4l2VideoObjects() override;
  V4l2VideoObjects(const V4l2VideoObjects&) = delete;
  V4l2VideoObjects& operator=(const V4l2VideoObjects&) = delete;

  Status getPropertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t& size) override;
  Status getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t& size,
                         void* data) override;
  std::optional<std::string> getPropertyString(ObjectId object, const PropertyAddress& address) override;
  void addPropertyListener(ObjectId object, const PropertyAddress& address, std::function<void()> block) override;

  std::vector<std::int32_t> holders() override;
  void addHoldersListener(std::function<void()> changed) override;

 private:
  struct Node {
    std::string name;
    ObjectId id = 0;
    int watch = -1;  // -1: inotify may not watch it, so it is always scanned
  };
  struct Listener {
    ObjectId object;
    PropertyAddress address;
    std::function<void()> block;
  };
  // What one batch of events changed, told to the listeners after the lock
  // is released.
  struct Changes {
    bool list = false;
    std::set<ObjectId> running;
  };

  void watchLoop();
  void syncAll(Changes& changes);
  void syncNode(const std::string& name, Changes& changes);
  void dropNode(std::map<unsigned long, Node>::iterator it, Changes& changes);
  void tell(const Changes& changes);
  Node* findNode(ObjectId id);
  PropertyValue lookupLocked(ObjectId object, const PropertyAddress& address, bool wantValue);
  // The holders of each listed node, scanned afresh when an open or close
  // was seen since the last scan, when a node cannot be watched, or when
  // `rescanHeld` and some node is held (holders of a held node may change
  // hands without any event: a fork, then the parent's exit).
  void refreshHeld(bool rescanHeld);

  const std::string folder_;   // as given, for listing
  const std::string canonical_;  // as the kernel names open files
  const NodeFilter counts_;
  std::mutex mutex_;
  ObjectId nextId_ = kSystemObject + 1;
  std::map<std::string, ObjectId> ids_;    // by node name, never reused for another name
  std::map<unsigned long, Node> nodes_;    // the listed nodes, by index
  std::map<int, ObjectId> watches_;
  std::map<ObjectId, std::set<std::int32_t>> held_;
  bool dirty_ = true;
  std::vector<Listener> listeners_;
  std::vector<std::function<void()>> holderListeners_;
  int inotify_ = -1;
  int folderWatch_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace qln::platform::linux_backend
