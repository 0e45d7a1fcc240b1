#include "status/http_server.h"

#include <civetweb.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/tcp_socket.h"
#include "runtime/simple_thread.h"
#include "status/access_token.h"
#include "status/delivery_health.h"
#include "status/http_response.h"
#include "status/log_output.h"
#include "status/metrics_text.h"
#include "status/status_board.h"
#include "status/status_json.h"
#include "status/task_page.h"
#include "util/parameter_list.h"
#include "util/text_util.h"
#include "util/version.h"

std::atomic<int> g_httpPort{0};

namespace {

constexpr char kAuthenticationDomain[] = "Corvane";
// What a request without the access token gets: the realm makes a browser ask
// for it (as the password, any user name).
constexpr char kAuthenticateHeader[] = "WWW-Authenticate: Basic realm=\"Quillrade\"\r\n";
constexpr char kRefusedBody[] = "access token required\n";
// Reserved up front so the page is built without regrowing.
constexpr size_t kStatusPageReserve = 524288;
constexpr size_t kConfirmationReserve = 1024;
constexpr char kPlainText[] = "text/plain; charset=utf-8";
constexpr char kJsonContentType[] = "application/json";
// Worker threads serving requests. A worker serves one connection at a time, an
// idle one too until the request timeout, and the library cannot refuse a
// connection before it reads a request. So idle connections are ended soon
// rather than outnumbered: with the short request timeout below, 128 workers
// answer the page and pushes within milliseconds while 300 to 700 idle
// connections are held open and reopened at once (bench/status_idle.py), at
// about 12 KB of resident memory a worker. Set explicitly: library builds differ
// in their default.
constexpr char kWorkerThreads[] = "128";
// Longest time for a request to arrive whole: ends idle connections and clients
// that send byte by byte, and frees their workers. An ordinary client sends its
// request with the connection's first packet; answers are not cut by it (a
// client reading 100 KB at 100 KB/s takes the whole of them).
constexpr char kRequestTimeoutMs[] = "500";
// Connections are closed after each answer (keep-alive stays off); should a
// client still keep one open, it gets no longer than this to send the next
// request. Closing does not linger, so no worker waits on a client that does not
// read its answer.
constexpr char kKeepAliveTimeoutMs[] = "500";
// Pace of the connections that wake the listening thread during Stop.
constexpr int kWakeIntervalMs = 20;

// Push paths fold the four Latin-1 capitals too (the text utilities' folding
// table), so a section named with one of them is reachable in either case.
bool SamePushPath(std::string_view uri, std::string_view path) {
  return uri.size() == path.size() && FindNoCase(uri, path) == 0;
}

// The request's path, decoded (the library is told to leave it as sent); empty
// when it has none.
std::string DecodedPath(const mg_request_info* info) {
  return info->local_uri != nullptr ? UrlDecode(info->local_uri, false) : std::string();
}

// Worker and master threads serve only the status channel: keep them out of the
// way of the main thread's work.
void* OnInitThread(const mg_context*, int) {
  SetCurrentThreadPriority(kThreadPriorityIdle);
  return nullptr;
}

// Connects to the listening port every interval until stopped (see Stop).
class CListenerWaker : public CSimpleThreadHandler {
 public:
  explicit CListenerWaker(int port) : nPort(port) {}
  void Run(CSimpleThread* thread) override {
    do {
      PokeLoopbackPort(nPort, kWakeIntervalMs);
    } while (thread->Wait(kWakeIntervalMs));
  }

 private:
  const int nPort;
};

// Whether the library keeps the connection open after this request: only when
// keep-alive is enabled in its options and the client asked for (or, with
// HTTP/1.1, did not refuse) a persistent connection.
bool LibraryKeepsAlive(const mg_connection* connection) {
  const char* option = mg_get_option(mg_get_context(connection), "enable_keep_alive");
  if (option == nullptr || std::string_view(option) != "yes") return false;
  const mg_request_info* info = mg_get_request_info(connection);
  const char* header = mg_get_header(connection, "Connection");
  if (header != nullptr) return EqualsIgnoringAsciiCase(header, "keep-alive");
  return info->http_version != nullptr && std::string_view(info->http_version) == "1.1";
}

}  // namespace

void CStopHttpContext::operator()(mg_context* context) const { mg_stop(context); }

CHttpServer::CHttpServer() : nCreated(GetUnixTime()) {
  lock.SetName("CHttpServer::lock");
  pageLock.SetName("CHttpServer::page");
  tokenLock.SetName("CHttpServer::token");
}

