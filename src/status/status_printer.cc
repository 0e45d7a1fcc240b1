#include "status/status_printer.h"

uint64_t IStatusPrinter::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const uint64_t number = VPrintf(format, args);
  va_end(args);
  return number;
}
