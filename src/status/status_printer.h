// IStatusPrinter: where an object's status texts go. The service gives every
// engine object the process-wide output (g_logOutput, log_output.h), which shows
// them on standard output or the journal, the status page and the telnet feed;
// the configuration check gives them a collector of its own, so its report holds
// what the setup and the reads said while the process-wide output stays untouched.
//
// Threads: as the implementation says. CLogOutput may be called from any thread;
// an object that prints from several threads (a push task) needs such a printer.
#ifndef QUILLRADE_STATUS_STATUS_PRINTER_H_
#define QUILLRADE_STATUS_STATUS_PRINTER_H_

#include <cstdarg>
#include <cstdint>
#include <string>

class IStatusPrinter {
 public:
  // printf-style print; never truncates. Returns the text's number: texts are
  // numbered 1, 2, ... in the order this printer took them.
  uint64_t Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  virtual uint64_t VPrintf(const char* format, va_list args) = 0;
  // Prints `continuation` when text number `after` is still the last one printed,
  // else `otherwise`, as one decision (no other text can come in between): a
  // result then stands on the line of the text it finishes.
  virtual uint64_t PrintContinuation(uint64_t after, const std::string& continuation,
                                     const std::string& otherwise) = 0;

 protected:
  ~IStatusPrinter() = default;
};

#endif  // QUILLRADE_STATUS_STATUS_PRINTER_H_
