#include "util/charset_text.h"

#include <array>
#include <cstdint>

#include "util/text_util.h"

namespace {

constexpr uint32_t kInvalid = 0xFFFFFFFF;
// The Latin-1 block that the byte accent table folds.
constexpr uint32_t kLatin1Start = 0xA0;
constexpr uint32_t kLatin1End = 0xFF;
// Latin Extended-A, folded to base letters; the ligatures fold to two letters.
constexpr uint32_t kExtendedAStart = 0x100;
constexpr std::string_view kExtendedABase =
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi??JjKkkLlLlLlLlLlNnNnNnnNnOoOoOo??RrRrRrSsSs"
    "SsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
struct Fold {
  uint32_t nCodePoint;
  std::string_view strText;
};
constexpr Fold kSpecialFolds[] = {
    {0x0132, "IJ"},  {0x0133, "ij"}, {0x0152, "OE"}, {0x0153, "oe"}, {0x2010, "-"},  {0x2011, "-"},
    {0x2012, "-"},   {0x2013, "-"},  {0x2014, "-"},  {0x2015, "-"},  {0x2018, "'"},  {0x2019, "'"},
    {0x201A, "'"},   {0x201B, "'"},  {0x201C, "\""}, {0x201D, "\""}, {0x201E, "\""}, {0x201F, "\""},
    {0x2026, "..."}, {0x2032, "'"},  {0x2033, "\""}, {0x2039, "<"},  {0x203A, ">"},  {0x2002, " "},
    {0x2003, " "},   {0x2009, " "},  {0x202F, " "},  {0x2212, "-"}};

using ByteTexts = std::array<std::string, 256>;

ByteTexts BuildDecodeTable(TextCharset set) {
  ByteTexts table;
  for (int byte = 0; byte < 256; ++byte) {
    // Every byte has a character in these sets; "?" only guards the table.
    if (!DecodeSingleByte(set, static_cast<unsigned char>(byte), &table[byte])) {
      table[byte].assign(1, '?');
    }
  }
  return table;
}

// The platform converters are asked once per byte and set.
const ByteTexts& DecodeTable(TextCharset set) {
  static const std::array<ByteTexts, 5> tables = {
      ByteTexts{}, BuildDecodeTable(TextCharset::kWindows1252),
      BuildDecodeTable(TextCharset::kIso8859_1), BuildDecodeTable(TextCharset::kIso8859_15),
      BuildDecodeTable(TextCharset::kWindows1250)};
  return tables[static_cast<size_t>(set)];
}

// The code point of the UTF-8 sequence at `at` and its length; kInvalid (and
// length 1) for a byte that starts no valid sequence: overlong forms,
// surrogates and values above U+10FFFF are invalid.
uint32_t DecodeUtf8At(std::string_view text, size_t at, size_t* length) {
  *length = 1;
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return lead;
  size_t count = 0;
  uint32_t codePoint = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    count = 2, codePoint = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    count = 3, codePoint = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    count = 4, codePoint = lead & 0x07, minimum = 0x10000;
  } else {
    return kInvalid;
  }
  if (at + count > text.size()) return kInvalid;
  for (size_t k = 1; k < count; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return kInvalid;
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return kInvalid;
  }
  *length = count;
  return codePoint;
}

bool IsSingleByte(TextCharset set) { return set != TextCharset::kUtf8; }

// A character of valid UTF-8 text in `to`: itself, else its fold, else "?".
void AppendInCharset(std::string_view character, uint32_t codePoint, TextCharset to,
                     std::string* out) {
  if (EncodeSingleByte(to, character, out)) return;
  const std::string_view fold = FoldCodePoint(codePoint);
  if (fold.empty()) {
    out->push_back('?');
    return;
  }
  for (const char c : fold) {
    if (!EncodeSingleByte(to, std::string_view(&c, 1), out)) out->push_back('?');
  }
}

std::string FilterAccentsUtf8(std::string_view text) {
  std::string folded;
  size_t length = 0;
  for (size_t at = 0; at < text.size(); at += length) {
    const uint32_t codePoint = DecodeUtf8At(text, at, &length);
    if (codePoint == 0) break;  // like the byte table, the result ends at a NUL
    const std::string_view fold = codePoint == kInvalid ? "" : FoldCodePoint(codePoint);
    folded.append(fold.empty() ? text.substr(at, length) : fold);
  }
  return folded;
}

}  // namespace

