// Composes the complete bytes of an HTTP response (head and body) for the pages
// the program serves itself. Pure: no I/O, any thread.
#ifndef QUILLRADE_STATUS_HTTP_RESPONSE_H_
#define QUILLRADE_STATUS_HTTP_RESPONSE_H_

#include <cstdint>
#include <string>
#include <string_view>

struct HttpReply {
  int nStatus = 200;
  std::string strReason = "OK";
  std::string strContentType = "text/html";
  std::string strBody;
  std::string strExtraHeaders;  // whole header lines, each ending in CR LF
};

struct HttpRequestFacts {
  bool bHead = false;       // the request method is HEAD: head only
  bool bKeepAlive = false;  // the server keeps the connection open afterwards
  std::string strRange;     // the "Range" request header, empty when absent
  int64_t nNow = 0;         // seconds since 1970: Date, Last-Modified and Etag
};

// The response bytes. A satisfiable "bytes=" range turns a 200 into 206 with only
// that slice; a range that starts past the body gives 416 with
// "Content-Range: bytes */<length>" and no body.
std::string ComposeHttpResponse(const HttpReply& reply, const HttpRequestFacts& request);

// "&", "<", ">" and "\"" as HTML entities, so network-supplied text shown on a page
// cannot inject markup.
std::string EscapeHtml(std::string_view text);

#endif  // QUILLRADE_STATUS_HTTP_RESPONSE_H_
