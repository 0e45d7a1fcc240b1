// Status texts are bytes as the inputs gave them: UTF-8 from XML files, often a
// single-byte code page from text files and pushes. The observability pages
// must be valid UTF-8 (JSON and the metrics format require it), so bytes that
// do not form UTF-8 are read as Latin-1 and re-encoded; valid UTF-8 passes
// unchanged. Pure: any thread.
#ifndef QUILLRADE_UTIL_UTF8_TEXT_H_
#define QUILLRADE_UTIL_UTF8_TEXT_H_

#include <string>
#include <string_view>

// `text` as valid UTF-8 (see above).
std::string ToValidUtf8(std::string_view text);

#endif  // QUILLRADE_UTIL_UTF8_TEXT_H_
