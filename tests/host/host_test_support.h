// Helpers for the host tests: runners that execute a piece of code (or the real
// binary) in a child process with a pipe or a pseudo terminal as its console, and
// (from the platform suite) the fake systemctl/sudo pair.
#ifndef QUILLRADE_TESTS_HOST_HOST_TEST_SUPPORT_H_
#define QUILLRADE_TESTS_HOST_HOST_TEST_SUPPORT_H_

#include <functional>
#include <string>
#include <vector>

#include "platform/fake_system_support.h"

struct ChildOutcome {
  int nExitCode = -1;  // 128 + signal when killed, -1 when it did not end in time
  std::string strOutput;
};

// Runs `body` in a forked child whose standard output (and error) is a pipe or,
// with `pty`, a pseudo terminal (no output translation), and whose standard input
// is a pipe fed with `input` and then closed (or kept open with `keepInputOpen`
// until the child ends). The child exits with body's result. NO_COLOR is unset.
ChildOutcome RunInChild(const std::function<int()>& body, const std::string& input, bool pty,
                        bool keepInputOpen = false);

// A running child process with pipes: lets a test write keys, read output until
// a text appears, send signals and collect the exit code.
class CChildProcess {
 public:
  // Starts `argv` (argv[0] a path); `env` entries "NAME=value" are added to the
  // environment, entries "NAME" remove it. With `pty` the output (and, with
  // `ptyInput`, the input) is a pseudo terminal.
  CChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                bool pty = false, bool ptyInput = false);
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  void Write(const std::string& bytes);
  void CloseInput();
  // Reads until `text` is part of the output, for up to `timeoutMs`.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  void Signal(int signalNumber);
  // Waits up to `timeoutMs` for the end, draining output; the exit code or -1.
  int Wait(int timeoutMs);
  const std::string& Output() const { return strOutput; }
  int Pid() const { return nPid; }

 private:
  void ReadAvailable(int timeoutMs);

  int nPid = -1;
  int nInputFd = -1;
  int nOutputFd = -1;
  int nExitCode = -1;
  bool bEnded = false;
  std::string strOutput;
};

// A datagram socket standing in for systemd's notification socket.
class CNotifySocket {
 public:
  CNotifySocket();
  ~CNotifySocket();
  CNotifySocket(const CNotifySocket&) = delete;
  CNotifySocket& operator=(const CNotifySocket&) = delete;

  // The next message, or empty after `timeoutMs`.
  std::string Receive(int timeoutMs);
  const std::string& Path() const { return strPath; }

 private:
  CTempDir dir;
  std::string strPath;
  int nFd = -1;
};

// The built quillrade binary.
std::string BinaryPath();

#endif  // QUILLRADE_TESTS_HOST_HOST_TEST_SUPPORT_H_
