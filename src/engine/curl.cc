#include "engine/curl.h"

#include <curl/curl.h>

#include <mutex>

namespace {

// Longest sleep between two looks at a transfer; the library's own timers and an
// abort's wake-up end it earlier.
constexpr int kPollMs = 1000;

// Response bodies are not used: report every byte as consumed.
size_t DiscardBody(char* /*data*/, size_t size, size_t count, void* /*user*/) {
  return size * count;
}

// Failures in which the target never answered: it may answer a later try.
bool IsNoAnswerCode(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return true;
    default:
      return false;
  }
}

// The result of the one transfer that has just finished.
CURLcode FinishedTransferCode(CURLM* multi) {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE) return message->data.result;
  }
  return CURLE_FAILED_INIT;
}

}  // namespace

// The library's global set-up is not thread-safe and must run once per process,
// before the first handle exists. TLS is initialised as well, so https URLs work.
void InitCurlLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

// A connection lost after the status line arrived counts as answered: the target
// has the request, and sending it again could repeat its effect.
FetchResult ClassifyTransfer(void* easy, int result) {
  const auto code = static_cast<CURLcode>(result);
  if (code == CURLE_OK) return FetchResult::kOk;
  if (code == CURLE_HTTP_RETURNED_ERROR) return FetchResult::kHttpError;
  if (code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL) {
    return FetchResult::kInvalidUrl;
  }
  if (AnswerStatus(easy) == 0 && IsNoAnswerCode(code)) return FetchResult::kNoAnswer;
  return FetchResult::kFailed;
}

int AnswerStatus(void* easy) {
  long status = 0;
  curl_easy_getinfo(static_cast<CURL*>(easy), CURLINFO_RESPONSE_CODE, &status);
  return static_cast<int>(status);
}

// A connected request that receives less than one byte a second for the
// no-answer time ends as timed out, the same as a target that never answers.
void SetRequestOptions(void* easy, const std::string& url, const TransferLimits& limits) {
  CURL* curl = static_cast<CURL*>(easy);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_DNS_CACHE_TIMEOUT, CCurl::kDnsCacheSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.nNoAnswerSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, CCurl::kTotalTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.nConnectSeconds));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, CCurl::kReceiveBufferBytes);
  curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 0L);
}

RequestFailure ClassifyFailure(FetchResult result, int curlCode) {
  if (result == FetchResult::kOk) return RequestFailure::kNone;
  switch (curlCode) {
    case CURLE_OPERATION_TIMEDOUT:
      return RequestFailure::kTimeout;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
      return RequestFailure::kConnect;
    case CURLE_HTTP_RETURNED_ERROR:
      return RequestFailure::kHttpStatus;
    default:
      return RequestFailure::kOther;
  }
}

void CFetchAbort::Abort() {
  CGrabSimpleMutex hold(&lock, "CFetchAbort::Abort");
  bAborted.store(true);
  if (pMulti != nullptr) curl_multi_wakeup(static_cast<CURLM*>(pMulti));
}

void CFetchAbort::Attach(void* multi) {
  CGrabSimpleMutex hold(&lock, "CFetchAbort::Attach");
  pMulti = multi;
}

void CCurl::EasyDeleter::operator()(void* handle) const {
  curl_easy_cleanup(static_cast<CURL*>(handle));
}

void CCurl::MultiDeleter::operator()(void* handle) const {
  curl_multi_cleanup(static_cast<CURLM*>(handle));
}

CCurl::CCurl(CFetchAbort* abort) : pAbort(abort) {
  InitCurlLibraryOnce();
  hMulti.reset(curl_multi_init());
  hCurl.reset(curl_easy_init());
  if (pAbort != nullptr) pAbort->Attach(hMulti.get());
}

CCurl::~CCurl() {
  if (pAbort != nullptr) pAbort->Attach(nullptr);
}

FetchResult CCurl::Perform(const std::string& url) {
  CURL* curl = static_cast<CURL*>(hCurl.get());
  CURLM* multi = static_cast<CURLM*>(hMulti.get());
  nLastResultCode = -1;
  nLastHttpStatus = 0;
  if (curl == nullptr || multi == nullptr) return FetchResult::kFailed;
  if (IsAborted()) return FetchResult::kAborted;
  SetRequestOptions(curl, url, TransferLimits{nConnectTimeout, kNoAnswerSeconds});
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) return FetchResult::kFailed;
  const std::optional<int> code = RunTransfer();
  // An aborted transfer must not wait for a host name lookup still running.
  if (!code) curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
  curl_multi_remove_handle(multi, curl);
  if (!code) return FetchResult::kAborted;
  RecordResult(*code);
  return ClassifyTransfer(curl, *code);
}

void CCurl::RecordResult(int code) {
  nLastResultCode = code;
  nLastHttpStatus = AnswerStatus(hCurl.get());
}

// The abort flag is looked at between the library's steps; Abort sets it before
// waking the poll, so a wake-up is never missed.
std::optional<int> CCurl::RunTransfer() {
  CURLM* multi = static_cast<CURLM*>(hMulti.get());
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) return CURLE_FAILED_INIT;
    if (running == 0) return FinishedTransferCode(multi);
    if (IsAborted()) return std::nullopt;
    if (curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr) != CURLM_OK) return CURLE_FAILED_INIT;
  }
}
