#include "status/access_token.h"

#include <cstdint>

#include "util/text_util.h"

namespace {

constexpr std::string_view kQueryName = "token=";

// The value of one base64 digit; -1 for a byte that is none.
int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes until the first byte that is no base64 digit ("=" padding ends it).
std::string DecodeBase64(std::string_view text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int digit = Base64Digit(c);
    if (digit < 0) break;
    bits = (bits << 6) | static_cast<uint32_t>(digit);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

// The rest of `header` after `scheme` and the spaces that follow it; false when
// the header does not start with the scheme.
bool AfterScheme(std::string_view header, std::string_view scheme, std::string_view* rest) {
  if (header.size() <= scheme.size() || header[scheme.size()] != ' ' ||
      !EqualsIgnoringAsciiCase(header.substr(0, scheme.size()), scheme)) {
    return false;
  }
  const size_t start = header.find_first_not_of(' ', scheme.size());
  *rest = start == std::string_view::npos ? std::string_view() : header.substr(start);
  return true;
}

}  // namespace

bool AccessTokenMatches(std::string_view given, std::string_view token) {
  if (token.empty()) return false;
  // Every byte of `given` is compared with a byte of the token, whatever came
  // before: no early end.
  unsigned difference = given.size() == token.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i) {
    difference |=
        static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(token[i % token.size()]);
  }
  return difference == 0;
}

std::string CredentialOfAuthorization(std::string_view header) {
  std::string_view rest;
  if (AfterScheme(header, "Bearer", &rest)) return std::string(rest);
  if (!AfterScheme(header, "Basic", &rest)) return std::string();
  const std::string pair = DecodeBase64(rest);
  const size_t colon = pair.find(':');
  return colon == std::string::npos ? std::string() : pair.substr(colon + 1);
}

bool CutQueryToken(std::string& query, std::string_view token) {
  const std::string_view text = query;
  if (text.starts_with(kQueryName)) {
    const size_t end = text.find('&');
    const std::string_view given = text.substr(kQueryName.size(), end - kQueryName.size());
    if (AccessTokenMatches(given, token)) {
      query.erase(0, end == std::string::npos ? query.size() : end + 1);
      return true;
    }
  }
  const size_t start = text.rfind(std::string("&") + std::string(kQueryName));
  if (start == std::string::npos) return false;
  if (!AccessTokenMatches(text.substr(start + 1 + kQueryName.size()), token)) return false;
  query.erase(start);
  return true;
}
