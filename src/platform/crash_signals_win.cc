#include "platform/crash_signals.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/crash_exception_win.h"

namespace {

// Stack kept free below a thread's stack limit for the crash filter, so that a
// stack overflow can still be reported on the thread itself.
constexpr ULONG kStackGuaranteeBytes = 64 * 1024;
// Stack of the thread that writes the report of a stack overflow.
constexpr SIZE_T kReporterStackBytes = 1024 * 1024;

using GetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);

std::atomic<CrashSignalCallback> g_callback{nullptr};
std::once_flag g_installOnce;
std::atomic<EXCEPTION_POINTERS*> g_exception{nullptr};
std::atomic<DWORD> g_exceptionThread{0};

thread_local const char* t_name = nullptr;

void CopyRegisters(const CONTEXT& context, CrashRegisters* regs) {
  regs->nRdi = context.Rdi, regs->nRsi = context.Rsi, regs->nRax = context.Rax;
  regs->nRbx = context.Rbx, regs->nRcx = context.Rcx, regs->nRdx = context.Rdx;
  regs->nRip = context.Rip, regs->nRbp = context.Rbp, regs->nRsp = context.Rsp;
  regs->nCs = context.SegCs, regs->nSs = context.SegSs, regs->nEflags = context.EFlags;
  regs->nR8 = context.R8, regs->nR9 = context.R9, regs->nR10 = context.R10;
  regs->nR11 = context.R11, regs->nR12 = context.R12, regs->nR13 = context.R13;
  regs->nR14 = context.R14, regs->nR15 = context.R15;
}

uint64_t CurrentStackBase() {
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  return high;
}

void DescribeException(const EXCEPTION_POINTERS& pointers, CrashEvent* event) {
  const EXCEPTION_RECORD& record = *pointers.ExceptionRecord;
  event->nCode = record.ExceptionCode;
  CopyRegisters(*pointers.ContextRecord, &event->regs);
  // The first parameter tells read (0), write (1) or execute (8); the second
  // is the address touched.
  if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2) {
    event->bHasAccess = true;
    event->bWrite = record.ExceptionInformation[0] == 1;
    event->nAccessAddress = record.ExceptionInformation[1];
  }
  event->nStackBase = CurrentStackBase();
}

// A report for a thread whose stack has run out is written on a thread of its
// own; the crashed thread only waits for it.
struct OverflowReport {
  CrashSignalCallback callback = nullptr;
  CrashEvent event;
  const char* pName = nullptr;
};
OverflowReport g_overflow;

DWORD WINAPI ReportOnFreshStack(void*) {
  g_overflow.callback(g_overflow.event, g_overflow.pName);
  return 0;
}

// Runs for an exception no frame handled, on the crashing thread. Returning
// "continue search" lets the system end the process as it would without us.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  const CrashSignalCallback callback = g_callback.load();
  if (callback == nullptr || pointers == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  g_exception.store(pointers);
  g_exceptionThread.store(GetCurrentThreadId());
  static char name[64];
  const char* threadName = CrashThreadName(name, sizeof(name));
  if (pointers->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
    CrashEvent event;
    DescribeException(*pointers, &event);
    callback(event, threadName);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  g_overflow.callback = callback;
  DescribeException(*pointers, &g_overflow.event);
  g_overflow.pName = threadName;
  HANDLE reporter =
      CreateThread(nullptr, kReporterStackBytes, ReportOnFreshStack, nullptr, 0, nullptr);
  if (reporter != nullptr) WaitForSingleObject(reporter, INFINITE);
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool CrashExceptionInfo(EXCEPTION_POINTERS** pointers, DWORD* threadId) {
  *pointers = g_exception.load();
  *threadId = g_exceptionThread.load();
  return *pointers != nullptr;
}

void InstallCrashSignalHandlers(CrashSignalCallback callback) {
  std::call_once(g_installOnce, [callback] {
    g_callback.store(callback);
    SetUnhandledExceptionFilter(OnUnhandledException);
  });
}

bool ArmCrashThread(const char* threadName) {
  t_name = threadName;
  ULONG guarantee = kStackGuaranteeBytes;
  return SetThreadStackGuarantee(&guarantee) != 0;
}

void DisarmCrashThread() { t_name = nullptr; }

const char* CrashThreadName(char* buffer, unsigned long capacity) {
  if (t_name != nullptr) return t_name;
  static const auto getDescription =
      LoadSystemFunction<GetThreadDescriptionFunction>("kernel32.dll", "GetThreadDescription");
  if (getDescription == nullptr || capacity < 2) return "Unknown";
  wchar_t* description = nullptr;
  if (FAILED(getDescription(GetCurrentThread(), &description)) || description == nullptr) {
    return "Unknown";
  }
  const int length = WideCharToMultiByte(CP_ACP, 0, description, -1, buffer,
                                         static_cast<int>(capacity), nullptr, nullptr);
  LocalFree(description);
  return length > 1 ? buffer : "Unknown";
}

void CaptureCrashEvent(uint32_t code, CrashEvent* event) {
  *event = CrashEvent();
  event->nCode = code;
  CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  RtlCaptureContext(&context);
  CopyRegisters(context, &event->regs);
  event->nStackBase = CurrentStackBase();
}
