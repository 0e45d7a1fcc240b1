// The HTTP status server and push input, on the first free port of 7370..7379.
// "/" answers the status page (banner, configuration path, the last 50 status
// texts); a registered push path hands its "set" query value to its target.
// With a status board, "/metrics", "/status.json", "/tasks" and "/health" answer
// the board's state (see status_board.h).
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
#include <vector>

#include "runtime/simple_mutex.h"
#include "status/push_target.h"

class CStatusBoard;

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

  // IPushTargetRegistry: appends under the lock.
  void RegisterPushTarget(IPushTarget* target) override;
  int HttpPort() const override { return Port(); }

  // Held by the main thread from a detected configuration change until the old
  // targets are cleared, so no push reaches a task that is about to die.
  void LockTargets() ACQUIRE(lock);
  void UnlockTargets() RELEASE(lock);
  // Empties the target list; takes the lock.
  void ClearTargets();
  void ClearTargetsLocked() EXCLUSIVE_LOCKS_REQUIRED(lock);

 private:
  // The library's options for one port; the pointers refer to `listening` and
  // to members.
  std::vector<const char*> ServerOptions(const std::string& listening) const;
  static int OnBeginRequest(mg_connection* connection);
  int HandleRequest(mg_connection* connection);
  // Answers a request that no path of the server may serve as asked: a NUL
  // byte in the path, a method other than GET or HEAD on a status path. The
  // status sent; 0 when the request may go on.
  int RefuseRequest(mg_connection* connection, const mg_request_info* info);
  // Answers 400 to a request whose target is no path here ("*", absolute form).
  static void OnConnectionClose(const mg_connection* connection);
  void SendStatusPage(mg_connection* connection);
  // Answers the board's paths; false when `uri` is none of them.
  bool ServeBoardPath(mg_connection* connection, const std::string& uri);
  bool HandlePush(mg_connection* connection, const std::string& uri, const char* query)
      EXCLUSIVE_LOCKS_REQUIRED(lock);
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
  std::vector<IPushTarget*> targets GUARDED_BY(lock);

  CSimpleCritSec pageLock;
  std::string strConfigPath GUARDED_BY(pageLock);
};

#endif  // QUILLRADE_STATUS_HTTP_SERVER_H_
