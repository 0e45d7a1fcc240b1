// Text utilities: free functions over byte strings that pick values apart and put
// texts together. Bytes 0x80..0xFF are read as Windows-1252 / ISO 8859-1 by the
// accent and case-folding tables; nothing is re-encoded.
//
// Thread safety: every function may be called from any thread. The only state is
// the case-folding table, built once on first use (thread-safe static init).
#ifndef QUILLRADE_UTIL_TEXT_UTIL_H_
#define QUILLRADE_UTIL_TEXT_UTIL_H_

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One search-and-replace item: every match of strSearch (letter case ignored)
// becomes strReplace, applied by ApplyReplaceItem.
struct SearchReplaceItem {
  std::string strSearch;
  std::string strReplace;
};

// Removes spaces (0x20 only) from both ends. True when a byte was removed.
bool TrimSpaces(std::string& text);

// ASCII-only case conversion; bytes from 0x80 up are unchanged. The result ends
// at the first NUL byte of the input.
std::string ToUpperAscii(std::string_view text);
std::string ToLowerAscii(std::string_view text);

// True when both texts have the same length and match byte for byte once 'A'..'Z'
// are read as 'a'..'z'. Every other byte (NUL, 0x80..0xFF) must match exactly.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// The text with 'A'..'Z' turned into 'a'..'z' and every other byte kept, an
// embedded NUL included (unlike ToLowerAscii): the lookup key of names compared
// as EqualsIgnoringAsciiCase compares them.
std::string FoldAsciiCase(std::string_view text);

// Maps every byte through the accent table (é -> e, 0xA0 -> space, ...). The
// result ends at the first NUL byte of the input.
std::string FilterAccents(std::string_view text);

// Case-sensitive replace of every match at or after `start`; the search resumes
// after each inserted replacement. An empty search changes nothing. True when at
// least one replacement was made.
bool ReplaceAll(std::string& text, std::string_view search, std::string_view replacement,
                size_t start = 0);

// Index of the first case-insensitive match (folding table) at or after `start`,
// or -1. An empty needle matches at `start`.
long FindNoCase(std::string_view haystack, std::string_view needle, size_t start = 0);

// ReplaceAll with matches found by FindNoCase.
bool ReplaceAllNoCase(std::string& text, std::string_view search, std::string_view replacement,
                      size_t start = 0);

// Applies one search-and-replace item: repeated passes until nothing is left to
// replace, unless the replacement contains the search text (then one pass).
// Repeating also stops when the text has grown past max(1 MiB, 16 x its first
// length) or the passes have read max(16 MiB, 16 x that length): items that
// rebuild their own search text with its neighbours must not hang the caller.
bool ApplyReplaceItem(std::string& text, std::string_view search, std::string_view replacement);

// Applies every item of `items` in order (ApplyReplaceItem).
void ApplyReplaceItems(std::string& text, const std::vector<SearchReplaceItem>& items);

// Percent-encodes for a URL: fixed upper-case escapes for reserved characters,
// computed lower-case "%xx" for control bytes (DEL included) and bytes from 0x80
// up. NUL stays as it is.
std::string UrlEncode(std::string_view text);

// Decodes %XX escapes (and "+" when plusAsSpace) into `destination`, writing at
// most destinationSize - 1 bytes and a terminating NUL. Returns the bytes written;
// a destinationSize of 0 writes nothing and returns 0.
size_t UrlDecode(const char* source, size_t sourceLength, char* destination, size_t destinationSize,
                 bool plusAsSpace);
// Unbounded convenience form of the above; the result ends at the first decoded
// NUL, as the text in a destination buffer does.
std::string UrlDecode(std::string_view source, bool plusAsSpace);

// printf into a new string, without a length limit.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args);

// printf into buffer[size]: at most size - 1 bytes and always a terminating NUL when
// size > 0. Returns the bytes written, or -1 when size is 0 or the text was cut.
int BoundedPrintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Ends a NUL-terminated text at its first CR or LF.
void CutAtLineEnd(char* text);

// Splits at `separator` outside double quotes; pieces are trimmed of spaces and,
// when `unquote`, unquoted. Empty pieces are kept only when `keepEmpty`.
std::vector<std::string> SplitList(std::string_view text, char separator, bool unquote,
                                   bool keepEmpty);

// The text between the first and last double quote; with exactly one quote, the
// longer side (the side after it on a tie); without quotes, the text unchanged.
std::string Unquote(std::string_view text);

#endif  // QUILLRADE_UTIL_TEXT_UTIL_H_
