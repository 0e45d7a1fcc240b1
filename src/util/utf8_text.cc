#include "util/utf8_text.h"

#include <cstdint>

namespace {

// Length of the valid UTF-8 sequence at `pos` (overlong forms, surrogates and
// code points above U+10FFFF are not valid); 0 when there is none.
size_t Utf8SequenceLength(std::string_view text, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[pos + i]); };
  const uint8_t lead = byte(0);
  size_t length = 0;
  uint32_t minimum = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string ToValidUtf8(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const uint8_t c = static_cast<uint8_t>(text[pos]);
    if (c < 0x80) {
      result += static_cast<char>(c);
      ++pos;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, pos);
    if (length > 0) {
      result.append(text.substr(pos, length));
      pos += length;
      continue;
    }
    result += static_cast<char>(0xC0 | (c >> 6));
    result += static_cast<char>(0x80 | (c & 0x3F));
    ++pos;
  }
  return result;
}
