// The one JSON string writer of the program, for every document it writes
// (/status.json, "check --json"). Its output is always valid UTF-8, whatever
// the bytes: a JSON reader must reject anything else, and the texts come from
// inputs in any character set (see util/utf8_text.h for how stray bytes read).
// Pure: any thread.
#ifndef QUILLRADE_UTIL_JSON_TEXT_H_
#define QUILLRADE_UTIL_JSON_TEXT_H_

#include <string>
#include <string_view>

// `text` as a JSON string literal, quotes included; control characters and DEL
// as \u escapes.
std::string JsonString(std::string_view text);

#endif  // QUILLRADE_UTIL_JSON_TEXT_H_
