#include <iconv.h>

#include <cerrno>

#include "platform/text_charset.h"

namespace {

// UTF-8 bytes one character takes at most.
constexpr size_t kMaxUtf8Bytes = 4;

const char* IconvName(TextCharset set) {
  switch (set) {
    case TextCharset::kWindows1252:
      return "CP1252";
    case TextCharset::kIso8859_1:
      return "ISO-8859-1";
    case TextCharset::kIso8859_15:
      return "ISO-8859-15";
    case TextCharset::kWindows1250:
      return "CP1250";
    default:
      return "UTF-8";
  }
}

// Plain names, never "//TRANSLIT": what an approximation gives would depend on
// the locale, and characters a set lacks are folded by our own table above.
bool Convert(const char* from, const char* to, std::string_view in, std::string* out) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  char buffer[kMaxUtf8Bytes * 2];
  char* inPointer = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outPointer = buffer;
  size_t outLeft = sizeof(buffer);
  const size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1) || inLeft != 0 || result != 0) return false;
  out->append(buffer, sizeof(buffer) - outLeft);
  return true;
}

}  // namespace

bool SystemDecodeByte(TextCharset set, unsigned char byte, std::string* out) {
  const char in = static_cast<char>(byte);
  return Convert(IconvName(set), "UTF-8", std::string_view(&in, 1), out);
}

bool SystemEncodeCharacter(TextCharset set, std::string_view character, std::string* out) {
  if (character.size() > kMaxUtf8Bytes) return false;
  return Convert("UTF-8", IconvName(set), character, out);
}

TextCharset SystemSingleByteCharset() { return TextCharset::kWindows1252; }
