// The V4L2 nodes of a device folder, and what opening one tells: a video
// capture device, some other video node, or one this user may not open.
// Used by the video object model, the camera hold and the permissions
// report; needs no library beyond the C one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qln::platform::linux_backend {

inline constexpr const char* kDeviceFolder = "/dev";

// "video" followed by decimal digits only.
bool isVideoNodeName(std::string_view name);

// The number after "video" of such a name.
unsigned long videoNodeIndex(std::string_view name);

// Paths of the video nodes in `folder`, in index order (video2 before
// video10); empty when the folder cannot be read.
std::vector<std::string> videoNodePaths(const std::string& folder);

enum class NodeKind {
  capture,  // answers VIDIOC_QUERYCAP with video capture
  other,    // opens, but is no capture device (metadata, output, codec, not V4L2)
  refused,  // the system refuses this user (EACCES, EPERM)
  absent,   // gone, or fails to open for another reason
};

struct NodeProbe {
  NodeKind kind = NodeKind::absent;
  int error = 0;  // errno of a failed open
};

// Opens the node without blocking, asks its capabilities and closes it.
NodeProbe probeNode(const std::string& path);

// Whether a node counts as a camera in the device list: a capture device,
// or a V4L2 character device this user may not open (its capabilities are
// unknown, and a camera kept from the user is still a camera in use).
bool isCameraNode(const std::string& path);

}  // namespace qln::platform::linux_backend
