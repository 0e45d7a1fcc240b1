// The crash reporter: the first fatal failure on any program thread (a fatal
// signal, or a C++ exception escaping a thread's Run) is written as a text report
// and a core dump beside the program, then the process ends with exit code 0
// (the service manager restarts it).
//
// Files: "<program path without extension>_crash_YYYY-MM-DD_hh-mm-ss.txt" and
// the same with ".dmp". Only the file name's extension is cut, never a folder's.
// SetCrashReportFolder moves them into another folder under the same names (a
// packaged program's own folder is not writable, nor the place for reports).
//
// Threads: CrashGuardEnterThread/LeaveThread are called by each CSimpleThread on
// its own thread around Run; ReportCppException from that thread's catch-all.
// The signal path (ReportCrash) uses only memory reserved before the crash and
// async-signal-safe calls; only the first crash of the process is reported.
#ifndef QUILLRADE_UTIL_CRASH_REPORTER_H_
#define QUILLRADE_UTIL_CRASH_REPORTER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/crash_signals.h"

// The code an escaping C++ exception is reported with.
constexpr uint32_t kCppExceptionCode = 0xE06D7363;
// The most stack words a report lists.
constexpr int kCrashMaxStackWords = 3072;

// Process-wide switches. The first report clears `enabled`.
struct CrashReporterSwitches {
  std::atomic<bool> bEnabled{true};
  std::atomic<bool> bOpenReport{true};
  std::atomic<bool> bTerminateAfterReport{true};
};
extern CrashReporterSwitches g_crashSwitches;

// Arms fatal-signal reporting for the calling thread under `threadName` (kept by
// pointer: it must outlive the matching LeaveThread). The first call also
// gathers the process facts the report needs and installs the signal handlers.
void CrashGuardEnterThread(const char* threadName);
// Disarms it again before the thread ends (frees its alternate signal stack).
void CrashGuardLeaveThread();

// Writes the reports into `folder` (made absolute against the current folder)
// instead of beside the program; an empty text keeps them beside it. Call before
// the first thread starts.
void SetCrashReportFolder(const std::string& folder);

// Reports a C++ exception that escaped a thread's Run (`what` may be null) and
// ends the process. Returns only when reporting is switched off for the process.
void ReportCppException(const char* threadName, const char* what);

// The whole report sequence for one crash: switch check, files, dump, viewer,
// end of the process. Returns when reporting is off (or not terminating).
void ReportCrash(const CrashEvent& event, const char* threadName);

// The description of an exception code, "an Unknown exception type" for others.
const char* CrashExceptionDescription(uint32_t code);

// Builds the report and dump paths from the program path and a local time.
// False when they do not fit `capacity`.
bool BuildCrashFileNames(const char* programPath, const LocalTime& time, char* reportPath,
                         char* dumpPath, size_t capacity);

// Writes the text report for `event` into `reportPath` (replacing it), naming
// `dumpPath` in it. False when the file cannot be created. Uses the process-wide
// buffers: one caller at a time. Gathers the process facts first if needed.
bool WriteCrashReport(const char* reportPath, const char* dumpPath, const CrashEvent& event,
                      const char* threadName);

#endif  // QUILLRADE_UTIL_CRASH_REPORTER_H_
