#include "status/url_mask.h"

#include <algorithm>
#include <array>

#include "util/text_util.h"

namespace {

// Query keys whose values are masked (compared in lower case, percent-decoded).
constexpr std::array<std::string_view, 14> kSecretKeys = {
    "password", "passwd", "pass", "pwd",          "key", "apikey",    "api_key",
    "token",    "secret", "auth", "access_token", "sig", "signature", "client_secret"};
// Endings that mark a key as secret too ("refresh_token", "app_secret").
constexpr std::array<std::string_view, 5> kSecretKeyEndings = {"_token", "_secret", "_key",
                                                               "_password", "_pass"};

bool IsSecretKey(std::string_view rawKey) {
  // "Password ", "api-key" and "API_KEY" name the same secret.
  std::string key = ToLowerAscii(UrlDecode(rawKey, true));
  TrimSpaces(key);
  std::replace(key.begin(), key.end(), '-', '_');
  for (std::string_view secret : kSecretKeys) {
    if (key == secret) return true;
  }
  for (std::string_view ending : kSecretKeyEndings) {
    if (key.size() > ending.size() && key.ends_with(ending)) return true;
  }
  return false;
}

// Masks the user information of the authority that starts at `start`.
void MaskUserInfo(std::string& url, size_t start) {
  const size_t end = url.find_first_of("/?#", start);
  const size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < start) return;
  const size_t colon = url.find(':', start);
  const size_t from = colon != std::string::npos && colon < at ? colon + 1 : start;
  url.replace(from, at - from, kMaskedCredential);
}

// The query (between "?" and "#") with the values of secret keys masked. Pairs
// are separated by "&" or, as some servers take them, ";".
std::string MaskQuery(std::string_view query) {
  std::string masked;
  for (size_t pos = 0; pos <= query.size();) {
    size_t next = query.find_first_of("&;", pos);
    if (next == std::string_view::npos) next = query.size();
    const std::string_view pair = query.substr(pos, next - pos);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && equals + 1 < pair.size() &&
        IsSecretKey(pair.substr(0, equals))) {
      masked.append(pair.substr(0, equals + 1)).append(kMaskedCredential);
    } else {
      masked.append(pair);
    }
    if (next < query.size()) masked += query[next];
    pos = next + 1;
  }
  return masked;
}

}  // namespace

std::string MaskUrlCredentials(std::string_view url) {
  std::string masked(url);
  const size_t scheme = masked.find("://");
  const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
  if (scheme != std::string::npos) MaskUserInfo(masked, authority);
  const size_t question = masked.find('?', authority);
  if (question == std::string::npos) return masked;
  size_t end = masked.find('#', question);
  if (end == std::string::npos) end = masked.size();
  const std::string query =
      MaskQuery(std::string_view(masked).substr(question + 1, end - question - 1));
  masked.replace(question + 1, end - question - 1, query);
  return masked;
}
