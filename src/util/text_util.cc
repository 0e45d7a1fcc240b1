#include "util/text_util.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

// Limits on ApplyReplaceItem's repeat passes. A replacement that does not contain
// its search text can still rebuild it together with its neighbours (search "ab",
// replacement "bba"), and such rules may grow the text exponentially before they
// settle, or need one pass per byte they move. Repeating stops once the text
// outgrows kRepeatMaxLength (or 16 times its first length) or the passes have
// scanned kRepeatScanBudget bytes (or 16 times the first length); the text is kept
// as it is then.
constexpr size_t kRepeatMaxLength = 1u << 20;
constexpr size_t kRepeatScanBudget = 16u << 20;

using ByteTable = std::array<unsigned char, 256>;

ByteTable BuildAccentTable() {
  ByteTable table{};
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  auto fill = [&table](int from, int to, char value) {
    for (int i = from; i <= to; ++i) table[i] = static_cast<unsigned char>(value);
  };
  fill(0x7F, 0x7F, ' ');
  fill(0x80, 0xA0, ' ');
  fill(0xA1, 0xA1, '!');
  fill(0xC0, 0xC6, 'A');
  fill(0xC7, 0xC7, 'C');
  fill(0xC8, 0xCB, 'E');
  fill(0xCC, 0xCF, 'I');
  fill(0xD0, 0xD0, 'D');
  fill(0xD1, 0xD1, 'N');
  fill(0xD2, 0xD6, 'O');
  fill(0xD7, 0xD7, 'X');
  fill(0xD8, 0xD8, 'O');
  fill(0xD9, 0xDC, 'U');
  fill(0xDD, 0xDD, 'Y');
  fill(0xDE, 0xDE, 't');  // the thorn letters map across case on purpose
  fill(0xDF, 0xDF, 'S');
  fill(0xE0, 0xE6, 'a');
  fill(0xE7, 0xE7, 'c');
  fill(0xE8, 0xEB, 'e');
  fill(0xEC, 0xEF, 'i');
  fill(0xF0, 0xF0, 'd');
  fill(0xF1, 0xF1, 'n');
  fill(0xF2, 0xF6, 'o');
  fill(0xF8, 0xF8, 'o');
  fill(0xF9, 0xFC, 'u');
  fill(0xFD, 0xFD, 'y');
  fill(0xFE, 0xFE, 'T');
  fill(0xFF, 0xFF, 'y');
  return table;
}

const ByteTable& AccentTable() {
  static const ByteTable table = BuildAccentTable();
  return table;
}

// ASCII letters plus the four Latin-1 capitals that the configured replace items
// of German texts rely on; no other accented letter folds.
ByteTable BuildFoldTable() {
  ByteTable table{};
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 'a');
  table[0xC4] = 0xE4;
  table[0xC5] = 0xE5;
  table[0xD6] = 0xF6;
  table[0xDC] = 0xFC;
  return table;
}

const ByteTable& FoldTable() {
  static const ByteTable table = BuildFoldTable();
  return table;
}

