// CSocketWaitSet: the sockets of transfers in progress, each with the directions a
// transfer waits for, gathered behind one waitable descriptor so the main thread's
// one blocking wait (CWakeEvent::WaitWith) also ends when any of them is ready.
// Linux: an epoll instance, readable while a watched socket is ready. Windows:
// one event that every watched socket signals through WSAEventSelect, since a
// wait for several objects cannot take sockets directly.
//
// If the OS refuses the set (no descriptors left), IsValid is false, Watch does
// nothing and waits end only by their timeouts: the caller then drives its
// transfers by its own timers alone, as a poll.
//
// Ownership: the owner of the transfers owns the set; the sockets stay theirs.
// Threads: one thread (the main thread).
#ifndef QUILLRADE_PLATFORM_SOCKET_WAIT_SET_H_
#define QUILLRADE_PLATFORM_SOCKET_WAIT_SET_H_

#include <map>
#include <vector>

#include "platform/unique_fd.h"

// One watched socket that is ready, and for what.
struct SocketReadiness {
  int nSocket = -1;
  bool bIn = false;     // readable, or the peer closed
  bool bOut = false;    // writable, or a connect completed
  bool bError = false;  // failed
};

class CSocketWaitSet {
 public:
  CSocketWaitSet();
  ~CSocketWaitSet();
  CSocketWaitSet(const CSocketWaitSet&) = delete;
  CSocketWaitSet& operator=(const CSocketWaitSet&) = delete;

  bool IsValid() const { return waitable.IsValid(); }
  // Watches `socket` for reading and/or writing from now on (both false: Forget).
  void Watch(int socket, bool in, bool out);
  // Stops watching `socket`; harmless when it is already closed.
  void Forget(int socket);
  bool Empty() const { return watched.empty(); }

  // The watched sockets that are ready now; never blocks. Also re-arms the
  // waitable, so the next wait ends only for new readiness.
  std::vector<SocketReadiness> TakeReady();

  // For the platform layer's waits: the one descriptor (Linux) or event handle
  // (Windows) that is signalled while a watched socket is ready; -1 when none.
  int Waitable() const { return waitable.Get(); }

 private:
  struct Interest {
    bool bIn = false;
    bool bOut = false;
  };

  CUniqueFd waitable;
  std::map<int, Interest> watched;
};

#endif  // QUILLRADE_PLATFORM_SOCKET_WAIT_SET_H_
