#include "platform/text_codepage.h"

// libxml2 reaches every code page through iconv here.
std::vector<CodePageEncoding> SystemCodePageEncodings() { return {}; }

bool CodePageToUtf8(unsigned, std::string_view, size_t* consumed, std::string*) {
  *consumed = 0;
  return false;
}

bool Utf8ToCodePage(unsigned, std::string_view, size_t* consumed, std::string*) {
  *consumed = 0;
  return false;
}
