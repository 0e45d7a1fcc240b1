// What the crash reporter asks of the system while a thread is crashing: guarded
// memory reads, the mapped modules, memory figures, local time, the report file,
// and the helper programs for the core dump and for showing the report.
//
// Everything marked "async-signal-safe" uses only system calls and memory that
// PrepareCrashSystem reserved beforehand, never the heap, locks or stdio; it may
// run inside a fatal-signal handler. One crashing thread at a time uses the
// shared buffers (the reporter's one-report switch guarantees that).
// PrepareCrashSystem runs in normal context; the first call does the work, later
// calls return at once.
#ifndef QUILLRADE_PLATFORM_CRASH_SYSTEM_H_
#define QUILLRADE_PLATFORM_CRASH_SYSTEM_H_

#include <cstddef>
#include <cstdint>

#include "platform/clock.h"

// Facts about the machine and the user gathered before any crash.
struct CrashSystemInfo {
  char szUserName[256] = "Unknown";
  char szOsName[256] = "Unknown";
  char szOsVersion[256] = "Unknown";
  int nProcessors = 0;
  int nProcessorType = 0;  // 8664 on x86-64, 0 when unknown
};

// Live memory figures in bytes; zero where a figure cannot be read.
struct CrashMemoryStatus {
  int nLoadPercent = 0;
  uint64_t nPhysicalTotal = 0;
  uint64_t nPhysicalFree = 0;
  uint64_t nPagingTotal = 0;  // swap
  uint64_t nPagingFree = 0;
  uint64_t nVirtualTotal = 0;  // user address space (limit or 128 TiB)
  uint64_t nVirtualFree = 0;
};

// The version resource of a module: four numbers each, and texts that are empty
// when the resource does not carry them.
struct CrashModuleVersion {
  uint16_t nFileVersion[4] = {};
  uint16_t nProductVersion[4] = {};
  char szCompany[128] = {};
  char szProduct[128] = {};
  char szFileDescription[128] = {};
};

// One mapped executable file: where it starts and how far its mappings reach.
// ELF files carry no checksum, link time or version resource: those stay unknown.
struct CrashModule {
  const char* pPath = nullptr;
  uint64_t nBase = 0;
  uint64_t nSize = 0;
  int64_t nFileSize = -1;         // -1 when stat fails
  int64_t nFileTime = 0;          // last write, seconds since 1970; 0 when unknown
  bool bHaveImageHeader = false;  // the two fields below are the header's
  uint32_t nChecksum = 0;
  uint32_t nTimeStamp = 0;                       // link time, seconds since 1970
  const CrashModuleVersion* pVersion = nullptr;  // null without a version resource
};

// Gathers the user, system facts, time zone offsets, helper program paths.
void PrepareCrashSystem();
// Samples the local-time offsets again (after a time zone change). Normal
// context only, never while a report is being written.
void PrepareCrashLocalTime();
const CrashSystemInfo& GetCrashSystemInfo();

// Copies up to `length` bytes at `address` without ever faulting; returns how many
// leading bytes were readable. Async-signal-safe.
size_t CrashReadMemory(uint64_t address, void* buffer, size_t length);

// Async-signal-safe.
CrashMemoryStatus ReadCrashMemoryStatus();
// Calls `visit` for each ELF file mapped into the process, once per file, in
// address order; a file whose header cannot be read is skipped. False when the
// map cannot be read. Async-signal-safe; do not nest.
using CrashModuleVisitor = void (*)(const CrashModule& module, void* context);
bool ForEachCrashModule(CrashModuleVisitor visit, void* context);
// The file name (no folder) of the module containing `address`, else false.
bool FindCrashModuleName(uint64_t address, char* name, size_t capacity);

// Seconds since 1970 now, and a time as local time with the offsets known to
// PrepareCrashSystem (daylight-saving changes included). Async-signal-safe.
int64_t CrashUnixTimeNow();
LocalTime CrashLocalTime(int64_t unixSeconds);

// The report file: created or emptied, written through on close. -1 on failure.
// Async-signal-safe.
int CrashCreateFile(const char* path);
bool CrashWriteFile(int fd, const char* data, size_t length);
void CrashCloseFile(int fd);
// Writes to standard error, the stand-in for a debugger's output.
void CrashWriteStderr(const char* text);

// Writes a core dump of this process into `dumpPath` with gcore when it is
// installed; waits for it (bounded). False when no dump was written.
// Async-signal-safe.
bool CrashWriteCoreDump(const char* dumpPath);
// Starts xdg-open on `path` without waiting, when a desktop session exists and
// xdg-open is installed. Async-signal-safe.
void CrashOpenFileInViewer(const char* path);

// The kernel thread id of the caller. Async-signal-safe.
int CrashCurrentThreadId();
void CrashSleepMilliseconds(int milliseconds);
[[noreturn]] void CrashExitProcess(int exitCode);

#endif  // QUILLRADE_PLATFORM_CRASH_SYSTEM_H_
