// Text formatting that is safe inside a fatal-signal handler: no heap, no locale,
// no locks. CrashFormat understands the printf subset the crash report uses:
// %d %i %u %x %X %s %c %% with the flags '-' and '0', a field width and the
// length modifiers l, ll and z. Anything else is copied as it stands.
//
// CCrashTextWriter collects formatted pieces in its own fixed buffer and writes
// them to a file descriptor when more than kCrashFlushThreshold bytes are pending.
//
// Threads: CrashFormat from any thread; a CCrashTextWriter belongs to one caller.
#ifndef QUILLRADE_UTIL_CRASH_FORMAT_H_
#define QUILLRADE_UTIL_CRASH_FORMAT_H_

#include <cstdarg>
#include <cstddef>

// The longest piece one Printf adds (longer pieces are cut).
constexpr size_t kCrashPieceSize = 1024;
// Pending bytes above which the buffer is written before the next piece.
constexpr size_t kCrashFlushThreshold = 7168;

// Formats into `buffer` (always terminated when capacity > 0); returns the length.
size_t CrashFormatV(char* buffer, size_t capacity, const char* format, va_list args);
size_t CrashFormat(char* buffer, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

class CCrashTextWriter {
 public:
  CCrashTextWriter() = default;
  CCrashTextWriter(const CCrashTextWriter&) = delete;
  CCrashTextWriter& operator=(const CCrashTextWriter&) = delete;

  // Starts writing to `fd` (not owned) with an empty buffer.
  void Begin(int fd);
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes what is pending. False when any write so far failed.
  bool Flush();

 private:
  int nFd = -1;
  size_t nPending = 0;
  bool bFailed = false;
  char szBuffer[kCrashFlushThreshold + kCrashPieceSize];
};

#endif  // QUILLRADE_UTIL_CRASH_FORMAT_H_
