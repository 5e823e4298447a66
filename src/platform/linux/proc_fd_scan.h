// Which processes hold given files open, read from the descriptor links of
// /proc/<pid>/fd. Processes whose descriptors this user may not read (other
// users', unless privileged) cannot be seen and are skipped, as is this
// process.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace qln::platform::linux_backend {

// For each of `paths` (absolute, as the kernel names them), the ids of the
// processes holding it open; the result has one set per path, in order.
std::vector<std::set<std::int32_t>> scanFdHolders(const std::vector<std::string>& paths);

}  // namespace qln::platform::linux_backend
