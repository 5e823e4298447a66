#include "speech/input_device.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace qln {
namespace {

using platform::audioAddress;
using platform::audioObjects;

// Whitespace and newlines as the host's platform counts them: every space,
// line and paragraph separator (Z*), the controls U+0009 to U+000D, and
// U+0085.
bool isWhitespaceOrNewline(UChar32 c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  auto type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

// Trimmed, fully lowercased and composed (NFC), so that names differing
// only in case, surrounding space or canonical form compare equal.
std::string folded(std::string_view name) {
  icu::UnicodeString s = icu::UnicodeString::fromUTF8(
      icu::StringPiece(name.data(), static_cast<std::int32_t>(name.size())));
  std::int32_t begin = 0;
  std::int32_t end = s.length();
  while (begin < end && isWhitespaceOrNewline(s.char32At(begin))) begin = s.moveIndex32(begin, 1);
  while (end > begin) {
    std::int32_t last = s.moveIndex32(end, -1);
    if (!isWhitespaceOrNewline(s.char32At(last))) break;
    end = last;
  }
  icu::UnicodeString trimmed = s.tempSubStringBetween(begin, end);
  trimmed.toLower(icu::Locale::getRoot());
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_SUCCESS(status)) {
    icu::UnicodeString composed = nfc->normalize(trimmed, status);
    if (U_SUCCESS(status)) trimmed = composed;
  }
  std::string out;
  trimmed.toUTF8String(out);
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
