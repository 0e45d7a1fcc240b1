#include "e2e/e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(SteadyTime deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

SteadyTime DeadlineIn(int timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

// Waits for `fd` to become readable; false on timeout or error.
bool WaitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) > 0;
}

// Appends program output; under Wine a CR LF line end becomes LF, also when the
// pair is split between two reads.
void AppendOutput(std::string* output, const char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (kUnderWine && bytes[i] == '\n' && !output->empty() && output->back() == '\r') {
      output->back() = '\n';
    } else {
      output->push_back(bytes[i]);
    }
  }
}

int PortAfter(const std::string& output, const std::string& marker) {
  const size_t at = output.find(marker);
  if (at == std::string::npos) return 0;
  return std::atoi(output.c_str() + at + marker.size());
}

}  // namespace

bool WriteFileWhole(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".writing";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool TouchFile(const std::string& path) {
  return utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0;
}

CProgram::CProgram(const std::string& folder, const std::string& configPath)
    : CProgram(folder, {QR_BINARY_PATH, "run", "ini_file=" + configPath}, StandardStreams::kPipes) {
}

CProgram::CProgram(const std::string& folder, const std::vector<std::string>& commandLine,
                   StandardStreams streams) {
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0) return;
  if (pipe2(output, O_CLOEXEC) != 0) {
    close(input[0]);
    close(input[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  switch (streams) {
    case StandardStreams::kPipes:
      posix_spawn_file_actions_adddup2(&actions, input[0], 0);
      posix_spawn_file_actions_adddup2(&actions, output[1], 1);
      posix_spawn_file_actions_adddup2(&actions, output[1], 2);
      break;
    case StandardStreams::kInputFromDevNull:
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_adddup2(&actions, output[1], 1);
      posix_spawn_file_actions_adddup2(&actions, output[1], 2);
      break;
    case StandardStreams::kInputOutputClosed:
      posix_spawn_file_actions_addclose(&actions, 0);
      posix_spawn_file_actions_addclose(&actions, 1);
      posix_spawn_file_actions_adddup2(&actions, output[1], 2);
      break;
    case StandardStreams::kAllClosed:
      posix_spawn_file_actions_addclose(&actions, 0);
      posix_spawn_file_actions_addclose(&actions, 1);
      posix_spawn_file_actions_addclose(&actions, 2);
      break;
  }
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  std::vector<std::string> arguments = commandLine;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = {"NO_COLOR=1"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "NO_COLOR=", 9) != 0) environment.emplace_back(*entry);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  nInputFd = input[1];
  nOutputFd = output[0];
  nPid = pid;
  reader = std::thread([this] { ReadOutput(); });
}

CProgram::~CProgram() {
  if (nPid > 0 && !bExited) {
    kill(nPid, SIGKILL);
    waitpid(nPid, nullptr, 0);
  }
  if (nInputFd >= 0) close(nInputFd);
  bReaderStop = true;
  if (reader.joinable()) reader.join();
  if (nOutputFd >= 0) close(nOutputFd);
}

// Polls in short steps so that a pause and the destructor are seen.
void CProgram::ReadOutput() {
  char buffer[4096];
  while (!bReaderStop) {
    if (bPaused || !WaitReadable(nOutputFd, 20)) {
      if (bPaused) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    const ssize_t n = read(nOutputFd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::lock_guard<std::mutex> hold(mutex);
    AppendOutput(&strOutput, buffer, static_cast<size_t>(n));
    grown.notify_all();
  }
}

std::string CProgram::Output() const {
  std::lock_guard<std::mutex> hold(mutex);
  return strOutput;
}

size_t CProgram::Find(const std::string& text, size_t from) const {
  std::lock_guard<std::mutex> hold(mutex);
  const size_t at = strOutput.find(text, from);
  return at == std::string::npos ? std::string::npos : at + text.size();
}

size_t CProgram::WaitFor(const std::string& text, int timeoutMs, size_t from) const {
  std::unique_lock<std::mutex> hold(mutex);
  size_t at = std::string::npos;
  grown.wait_until(hold, DeadlineIn(timeoutMs), [&] {
    at = strOutput.find(text, from);
    return at != std::string::npos;
  });
  return at == std::string::npos ? std::string::npos : at + text.size();
}

size_t CProgram::Count(const std::string& text, size_t from) const {
  std::lock_guard<std::mutex> hold(mutex);
  size_t count = 0;
  for (size_t at = strOutput.find(text, from); at != std::string::npos;
       at = strOutput.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

int CProgram::HttpPort() const { return PortAfter(Output(), " * http://127.0.0.1:"); }

int CProgram::ConsolePort() const { return PortAfter(Output(), " * telnet://127.0.0.1:"); }

size_t CProgram::UnreadBytes() const {
  int waiting = 0;
  return ioctl(nOutputFd, FIONREAD, &waiting) == 0 ? static_cast<size_t>(waiting) : 0;
}

void CProgram::Send(const std::string& bytes) {
  if (nInputFd < 0) return;
  if (write(nInputFd, bytes.data(), bytes.size()) < 0) return;
}

void CProgram::CloseInput() {
  if (nInputFd >= 0) close(nInputFd);
  nInputFd = -1;
}

void CProgram::Signal(int signalNumber) {
  if (nPid > 0 && !bExited) kill(nPid, signalNumber);
}

int CProgram::WaitExit(int timeoutMs) {
  if (bExited) return nExitCode;
  if (nPid <= 0) return -1;
  const SteadyTime deadline = DeadlineIn(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(nPid, &status, WNOHANG);
    if (done == nPid) {
      bExited = true;
      nExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return nExitCode;
    }
    if (done < 0 || MillisecondsLeft(deadline) == 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

CReceiver::CReceiver() = default;

CReceiver::~CReceiver() {
  bStop = true;
  if (acceptor.joinable()) acceptor.join();
  for (std::thread& server : servers) server.join();
  listener.Close();
}

bool CReceiver::Reserve() { return listener.Reserve(); }

bool CReceiver::Start() {
  if (!listener.Listen(SOMAXCONN)) return false;
  acceptor = std::thread([this] { AcceptLoop(); });
  return true;
}

// Polls with a short timeout so that the destructor's stop flag is seen.
void CReceiver::AcceptLoop() {
  while (!bStop) {
    if (!WaitReadable(listener.Fd(), 50)) continue;
    const int fd = accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> hold(mutex);
    servers.emplace_back([this, fd] { Serve(fd); });
  }
}

void CReceiver::Serve(int fd) {
  std::string head;
  char buffer[4096];
  const SteadyTime deadline = DeadlineIn(10000);
  while (head.find("\r\n\r\n") == std::string::npos && !bStop && MillisecondsLeft(deadline) > 0) {
    if (!WaitReadable(fd, 50)) continue;
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  const size_t lineEnd = head.find("\r\n");
  if (lineEnd != std::string::npos) {
    const std::string line = head.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t last = line.rfind(' ');
    std::string target = first != std::string::npos && last > first
                             ? line.substr(first + 1, last - first - 1)
                             : line;
    {
      std::lock_guard<std::mutex> hold(mutex);
      arrivals.push_back({std::move(target), Clock::now()});
      arrived.notify_all();
    }
    const SteadyTime answerAt = DeadlineIn(nDelayMs);
    while (!bStop && (MillisecondsLeft(answerAt) > 0 || bHolding)) {
      const int pauseMs = bHolding ? 20 : std::min(20, MillisecondsLeft(answerAt));
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  }
  close(fd);
}

std::vector<std::string> CReceiver::Targets() const {
  std::vector<std::string> targets;
  for (const Arrival& arrival : Arrivals()) targets.push_back(arrival.strTarget);
  return targets;
}

std::vector<CReceiver::Arrival> CReceiver::Arrivals() const {
  std::lock_guard<std::mutex> hold(mutex);
  return arrivals;
}

size_t CReceiver::Count() const {
  std::lock_guard<std::mutex> hold(mutex);
  return arrivals.size();
}

size_t CReceiver::CountOf(const std::string& target) const {
  size_t count = 0;
  for (const std::string& seen : Targets()) count += seen == target ? 1 : 0;
  return count;
}

size_t CReceiver::CountPrefix(const std::string& prefix) const {
  size_t count = 0;
  for (const std::string& seen : Targets()) count += seen.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

bool CReceiver::WaitForTarget(const std::string& target, int timeoutMs, size_t times) const {
  std::unique_lock<std::mutex> hold(mutex);
  return arrived.wait_until(hold, DeadlineIn(timeoutMs), [&] {
    size_t count = 0;
    for (const Arrival& arrival : arrivals) count += arrival.strTarget == target ? 1 : 0;
    return count >= times;
  });
}

bool CReceiver::WaitForCount(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> hold(mutex);
  return arrived.wait_until(hold, DeadlineIn(timeoutMs), [&] { return arrivals.size() >= count; });
}

namespace {

// The socket inodes among the open descriptors of `pid`.
std::vector<std::string> SocketInodes(pid_t pid) {
  std::vector<std::string> inodes;
  std::error_code error;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:[", 0) == 0) inodes.push_back(target.substr(8, target.size() - 9));
  }
  return inodes;
}

// Adds the local ports of the listening sockets in a /proc/net/tcp* table whose
// inode is one of `inodes`.
void AddListeningPorts(const std::string& table, const std::vector<std::string>& inodes,
                       std::vector<int>* ports) {
  constexpr char kListenState[] = "0A";
  std::ifstream file(table);
  std::string line;
  std::getline(file, line);  // the column titles
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeouts, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeouts >> inode;
    if (state != kListenState) continue;
    if (std::find(inodes.begin(), inodes.end(), inode) == inodes.end()) continue;
    ports->push_back(static_cast<int>(std::stoul(local.substr(local.rfind(':') + 1), nullptr, 16)));
  }
}

}  // namespace

std::vector<int> ListeningPorts(pid_t pid) {
  const std::vector<std::string> inodes = SocketInodes(pid);
  std::vector<int> ports;
  AddListeningPorts("/proc/net/tcp", inodes, &ports);
  AddListeningPorts("/proc/net/tcp6", inodes, &ports);
  std::sort(ports.begin(), ports.end());
  return ports;
}

int WaitForListeningPort(pid_t pid, int first, int last, int timeoutMs) {
  const SteadyTime deadline = DeadlineIn(timeoutMs);
  do {
    for (const int port : ListeningPorts(pid)) {
      if (port >= first && port <= last) return port;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (MillisecondsLeft(deadline) > 0);
  return 0;
}

std::string HttpGet(int port, const std::string& target, int timeoutMs) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return "";
  SendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  std::string response;
  char buffer[8192];
  const SteadyTime deadline = DeadlineIn(timeoutMs);
  while (WaitReadable(fd, MillisecondsLeft(deadline))) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    response.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return response;
}

bool ConnectsTo(const std::string& address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = inet_pton(AF_INET, address.c_str(), &target.sin_addr) == 1 &&
                         connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
  close(fd);
  return connected;
}
