// The product's process seams: /proc for process records, posix_spawn for
// children.
#include "platform/child_launcher.h"
#include "platform/process_info.h"

namespace qln::platform {

ProcessInfo& processInfo() { return procfsProcessInfo(); }

ChildLauncher& childLauncher() { return posixChildLauncher(); }

}  // namespace qln::platform