std::string_view UpToFirstNul(std::string_view text) {
  const size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

template <typename Map>
std::string MapBytesToNul(std::string_view text, Map map) {
  std::string result(UpToFirstNul(text));
  for (char& c : result) c = static_cast<char>(map(static_cast<unsigned char>(c)));
  return result;
}

long FindExact(std::string_view haystack, std::string_view needle, size_t start) {
  const size_t index = haystack.find(needle, start);
  return index == std::string_view::npos ? -1 : static_cast<long>(index);
}

std::string FoldCase(std::string_view text) {
  const ByteTable& fold = FoldTable();
  std::string folded(text);
  for (char& c : folded) c = static_cast<char>(fold[static_cast<unsigned char>(c)]);
  return folded;
}

// One replace pass. Matches are looked for in `searched` (the text itself, or its
// byte-for-byte folded copy with the same positions) and never in inserted text,
// which is the same as resuming after each replacement; the result is built in one
// go instead of splicing the string once per match.
bool ReplaceMatches(std::string& text, std::string_view searched, std::string_view search,
                    std::string_view replacement, size_t start) {
  if (search.empty() || start > text.size()) return false;
  long match = FindExact(searched, search, start);
  if (match < 0) return false;
  std::string result(text, 0, start);
  size_t position = start;
  while (match >= 0) {
    const size_t index = static_cast<size_t>(match);
    result.append(text, position, index - position);
    result.append(replacement);
    position = index + search.size();
    match = FindExact(searched, search, position);
  }
  result.append(text, position, std::string::npos);
  text.swap(result);
  return true;
}

bool RepeatBudgetLeft(size_t length, size_t firstLength, size_t& scanned) {
  scanned += length;
  const size_t maxLength = std::max(kRepeatMaxLength, 16 * firstLength);
  const size_t scanBudget = std::max(kRepeatScanBudget, 16 * firstLength);
  return length <= maxLength && scanned <= scanBudget;
}

// Reserved characters get fixed escapes with upper-case hex digits; control bytes
// and the upper half get computed lower-case ones. Both forms are what receivers
// of the requests have always been sent, so neither may be normalised.
struct EscapeTable {
  std::array<std::array<char, 4>, 256> escapes{};  // empty entry: byte stays as it is
};

EscapeTable BuildEscapeTable() {
  EscapeTable table;
  const char* kFixed = " \"#$%&+,/:;<=>?@[\\]^`{|}~";
  for (const char* c = kFixed; *c != '\0'; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    std::snprintf(table.escapes[byte].data(), 4, "%%%.2X", byte);
  }
  // DEL is a control byte too: sent raw it makes the whole URL invalid.
  for (int byte = 0x01; byte <= 0xFF; ++byte) {
    if (byte >= 0x20 && byte < 0x7F) continue;
    std::snprintf(table.escapes[byte].data(), 4, "%%%.2x", static_cast<unsigned>(byte));
  }
  return table;
}

const EscapeTable& Escapes() {
  static const EscapeTable table = BuildEscapeTable();
  return table;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte that source[i] starts and how many source bytes it takes.
char DecodeOne(const char* source, size_t length, size_t i, bool plusAsSpace, size_t& used) {
  used = 1;
  if (source[i] == '+' && plusAsSpace) return ' ';
  if (source[i] != '%' || length - i < 3) return source[i];
  const int high = HexValue(source[i + 1]);
  const int low = HexValue(source[i + 2]);
  if (high < 0 || low < 0) return source[i];
  used = 3;
  return static_cast<char>(high * 16 + low);
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool TrimSpaces(std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) {
    const bool changed = !text.empty();
    text.clear();
    return changed;
  }
  const size_t last = text.find_last_not_of(' ');
  const size_t oldSize = text.size();
  text = text.substr(first, last - first + 1);
  return text.size() != oldSize;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string FoldAsciiCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = FoldAscii(c);
  return folded;
}

std::string ToUpperAscii(std::string_view text) {
  return MapBytesToNul(text, [](unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
  });
}

std::string ToLowerAscii(std::string_view text) {
  return MapBytesToNul(text,
                       [](unsigned char c) { return static_cast<unsigned char>(FoldAscii(c)); });
}

std::string FilterAccents(std::string_view text) {
  const ByteTable& table = AccentTable();
  return MapBytesToNul(text, [&table](unsigned char c) { return table[c]; });
}

bool ReplaceAll(std::string& text, std::string_view search, std::string_view replacement,
                size_t start) {
  return ReplaceMatches(text, text, search, replacement, start);
}

long FindNoCase(std::string_view haystack, std::string_view needle, size_t start) {
  if (needle.size() > haystack.size() || start > haystack.size() - needle.size()) return -1;
  const ByteTable& fold = FoldTable();
  const size_t last = haystack.size() - needle.size();
  for (size_t position = start; position <= last; ++position) {
    size_t i = 0;
    while (i < needle.size() && fold[static_cast<unsigned char>(haystack[position + i])] ==
                                    fold[static_cast<unsigned char>(needle[i])]) {
      ++i;
    }
    if (i == needle.size()) return static_cast<long>(position);
  }
  return -1;
}

bool ReplaceAllNoCase(std::string& text, std::string_view search, std::string_view replacement,
                      size_t start) {
  if (search.empty() || start > text.size()) return false;
  const std::string folded = FoldCase(text);
  return ReplaceMatches(text, folded, FoldCase(search), replacement, start);
}

bool ApplyReplaceItem(std::string& text, std::string_view search, std::string_view replacement) {
  if (search.empty()) return false;
  const bool repeat = FindNoCase(replacement, search) < 0;
  const size_t firstLength = text.size();
  if (!ReplaceAllNoCase(text, search, replacement)) return false;
  size_t scanned = firstLength;
  while (repeat && RepeatBudgetLeft(text.size(), firstLength, scanned) &&
         ReplaceAllNoCase(text, search, replacement)) {
  }
  return true;
}

void ApplyReplaceItems(std::string& text, const std::vector<SearchReplaceItem>& items) {
  for (const SearchReplaceItem& item : items)
    ApplyReplaceItem(text, item.strSearch, item.strReplace);
}

std::string UrlEncode(std::string_view text) {
  const EscapeTable& table = Escapes();
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const std::array<char, 4>& escape = table.escapes[static_cast<unsigned char>(c)];
    if (escape[0] == '\0') {
      result.push_back(c);
    } else {
      result.append(escape.data(), 3);
    }
  }
  return result;
}

size_t UrlDecode(const char* source, size_t sourceLength, char* destination, size_t destinationSize,
                 bool plusAsSpace) {
  // A zero-sized destination has no room even for the terminator.
  if (destination == nullptr || destinationSize == 0) return 0;
  if (source == nullptr) sourceLength = 0;
  size_t written = 0;
  size_t i = 0;
  while (i < sourceLength && written < destinationSize - 1) {
    size_t used = 0;
    destination[written++] = DecodeOne(source, sourceLength, i, plusAsSpace, used);
    i += used;
  }
  destination[written] = '\0';
  return written;
}

std::string UrlDecode(std::string_view source, bool plusAsSpace) {
  std::string result(source.size() + 1, '\0');
  UrlDecode(source.data(), source.size(), result.data(), result.size(), plusAsSpace);
  // Read as the C string the buffer form leaves: a decoded NUL ends the text, so
  // nothing after it can reach a URL and cut the rest of that URL off.
  result.resize(std::strlen(result.c_str()));
  return result;
}

std::string StringPrintfV(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed <= 0) return std::string();
  std::string result(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(result.data(), result.size(), format, args);
  result.resize(static_cast<size_t>(needed));
  return result;
}

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = StringPrintfV(format, args);
  va_end(args);
  return result;
}

