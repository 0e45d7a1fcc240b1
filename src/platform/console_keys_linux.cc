#include "platform/console_keys.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/unique_fd.h"

namespace {

// How long the bytes after an ESC may take to arrive for them to count as one
// escape sequence (an arrow key) rather than a lone ESC press.
constexpr int kEscapeSequenceGapMs = 30;

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kEndSignalCount = sizeof(kEndSignals) / sizeof(kEndSignals[0]);

// Shared with the signal handler: set once a signal arrived; the pipe wakes a
// blocked read.
std::atomic<bool> g_signalled{false};
CUniqueFd g_wakeRead;
CUniqueFd g_wakeWrite;
struct sigaction g_previous[kEndSignalCount];

void OnEndSignal(int) {
  const int savedErrno = errno;
  g_signalled.store(true);
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(g_wakeWrite.Get(), &byte, 1);
  errno = savedErrno;
}

// Sets the terminal to unbuffered, no echo, for its lifetime.
class CRawTerminal {
 public:
  CRawTerminal() {
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    bChanged = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~CRawTerminal() {
    if (bChanged) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  }
  CRawTerminal(const CRawTerminal&) = delete;
  CRawTerminal& operator=(const CRawTerminal&) = delete;

 private:
  struct termios saved {};
  bool bChanged = false;
};

// Waits until standard input is readable (true) or a signal woke us (false).
bool WaitForInput(int timeoutMs) {
  struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wakeRead.Get(), POLLIN, 0}};
  while (!g_signalled.load()) {
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if (fds[1].revents != 0) return false;
    return fds[0].revents != 0;
  }
  return false;
}

// One byte, kKeyEscape for a signal, or kKeyEndOfInput for end of input or an
// error.
int ReadOneByte() {
  if (!WaitForInput(-1)) return g_signalled.load() ? kKeyEscape : kKeyEndOfInput;
  unsigned char byte = 0;
  ssize_t got = 0;
  while ((got = read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR) {
  }
  if (got == 1) return byte;
  return g_signalled.load() ? kKeyEscape : kKeyEndOfInput;
}

// After an ESC on a terminal: swallows the rest of an escape sequence. True when
// there was one.
bool SwallowEscapeSequence() {
  bool any = false;
  while (WaitForInput(kEscapeSequenceGapMs)) {
    unsigned char buffer[32];
    if (read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) break;
    any = true;
  }
  return any;
}

}  // namespace

CConsoleKeys::CConsoleKeys() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_wakeRead.Reset(ends[0]);
  g_wakeWrite.Reset(ends[1]);
  g_signalled.store(false);
  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kEndSignalCount; ++i) sigaction(kEndSignals[i], &action, &g_previous[i]);
  bInstalled = true;
}

CConsoleKeys::~CConsoleKeys() {
  if (!bInstalled) return;
  for (int i = 0; i < kEndSignalCount; ++i) sigaction(kEndSignals[i], &g_previous[i], nullptr);
  g_wakeRead.Reset();
  g_wakeWrite.Reset();
}

int CConsoleKeys::ReadKey() {
  if (g_signalled.load()) return kKeyEscape;
  if (!isatty(STDIN_FILENO)) return ReadOneByte();
  CRawTerminal raw;
  const int key = ReadOneByte();
  if (key == kKeyEscape && !g_signalled.load() && SwallowEscapeSequence()) return kKeyOther;
  return key;
}

void CConsoleKeys::WaitForEndSignal() {
  if (!bInstalled) return;
  struct pollfd wake = {g_wakeRead.Get(), POLLIN, 0};
  while (!g_signalled.load()) {
    if (poll(&wake, 1, -1) < 0 && errno != EINTR) return;
    // Only the handler writes here; emptying the pipe keeps a stray byte from
    // turning the wait into a spin.
    char bytes[16];
    while (read(g_wakeRead.Get(), bytes, sizeof(bytes)) > 0) {
    }
  }
}