CHttpServer::~CHttpServer() { Stop(); }

void CHttpServer::SetListenSettings(const std::string& listenAddress,
                                    const std::string& accessList) {
  strListenAddress = listenAddress;
  strAccessList = accessList;
}

void CHttpServer::Start(int firstPort, int portCount) {
  mg_callbacks callbacks{};
  callbacks.begin_request = &CHttpServer::OnBeginRequest;
  callbacks.init_thread = &OnInitThread;
  callbacks.connection_close = &CHttpServer::OnConnectionClose;
  char error[256] = "";
  mg_error_data errorData{nullptr, error, sizeof(error)};
  for (int i = 0; i < portCount && context == nullptr; ++i) {
    const std::string port = StringPrintf("%d", firstPort + i);
    const std::string listening = strListenAddress.empty() ? port : strListenAddress + ":" + port;
    std::vector<const char*> options = ServerOptions(listening);
    mg_init_data init{&callbacks, this, options.data()};
    context.reset(mg_start2(&init, &errorData));
    if (context != nullptr) {
      nPort = firstPort + i;
      g_httpPort = nPort.load();
    }
  }
  strStartError = context == nullptr ? error : "";
}

// No document root: the server never serves, lists, writes or runs anything
// from disk, so a request that names neither "/" nor a push path gets the
// library's "not found" whatever folders exist. The file features are switched
// off as well, so that no later default can bring them back: no directory
// listing, no CGI or server-side includes, no index files.
std::vector<const char*> CHttpServer::ServerOptions(const std::string& listening) const {
  std::vector<const char*> options = {"listening_ports",
                                      listening.c_str(),
                                      "authentication_domain",
                                      kAuthenticationDomain,
                                      "num_threads",
                                      kWorkerThreads,
                                      "request_timeout_ms",
                                      kRequestTimeoutMs,
                                      "keep_alive_timeout_ms",
                                      kKeepAliveTimeoutMs,
                                      "enable_directory_listing",
                                      "no",
                                      "decode_url",
                                      "no",
                                      "cgi_pattern",
                                      "",
                                      "ssi_pattern",
                                      "",
                                      "index_files",
                                      ""};
  if (!strAccessList.empty()) {
    options.push_back("access_control_list");
    options.push_back(strAccessList.c_str());
  }
  options.push_back(nullptr);
  return options;
}

void CHttpServer::RequestStop() { bStopRequested = true; }

// The library's listening thread notices the stop only between connections (it
// polls in 2-second steps), so connections are made to it until it has gone:
// a stop then takes milliseconds instead of up to two seconds.
void CHttpServer::Stop() {
  if (context == nullptr) return;
  bStopRequested = true;
  CListenerWaker wakeListener(nPort.load());
  CSimpleThread waker;
  waker.SetName("CHttpServer::waker");
  waker.SetHandler(&wakeListener);
  waker.Start();
  context.reset();
  waker.Stop();
}

void CHttpServer::SetConfigPath(const std::string& path) {
  CGrabSimpleCritSec grab(&pageLock, "SetConfigPath");
  strConfigPath = path;
}

void CHttpServer::RegisterPushTarget(IPushTarget* target) {
  CGrabSimpleMutex grab(&lock, "RegisterPushTarget");
  targets.push_back(target);
}

void CHttpServer::LockTargets() { lock.LockEntry("LockTargets"); }
void CHttpServer::UnlockTargets() { lock.UnlockEntry(); }

void CHttpServer::ClearTargets() {
  CGrabSimpleMutex grab(&lock, "ClearTargets");
  ClearTargetsLocked();
}

void CHttpServer::ClearTargetsLocked() { targets.clear(); }

void CHttpServer::SetAccessToken(const std::string& token) {
  CGrabSimpleCritSec grab(&tokenLock, "SetAccessToken");
  strAccessToken = token;
}

std::string CHttpServer::AccessToken() const {
  CGrabSimpleCritSec grab(&tokenLock, "AccessToken");
  return strAccessToken;
}

bool CHttpServer::MayShowDetails(const mg_connection* connection) const {
  const std::string token = AccessToken();
  if (token.empty()) return true;
  const char* query = mg_get_request_info(connection)->query_string;
  std::string rawQuery = query ? query : "";
  AccessRefusal cause;
  return CarriesToken(connection, token, rawQuery, &cause);
}

void CHttpServer::FlushRefusalLog() { refusalLog.Flush(GetMonotonicMilliseconds()); }

int CHttpServer::OnBeginRequest(mg_connection* connection) {
  const mg_request_info* info = mg_get_request_info(connection);
  auto* server = static_cast<CHttpServer*>(info->user_data);
  return server->HandleRequest(connection);
}

