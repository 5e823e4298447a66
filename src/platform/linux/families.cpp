#include "platform/linux/families.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

namespace qln::platform::linux_backend {
namespace {

std::mutex& loadLock() {
  static auto* m = new std::mutex;
  return *m;
}

std::map<std::string, std::string>& loadErrors() {
  static auto* errors = new std::map<std::string, std::string>;
  return *errors;
}

// Beside the binary (the build tree), then in the installed library folder.
std::vector<std::filesystem::path> candidates(const char* file) {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {file};
  auto dir = exe.parent_path();
  return {dir / file, dir / ".." / "lib" / "qln-helper" / file};
}

// Opens the library once and returns its entry point; remembers a failure so
// that no later call tries again.
void* entryPoint(const char* file, const char* entry) {
  std::lock_guard<std::mutex> guard(loadLock());
  static auto* loaded = new std::map<std::string, void*>;
  if (auto it = loaded->find(file); it != loaded->end()) return it->second;
  void* object = nullptr;
  std::string why = "not found";
  for (const auto& path : candidates(file)) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* e = dlerror();
      why = e ? e : "cannot be opened";
      break;
    }
    object = dlsym(handle, entry);
    if (!object) why = std::string("no entry point ") + entry;
    break;
  }
  (*loaded)[file] = object;
  if (!object) loadErrors()[file] = why;
  return object;
}

// The family object, made once by the entry point.
template <class Family>
Family* family(const char* file, const char* entry) {
  static Family* const made = [&]() -> Family* {
    auto make = reinterpret_cast<Family* (*)()>(entryPoint(file, entry));
    Family* f = make ? make() : nullptr;
    if (make && !f) {
      std::lock_guard<std::mutex> guard(loadLock());
      loadErrors()[file] = "the family cannot start";
    }
    return f;
  }();
  return made;
}

}  // namespace

std::string familyPath(const char* file) {
  for (const auto& path : candidates(file)) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) return path.string();
  }
  return "";
}

AudioFamily* audioFamily() { return family<AudioFamily>(kAudioFamilyFile, kAudioFamilyEntry); }
SpeechFamily* speechFamily() { return family<SpeechFamily>(kSpeechFamilyFile, kSpeechFamilyEntry); }
WindowFamily* windowFamily() { return family<WindowFamily>(kWindowFamilyFile, kWindowFamilyEntry); }

std::string familyLoadError(const char* file) {
  std::lock_guard<std::mutex> guard(loadLock());
  auto it = loadErrors().find(file);
  return it == loadErrors().end() ? std::string() : it->second;
}

}  // namespace qln::platform::linux_backend
