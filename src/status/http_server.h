// The HTTP status server and push input, on the first free port of 7370..7379.
// "/" answers the status page (banner, configuration path, the last 50 status
// texts); a registered push path hands its "set" query value to its target.
// With a status board, "/metrics", "/status.json", "/tasks", "/health" and
// "/health/delivery" answer the board's state (see status_board.h and
// delivery_health.h).
// With an access token set, every path but kOpenPaths wants the token (see
// access_token.h); a request without it gets 401, is counted on the board and
// said in a bounded status line (refusal_log.h), and reaches nothing.
// Nothing is ever served from disk. Short request timeouts and enough workers
// keep slow or idle clients from starving the others; the listening address and
// an access list may narrow who can connect.
//
// Ownership: the main thread owns the server; targets are not owned and are
// cleared (ClearTargets) before they die.
// Threads: Start, RequestStop, Stop, SetConfigPath and the target-list calls run on
// the main thread; the request callback runs on the library's worker threads and
// takes the target-list lock for push requests. Lock order: this server's lock,
// then a task's lock.
#ifndef QUILLRADE_STATUS_HTTP_SERVER_H_
#define QUILLRADE_STATUS_HTTP_SERVER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/simple_mutex.h"
#include "status/push_target.h"
#include "status/refusal_log.h"
#include "status/status_board.h"

struct mg_context;
struct mg_connection;
struct mg_request_info;

// Stops a running library context; its worker threads have ended on return.
struct CStopHttpContext {
  void operator()(mg_context* context) const;
};

// The port the status server listens on; 0 when none could be opened.
extern std::atomic<int> g_httpPort;

class CHttpServer : public IPushTargetRegistry {
 public:
  static constexpr int kFirstPort = 7370;
  static constexpr int kPortCount = 10;
  // Answered without the access token: a health check must work for a probe that
  // holds no secret. They say only whether the service is well; a path that has
  // more to tell shows it only to MayShowDetails.
  static constexpr std::string_view kOpenPaths[] = {"/health", "/health/delivery"};

  CHttpServer();
  // Stops the library instance if it still runs.
  virtual ~CHttpServer();
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Before Start: the dotted IPv4 address to listen on (empty = all interfaces)
  // and the library's access list ("-0.0.0.0/0,+192.168.1.0/24"; empty = all).
  void SetListenSettings(const std::string& listenAddress, const std::string& accessList);
  // Opens the first free port of firstPort..firstPort+portCount-1. Success shows
  // in Port() (and g_httpPort); the server stays inert when no port opens, and
  // StartError() then holds the library's reason for the last failed attempt.
  void Start(int firstPort = kFirstPort, int portCount = kPortCount);
  const std::string& StartError() const { return strStartError; }
  // From now on requests are left unanswered by the program; does not wait.
  void RequestStop();
  // Stops the library instance and waits until it has shut down.
  void Stop();
  int Port() const { return nPort.load(); }

  // The configuration path shown on the status page.
  void SetConfigPath(const std::string& path);
  // Before Start: the board the observability paths render and count on. Not
  // owned; it must outlive the server. Without one those paths are not served.
  void SetStatusBoard(CStatusBoard* board) { pBoard = board; }
  // Any thread, at any time (a configuration reload): the token every request
  // must carry from now on; empty lets every request through.
  void SetAccessToken(const std::string& token);
  // For an open path with details: whether this request may see them (no token
  // is set, or it carries the token). Without, the path answers its status code
  // and a one-word body only.
  bool MayShowDetails(const mg_connection* connection) const;
  // Called regularly by the main thread: lets the count of refusals that got no
  // line of their own come out after their minute.
  void FlushRefusalLog();

  // IPushTargetRegistry: appends under the lock.
  void RegisterPushTarget(IPushTarget* target) override;
  int HttpPort() const override { return Port(); }

  // Held by the main thread from a detected configuration change until the old
  // targets are cleared, so no push reaches a task that is about to die.
  void LockTargets() QR_ACQUIRE(lock);
  void UnlockTargets() QR_RELEASE(lock);
  // Empties the target list; takes the lock.
  void ClearTargets();
  void ClearTargetsLocked() QR_EXCLUSIVE_LOCKS_REQUIRED(lock);

 private:
  // The library's options for one port; the pointers refer to `listening` and
  // to members.
  std::vector<const char*> ServerOptions(const std::string& listening) const;
  static int OnBeginRequest(mg_connection* connection);
  int HandleRequest(mg_connection* connection);
  // True when the request may go on; `query` then has lost its token part.
  // Otherwise the request has been answered 401, counted and logged.
  bool Admit(mg_connection* connection, const std::string& uri, std::string& query);
  // Whether the request carries `token` (cutting it from `query`); when not,
  // why: the cause of a refusal.
  bool CarriesToken(const mg_connection* connection, const std::string& token, std::string& query,
                    AccessRefusal* cause) const;
  std::string AccessToken() const;
  // What a refused request was for, in its status line.
  std::string RequestLabel(const std::string& uri);
  // Answers a request that no path of the server may serve as asked: a NUL
  // byte in the path, a method other than GET or HEAD on a status path. The
  // status sent; 0 when the request may go on.
  int RefuseRequest(mg_connection* connection, const mg_request_info* info);
  // Answers 400 to a request whose target is no path here ("*", absolute form).
  static void OnConnectionClose(const mg_connection* connection);
  void SendStatusPage(mg_connection* connection);
  // Answers the board's paths; false when `uri` is none of them.
  bool ServeBoardPath(mg_connection* connection, const std::string& uri);
  void SendDeliveryHealth(mg_connection* connection, const StatusSnapshot& snapshot);
  bool HandlePush(mg_connection* connection, const std::string& uri, const std::string& rawQuery)
      QR_EXCLUSIVE_LOCKS_REQUIRED(lock);
  void SendReply(mg_connection* connection, int status, const char* reason, std::string body,
                 const char* contentType = "text/html", std::string extraHeaders = "");

  const int64_t nCreated;
  // Set before Start, constant while the server runs.
  std::string strListenAddress;
  std::string strAccessList;
  std::string strStartError;
  CStatusBoard* pBoard = nullptr;
  std::unique_ptr<mg_context, CStopHttpContext> context;  // null while not running
  std::atomic<int> nPort{0};
  std::atomic<bool> bStopRequested{false};

  CSimpleMutex lock;
  std::vector<IPushTarget*> targets QR_GUARDED_BY(lock);

  CSimpleCritSec pageLock;
  std::string strConfigPath QR_GUARDED_BY(pageLock);

  mutable CSimpleCritSec tokenLock;
  std::string strAccessToken QR_GUARDED_BY(tokenLock);
  CRefusalLog refusalLog;
};

#endif  // QUILLRADE_STATUS_HTTP_SERVER_H_
