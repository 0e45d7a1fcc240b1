// Test peers for outgoing HTTP requests, on 127.0.0.1 only.
//
// CHttpReceiver: a small HTTP/1.1 server on an ephemeral port, run by its own
// thread. It records the raw request line of every request (exact bytes, without
// the CR LF), counts accepted connections, and answers each request with a
// configured status. Connections are kept alive, so a client that reuses a
// connection shows fewer connections than requests. In silent mode it accepts
// and reads but never answers; in hang-up mode it closes the connection instead
// of answering. Reserve before Start gives a known port that refuses every
// connection until Start (a target that is down, then comes back).
//
// CFullBacklogListener: a listening socket whose accept queue is full and that
// never accepts, so a further connect attempt hangs until the client gives up.
//
// Threads: every public member may be called from any thread.
#ifndef QUILLRADE_TESTS_ENGINE_HTTP_RECEIVER_SUPPORT_H_
#define QUILLRADE_TESTS_ENGINE_HTTP_RECEIVER_SUPPORT_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

class CDelivery;

// Drives `delivery` (waiting on its sockets, as the main loop does) until it is
// idle or `limit` has passed; false on the limit.
bool DriveUntilIdle(CDelivery& delivery,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
// The same until `done` holds.
bool DriveUntil(CDelivery& delivery, const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

class CHttpReceiver {
 public:
  CHttpReceiver();
  ~CHttpReceiver();
  CHttpReceiver(const CHttpReceiver&) = delete;
  CHttpReceiver& operator=(const CHttpReceiver&) = delete;

  // Binds 127.0.0.1 on an ephemeral port without listening: Port() is known and
  // connection attempts are refused until Start. False on failure.
  bool Reserve();
  // Listens (on the reserved port, else on a new ephemeral one) and starts the
  // thread. False on failure.
  bool Start();
  // Stops the thread and closes every socket; also done by the destructor.
  void Stop();

  int Port() const { return listener.Port(); }
  // "http://127.0.0.1:<port>"
  std::string BaseUrl() const;

  // Status for the following answers (200 by default).
  void SetStatus(int status);
  // When on, requests are read and recorded but never answered.
  void SetSilent(bool silent);
  // When on, requests are read and recorded, then the connection is closed.
  void SetHangUp(bool hangUp);

  // Raw request lines seen so far, in arrival order ("GET /x HTTP/1.1").
  std::vector<std::string> RequestLines() const;
  // Just the request targets ("/x"), in arrival order.
  std::vector<std::string> Targets() const;
  // When each of them arrived (its head complete), in the same order.
  std::vector<std::chrono::steady_clock::time_point> ArrivalTimes() const;
  size_t RequestCount() const;
  size_t ConnectionCount() const;
  // Waits until at least `count` requests arrived. False on timeout.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  // Forgets the recorded requests and connections.
  void Clear();

 private:
  struct Client {
    int fd = -1;
    std::string pending;
  };

  void Run();
  void AcceptClient(std::vector<Client>& clients);
  // False when the client closed or failed.
  bool ServeClient(Client& client);
  // False when the connection is to be closed instead.
  bool Answer(int fd);

  CLoopbackListener listener;
  int nWakeRead = -1;
  int nWakeWrite = -1;
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> requestLines;
  std::vector<std::chrono::steady_clock::time_point> arrivalTimes;
  size_t nConnections = 0;
  int nStatus = 200;
  bool bSilent = false;
  bool bHangUp = false;
};

class CFullBacklogListener {
 public:
  CFullBacklogListener() = default;
  ~CFullBacklogListener();
  CFullBacklogListener(const CFullBacklogListener&) = delete;
  CFullBacklogListener& operator=(const CFullBacklogListener&) = delete;

  // Listens with the smallest backlog and fills the queue. Then checks that a
  // further connect attempt really stays pending; false when this system does
  // not behave so (the caller should skip) or on any socket failure.
  bool Start();
  int Port() const { return listener.Port(); }

 private:
  CLoopbackListener listener;
  std::vector<int> fillers;
};

#endif  // QUILLRADE_TESTS_ENGINE_HTTP_RECEIVER_SUPPORT_H_
