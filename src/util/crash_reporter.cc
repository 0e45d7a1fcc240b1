#include "util/crash_reporter.h"

#include <cstdio>
#include <cstdlib>

// Interim reporter: one line on standard error, then a non-zero exit. Never silent.
void CrashGuardEnterThread(const char*) {}
void CrashGuardLeaveThread() {}

void ReportCppException(const char* threadName, const char* what) {
  std::fprintf(stderr, "Unhandled exception in thread %s: %s\n", threadName ? threadName : "",
               what ? what : "unknown exception");
  std::fflush(stderr);
  std::_Exit(3);
}
