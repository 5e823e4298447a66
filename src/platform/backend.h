// Start-up of whichever backend this binary was linked with.
#pragma once

namespace qln::platform {

// Called once before any mode runs. The sim reads its scenario here; on a
// missing or malformed scenario it writes one diagnostic and returns false.
bool initializeBackend();

// Exit status for a backend that cannot start (no mode uses it).
constexpr int kBackendUnavailableStatus = 78;

}  // namespace qln::platform
