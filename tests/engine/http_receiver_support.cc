#include "engine/http_receiver_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "engine/delivery.h"
#include "platform/clock.h"
#include "platform/wake_event.h"

namespace {

// Bytes read from a client in one go.
constexpr size_t kReadChunk = 4096;
// A client sending more than this without finishing its head is dropped.
constexpr size_t kMaxPendingBytes = 1 << 20;

const char* ReasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

CHttpReceiver::CHttpReceiver() = default;

CHttpReceiver::~CHttpReceiver() { Stop(); }

bool CHttpReceiver::Reserve() { return listener.Reserve(); }

bool CHttpReceiver::Start() {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  nWakeRead = pipeFds[0];
  nWakeWrite = pipeFds[1];
  if (!listener.Listen(SOMAXCONN)) {
    Stop();
    return false;
  }
  thread = std::thread([this] { Run(); });
  return true;
}

void CHttpReceiver::Stop() {
  if (thread.joinable()) {
    char byte = 1;
    if (write(nWakeWrite, &byte, 1) != 1) return;  // cannot wake: leave it running
    thread.join();
  }
  listener.Close();
  for (int* fd : {&nWakeRead, &nWakeWrite}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

std::string CHttpReceiver::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(Port()); }

void CHttpReceiver::SetStatus(int status) {
  std::lock_guard<std::mutex> hold(mutex);
  nStatus = status;
}

void CHttpReceiver::SetSilent(bool silent) {
  std::lock_guard<std::mutex> hold(mutex);
  bSilent = silent;
}

void CHttpReceiver::SetHangUp(bool hangUp) {
  std::lock_guard<std::mutex> hold(mutex);
  bHangUp = hangUp;
}

std::vector<std::string> CHttpReceiver::RequestLines() const {
  std::lock_guard<std::mutex> hold(mutex);
  return requestLines;
}

std::vector<std::string> CHttpReceiver::Targets() const {
  std::vector<std::string> targets;
  for (const std::string& line : RequestLines()) {
    size_t first = line.find(' ');
    size_t last = line.rfind(' ');
    if (first == std::string::npos || last <= first) {
      targets.push_back(line);
    } else {
      targets.push_back(line.substr(first + 1, last - first - 1));
    }
  }
  return targets;
}

std::vector<std::chrono::steady_clock::time_point> CHttpReceiver::ArrivalTimes() const {
  std::lock_guard<std::mutex> hold(mutex);
  return arrivalTimes;
}

size_t CHttpReceiver::RequestCount() const {
  std::lock_guard<std::mutex> hold(mutex);
  return requestLines.size();
}

size_t CHttpReceiver::ConnectionCount() const {
  std::lock_guard<std::mutex> hold(mutex);
  return nConnections;
}

bool CHttpReceiver::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(mutex);
  return changed.wait_for(hold, timeout, [&] { return requestLines.size() >= count; });
}

void CHttpReceiver::Clear() {
  std::lock_guard<std::mutex> hold(mutex);
  requestLines.clear();
  arrivalTimes.clear();
  nConnections = 0;
}

void CHttpReceiver::Run() {
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{nWakeRead, POLLIN, 0}, {listener.Fd(), POLLIN, 0}};
    for (const Client& client : clients) fds.push_back({client.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) break;
    // Serve existing clients first: AcceptClient may grow the vector.
    for (size_t i = clients.size(); i-- > 0;) {
      if (fds[i + 2].revents == 0 || ServeClient(clients[i])) continue;
      close(clients[i].fd);
      clients.erase(clients.begin() + static_cast<long>(i));
    }
    if (fds[1].revents != 0) AcceptClient(clients);
  }
  for (Client& client : clients) close(client.fd);
}

void CHttpReceiver::AcceptClient(std::vector<Client>& clients) {
  int fd = accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  clients.push_back({fd, {}});
  std::lock_guard<std::mutex> hold(mutex);
  ++nConnections;
  changed.notify_all();
}

bool CHttpReceiver::ServeClient(Client& client) {
  char buffer[kReadChunk];
  ssize_t n = recv(client.fd, buffer, sizeof(buffer), 0);
  if (n <= 0) return false;
  client.pending.append(buffer, static_cast<size_t>(n));
  // GET requests carry no body: every head ends at the blank line.
  for (size_t end; (end = client.pending.find("\r\n\r\n")) != std::string::npos;) {
    std::string line = client.pending.substr(0, client.pending.find("\r\n"));
    client.pending.erase(0, end + 4);
    {
      std::lock_guard<std::mutex> hold(mutex);
      requestLines.push_back(line);
      arrivalTimes.push_back(std::chrono::steady_clock::now());
      changed.notify_all();
    }
    if (!Answer(client.fd)) return false;
  }
  return client.pending.size() <= kMaxPendingBytes;
}

bool CHttpReceiver::Answer(int fd) {
  int status;
  {
    std::lock_guard<std::mutex> hold(mutex);
    if (bHangUp) return false;
    if (bSilent) return true;
    status = nStatus;
  }
  SendAll(fd, "HTTP/1.1 " + std::to_string(status) + " " + ReasonFor(status) +
                  "\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\nok");
  return true;
}

CFullBacklogListener::~CFullBacklogListener() {
  for (int fd : fillers) close(fd);
}

bool CFullBacklogListener::Start() {
  if (!listener.Listen(0)) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(listener.Port()));
  // Connect until one attempt stays pending: the queue is then full.
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    fillers.push_back(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) continue;
    if (errno != EINPROGRESS) return false;
    pollfd writable{fd, POLLOUT, 0};
    if (poll(&writable, 1, 300) == 0) return true;
  }
  return false;
}

bool DriveUntil(CDelivery& delivery, const std::function<bool()>& done,
                std::chrono::milliseconds limit) {
  CWakeEvent wake;
  wake.WakeOnTransfers(&delivery.Sockets());
  const uint64_t deadline = GetMonotonicMilliseconds() + static_cast<uint64_t>(limit.count());
  delivery.Drive();
  for (uint64_t now = GetMonotonicMilliseconds(); !done(); now = GetMonotonicMilliseconds()) {
    if (now >= deadline) return false;
    const uint64_t until = std::min(deadline, std::min(now + 10, delivery.NextWakeMs()));
    wake.Wait(until > now ? static_cast<int>(until - now) : 0);
    delivery.Drive();
  }
  return true;
}

bool DriveUntilIdle(CDelivery& delivery, std::chrono::milliseconds limit) {
  return DriveUntil(
      delivery, [&delivery] { return delivery.Idle(); }, limit);
}