// Returns non-zero when the program answered the request itself.
int CHttpServer::HandleRequest(mg_connection* connection) {
  if (bStopRequested) return 0;
  const mg_request_info* info = mg_get_request_info(connection);
  if (const int refused = RefuseRequest(connection, info); refused != 0) return refused;
  const std::string uri = DecodedPath(info);
  std::string query = info->query_string ? info->query_string : "";
  const bool open =
      std::find(std::begin(kOpenPaths), std::end(kOpenPaths), uri) != std::end(kOpenPaths);
  if (!open && !Admit(connection, uri, query)) return 401;
  if (uri == "/") {
    if (pBoard != nullptr) pBoard->CountStatusRequest(0);
    SendStatusPage(connection);
    return 200;
  }
  if (ServeBoardPath(connection, uri)) return 200;
  CGrabSimpleMutex grab(&lock, "HandleRequest");
  return HandlePush(connection, uri, query) ? 200 : 0;
}

bool CHttpServer::Admit(mg_connection* connection, const std::string& uri, std::string& query) {
  const std::string token = AccessToken();
  if (token.empty()) return true;
  AccessRefusal cause;
  if (CarriesToken(connection, token, query, &cause)) return true;
  if (pBoard != nullptr) pBoard->CountRefusedRequest(cause);
  refusalLog.Refused(RequestLabel(uri), mg_get_request_info(connection)->remote_addr,
                     GetMonotonicMilliseconds());
  SendReply(connection, 401, "Unauthorized", kRefusedBody, kPlainText, kAuthenticateHeader);
  return false;
}

// Both forms are looked at every time, so the query loses a valid token part
// even when the header alone would have done.
bool CHttpServer::CarriesToken(const mg_connection* connection, const std::string& token,
                               std::string& query, AccessRefusal* cause) const {
  const char* header = mg_get_header(connection, "Authorization");
  const bool inQuery = CutQueryToken(query, token);
  const bool inHeader =
      header != nullptr && AccessTokenMatches(CredentialOfAuthorization(header), token);
  if (inQuery || inHeader) return true;
  const bool offered = header != nullptr || query.starts_with("token=") ||
                       query.find("&token=") != std::string::npos;
  *cause = offered ? AccessRefusal::kWrongToken : AccessRefusal::kMissingToken;
  return false;
}

std::string CHttpServer::RequestLabel(const std::string& uri) {
  CGrabSimpleMutex grab(&lock, "RequestLabel");
  for (IPushTarget* target : targets) {
    if (SamePushPath(uri, target->PushPath())) return "HTTP push " + target->PushPath();
  }
  return "HTTP request " + uri;
}

int CHttpServer::RefuseRequest(mg_connection* connection, const mg_request_info* info) {
  // The path arrives undecoded, so a NUL byte shows before decoding would end
  // the path there ("/status.json%00.html" is not "/status.json").
  if (std::string_view(info->local_uri).find("%00") != std::string_view::npos) {
    SendReply(connection, 404, "Not Found", "not found\n", kPlainText);
    return 404;
  }
  const std::string uri = DecodedPath(info);
  const std::string_view method = info->request_method != nullptr ? info->request_method : "";
  const bool statusPath = pBoard != nullptr ? std::find(kStatusPaths.begin(), kStatusPaths.end(),
                                                        uri) != kStatusPaths.end()
                                            : uri == "/";
  if (statusPath && method != "GET" && method != "HEAD") {
    SendReply(connection, 405, "Method Not Allowed", "only GET and HEAD\n", kPlainText,
              "Allow: GET, HEAD\r\n");
    return 405;
  }
  return 0;
}

// The library closes a request whose target is no path of this server (the
// absolute form, "*") without a word and without asking us: say why here.
void CHttpServer::OnConnectionClose(const mg_connection* connection) {
  const mg_request_info* info = mg_get_request_info(connection);
  if (info == nullptr || info->request_method == nullptr || info->request_uri == nullptr ||
      info->local_uri != nullptr) {
    return;
  }
  static constexpr char kBadTarget[] =
      "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Length: 27\r\nConnection: close\r\n\r\nnot a path of this server\r\n";
  mg_write(const_cast<mg_connection*>(connection), kBadTarget, sizeof(kBadTarget) - 1);
}

