#include "platform/text_codepage.h"

#include "platform/win_handle.h"

namespace {

// The code pages documents in this program's world declare. ISO 8859 and the
// Unicode forms are left out: the XML reader has its own converters for them.
constexpr CodePageEncoding kEncodings[] = {
    {"windows-1250", "cp1250", 1250},
    {"windows-1251", "cp1251", 1251},
    {"windows-1252", "cp1252", 1252},
    {"windows-1253", "cp1253", 1253},
    {"windows-1254", "cp1254", 1254},
    {"windows-1255", "cp1255", 1255},
    {"windows-1256", "cp1256", 1256},
    {"windows-1257", "cp1257", 1257},
    {"windows-1258", "cp1258", 1258},
    {"windows-874", "cp874", 874},
    {"ibm437", "cp437", 437},
    {"ibm850", "cp850", 850},
    {"ibm852", "cp852", 852},
    {"ibm866", "cp866", 866},
    {"koi8-r", nullptr, 20866},
    {"koi8-u", nullptr, 21866},
    {"macintosh", "x-mac-roman", 10000},
    {"shift_jis", "cp932", 932},
    {"gbk", "cp936", 936},
    {"gb2312", nullptr, 936},
    {"euc-kr", "cp949", 949},
    {"big5", "cp950", 950},
    {"euc-jp", nullptr, 20932},
};

// Length of the UTF-8 sequence a lead byte starts; 1 for a stray byte, which
// the conversion then refuses.
size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// Bytes of `in` that form whole characters of the code page.
size_t WholeCharacters(unsigned codePage, std::string_view in) {
  size_t at = 0;
  while (at < in.size()) {
    const size_t length = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(in[at])) ? 2 : 1;
    if (at + length > in.size()) break;
    at += length;
  }
  return at;
}

// One conversion of a whole piece through UTF-16; false when the system refuses.
bool ConvertPiece(UINT from, UINT to, std::string_view in, std::string* out) {
  if (in.empty()) return true;
  const int inLength = static_cast<int>(in.size());
  const int wideLength =
      MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), inLength, nullptr, 0);
  if (wideLength <= 0) return false;
  std::wstring wide(static_cast<size_t>(wideLength), L'\0');
  MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), inLength, wide.data(), wideLength);
  BOOL usedDefault = FALSE;
  BOOL* check = to == CP_UTF8 ? nullptr : &usedDefault;
  const DWORD flags = to == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int length =
      WideCharToMultiByte(to, flags, wide.data(), wideLength, nullptr, 0, nullptr, check);
  if (length <= 0 || usedDefault) return false;
  const size_t start = out->size();
  out->resize(start + static_cast<size_t>(length));
  WideCharToMultiByte(to, flags, wide.data(), wideLength, out->data() + start, length, nullptr,
                      nullptr);
  return true;
}

}  // namespace

std::vector<CodePageEncoding> SystemCodePageEncodings() {
  std::vector<CodePageEncoding> available;
  for (const CodePageEncoding& encoding : kEncodings) {
    if (IsValidCodePage(encoding.nCodePage)) available.push_back(encoding);
  }
  return available;
}

// Whole pieces convert at once; only a refused piece is walked character by
// character to find where the refusal starts.
bool CodePageToUtf8(unsigned codePage, std::string_view in, size_t* consumed, std::string* out) {
  const size_t whole = WholeCharacters(codePage, in);
  *consumed = 0;
  if (ConvertPiece(codePage, CP_UTF8, in.substr(0, whole), out)) {
    *consumed = whole;
    return true;
  }
  while (*consumed < whole) {
    const size_t length = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(in[*consumed])) ? 2 : 1;
    if (!ConvertPiece(codePage, CP_UTF8, in.substr(*consumed, length), out)) return false;
    *consumed += length;
  }
  return true;
}

bool Utf8ToCodePage(unsigned codePage, std::string_view in, size_t* consumed, std::string* out) {
  *consumed = 0;
  while (*consumed < in.size()) {
    const size_t length = Utf8SequenceLength(static_cast<unsigned char>(in[*consumed]));
    if (*consumed + length > in.size()) return true;  // the rest comes with the next call
    if (!ConvertPiece(CP_UTF8, codePage, in.substr(*consumed, length), out)) return false;
    *consumed += length;
  }
  return true;
}
