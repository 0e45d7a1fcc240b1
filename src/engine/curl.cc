#include "engine/curl.h"

#include <curl/curl.h>

#include <mutex>

namespace {

// The library's global set-up is not thread-safe and must run once per process,
// before the first handle exists. TLS is initialised as well, so https URLs work.
void InitCurlLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

// Response bodies are not used: report every byte as consumed.
size_t DiscardBody(char* /*data*/, size_t size, size_t count, void* /*user*/) {
  return size * count;
}

}  // namespace

void CCurl::HandleDeleter::operator()(void* handle) const {
  curl_easy_cleanup(static_cast<CURL*>(handle));
}

CCurl::CCurl() {
  InitCurlLibraryOnce();
  hCurl.reset(curl_easy_init());
}

CCurl::~CCurl() = default;

bool CCurl::Fetch(const std::string& url) {
  CURL* curl = static_cast<CURL*>(hCurl.get());
  if (curl == nullptr) return false;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_DNS_CACHE_TIMEOUT, kDnsCacheSeconds);
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, kServerResponseTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTotalTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(nConnectTimeout));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  return curl_easy_perform(curl) == CURLE_OK;
}
