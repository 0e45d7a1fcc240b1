#include "platform/stdout_writer.h"

#include <io.h>

#include <cstdlib>
#include <mutex>

#include "platform/win_handle.h"

namespace {

constexpr char kEscape = '\x1b';
// Longest escape the colour translation keeps while waiting for its end.
constexpr size_t kMaxEscapeBytes = 32;

// Standard output's handle is asked for each time: a service or a relaunch may
// change it after start.
HANDLE OutputHandle(int descriptor) {
  if (descriptor == 1) return GetStdHandle(STD_OUTPUT_HANDLE);
  return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

bool WriteBytes(HANDLE handle, const char* bytes, size_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(length), &written, nullptr)) return false;
    bytes += written;
    length -= written;
  }
  return true;
}

// ANSI colour index (red = bit 0) to a console colour (blue = bit 0).
WORD ConsoleColourBits(int ansiIndex) {
  return static_cast<WORD>(((ansiIndex & 1) ? FOREGROUND_RED : 0) |
                           ((ansiIndex & 2) ? FOREGROUND_GREEN : 0) |
                           ((ansiIndex & 4) ? FOREGROUND_BLUE : 0));
}

// The callers colour their text with SGR escapes (ESC [ ... m), which a console
// shows as text: each becomes the console attribute it stands for, "0" alone the
// attribute the console had when the program started. An escape cut by a write
// boundary waits in `strCarry` for its rest.
class CConsoleColours {
 public:
  bool Write(HANDLE console, const char* bytes, size_t length) {
    std::lock_guard<std::mutex> hold(lock);
    CaptureNormal(console);
    std::string text = std::move(strCarry);
    strCarry.clear();
    text.append(bytes, length);
    size_t start = 0;
    for (size_t at = text.find(kEscape); at != std::string::npos; at = text.find(kEscape, start)) {
      if (!WriteBytes(console, text.data() + start, at - start)) return false;
      const size_t end = text.find('m', at);
      if (end == std::string::npos && text.size() - at < kMaxEscapeBytes) {
        strCarry = text.substr(at);
        return true;
      }
      if (end == std::string::npos || text[at + 1] != '[') {
        start = at + 1;  // not a colour: the ESC byte itself is dropped
        continue;
      }
      SetConsoleTextAttribute(console, Attribute(text.substr(at + 2, end - at - 2)));
      start = end + 1;
    }
    return WriteBytes(console, text.data() + start, text.size() - start);
  }

 private:
  void CaptureNormal(HANDLE console) {
    if (bHaveNormal) return;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(console, &info)) nNormal = info.wAttributes;
    bHaveNormal = true;
  }

  // "0" or "" = the normal attribute; otherwise 30-37/90-97 and 40-47/100-107
  // set the foreground and background, a missing background being black.
  WORD Attribute(const std::string& parameters) const {
    WORD attribute = 0;
    bool any = false;
    size_t start = 0;
    while (start <= parameters.size()) {
      size_t end = parameters.find(';', start);
      if (end == std::string::npos) end = parameters.size();
      const int value = std::atoi(parameters.substr(start, end - start).c_str());
      start = end + 1;
      if (value >= 30 && value <= 37) attribute |= ConsoleColourBits(value - 30);
      if (value >= 90 && value <= 97)
        attribute |= ConsoleColourBits(value - 90) | FOREGROUND_INTENSITY;
      if (value >= 40 && value <= 47) attribute |= ConsoleColourBits(value - 40) << 4;
      if (value >= 100 && value <= 107) {
        attribute |= (ConsoleColourBits(value - 100) | FOREGROUND_INTENSITY) << 4;
      }
      any = any || value != 0;
    }
    return any ? attribute : nNormal;
  }

  std::mutex lock;
  bool bHaveNormal = false;
  WORD nNormal = FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE;
  std::string strCarry;
};

CConsoleColours& ConsoleColours() {
  static CConsoleColours* const colours = new CConsoleColours();
  return *colours;
}

}  // namespace

// Windows has no fork: every process writes through its own thread.
bool CStdoutWriter::InForkedChild() const { return false; }

bool CStdoutWriter::StartThreadLocked() {
  bStarted = pthread_create(&thread, nullptr, &CStdoutWriter::ThreadEntry, this) == 0;
  return bStarted;
}

// Blocks until the handle took every byte. A console gets the colours as
// attributes; files and pipes get the bytes as they are.
bool CStdoutWriter::WriteWhole(const char* bytes, size_t length) const {
  HANDLE handle = OutputHandle(nDescriptor);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) return ConsoleColours().Write(handle, bytes, length);
  return WriteBytes(handle, bytes, length);
}
