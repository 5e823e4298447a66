// Paths of the built binaries, for process-level tests.
#pragma once

#include <string>

namespace qln::testing {

#ifdef QLN_HELPER_BIN
inline const std::string kHelper = QLN_HELPER_BIN;
inline const std::string kSim = QLN_SIM_BIN;
inline const std::string kProbe = QLN_PROBE_BIN;
inline const std::string kSourceDir = QLN_SOURCE_DIR;
#endif

}  // namespace qln::testing
