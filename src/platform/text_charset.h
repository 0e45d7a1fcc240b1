// The character sets that inputs and outputs name, and the system's converters
// for the single-byte ones: iconv on Linux, the code-page API on Windows, so
// that both send the same bytes. Everything above works on UTF-8 and asks this
// layer one character at a time.
//
// Threads: any thread; nothing here holds state.
#ifndef QUILLRADE_PLATFORM_TEXT_CHARSET_H_
#define QUILLRADE_PLATFORM_TEXT_CHARSET_H_

#include <cstdint>
#include <string>
#include <string_view>

enum class TextCharset { kUtf8, kWindows1252, kIso8859_1, kIso8859_15, kWindows1250 };

// The single-byte code page of this system, which texts without a declared set
// are read in: Windows-1252 on Linux; on Windows the ANSI code page when it is
// one of the sets above (a Central European PC reads Windows-1250), else
// Windows-1252.
TextCharset SystemSingleByteCharset();

// Appends the UTF-8 character of `byte` in the single-byte `set` to `out`. A
// byte from 0x80 to 0x9F that the set leaves unassigned (Windows-1252's 0x81,
// 0x8D, 0x8F, 0x90, 0x9D) is the C1 control of the same value, as the Windows
// code-page tables have it. False only for a set that is not single-byte.
bool DecodeSingleByte(TextCharset set, unsigned char byte, std::string* out);

// Appends the byte of the one UTF-8 character `character` in `set` to `out`;
// false when the set has no such character (nothing is approximated).
bool EncodeSingleByte(TextCharset set, std::string_view character, std::string* out);

// Appends code point `codePoint` as UTF-8 (a surrogate or a value above
// U+10FFFF becomes U+FFFD).
void AppendUtf8(uint32_t codePoint, std::string* out);

// The per-OS halves of the two conversions above, without their C1 rule; false
// when the system refuses. Callers use the two above.
bool SystemDecodeByte(TextCharset set, unsigned char byte, std::string* out);
bool SystemEncodeCharacter(TextCharset set, std::string_view character, std::string* out);

#endif  // QUILLRADE_PLATFORM_TEXT_CHARSET_H_
