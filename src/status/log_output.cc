#include "status/log_output.h"

#include "platform/stdout_writer.h"
#include "status/journal_sink.h"
#include "status/terminal_text.h"
#include "util/text_util.h"

namespace {

// Storage that is never destroyed, so a print from a destructor at exit still finds
// a live object. Its constexpr constructor lets the compiler initialise it before
// any other start-up code runs (no `constinit`: not every standard library makes
// std::string constant-initialisable).
union LogOutputStorage {
  constexpr LogOutputStorage() : output() {}
  ~LogOutputStorage() {}
  CLogOutput output;
};

LogOutputStorage g_logOutputStorage;

thread_local const std::string* t_taskLabel = nullptr;

}  // namespace

CLogOutput& g_logOutput = g_logOutputStorage.output;

CLogTaskScope::CLogTaskScope(const std::string& label) : pPrevious(t_taskLabel) {
  t_taskLabel = &label;
}

CLogTaskScope::~CLogTaskScope() { t_taskLabel = pPrevious; }

CLogOutput::~CLogOutput() = default;

uint64_t CLogOutput::VPrintf(const char* format, va_list args) {
  // Measured exactly before formatting: never cut, never overflowing, whatever
  // the conversions (a huge %Lf, a wide %lc). A format the C library rejects
  // gives an empty text.
  const std::string text = format ? StringPrintfV(format, args) : std::string();
  CGrabSimpleCritSec hold(&lock, "CLogOutput::Printf");
  return Emit(text);
}

uint64_t CLogOutput::PrintContinuation(uint64_t after, const std::string& continuation,
                                       const std::string& otherwise) {
  CGrabSimpleCritSec hold(&lock, "CLogOutput::PrintContinuation");
  return Emit(nTexts == after ? continuation : otherwise);
}

uint64_t CLogOutput::Emit(const std::string& text) {
  // Handed to the writer at once so a pipe or the journal sees each text when it
  // happens; the writer never blocks, so holding the lock here is harmless.
  if (bStdout && !text.empty() && pJournal != nullptr) {
    pJournal->Write(text, t_taskLabel != nullptr ? *t_taskLabel : std::string());
  } else if (bStdout && !text.empty()) {
    std::string visible;
    AppendWithVisibleControls(text, visible);
    WriteStdout(visible);
  }
  Store(text);
  if (pConsole && !text.empty()) pConsole->WriteText(text.data(), text.size());
  return ++nTexts;
}

void CLogOutput::Store(const std::string& text) {
  lines[position] = text;
  position = static_cast<uint32_t>((position + 1) % kRingSlots);
}

std::vector<std::string> CLogOutput::RecentTexts() const {
  CGrabSimpleCritSec hold(&lock, "CLogOutput::RecentTexts");
  std::vector<std::string> texts;
  texts.reserve(kRingSlots);
  for (size_t i = 0; i < kRingSlots; ++i) texts.push_back(lines[(position + i) % kRingSlots]);
  return texts;
}

uint32_t CLogOutput::Position() const {
  CGrabSimpleCritSec hold(&lock, "CLogOutput::Position");
  return position;
}

void CLogOutput::AttachConsole(ILogConsoleSink* console) {
  CGrabSimpleCritSec hold(&lock, "CLogOutput::AttachConsole");
  pConsole = console;
}

ILogConsoleSink* CLogOutput::AttachedConsole() const {
  CGrabSimpleCritSec hold(&lock, "CLogOutput::AttachedConsole");
  return pConsole;
}

void CLogOutput::SetStdoutEnabled(bool enabled) {
  CGrabSimpleCritSec hold(&lock, "CLogOutput::SetStdoutEnabled");
  bStdout = enabled;
}

void CLogOutput::SetJournalSink(CJournalSink* journal) {
  CGrabSimpleCritSec hold(&lock, "CLogOutput::SetJournalSink");
  pJournal = journal;
}

int DebugPrintf(const char*, ...) { return 0; }
