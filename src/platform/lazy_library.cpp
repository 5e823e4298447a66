#include "platform/lazy_library.h"

#include <dlfcn.h>

namespace qln::platform {

void* LazyLibrary::address(const char* name) {
  std::call_once(opened_, [this] { handle_ = dlopen(soname_.c_str(), RTLD_NOW | RTLD_LOCAL); });
  return handle_ ? dlsym(handle_, name) : nullptr;
}

}  // namespace qln::platform
