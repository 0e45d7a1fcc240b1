// The crash reporter: the first fatal failure on any program thread (a fatal
// signal, or a C++ exception escaping a thread's Run) is written as a text report
// beside the program, then the process ends.
//
// Threads: CrashGuardEnterThread/LeaveThread are called by each CSimpleThread on
// its own thread around Run; ReportCppException from that thread's catch-all.
#ifndef QUILLRADE_UTIL_CRASH_REPORTER_H_
#define QUILLRADE_UTIL_CRASH_REPORTER_H_

#include <cstdint>

// The code an escaping C++ exception is reported with.
constexpr uint32_t kCppExceptionCode = 0xE06D7363;

// Arms fatal-signal reporting for the calling thread under `threadName` (kept by
// pointer: it must outlive the matching LeaveThread).
void CrashGuardEnterThread(const char* threadName);
// Disarms it again before the thread ends.
void CrashGuardLeaveThread();

// Reports a C++ exception that escaped a thread's Run (`what` may be null) and
// ends the process. Returns only when reporting is switched off for the process.
void ReportCppException(const char* threadName, const char* what);

#endif  // QUILLRADE_UTIL_CRASH_REPORTER_H_
