#include "platform/linux/video_objects_linux.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "dispatch/dispatch.h"
#include "platform/linux/proc_fd_scan.h"
#include "platform/property_value.h"

namespace qln::platform::linux_backend {
namespace {

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kNodeEvents = IN_OPEN | IN_CLOSE;

std::string canonicalFolder(const std::string& folder) {
  char resolved[PATH_MAX];
  return ::realpath(folder.c_str(), resolved) ? std::string(resolved) : folder;
}

}  // namespace

V4l2VideoObjects::V4l2VideoObjects(std::string folder, NodeFilter counts)
    : folder_(std::move(folder)), canonical_(canonicalFolder(folder_)), counts_(std::move(counts)) {
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0) folderWatch_ = ::inotify_add_watch(inotify_, folder_.c_str(), kFolderEvents);
  Changes ignored;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    syncAll(ignored);
  }
  if (inotify_ >= 0 && ::pipe2(wake_, O_CLOEXEC) == 0) thread_ = std::thread([this] { watchLoop(); });
}

V4l2VideoObjects::~V4l2VideoObjects() {
  if (thread_.joinable()) {
    char byte = 0;
    while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int fd : {wake_[0], wake_[1], inotify_})
    if (fd >= 0) ::close(fd);
}

void V4l2VideoObjects::watchLoop() {
  alignas(inotify_event) char buf[4096];
  pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    Changes changes;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (;;) {
        ssize_t n = ::read(inotify_, buf, sizeof buf);
        if (n <= 0) break;
        for (char* p = buf; p < buf + n;) {
          auto* event = reinterpret_cast<inotify_event*>(p);
          p += sizeof(inotify_event) + event->len;
          if (event->mask & IN_Q_OVERFLOW) {
            // Events were lost: read everything afresh.
            dirty_ = true;
            syncAll(changes);
            for (const auto& [index, node] : nodes_) changes.running.insert(node.id);
            continue;
          }
          if (event->wd == folderWatch_) {
            if (event->len > 0 && isVideoNodeName(event->name)) syncNode(event->name, changes);
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) syncAll(changes);
            continue;
          }
          auto watch = watches_.find(event->wd);
          if (watch == watches_.end()) continue;
          if (event->mask & kNodeEvents) {
            dirty_ = true;
            changes.running.insert(watch->second);
          }
          if (event->mask & IN_IGNORED) {
            // The watched file went (the folder's events say so too) or
            // was replaced: the scan stands in until it is watched again.
            if (auto* node = findNode(watch->second)) node->watch = -1;
            watches_.erase(watch);
            dirty_ = true;
          }
        }
      }
    }
    tell(changes);
  }
}

void V4l2VideoObjects::syncAll(Changes& changes) {
  std::set<std::string> names;
  for (const auto& path : videoNodePaths(folder_)) names.insert(path.substr(folder_.size() + 1));
  for (const auto& [index, node] : nodes_) names.insert(node.name);
  for (const auto& name : names) syncNode(name, changes);
}

void V4l2VideoObjects::syncNode(const std::string& name, Changes& changes) {
  const std::string path = folder_ + "/" + name;
  struct stat st {};
  const bool counted = ::lstat(path.c_str(), &st) == 0 && counts_(path);
  const unsigned long index = videoNodeIndex(name);
  auto it = nodes_.find(index);
  if (it != nodes_.end() && it->second.name != name) {
    // "video01" and "video1" share an index; the later one is not listed.
    return;
  }
  if (!counted) {
    if (it != nodes_.end()) dropNode(it, changes);
    return;
  }
  if (it == nodes_.end()) {
    auto [id, fresh] = ids_.try_emplace(name, nextId_);
    if (fresh) ++nextId_;
    it = nodes_.emplace(index, Node{name, id->second, -1}).first;
    changes.list = true;
  }
  // Watched only after the probe, so that the probe's own open is not
  // taken for a use. Watching again a watched file gives the same watch.
  Node& node = it->second;
  const int watch = inotify_ >= 0 ? ::inotify_add_watch(inotify_, path.c_str(), kNodeEvents) : -1;
  if (node.watch >= 0 && node.watch != watch) watches_.erase(node.watch);
  node.watch = watch;
  if (watch >= 0) watches_[watch] = node.id;
  dirty_ = true;
  changes.running.insert(node.id);
}

