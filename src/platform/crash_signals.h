// Fatal-signal capture for the crash reporter. SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGTRAP raised by the kernel on any thread are turned into a CrashEvent (the
// Windows-style exception code, the access that faulted, the x86-64 registers)
// and handed to one process-wide callback, on the thread's alternate signal
// stack when the thread is armed, so that a stack overflow can be reported too.
//
// Threads: InstallCrashSignalHandlers from any thread (the first call wins);
// ArmCrashThread/DisarmCrashThread by the thread itself; the callback runs in
// signal context and must use async-signal-safe calls only.
#ifndef QUILLRADE_PLATFORM_CRASH_SIGNALS_H_
#define QUILLRADE_PLATFORM_CRASH_SIGNALS_H_

#include <cstdint>

// Windows-style exception codes the crash events carry.
constexpr uint32_t kCrashAccessViolation = 0xC0000005;
constexpr uint32_t kCrashInPageError = 0xC0000006;
constexpr uint32_t kCrashDatatypeMisalignment = 0x80000002;
constexpr uint32_t kCrashBreakpoint = 0x80000003;
constexpr uint32_t kCrashIllegalInstruction = 0xC000001D;
constexpr uint32_t kCrashPrivilegedInstruction = 0xC0000096;
constexpr uint32_t kCrashIntegerDivideByZero = 0xC0000094;
constexpr uint32_t kCrashIntegerOverflow = 0xC0000095;
constexpr uint32_t kCrashStackOverflow = 0xC00000FD;

// x86-64 general registers of the crashing thread (zero elsewhere).
struct CrashRegisters {
  uint64_t nRdi, nRsi, nRax, nRbx, nRcx, nRdx;
  uint64_t nRip, nRbp, nCs, nEflags, nRsp, nSs;
  uint64_t nR8, nR9, nR10, nR11, nR12, nR13, nR14, nR15;
};

struct CrashEvent {
  uint32_t nCode = 0;
  bool bHasAccess = false;  // an access violation with the address it touched
  bool bWrite = false;      // the access was a write (page-fault error bit)
  uint64_t nAccessAddress = 0;
  CrashRegisters regs{};
  uint64_t nStackBase = 0;  // high end of the thread's stack; 0 when unknown
};

// Called in signal context with the event and the thread's name (the armed
// name, else the kernel's name of the thread). Returning means "not handled":
// the signal's default action then ends the process.
using CrashSignalCallback = void (*)(const CrashEvent& event, const char* threadName);

// Installs the handlers for the fatal signals once per process.
void InstallCrashSignalHandlers(CrashSignalCallback callback);

// Gives the calling thread its own alternate signal stack (freed again by
// DisarmCrashThread or at thread exit), records its stack bounds and its name
// (kept by pointer; it must outlive the disarm). False when the stack cannot be
// allocated; a second call on an armed thread only updates the name.
bool ArmCrashThread(const char* threadName);
void DisarmCrashThread();

// The armed name of the calling thread, else its kernel name. Async-signal-safe;
// `buffer` (16 bytes or more) receives a kernel name.
const char* CrashThreadName(char* buffer, unsigned long capacity);

// Describes the calling thread as it is now (for a C++ exception, which has no
// signal context): registers of the caller, its stack base and `code`.
void CaptureCrashEvent(uint32_t code, CrashEvent* event);

#endif  // QUILLRADE_PLATFORM_CRASH_SIGNALS_H_
