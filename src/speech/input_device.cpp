#include "speech/input_device.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/uvernum.h>

#include <type_traits>
#include <vector>

#include "platform/lazy_library.h"

namespace qln {
namespace {

using platform::audioAddress;
using platform::audioObjects;

// ICU's C functions, from its library opened the first time a name is
// matched (only speech mode with --input-name matches names).
struct Icu {
  decltype(&u_charType) charType;
  decltype(&u_strFromUTF8WithSub) fromUtf8;
  decltype(&u_strToUTF8WithSub) toUtf8;
  decltype(&u_strToLower) toLower;
  decltype(&unorm2_getNFCInstance) nfcInstance;
  decltype(&unorm2_normalize) normalize;
  bool ok() const { return charType && fromUtf8 && toUtf8 && toLower && nfcInstance && normalize; }
};

#define QLN_ICU_SONAME_OF(major) "libicuuc.so." QLN_SYMBOL_NAME(major)

const Icu& icu() {
  static const Icu api = [] {
    static platform::LazyLibrary library(QLN_ICU_SONAME_OF(U_ICU_VERSION_MAJOR_NUM));
#define QLN_ICU_FUNCTION(f) library.function<std::remove_pointer_t<decltype(&f)>>(QLN_SYMBOL_NAME(f))
    return Icu{QLN_ICU_FUNCTION(u_charType),   QLN_ICU_FUNCTION(u_strFromUTF8WithSub),
               QLN_ICU_FUNCTION(u_strToUTF8WithSub), QLN_ICU_FUNCTION(u_strToLower),
               QLN_ICU_FUNCTION(unorm2_getNFCInstance), QLN_ICU_FUNCTION(unorm2_normalize)};
#undef QLN_ICU_FUNCTION
  }();
  return api;
}

// Whitespace and newlines as the host's platform counts them: every space,
// line and paragraph separator (Z*), the controls U+0009 to U+000D, and
// U+0085.
bool isWhitespaceOrNewline(const Icu& api, UChar32 c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  auto type = static_cast<UCharCategory>(api.charType(c));
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

// Runs an ICU function that writes UTF-16 into a buffer it sizes: once to
// learn the length, once to fill.
template <class Write>
bool intoBuffer(std::vector<UChar>& out, Write write) {
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = write(nullptr, 0, status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return false;
  out.assign(static_cast<std::size_t>(length) + 1, 0);
  status = U_ZERO_ERROR;
  length = write(out.data(), static_cast<std::int32_t>(out.size()), status);
  if (U_FAILURE(status)) return false;
  out.resize(static_cast<std::size_t>(length));
  return true;
}

// Trimmed, fully lowercased and composed (NFC), so that names differing
// only in case, surrounding space or canonical form compare equal. Without
// ICU, the name as it is.
std::string folded(std::string_view name) {
  const Icu& api = icu();
  if (!api.ok()) return std::string(name);
  std::vector<UChar> text;
  // Ill-formed UTF-8 becomes U+FFFD, as it does for the platform's strings.
  if (!intoBuffer(text, [&](UChar* dest, std::int32_t capacity, UErrorCode& status) {
        std::int32_t length = 0;
        api.fromUtf8(dest, capacity, &length, name.data(), static_cast<std::int32_t>(name.size()), 0xFFFD,
                     nullptr, &status);
        return length;
      }))
    return std::string(name);
  std::int32_t begin = 0;
  auto end = static_cast<std::int32_t>(text.size());
  while (begin < end) {
    std::int32_t next = begin;
    UChar32 c;
    U16_NEXT(text.data(), next, end, c);
    if (!isWhitespaceOrNewline(api, c)) break;
    begin = next;
  }
  while (end > begin) {
    std::int32_t last = end;
    UChar32 c;
    U16_PREV(text.data(), begin, last, c);
    if (!isWhitespaceOrNewline(api, c)) break;
    end = last;
  }
  std::vector<UChar> lower;
  if (!intoBuffer(lower, [&](UChar* dest, std::int32_t capacity, UErrorCode& status) {
        return api.toLower(dest, capacity, text.data() + begin, end - begin, "", &status);
      }))
    return std::string(name);
  std::vector<UChar> composed;
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = api.nfcInstance(&status);
  if (U_SUCCESS(status) && intoBuffer(composed, [&](UChar* dest, std::int32_t capacity, UErrorCode& st) {
        return api.normalize(nfc, lower.data(), static_cast<std::int32_t>(lower.size()), dest, capacity, &st);
      }))
    lower = std::move(composed);
  std::int32_t bytes = 0;
  status = U_ZERO_ERROR;
  api.toUtf8(nullptr, 0, &bytes, lower.data(), static_cast<std::int32_t>(lower.size()), 0xFFFD, nullptr, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::string(name);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  status = U_ZERO_ERROR;
  api.toUtf8(out.data(), bytes, &bytes, lower.data(), static_cast<std::int32_t>(lower.size()), 0xFFFD, nullptr,
             &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return std::string(name);
  return out;
}

}  // namespace

std::optional<std::string> qlnDeviceName(platform::ObjectId device) {
  return audioObjects().getPropertyString(device, audioAddress(platform::kSelectorName));
}

bool qlnDeviceHasInput(platform::ObjectId device) {
  return platform::readChannelTotal(
             audioObjects(), device,
             audioAddress(platform::kSelectorStreamConfiguration, platform::kScopeInput)) > 0;
}

std::optional<platform::ObjectId> qlnInputDeviceID(std::string_view named) {
  std::string want = folded(named);
  if (want.empty()) return std::nullopt;
  auto devices = platform::readObjectIdArray(audioObjects(), platform::kSystemObject,
                                             audioAddress(platform::kSelectorDevices));
  std::optional<platform::ObjectId> partial;
  for (platform::ObjectId device : devices) {
    if (!qlnDeviceHasInput(device)) continue;
    auto name = qlnDeviceName(device);
    if (!name) continue;
    std::string have = folded(*name);
    if (have.empty()) continue;
    if (have == want) return device;  // an exact name beats any earlier partial one
    if (!partial && (have.find(want) != std::string::npos || want.find(have) != std::string::npos))
      partial = device;
  }
  return partial;
}

}  // namespace qln
