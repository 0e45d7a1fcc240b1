#include "platform/console_keys.h"

#include <atomic>

#include "platform/unique_fd.h"
#include "platform/win_handle.h"

namespace {

// How often a pipe on standard input is looked at for a byte (a pipe cannot be
// waited on together with the wake event).
constexpr DWORD kPipePollMs = 50;
// How long the handler of a closing console holds the process open so that the
// program can stop in order (the system ends it after about five seconds).
constexpr DWORD kCloseGraceMs = 4500;

// Shared with the console control handler, which runs on a thread of its own:
// set once Ctrl-C, Ctrl-Break or a close arrived; the event wakes a blocked read.
std::atomic<bool> g_signalled{false};
CUniqueFd g_wake;
CUniqueFd g_stopped;

BOOL WINAPI OnConsoleControl(DWORD control) {
  g_signalled.store(true);
  SetEvent(DescriptorToHandle(g_wake.Get()));
  // After a close, logoff or shutdown the process ends as soon as this returns.
  if (control == CTRL_CLOSE_EVENT || control == CTRL_LOGOFF_EVENT ||
      control == CTRL_SHUTDOWN_EVENT) {
    WaitForSingleObject(DescriptorToHandle(g_stopped.Get()), kCloseGraceMs);
  }
  return TRUE;
}

HANDLE Input() { return GetStdHandle(STD_INPUT_HANDLE); }

// Keys that produce no character of their own.
bool IsModifierKey(WORD key) {
  return key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU || key == VK_CAPITAL ||
         key == VK_NUMLOCK || key == VK_SCROLL || key == VK_LWIN || key == VK_RWIN;
}

// One key press from a console: its character, kKeyOther for a key without one
// (an arrow or function key), kKeyEscape for a control event.
int ReadConsoleKey(HANDLE console) {
  HANDLE handles[2] = {console, DescriptorToHandle(g_wake.Get())};
  for (;;) {
    if (g_signalled.load()) return kKeyEscape;
    const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0) return g_signalled.load() ? kKeyEscape : kKeyEndOfInput;
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!ReadConsoleInputA(console, &record, 1, &count)) return kKeyEndOfInput;
    if (count != 1 || record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (key.uChar.AsciiChar != 0) return static_cast<unsigned char>(key.uChar.AsciiChar);
    if (!IsModifierKey(key.wVirtualKeyCode)) return kKeyOther;
  }
}

// One byte from a file or pipe; end of input and errors are kKeyEndOfInput.
int ReadInputByte(HANDLE input) {
  const bool pipe = GetFileType(input) == FILE_TYPE_PIPE;
  for (;;) {
    if (g_signalled.load()) return kKeyEscape;
    DWORD available = 0;
    if (pipe && !PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return kKeyEndOfInput;  // the writer closed it
      break;  // a pipe that cannot be looked into (Wine's Unix pipes): read it blocking
    }
    if (!pipe || available > 0) break;
    WaitForSingleObject(DescriptorToHandle(g_wake.Get()), kPipePollMs);
  }
  unsigned char byte = 0;
  DWORD got = 0;
  if (!ReadFile(input, &byte, 1, &got, nullptr) || got != 1) return kKeyEndOfInput;
  return byte;
}

}  // namespace

CConsoleKeys::CConsoleKeys() {
  g_wake.Reset(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr)));
  g_stopped.Reset(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr)));
  if (!g_wake.IsValid() || !g_stopped.IsValid()) return;
  g_signalled.store(false);
  bInstalled = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

CConsoleKeys::~CConsoleKeys() {
  if (!bInstalled) return;
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  // A handler holding a closing console open may let the process end now.
  SetEvent(DescriptorToHandle(g_stopped.Get()));
}

int CConsoleKeys::ReadKey() {
  if (g_signalled.load()) return kKeyEscape;
  HANDLE input = Input();
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return kKeyEndOfInput;
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode)) return ReadInputByte(input);
  // Unbuffered and without echo for this one key; the mode is restored after it.
  SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
  const int key = ReadConsoleKey(input);
  SetConsoleMode(input, mode);
  return key;
}

void CConsoleKeys::WaitForEndSignal() {
  if (!bInstalled) return;
  while (!g_signalled.load()) WaitForSingleObject(DescriptorToHandle(g_wake.Get()), INFINITE);
}
