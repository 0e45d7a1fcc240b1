#include "platform/text_charset.h"

namespace {

constexpr unsigned char kFirstC1 = 0x80;
constexpr unsigned char kLastC1 = 0x9F;
// UTF-8 lead byte of U+0080..U+00BF.
constexpr char kC1Lead = '\xC2';

}  // namespace

void AppendUtf8(uint32_t codePoint, std::string* out) {
  if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out->push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// glibc's converters refuse the bytes the Windows tables map to C1 controls;
// both systems must read (and write) them alike.
bool DecodeSingleByte(TextCharset set, unsigned char byte, std::string* out) {
  if (set == TextCharset::kUtf8) return false;
  if (byte < 0x80) {
    out->push_back(static_cast<char>(byte));
    return true;
  }
  if (SystemDecodeByte(set, byte, out)) return true;
  if (byte > kLastC1) return false;
  AppendUtf8(byte, out);
  return true;
}

bool EncodeSingleByte(TextCharset set, std::string_view character, std::string* out) {
  if (set == TextCharset::kUtf8 || character.empty()) return false;
  if (character.size() == 1 && static_cast<unsigned char>(character[0]) < 0x80) {
    out->push_back(character[0]);
    return true;
  }
  if (SystemEncodeCharacter(set, character, out)) return true;
  if (character.size() != 2 || character[0] != kC1Lead) return false;
  const unsigned char byte = static_cast<unsigned char>(character[1]);
  std::string assigned;
  if (byte < kFirstC1 || byte > kLastC1 || SystemDecodeByte(set, byte, &assigned)) return false;
  out->push_back(static_cast<char>(byte));
  return true;
}
