#include "util/crash_format.h"

#include <cstdint>

#include "platform/crash_system.h"

namespace {

struct Spec {
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

const char* ParseSpec(const char* p, Spec* spec) {
  for (;; ++p) {
    if (*p == '-') spec->bLeft = true;
    else if (*p == '0') spec->bZero = true;
    else break;
  }
  for (; *p >= '0' && *p <= '9'; ++p) spec->nWidth = spec->nWidth * 10 + (*p - '0');
  for (; *p == 'l' || *p == 'z'; ++p) spec->nLength += *p == 'z' ? 2 : 1;
  spec->cType = *p;
  return p;
}

// Places `text` of `length` in the field: padded left or right, zeros after a sign.
void PutField(CBoundedText* out, const Spec& spec, const char* text, int length, bool negative) {
  const int used = length + (negative ? 1 : 0);
  const int pad = spec.nWidth > used ? spec.nWidth - used : 0;
  if (!spec.bLeft && !spec.bZero) out->Repeat(' ', pad);
  if (negative) out->Put('-');
  if (!spec.bLeft && spec.bZero) out->Repeat('0', pad);
  for (int i = 0; i < length; ++i) out->Put(text[i]);
  if (spec.bLeft) out->Repeat(' ', pad);
}

void PutNumber(CBoundedText* out, const Spec& spec, uint64_t value, bool negative) {
  const unsigned base = spec.cType == 'x' || spec.cType == 'X' ? 16 : 10;
  const char* digits = spec.cType == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
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
  PutField(out, spec, text, length, negative);
}

void PutSigned(CBoundedText* out, const Spec& spec, va_list* args) {
  const int64_t value = spec.nLength > 0 ? va_arg(*args, long) : va_arg(*args, int);
  const uint64_t magnitude = value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  PutNumber(out, spec, magnitude, value < 0);
}

void PutUnsigned(CBoundedText* out, const Spec& spec, va_list* args) {
  const uint64_t value = spec.nLength > 0 ? va_arg(*args, unsigned long) : va_arg(*args, unsigned);
  PutNumber(out, spec, value, false);
}

void PutString(CBoundedText* out, const Spec& spec, const char* text) {
  if (text == nullptr) text = "(null)";
  int length = 0;
  while (text[length] != '\0') ++length;
  Spec plain = spec;
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
    Spec spec;
    p = ParseSpec(p + 1, &spec);
    switch (spec.cType) {
      case 'd': case 'i': PutSigned(&out, spec, &copy); break;
      case 'u': case 'x': case 'X': PutUnsigned(&out, spec, &copy); break;
      case 's': PutString(&out, spec, va_arg(copy, const char*)); break;
      case 'c': out.Put(static_cast<char>(va_arg(copy, int))); break;
      case '%': out.Put('%'); break;
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
