// Single-key reads from standard input without echo, for the console test mode
// and the "press any key" waits. While a CConsoleKeys exists, SIGINT, SIGTERM and
// SIGHUP do not end the process: the next (or the current) ReadKey returns ESC
// instead, and WaitForEndSignal returns, so the caller can shut down in order.
// The terminal mode is changed only inside ReadKey and is always restored before
// it returns.
//
// Threads: one CConsoleKeys at a time, used by one thread (the process's first).
#ifndef QUILLRADE_PLATFORM_CONSOLE_KEYS_H_
#define QUILLRADE_PLATFORM_CONSOLE_KEYS_H_

constexpr int kKeyEscape = 27;
// A key that produced a whole escape sequence (an arrow or function key).
constexpr int kKeyOther = 0;
// Standard input has ended or cannot be read: no key will ever come.
constexpr int kKeyEndOfInput = -1;

class CConsoleKeys {
 public:
  // Installs the signal handlers; the previous ones return at destruction.
  CConsoleKeys();
  ~CConsoleKeys();
  CConsoleKeys(const CConsoleKeys&) = delete;
  CConsoleKeys& operator=(const CConsoleKeys&) = delete;

  // Blocks for one key and returns its byte. On a terminal the key is read
  // unbuffered and without echo; otherwise one byte is read. A caught signal
  // returns kKeyEscape; end of input and a read error return kKeyEndOfInput.
  int ReadKey();

  // Blocks until one of the signals arrives (at once when one already has).
  // Returns at once when the handlers could not be installed: then no signal
  // could end the wait in order.
  void WaitForEndSignal();

 private:
  bool bInstalled = false;
};

#endif  // QUILLRADE_PLATFORM_CONSOLE_KEYS_H_