int BoundedPrintf(char* buffer, size_t size, const char* format, ...) {
  if (buffer == nullptr || size == 0) return -1;
  va_list args;
  va_start(args, format);
  const int needed = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (needed < 0) {
    buffer[0] = '\0';
    return -1;
  }
  if (static_cast<size_t>(needed) >= size) {
    buffer[size - 1] = '\0';
    return -1;
  }
  return needed;
}

void CutAtLineEnd(char* text) {
  if (text == nullptr) return;
  text[std::strcspn(text, "\r\n")] = '\0';
}

std::vector<std::string> SplitList(std::string_view text, char separator, bool unquote,
                                   bool keepEmpty) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  auto addPiece = [&](std::string_view raw) {
    std::string piece(raw);
    TrimSpaces(piece);
    if (unquote) piece = Unquote(piece);
    if (!piece.empty() || keepEmpty) pieces.push_back(std::move(piece));
  };
  bool inQuotes = false;
  size_t pieceStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      inQuotes = !inQuotes;
    } else if (text[i] == separator && !inQuotes) {
      addPiece(text.substr(pieceStart, i - pieceStart));
      pieceStart = i + 1;
    }
  }
  addPiece(text.substr(pieceStart));
  return pieces;
}

std::string Unquote(std::string_view text) {
  const size_t first = text.find('"');
  if (first == std::string_view::npos) return std::string(text);
  const size_t last = text.rfind('"');
  if (first != last) return std::string(text.substr(first + 1, last - first - 1));
  const std::string_view before = text.substr(0, first);
  const std::string_view after = text.substr(first + 1);
  return std::string(before.size() > after.size() ? before : after);
}
