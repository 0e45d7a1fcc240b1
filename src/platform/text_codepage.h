// Conversions between the system's code pages and UTF-8, for documents that
// declare a code-page encoding ("windows-1252", "ibm850", "shift_jis"). On
// Windows the code-page API converts; on Linux the list of code pages is empty,
// because the C library's converters already serve the XML reader there.
//
// Threads: any thread; nothing here holds state.
#ifndef QUILLRADE_PLATFORM_TEXT_CODEPAGE_H_
#define QUILLRADE_PLATFORM_TEXT_CODEPAGE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct CodePageEncoding {
  const char* pName;   // the encoding name documents declare
  const char* pAlias;  // another name for it, or null
  unsigned nCodePage;  // the system's number for it
};

// The code pages this system converts, each once.
std::vector<CodePageEncoding> SystemCodePageEncodings();

// Converts the longest start of `in` made of whole characters (a lead byte or
// sequence cut off at the end is left for the next call) and appends the result
// to `out`; `consumed` receives the bytes converted. False when the bytes at
// `*consumed` cannot be converted (invalid in the source, or no such character
// in the target code page).
bool CodePageToUtf8(unsigned codePage, std::string_view in, size_t* consumed, std::string* out);
bool Utf8ToCodePage(unsigned codePage, std::string_view in, size_t* consumed, std::string* out);

#endif  // QUILLRADE_PLATFORM_TEXT_CODEPAGE_H_
