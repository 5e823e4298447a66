// Optional system functions, looked up by name over every image already
// loaded, so the program starts where they are missing.
#pragma once

namespace qln::platform {
void* lookupSymbol(const char* name);
}
