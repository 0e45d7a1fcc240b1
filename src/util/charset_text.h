// Texts in a known character set: the names the configuration uses, how an
// input without a declared set is read, conversions between the sets, and the
// accent folding by character that works on UTF-8 values. A character a
// target set lacks is first folded by our own table (ł -> l, typographic
// quotes and dashes -> ASCII) and only then written "?".
//
//   std::string sent = ConvertText(value, TextCharset::kUtf8, TextCharset::kIso8859_1);
//
// Threads: any thread; the only state is the byte tables, built once.
#ifndef QUILLRADE_UTIL_CHARSET_TEXT_H_
#define QUILLRADE_UTIL_CHARSET_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/text_charset.h"

// "utf-8", "windows-1252", "iso-8859-1", "iso-8859-15", "windows-1250"
// (letter case ignored); nullopt for any other name.
std::optional<TextCharset> CharsetFromName(std::string_view name);
const char* CharsetName(TextCharset set);

bool IsAscii(std::string_view text);
bool IsValidUtf8(std::string_view text);

// The set a text read with `configured` (nullopt: auto) is in. Auto: a valid
// UTF-8 text with a byte above 0x7F is UTF-8, any other text is in the
// system's single-byte code page.
TextCharset ResolveCharset(std::optional<TextCharset> configured, std::string_view text);

// `text` of set `from` as valid UTF-8. Bytes that are not valid in `from` are
// read one by one in the system's single-byte code page.
std::string TextToUtf8(std::string_view text, TextCharset from);

// `text` of set `from` in set `to` (see above for characters `to` lacks).
std::string ConvertText(std::string_view text, TextCharset from, TextCharset to);

// The fold of one code point: its ASCII replacement, or empty when the
// character stays as it is.
std::string_view FoldCodePoint(uint32_t codePoint);

// FilterAccents for a value in `set`: Windows-1252 and ISO-8859-1 values keep
// the byte table; UTF-8 values are folded character by character and stay
// valid UTF-8; the other sets are folded by character through UTF-8.
std::string FilterAccentsIn(std::string_view text, TextCharset set);

#endif  // QUILLRADE_UTIL_CHARSET_TEXT_H_
