// The process-wide status output. One Printf writes the text to standard output
// (through the non-blocking writer, control bytes made visible), keeps it
// unchanged in a ring of
// the last 50 texts (the status page shows them) and forwards it to the attached
// console sink (the TCP console). With a journal sink set (a service whose standard
// output is the journal) the copy for standard output goes to it instead.
//
// Threads: any thread may print, read the ring or attach/detach the sink; one lock
// serialises all of them. The sink is called under that lock, so it must not
// block and must not print.
#ifndef QUILLRADE_STATUS_LOG_OUTPUT_H_
#define QUILLRADE_STATUS_LOG_OUTPUT_H_

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/simple_mutex.h"
#include "status/status_printer.h"

// Where status texts go besides standard output and the ring. The TCP console
// implements it; tests use it to record what was printed.
class ILogConsoleSink {
 public:
  // Called with every printed text. Must return quickly and never print.
  virtual void WriteText(const char* bytes, size_t length) = 0;

 protected:
  ~ILogConsoleSink() = default;
};

class CJournalSink;

// Names the task whose work the calling thread does while it lives, so that the
// journal files the texts printed meanwhile under that task. Scopes nest.
class CLogTaskScope {
 public:
  explicit CLogTaskScope(const std::string& label);
  ~CLogTaskScope();
  CLogTaskScope(const CLogTaskScope&) = delete;
  CLogTaskScope& operator=(const CLogTaskScope&) = delete;

 private:
  const std::string* pPrevious;
};

class CLogOutput : public IStatusPrinter {
 public:
  // Number of recent texts kept for the status page.
  static constexpr size_t kRingSlots = 50;

  // Constant-initialisable, so g_logOutput works during any static initialisation.
  constexpr CLogOutput() = default;
  virtual ~CLogOutput();
  CLogOutput(const CLogOutput&) = delete;
  CLogOutput& operator=(const CLogOutput&) = delete;

  // IStatusPrinter. Texts are numbered in the order they were printed, by every
  // thread.
  uint64_t VPrintf(const char* format, va_list args) override;
  uint64_t PrintContinuation(uint64_t after, const std::string& continuation,
                             const std::string& otherwise) override;

  // The 50 slots in chronological order (oldest first); unwritten slots are empty.
  std::vector<std::string> RecentTexts() const;
  // Index of the slot the next print overwrites (also the oldest one).
  uint32_t Position() const;
  size_t SlotCount() const { return kRingSlots; }

  // Attaches the console sink; null detaches. Not owned: detach before it dies.
  void AttachConsole(ILogConsoleSink* console);
  ILogConsoleSink* AttachedConsole() const;

  // Turns the copy to standard output off or on (on by default). For tests that
  // must keep their own output readable; the program never turns it off.
  void SetStdoutEnabled(bool enabled);
  // Sends the texts to `journal` instead of standard output; null goes back to
  // standard output. Not owned: it must outlive every print.
  void SetJournalSink(CJournalSink* journal);

 private:
  void Store(const std::string& text) QR_EXCLUSIVE_LOCKS_REQUIRED(lock);
  // Writes `text` to every sink and numbers it.
  uint64_t Emit(const std::string& text) QR_EXCLUSIVE_LOCKS_REQUIRED(lock);

  mutable CSimpleCritSec lock;
  std::array<std::string, kRingSlots> lines QR_GUARDED_BY(lock);
  uint32_t position QR_GUARDED_BY(lock) = 0;
  ILogConsoleSink* pConsole QR_GUARDED_BY(lock) = nullptr;
  bool bStdout QR_GUARDED_BY(lock) = true;
  CJournalSink* pJournal QR_GUARDED_BY(lock) = nullptr;
  uint64_t nTexts QR_GUARDED_BY(lock) = 0;  // texts printed so far
};

// The one status output. Never destroyed, so a print from a destructor that runs
// at process exit still works.
extern CLogOutput& g_logOutput;

// Diagnostic print whose sinks (hook, debug window, stdout echo, log file) are all
// off: returns 0 at once and prints nothing.
int DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // QUILLRADE_STATUS_LOG_OUTPUT_H_
