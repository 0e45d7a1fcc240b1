#include "platform/text_charset.h"
#include "platform/win_handle.h"

namespace {

// UTF-16 units and UTF-8 bytes one character takes at most.
constexpr int kMaxWideUnits = 2;
constexpr int kMaxUtf8Bytes = 4;

UINT CodePage(TextCharset set) {
  switch (set) {
    case TextCharset::kWindows1252:
      return 1252;
    case TextCharset::kIso8859_1:
      return 28591;
    case TextCharset::kIso8859_15:
      return 28605;
    case TextCharset::kWindows1250:
      return 1250;
    default:
      return CP_UTF8;
  }
}

// Through UTF-16; a character the target lacks is refused, never replaced by
// a look-alike (WC_NO_BEST_FIT_CHARS) or the default character.
bool Convert(UINT from, UINT to, std::string_view in, std::string* out) {
  wchar_t wide[kMaxWideUnits];
  const int units = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(),
                                        static_cast<int>(in.size()), wide, kMaxWideUnits);
  if (units <= 0) return false;
  char bytes[kMaxUtf8Bytes];
  BOOL usedDefault = FALSE;
  const bool toUtf8 = to == CP_UTF8;
  const int length = WideCharToMultiByte(to, toUtf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, units, bytes,
                                         kMaxUtf8Bytes, nullptr, toUtf8 ? nullptr : &usedDefault);
  if (length <= 0 || usedDefault) return false;
  out->append(bytes, static_cast<size_t>(length));
  return true;
}

}  // namespace

bool SystemDecodeByte(TextCharset set, unsigned char byte, std::string* out) {
  const char in = static_cast<char>(byte);
  return Convert(CodePage(set), CP_UTF8, std::string_view(&in, 1), out);
}

bool SystemEncodeCharacter(TextCharset set, std::string_view character, std::string* out) {
  if (character.size() > static_cast<size_t>(kMaxUtf8Bytes)) return false;
  return Convert(CP_UTF8, CodePage(set), character, out);
}

TextCharset SystemSingleByteCharset() {
  switch (GetACP()) {
    case 1250:
      return TextCharset::kWindows1250;
    case 28591:
      return TextCharset::kIso8859_1;
    case 28605:
      return TextCharset::kIso8859_15;
    default:
      return TextCharset::kWindows1252;
  }
}
