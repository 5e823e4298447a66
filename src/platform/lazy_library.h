// A system library the program opens only when it first needs it, so that
// the modes that never use it do not pay for loading it at start-up.
#pragma once

#include <mutex>
#include <string>

namespace qln::platform {

class LazyLibrary {
 public:
  explicit LazyLibrary(std::string soname) : soname_(std::move(soname)) {}
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // The named function, the library opened on the first call; null when the
  // library or the function is missing.
  template <class Function>
  Function* function(const char* name) {
    return reinterpret_cast<Function*>(address(name));
  }

 private:
  void* address(const char* name);

  std::string soname_;
  std::once_flag opened_;
  void* handle_ = nullptr;
};

}  // namespace qln::platform

// The linker-level name of a library function whose header renames it (ICU
// appends its version): the name after macro expansion, as a string.
#define QLN_SYMBOL_NAME(f) QLN_SYMBOL_NAME_EXPANDED(f)
#define QLN_SYMBOL_NAME_EXPANDED(f) #f