void CHttpServer::SendStatusPage(mg_connection* connection) {
  std::string body;
  body.reserve(kStatusPageReserve);
  body += "<html>\n<meta http-equiv=\"refresh\" content=\"2\"><body>\n";
  body += StringPrintf("Quillrade Service HTTP server by Hollend<BR>Version %s<BR><BR>\n",
                       kQuillradeVersion);
  {
    CGrabSimpleCritSec grab(&pageLock, "SendStatusPage");
    body += StringPrintf("Config file: %s<BR><BR>\n", strConfigPath.c_str());
  }
  body += StringPrintf(
      "Last %i log lines displayed below. This page refreshes every 2 seconds.<BR><BR>\n",
      static_cast<int>(g_logOutput.SlotCount()));
  body += "<PRE>";
  for (const std::string& text : g_logOutput.RecentTexts()) body += EscapeHtml(text);
  body += "</body>\n</html>\n";
  SendReply(connection, 200, "OK", std::move(body));
}

bool CHttpServer::ServeBoardPath(mg_connection* connection, const std::string& uri) {
  if (pBoard == nullptr) return false;
  const auto path = std::find(kStatusPaths.begin() + 1, kStatusPaths.end(), uri);
  if (path == kStatusPaths.end()) return false;
  pBoard->CountStatusRequest(static_cast<size_t>(path - kStatusPaths.begin()));
  if (uri == "/health") {
    if (pBoard->IsPassing()) {
      SendReply(connection, 200, "OK", "OK\n", kPlainText);
    } else {
      SendReply(connection, 503, "Service Unavailable",
                "held up: the main thread has not completed a pass lately\n", kPlainText);
    }
    return true;
  }
  const StatusSnapshot snapshot = pBoard->Snapshot();
  if (uri == "/health/delivery") {
    SendDeliveryHealth(connection, snapshot);
  } else if (uri == "/metrics") {
    SendReply(connection, 200, "OK", RenderMetricsText(snapshot), kMetricsContentType);
  } else if (uri == "/status.json") {
    SendReply(connection, 200, "OK", RenderStatusJson(snapshot), kJsonContentType);
  } else {
    SendReply(connection, 200, "OK", RenderTaskPage(snapshot), "text/html; charset=utf-8");
  }
  return true;
}

// Open like /health, so without the token only the verdict shows: the failing
// slots' URLs and labels are for those who may see /tasks.
void CHttpServer::SendDeliveryHealth(mg_connection* connection, const StatusSnapshot& snapshot) {
  const std::string failures = DeliveryFailures(snapshot);
  const bool details = MayShowDetails(connection);
  if (failures.empty()) {
    SendReply(connection, 200, "OK", "OK\n", kPlainText);
  } else {
    SendReply(connection, 503, "Service Unavailable", details ? failures : "FAILING\n", kPlainText);
  }
}

bool CHttpServer::HandlePush(mg_connection* connection, const std::string& uri,
                             const std::string& rawQuery) {
  for (IPushTarget* target : targets) {
    if (!SamePushPath(uri, target->PushPath())) continue;
    const std::string value = UrlDecode(GetParameterText(rawQuery, "set"), true);
    if (!target->ReceivePush(value)) {
      SendReply(connection, 503, "Service Unavailable",
                StringPrintf("<html><body>\n%s queue full, text dropped<br>\n</body>\n</html>\n",
                             EscapeHtml(target->PushPath()).c_str()));
      return true;
    }
    std::string body;
    body.reserve(kConfirmationReserve);
    body += "<html><body>\n";
    body += StringPrintf("%s query received:<br>\n%s<br>\n", target->PushPath().c_str(),
                         EscapeHtml(rawQuery).c_str());
    body += "</body>\n</html>\n";
    SendReply(connection, 200, "OK", std::move(body));
    return true;
  }
  return false;
}

void CHttpServer::SendReply(mg_connection* connection, int status, const char* reason,
                            std::string body, const char* contentType, std::string extraHeaders) {
  const mg_request_info* info = mg_get_request_info(connection);
  HttpReply reply;
  reply.nStatus = status;
  reply.strReason = reason;
  reply.strBody = std::move(body);
  reply.strContentType = contentType;
  reply.strExtraHeaders = std::move(extraHeaders);
  HttpRequestFacts facts;
  facts.bHead = info->request_method != nullptr && std::string_view(info->request_method) == "HEAD";
  facts.bKeepAlive = LibraryKeepsAlive(connection);
  const char* range = mg_get_header(connection, "Range");
  if (range != nullptr && status == 200) facts.strRange = range;
  facts.nNow = GetUnixTime();
  const std::string response = ComposeHttpResponse(reply, facts);
  mg_write(connection, response.data(), response.size());
}
