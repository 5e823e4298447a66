#include "platform/symbols.h"

#include <dlfcn.h>

namespace qln::platform {
void* lookupSymbol(const char* name) { return ::dlsym(RTLD_DEFAULT, name); }
}  // namespace qln::platform