void V4l2VideoObjects::dropNode(std::map<unsigned long, Node>::iterator it, Changes& changes) {
  if (it->second.watch >= 0) {
    ::inotify_rm_watch(inotify_, it->second.watch);
    watches_.erase(it->second.watch);
  }
  held_.erase(it->second.id);
  nodes_.erase(it);
  changes.list = true;
}

V4l2VideoObjects::Node* V4l2VideoObjects::findNode(ObjectId id) {
  for (auto& [index, node] : nodes_)
    if (node.id == id) return &node;
  return nullptr;
}

void V4l2VideoObjects::tell(const Changes& changes) {
  if (!changes.list && changes.running.empty()) return;
  std::vector<std::function<void()>> blocks;
  std::vector<std::function<void()>> holderBlocks;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& listener : listeners_) {
      const bool list = listener.object == kSystemObject &&
                        addressMatches(listener.address, {kSelectorDevices, kScopeGlobal, kElementMain});
      const bool running = changes.running.count(listener.object) > 0 &&
                           addressMatches(listener.address, {kSelectorIsRunningSomewhere, kScopeGlobal, kElementMain});
      if ((list && changes.list) || running) blocks.push_back(listener.block);
    }
    holderBlocks = holderListeners_;
  }
  auto main = dispatch::mainQueue();
  for (auto& block : blocks) main->async(std::move(block));
  for (auto& block : holderBlocks) block();
}

void V4l2VideoObjects::refreshHeld(bool rescanHeld) {
  bool scan = dirty_;
  for (const auto& [index, node] : nodes_) {
    if (node.watch < 0) scan = true;
    if (rescanHeld && !held_[node.id].empty()) scan = true;
  }
  if (!scan) return;
  // Cleared first: an event during the scan asks for the next one.
  dirty_ = false;
  std::vector<std::string> paths;
  std::vector<ObjectId> ids;
  for (const auto& [index, node] : nodes_) {
    paths.push_back(canonical_ + "/" + node.name);
    ids.push_back(node.id);
  }
  auto found = scanFdHolders(paths);
  held_.clear();
  for (std::size_t i = 0; i < ids.size(); ++i) held_[ids[i]] = std::move(found[i]);
}

// The running state is read from /proc only when its value is wanted, not
// for its size.
PropertyValue V4l2VideoObjects::lookupLocked(ObjectId object, const PropertyAddress& address, bool wantValue) {
  PropertyValue v;
  if (object == kSystemObject) {
    if (address.selector == kSelectorDevices) {
      v.kind = PropertyValue::Kind::ids;
      for (const auto& [index, node] : nodes_) v.ids.push_back(node.id);
    }
    return v;
  }
  if (!findNode(object)) {
    v.status = kStatusBadObject;
    return v;
  }
  if (address.selector == kSelectorIsRunningSomewhere) {
    v.kind = PropertyValue::Kind::word;
    if (wantValue) {
      refreshHeld(false);
      v.word = held_[object].empty() ? 0 : 1;
    }
  }
  return v;
}

Status V4l2VideoObjects::getPropertyDataSize(ObjectId object, const PropertyAddress& address,
                                             std::uint32_t& size) {
  std::lock_guard<std::mutex> guard(mutex_);
  return lookupLocked(object, address, false).dataSize(size);
}

Status V4l2VideoObjects::getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t& size,
                                         void* data) {
  std::lock_guard<std::mutex> guard(mutex_);
  return lookupLocked(object, address, true).copyData(size, data);
}

std::optional<std::string> V4l2VideoObjects::getPropertyString(ObjectId, const PropertyAddress&) {
  return std::nullopt;
}

void V4l2VideoObjects::addPropertyListener(ObjectId object, const PropertyAddress& address,
                                           std::function<void()> block) {
  std::lock_guard<std::mutex> guard(mutex_);
  listeners_.push_back({object, address, std::move(block)});
}

std::vector<std::int32_t> V4l2VideoObjects::holders() {
  std::lock_guard<std::mutex> guard(mutex_);
  refreshHeld(true);
  std::set<std::int32_t> all;
  for (const auto& [id, pids] : held_) all.insert(pids.begin(), pids.end());
  return {all.begin(), all.end()};
}

void V4l2VideoObjects::addHoldersListener(std::function<void()> changed) {
  std::lock_guard<std::mutex> guard(mutex_);
  holderListeners_.push_back(std::move(changed));
}

}  // namespace qln::platform::linux_backend
