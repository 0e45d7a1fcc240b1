#include "status/log_output.h"

#include <cstdio>
#include <new>

namespace {

// Formats exactly: the length is measured first, so no conversion (a huge %Lf, a
// wide %lc) can overflow the buffer and nothing is cut. A format the C library
// rejects yields an empty text.
std::string FormatText(const char* format, va_list args) {
  if (!format) return std::string();
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

// Storage that is constant-initialised and never destroyed.
union LogOutputStorage {
  constexpr LogOutputStorage() : output() {}
  ~LogOutputStorage() {}
  CLogOutput output;
};

constinit LogOutputStorage g_logOutputStorage;

}  // namespace

constinit CLogOutput& g_logOutput = g_logOutputStorage.output;

CLogOutput::~CLogOutput() = default;

void CLogOutput::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrintf(format, args);
  va_end(args);
}

void CLogOutput::VPrintf(const char* format, va_list args) {
  const std::string text = FormatText(format, args);
  CGrabSimpleCritSec hold(&lock, "CLogOutput::Printf");
  // Flushed at once so a pipe or the journal sees each text when it happens.
  if (bStdout && !text.empty()) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  Store(text);
  if (pConsole && !text.empty()) pConsole->WriteText(text.data(), text.size());
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

int DebugPrintf(const char*, ...) { return 0; }
