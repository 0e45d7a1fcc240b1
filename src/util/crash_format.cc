#include "util/crash_format.h"

#include <cstdint>

#include "platform/crash_system.h"

namespace {

struct Conversion {
  bool bLeft = false;
  bool bZero = false;
  int nWidth = 0;
  int nLength = 0;  // count of 'l' (a 'z' counts as 2)
  char cType = 0;
};

// Appends to a bounded buffer, counting what fits.
class CBoundedText {
 public:
  CBoundedText(char* buffer, size_t capacity) : pBuffer(buffer), nCapacity(capacity) {}
  void Put(char c) {
    if (nLength + 1 < nCapacity) pBuffer[nLength++] = c;
  }
  void Repeat(char c, int count) {
    for (int i = 0; i < count; ++i) Put(c);
  }
  size_t Finish() {
    if (nCapacity > 0) pBuffer[nLength] = '\0';
    return nLength;
  }

 private:
  char* pBuffer;
  size_t nCapacity;
  size_t nLength = 0;
};

const char* ParseConversion(const char* p, Conversion* conversion) {
  for (;; ++p) {
    if (*p == '-')
      conversion->bLeft = true;
    else if (*p == '0')
      conversion->bZero = true;
    else
      break;
  }
  for (; *p >= '0' && *p <= '9'; ++p) conversion->nWidth = conversion->nWidth * 10 + (*p - '0');
  for (; *p == 'l' || *p == 'z'; ++p) conversion->nLength += *p == 'z' ? 2 : 1;
  conversion->cType = *p;
  return p;
}

// Places `text` of `length` in the field: padded left or right, zeros after a sign.
void PutField(CBoundedText* out, const Conversion& conversion, const char* text, int length,
              bool negative) {
  const int used = length + (negative ? 1 : 0);
  const int pad = conversion.nWidth > used ? conversion.nWidth - used : 0;
  if (!conversion.bLeft && !conversion.bZero) out->Repeat(' ', pad);
  if (negative) out->Put('-');
  if (!conversion.bLeft && conversion.bZero) out->Repeat('0', pad);
  for (int i = 0; i < length; ++i) out->Put(text[i]);
  if (conversion.bLeft) out->Repeat(' ', pad);
}

void PutNumber(CBoundedText* out, const Conversion& conversion, uint64_t value, bool negative) {
  const unsigned base = conversion.cType == 'x' || conversion.cType == 'X' ? 16 : 10;
  const char* digits = conversion.cType == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[24];
  int length = 0;
  do {
    text[length++] = digits[value % base];
    value /= base;
  } while (value != 0);
  for (int i = 0; i < length / 2; ++i) {
    const char c = text[i];
    text[i] = text[length - 1 - i];
    text[length - 1 - i] = c;
  }
  PutField(out, conversion, text, length, negative);
}

void PutSigned(CBoundedText* out, const Conversion& conversion, va_list* args) {
  // "l" is 32 bits wide on Windows, 64 on Linux; "ll" and "z" are 64 on both.
  const int64_t value = conversion.nLength >= 2   ? va_arg(*args, long long)
                        : conversion.nLength == 1 ? va_arg(*args, long)
                                                  : va_arg(*args, int);
  const uint64_t magnitude =
      value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  PutNumber(out, conversion, magnitude, value < 0);
}

void PutUnsigned(CBoundedText* out, const Conversion& conversion, va_list* args) {
  const uint64_t value = conversion.nLength >= 2   ? va_arg(*args, unsigned long long)
                         : conversion.nLength == 1 ? va_arg(*args, unsigned long)
                                                   : va_arg(*args, unsigned);
  PutNumber(out, conversion, value, false);
}

void PutString(CBoundedText* out, const Conversion& conversion, const char* text) {
  if (text == nullptr) text = "(null)";
  int length = 0;
  while (text[length] != '\0') ++length;
  Conversion plain = conversion;
  plain.bZero = false;
  PutField(out, plain, text, length, false);
}

}  // namespace

size_t CrashFormatV(char* buffer, size_t capacity, const char* format, va_list args) {
  CBoundedText out(buffer, capacity);
  va_list copy;
  va_copy(copy, args);
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    const char* start = p;
    Conversion conversion;
    p = ParseConversion(p + 1, &conversion);
    switch (conversion.cType) {
      case 'd':
      case 'i':
        PutSigned(&out, conversion, &copy);
        break;
      case 'u':
      case 'x':
      case 'X':
        PutUnsigned(&out, conversion, &copy);
        break;
      case 's':
        PutString(&out, conversion, va_arg(copy, const char*));
        break;
      case 'c':
        out.Put(static_cast<char>(va_arg(copy, int)));
        break;
      case '%':
        out.Put('%');
        break;
      default:  // unknown conversion: shown as written
        for (const char* q = start; q <= p && *q != '\0'; ++q) out.Put(*q);
        if (*p == '\0') --p;
    }
  }
  va_end(copy);
  return out.Finish();
}

size_t CrashFormat(char* buffer, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t length = CrashFormatV(buffer, capacity, format, args);
  va_end(args);
  return length;
}

void CCrashTextWriter::Begin(int fd) {
  nFd = fd;
  nPending = 0;
  bFailed = false;
}

void CCrashTextWriter::Printf(const char* format, ...) {
  if (nPending > kCrashFlushThreshold) Flush();
  va_list args;
  va_start(args, format);
  nPending += CrashFormatV(szBuffer + nPending, kCrashPieceSize, format, args);
  va_end(args);
}

bool CCrashTextWriter::Flush() {
  if (nPending > 0 && !CrashWriteFile(nFd, szBuffer, nPending)) bFailed = true;
  nPending = 0;
  return !bFailed;
}
