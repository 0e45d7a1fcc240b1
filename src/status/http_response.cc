#include "status/http_response.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "util/text_util.h"

namespace {

constexpr char kHeadFormat[] =
    "HTTP/1.1 %d %s\r\nDate: %s\r\nLast-Modified: %s\r\n"
    "Cache-Control: no-cache, must-revalidate\r\nEtag: \"%s\"\r\n"
    "Content-Type: %.*s\r\n%s%sConnection: %s\r\nAccept-Ranges: %s\r\n%s\r\n";

// A byte range of the body: first and last byte, both inclusive.
struct ByteRange {
  int64_t nFirst = 0;
  int64_t nLast = 0;
};

enum class RangeKind { kNone, kSatisfiable, kUnsatisfiable };

// The date in the fixed English form HTTP prescribes, computed from the count of
// seconds alone so that neither the time zone nor the locale can leak into it.
std::string HttpDate(int64_t seconds) {
  static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  using namespace std::chrono;
  const sys_seconds when{std::chrono::seconds{seconds}};
  const sys_days day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{when - day};
  char text[64];
  snprintf(text, sizeof(text), "%s, %02u %s %04d %02d:%02d:%02d GMT",
           kWeekdays[weekday{day}.c_encoding()], static_cast<unsigned>(date.day()),
           kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
           static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
           static_cast<int>(time.seconds().count()));
  return text;
}

// Reads one decimal number at `pos`; false when there is none.
bool ReadNumber(const std::string& text, size_t* pos, int64_t* value) {
  const size_t start = *pos;
  int64_t result = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9') {
    if (result > (INT64_MAX - 9) / 10) return false;
    result = result * 10 + (text[*pos] - '0');
    ++*pos;
  }
  *value = result;
  return *pos > start;
}

// Understands "bytes=a-b", "bytes=a-" and the suffix form "bytes=-n". Anything
// else (several ranges, garbage, b < a) is ignored and the whole body is sent.
RangeKind ParseRange(const std::string& header, int64_t length, ByteRange* range) {
  static constexpr char kPrefix[] = "bytes=";
  if (header.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0) return RangeKind::kNone;
  size_t pos = sizeof(kPrefix) - 1;
  int64_t first = 0;
  int64_t last = 0;
  const bool hasFirst = ReadNumber(header, &pos, &first);
  if (pos >= header.size() || header[pos] != '-') return RangeKind::kNone;
  ++pos;
  const bool hasLast = ReadNumber(header, &pos, &last);
  if (pos != header.size() || (!hasFirst && !hasLast)) return RangeKind::kNone;
  if (hasFirst && hasLast && last < first) return RangeKind::kNone;
  if (!hasFirst) {  // the last `last` bytes
    if (last == 0 || length == 0) return RangeKind::kUnsatisfiable;
    first = last >= length ? 0 : length - last;
    last = length - 1;
  } else if (!hasLast || last >= length) {
    last = length - 1;
  }
  if (first >= length) return RangeKind::kUnsatisfiable;
  range->nFirst = first;
  range->nLast = last;
  return RangeKind::kSatisfiable;
}

std::string ComposeHead(int status, const std::string& reason, const HttpReply& reply,
                        const HttpRequestFacts& request, const std::string& lengthLine,
                        const char* acceptRanges, const std::string& rangeLine) {
  const std::string date = HttpDate(request.nNow);
  const std::string etag =
      StringPrintf("%lx.%lx", static_cast<unsigned long>(request.nNow & 0xffffffff),
                   static_cast<unsigned long>(reply.strBody.size()));
  return StringPrintf(kHeadFormat, status, reason.c_str(), date.c_str(), date.c_str(), etag.c_str(),
                      static_cast<int>(reply.strContentType.size()), reply.strContentType.data(),
                      lengthLine.c_str(), reply.strExtraHeaders.c_str(),
                      request.bKeepAlive ? "Keep-Alive" : "close", acceptRanges, rangeLine.c_str());
}

std::string LengthLine(int64_t length) {
  return StringPrintf("Content-Length: %" PRId64 "\r\n", length);
}

}  // namespace

std::string ComposeHttpResponse(const HttpReply& reply, const HttpRequestFacts& request) {
  const int64_t length = static_cast<int64_t>(reply.strBody.size());
  ByteRange range;
  const RangeKind kind =
      request.strRange.empty() ? RangeKind::kNone : ParseRange(request.strRange, length, &range);

  if (kind == RangeKind::kUnsatisfiable) {
    return ComposeHead(416, "Range Not Satisfiable", reply, request, LengthLine(0), "bytes",
                       StringPrintf("Content-Range: bytes */%" PRId64 "\r\n", length));
  }
  if (kind == RangeKind::kSatisfiable) {
    const int64_t sliceLength = range.nLast - range.nFirst + 1;
    std::string response =
        ComposeHead(206, "Partial Content", reply, request, LengthLine(sliceLength), "bytes",
                    StringPrintf("Content-Range: bytes %" PRId64 "-%" PRId64 "/%" PRId64 "\r\n",
                                 range.nFirst, range.nLast, length));
    if (!request.bHead) response.append(reply.strBody, range.nFirst, sliceLength);
    return response;
  }
  const bool hasBody = length > 0;
  std::string response =
      ComposeHead(reply.nStatus, reply.strReason, reply, request,
                  hasBody ? LengthLine(length) : std::string(), hasBody ? "bytes" : "none", "");
  if (!request.bHead) response += reply.strBody;
  return response;
}

std::string EscapeHtml(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
        break;
    }
  }
  return escaped;
}
