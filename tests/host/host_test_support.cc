#include "host_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// A pseudo terminal pair with output translation and echo off; false on failure.
bool OpenPty(int* master, int* slave) {
  *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
  *slave = open(ptsname(*master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*slave < 0) return false;
  struct termios mode;
  tcgetattr(*slave, &mode);
  mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(*slave, TCSANOW, &mode);
  return true;
}

// Reads what is available from `fd` into `output` within `timeoutMs`; false at
// end of output.
bool ReadSome(int fd, std::string* output, int timeoutMs) {
  struct pollfd poller = {fd, POLLIN, 0};
  if (poll(&poller, 1, timeoutMs) <= 0) return true;
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof(buffer));
  if (got <= 0) return false;  // EOF, or EIO once a pty's other side closed
  output->append(buffer, static_cast<size_t>(got));
  return true;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// A child that ends before it read its input must fail that test, not kill the
// whole test program with SIGPIPE.
const bool g_sigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ChildOutcome RunInChild(const std::function<int()>& body, const std::string& input, bool pty,
                        bool keepInputOpen) {
  ChildOutcome outcome;
  int inputPipe[2];
  int outputRead = -1;
  int outputWrite = -1;
  if (pipe2(inputPipe, O_CLOEXEC) != 0) return outcome;
  if (pty) {
    if (!OpenPty(&outputRead, &outputWrite)) return outcome;
  } else {
    int outputPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) return outcome;
    outputRead = outputPipe[0];
    outputWrite = outputPipe[1];
  }
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(inputPipe[0], STDIN_FILENO);
    dup2(outputWrite, STDOUT_FILENO);
    dup2(outputWrite, STDERR_FILENO);
    close(inputPipe[1]);
    close(outputRead);
    unsetenv("NO_COLOR");
    signal(SIGPIPE, SIG_DFL);
    const int code = body();
    std::fflush(stdout);
    _exit(code);
  }
  close(inputPipe[0]);
  close(outputWrite);
  if (!input.empty()) {
    [[maybe_unused]] const ssize_t written = write(inputPipe[1], input.data(), input.size());
  }
  if (!keepInputOpen) close(inputPipe[1]);
  const long long deadline = NowMs() + 20000;
  while (NowMs() < deadline && ReadSome(outputRead, &outcome.strOutput, 100)) {
  }
  if (keepInputOpen) close(inputPipe[1]);
  close(outputRead);
  int status = 0;
  if (NowMs() >= deadline) kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  outcome.nExitCode = NowMs() >= deadline ? -1 : ExitCodeOf(status);
  return outcome;
}

CChildProcess::CChildProcess(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env, bool pty, bool ptyInput) {
  int inputPipe[2] = {-1, -1};
  int outputRead = -1;
  int outputWrite = -1;
  if (pty) {
    if (!OpenPty(&outputRead, &outputWrite)) return;
  } else {
    int outputPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) return;
    outputRead = outputPipe[0];
    outputWrite = outputPipe[1];
  }
  if (!(pty && ptyInput) && pipe2(inputPipe, O_CLOEXEC) != 0) return;
  std::fflush(stdout);
  nPid = fork();
  if (nPid == 0) {
    setsid();
    if (pty) ioctl(outputWrite, TIOCSCTTY, 0);
    dup2(pty && ptyInput ? outputWrite : inputPipe[0], STDIN_FILENO);
    dup2(outputWrite, STDOUT_FILENO);
    dup2(outputWrite, STDERR_FILENO);
    for (const std::string& entry : env) {
      const size_t equals = entry.find('=');
      if (equals == std::string::npos) {
        unsetenv(entry.c_str());
      } else {
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
      }
    }
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> args;
    for (const std::string& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (!(pty && ptyInput)) {
    close(inputPipe[0]);
    nInputFd = inputPipe[1];
    close(outputWrite);
  } else {
    nInputFd = dup(outputRead);
    close(outputWrite);
  }
  nOutputFd = outputRead;
}

CChildProcess::~CChildProcess() {
  if (nPid > 0 && !bEnded) {
    kill(nPid, SIGKILL);
    waitpid(nPid, nullptr, 0);
  }
  if (nInputFd >= 0) close(nInputFd);
  if (nOutputFd >= 0) close(nOutputFd);
}

void CChildProcess::Write(const std::string& bytes) {
  if (nInputFd < 0) return;
  [[maybe_unused]] const ssize_t written = write(nInputFd, bytes.data(), bytes.size());
}

void CChildProcess::CloseInput() {
  if (nInputFd >= 0) close(nInputFd);
  nInputFd = -1;
}

void CChildProcess::ReadAvailable(int timeoutMs) {
  if (nOutputFd >= 0 && !ReadSome(nOutputFd, &strOutput, timeoutMs)) {
    close(nOutputFd);
    nOutputFd = -1;
  }
}

bool CChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  while (strOutput.find(text) == std::string::npos) {
    if (NowMs() >= deadline || nOutputFd < 0) return false;
    ReadAvailable(50);
  }
  return true;
}

void CChildProcess::Signal(int signalNumber) {
  if (nPid > 0 && !bEnded) kill(nPid, signalNumber);
}

int CChildProcess::Wait(int timeoutMs) {
  const long long deadline = NowMs() + timeoutMs;
  while (!bEnded && NowMs() < deadline) {
    int status = 0;
    const pid_t done = waitpid(nPid, &status, WNOHANG);
    if (done == nPid) {
      bEnded = true;
      nExitCode = ExitCodeOf(status);
      break;
    }
    ReadAvailable(20);
  }
  // Whatever the child wrote before it ended is still in the pipe.
  while (bEnded && nOutputFd >= 0) {
    const size_t before = strOutput.size();
    ReadAvailable(20);
    if (strOutput.size() == before) break;
  }
  return bEnded ? nExitCode : -1;
}

CNotifySocket::CNotifySocket() : dir("qr_notify"), strPath(dir.PathOf("notify")) {
  if (!dir.Ok()) return;
  nFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", strPath.c_str());
  bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
}

CNotifySocket::~CNotifySocket() { close(nFd); }

std::string CNotifySocket::Receive(int timeoutMs) {
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(nFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  char buffer[1024];
  const ssize_t got = recv(nFd, buffer, sizeof(buffer), 0);
  return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

std::string BinaryPath() { return QR_BINARY_PATH; }
