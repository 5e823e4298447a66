#include "platform/linux/speech_model_files.h"

#include <unistd.h>

namespace qln::platform::linux_backend {

namespace {
constexpr const char* kModelRoot = "/usr/share/pocketsphinx/model/en-us";

bool readable(const std::string& path) { return !path.empty() && ::access(path.c_str(), R_OK) == 0; }
}  // namespace

ModelPaths debianEnUs() {
  const std::string root = kModelRoot;
  return {root + "/en-us", root + "/en-us.lm.bin", root + "/cmudict-en-us.dict"};
}

bool modelInstalled(const ModelPaths& paths) {
  // The acoustic model is a folder; its definition file stands for it.
  return readable(paths.acoustic + "/mdef") && readable(paths.acoustic + "/means") && readable(paths.language) &&
         readable(paths.dictionary);
}

}  // namespace qln::platform::linux_backend
