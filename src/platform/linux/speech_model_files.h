// Where the en-US PocketSphinx model lies, and whether it is all there.
// Answering this needs no recogniser library, so the modes that only ask
// (permissions) never load one.
#pragma once

#include <string>

namespace qln::platform::linux_backend {

struct ModelPaths {
  std::string acoustic;    // the HMM folder
  std::string language;    // the n-gram model
  std::string dictionary;  // the pronunciation dictionary
};

// Where Debian's pocketsphinx-en-us puts the model.
ModelPaths debianEnUs();

// Every file of the model is there and readable; does not load it.
bool modelInstalled(const ModelPaths& paths);

}  // namespace qln::platform::linux_backend
