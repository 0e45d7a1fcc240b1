#include "util/json_text.h"

#include "util/text_util.h"
#include "util/utf8_text.h"

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (const char c : ToValidUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      json += StringPrintf("\\u%04x", byte);
    } else {
      json += c;
    }
  }
  return json + "\"";
}