std::optional<TextCharset> CharsetFromName(std::string_view name) {
  for (const TextCharset set :
       {TextCharset::kUtf8, TextCharset::kWindows1252, TextCharset::kIso8859_1,
        TextCharset::kIso8859_15, TextCharset::kWindows1250}) {
    if (EqualsIgnoringAsciiCase(name, CharsetName(set))) return set;
  }
  return std::nullopt;
}

const char* CharsetName(TextCharset set) {
  switch (set) {
    case TextCharset::kUtf8:
      return "utf-8";
    case TextCharset::kWindows1252:
      return "windows-1252";
    case TextCharset::kIso8859_1:
      return "iso-8859-1";
    case TextCharset::kIso8859_15:
      return "iso-8859-15";
    case TextCharset::kWindows1250:
      return "windows-1250";
  }
  return "";
}

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsValidUtf8(std::string_view text) {
  size_t length = 0;
  for (size_t at = 0; at < text.size(); at += length) {
    if (DecodeUtf8At(text, at, &length) == kInvalid) return false;
  }
  return true;
}

TextCharset ResolveCharset(std::optional<TextCharset> configured, std::string_view text) {
  if (configured) return *configured;
  return !IsAscii(text) && IsValidUtf8(text) ? TextCharset::kUtf8 : SystemSingleByteCharset();
}

std::string TextToUtf8(std::string_view text, TextCharset from) {
  const ByteTexts& fallback = DecodeTable(IsSingleByte(from) ? from : SystemSingleByteCharset());
  std::string utf8;
  size_t length = 1;
  for (size_t at = 0; at < text.size(); at += length) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    length = 1;
    if (IsSingleByte(from) || DecodeUtf8At(text, at, &length) == kInvalid) {
      utf8 += byte < 0x80 ? std::string(1, static_cast<char>(byte)) : fallback[byte];
    } else {
      utf8.append(text.substr(at, length));
    }
  }
  return utf8;
}

std::string ConvertText(std::string_view text, TextCharset from, TextCharset to) {
  if (IsAscii(text)) return std::string(text);
  const std::string utf8 = TextToUtf8(text, from);
  if (!IsSingleByte(to)) return utf8;
  std::string converted;
  size_t length = 0;
  for (size_t at = 0; at < utf8.size(); at += length) {
    const uint32_t codePoint = DecodeUtf8At(utf8, at, &length);
    AppendInCharset(std::string_view(utf8).substr(at, length), codePoint, to, &converted);
  }
  return converted;
}

std::string_view FoldCodePoint(uint32_t codePoint) {
  static const std::array<char, kLatin1End - kLatin1Start + 1> latin1 = [] {
    std::array<char, kLatin1End - kLatin1Start + 1> table{};
    for (uint32_t c = kLatin1Start; c <= kLatin1End; ++c) {
      const char byte = static_cast<char>(c);
      table[c - kLatin1Start] = FilterAccents(std::string_view(&byte, 1))[0];
    }
    return table;
  }();
  for (const Fold& fold : kSpecialFolds) {
    if (fold.nCodePoint == codePoint) return fold.strText;
  }
  if (codePoint >= kLatin1Start && codePoint <= kLatin1End) {
    const char& folded = latin1[codePoint - kLatin1Start];
    return static_cast<unsigned char>(folded) == codePoint ? "" : std::string_view(&folded, 1);
  }
  if (codePoint >= kExtendedAStart && codePoint < kExtendedAStart + kExtendedABase.size()) {
    return kExtendedABase.substr(codePoint - kExtendedAStart, 1);
  }
  return "";
}

std::string FilterAccentsIn(std::string_view text, TextCharset set) {
  switch (set) {
    case TextCharset::kWindows1252:
    case TextCharset::kIso8859_1:
      return FilterAccents(text);
    case TextCharset::kUtf8:
      return FilterAccentsUtf8(text);
    default:
      return ConvertText(FilterAccentsUtf8(TextToUtf8(text, set)), TextCharset::kUtf8, set);
  }
}
