#include "platform/crash_signals.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// Room for the report writer on the alternate stack: its big buffers are static,
// its frames are small, but a core-dump spawn and libc calls need some depth.
constexpr size_t kAltStackSize = 64 * 1024;
// The x86-64 page-fault error code bit set for a write access.
constexpr uint64_t kPageFaultWriteBit = 2;

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

std::atomic<CrashSignalCallback> g_callback{nullptr};
std::once_flag g_installOnce;

// One armed thread: its alternate stack (a guard page below it) and the bounds
// of its normal stack, for telling a stack overflow from other faults.
class CCrashThreadState {
 public:
  CCrashThreadState() = default;
  ~CCrashThreadState() { Release(); }
  CCrashThreadState(const CCrashThreadState&) = delete;
  CCrashThreadState& operator=(const CCrashThreadState&) = delete;

  bool Allocate();
  void Release();
  void RecordStackBounds();

  const char* pName = nullptr;
  uint64_t nStackLow = 0;
  uint64_t nStackHigh = 0;
  uint64_t nGuardSize = 0;

 private:
  void* pMapping = nullptr;
  size_t nMappingSize = 0;
  stack_t previous{};
  bool bInstalled = false;
};

// The handler reads the plain pointer only; the owner frees the state.
thread_local CCrashThreadState* t_state = nullptr;
thread_local std::unique_ptr<CCrashThreadState> t_stateOwner;

bool CCrashThreadState::Allocate() {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  nMappingSize = kAltStackSize + page;
  void* mapping = mmap(nullptr, nMappingSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) return false;
  pMapping = mapping;
  mprotect(pMapping, page, PROT_NONE);  // an overflow of the handler faults at once
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(pMapping) + page;
  stack.ss_size = kAltStackSize;
  bInstalled = sigaltstack(&stack, &previous) == 0;
  return bInstalled;
}

void CCrashThreadState::Release() {
  if (bInstalled) {
    // Hand the thread back the stack it had (a sanitizer's, or none).
    if ((previous.ss_flags & SS_DISABLE) != 0 || previous.ss_sp == nullptr) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    } else {
      sigaltstack(&previous, nullptr);
    }
    bInstalled = false;
  }
  if (pMapping != nullptr) munmap(pMapping, nMappingSize);
  pMapping = nullptr;
}

void CCrashThreadState::RecordStackBounds() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  size_t guard = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0) {
    nStackLow = reinterpret_cast<uint64_t>(low);
    nStackHigh = nStackLow + size;
  }
  if (pthread_attr_getguardsize(&attr, &guard) == 0) nGuardSize = guard;
  pthread_attr_destroy(&attr);
}

#if defined(__x86_64__)
void CopyRegisters(const mcontext_t& context, CrashRegisters* regs) {
  const greg_t* g = context.gregs;
  auto r = [g](int index) { return static_cast<uint64_t>(g[index]); };
  regs->nRdi = r(REG_RDI), regs->nRsi = r(REG_RSI), regs->nRax = r(REG_RAX);
  regs->nRbx = r(REG_RBX), regs->nRcx = r(REG_RCX), regs->nRdx = r(REG_RDX);
  regs->nRip = r(REG_RIP), regs->nRbp = r(REG_RBP), regs->nRsp = r(REG_RSP);
  regs->nEflags = r(REG_EFL);
  regs->nR8 = r(REG_R8), regs->nR9 = r(REG_R9), regs->nR10 = r(REG_R10);
  regs->nR11 = r(REG_R11), regs->nR12 = r(REG_R12), regs->nR13 = r(REG_R13);
  regs->nR14 = r(REG_R14), regs->nR15 = r(REG_R15);
  // cs, gs, fs and (on current kernels) ss share one slot, 16 bits each.
  const uint64_t segments = r(REG_CSGSFS);
  regs->nCs = segments & 0xffff;
  regs->nSs = (segments >> 48) & 0xffff;
}

uint64_t PageFaultErrorCode(const mcontext_t& context) {
  return static_cast<uint64_t>(context.gregs[REG_ERR]);
}

void ReadSegmentsAndFlags(CrashRegisters* regs) {
  uint16_t cs = 0;
  uint16_t ss = 0;
  uint64_t flags = 0;
  asm volatile("mov %%cs, %0" : "=r"(cs));
  asm volatile("mov %%ss, %0" : "=r"(ss));
  asm volatile("pushfq; popq %0" : "=r"(flags));
  regs->nCs = cs;
  regs->nSs = ss;
  regs->nEflags = flags;
}
#else
void CopyRegisters(const mcontext_t&, CrashRegisters*) {}
uint64_t PageFaultErrorCode(const mcontext_t&) { return 0; }
void ReadSegmentsAndFlags(CrashRegisters*) {}
#endif

// A fault just below the armed thread's stack is the guard page: an overflow.
bool IsStackGuardFault(uint64_t address) {
  const CCrashThreadState* state = t_state;
  if (state == nullptr || state->nStackLow == 0) return false;
  const uint64_t page = 4096;
  const uint64_t guard = state->nGuardSize > page ? state->nGuardSize : page;
  return address < state->nStackLow && address + guard >= state->nStackLow;
}

uint32_t FloatingPointCode(int code) {
  switch (code) {
    case FPE_INTDIV:
      return kCrashIntegerDivideByZero;
    case FPE_INTOVF:
      return kCrashIntegerOverflow;
    case FPE_FLTDIV:
      return 0xC000008E;
    case FPE_FLTOVF:
      return 0xC0000091;
    case FPE_FLTUND:
      return 0xC0000093;
    case FPE_FLTRES:
      return 0xC000008F;
    case FPE_FLTSUB:
      return 0xC000008C;
    default:
      return 0xC0000090;  // invalid operation
  }
}

uint32_t ExceptionCode(int signo, const siginfo_t& info) {
  switch (signo) {
    case SIGSEGV:
      return kCrashAccessViolation;
    case SIGBUS:
      return info.si_code == BUS_ADRALN ? kCrashDatatypeMisalignment : kCrashInPageError;
    case SIGFPE:
      return FloatingPointCode(info.si_code);
    case SIGILL:
      return info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? kCrashPrivilegedInstruction
                                                                      : kCrashIllegalInstruction;
    default:
      return kCrashBreakpoint;
  }
}

void DescribeSignal(int signo, const siginfo_t& info, const ucontext_t& context,
                    CrashEvent* event) {
  CopyRegisters(context.uc_mcontext, &event->regs);
  event->nCode = ExceptionCode(signo, info);
  const uint64_t address = reinterpret_cast<uint64_t>(info.si_addr);
  if (signo == SIGSEGV && IsStackGuardFault(address)) {
    event->nCode = kCrashStackOverflow;
  } else if (signo == SIGSEGV) {
    event->bHasAccess = true;
    event->bWrite = (PageFaultErrorCode(context.uc_mcontext) & kPageFaultWriteBit) != 0;
    event->nAccessAddress = address;
  }
  event->nStackBase = t_state != nullptr ? t_state->nStackHigh : 0;
}

void OnFatalSignal(int signo, siginfo_t* info, void* raw) {
  const int savedErrno = errno;
  // Only faults the kernel raised are crashes; a signal sent by kill() keeps its
  // default meaning.
  const CrashSignalCallback callback = g_callback.load();
  if (info->si_code > 0 && callback != nullptr) {
    CrashEvent event;
    DescribeSignal(signo, *info, *static_cast<const ucontext_t*>(raw), &event);
    char kernelName[32];
    callback(event, CrashThreadName(kernelName, sizeof(kernelName)));
  }
  // Not handled: the default action ends the process once this handler returns.
  signal(signo, SIG_DFL);
  errno = savedErrno;
  raise(signo);
}

void InstallHandlers() {
  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  // SA_NODEFER: a fault inside the reporter re-enters it, which then ends the
  // process instead of the kernel killing it with a blocked signal.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (const int signo : kFatalSignals) sigaction(signo, &action, nullptr);
}

}  // namespace

void InstallCrashSignalHandlers(CrashSignalCallback callback) {
  std::call_once(g_installOnce, [callback] {
    g_callback.store(callback);
    InstallHandlers();
  });
}

bool ArmCrashThread(const char* threadName) {
  if (t_state != nullptr) {
    t_state->pName = threadName;
    return true;
  }
  auto state = std::make_unique<CCrashThreadState>();
  if (!state->Allocate()) return false;
  state->RecordStackBounds();
  state->pName = threadName;
  t_stateOwner = std::move(state);
  t_state = t_stateOwner.get();
  return true;
}

void DisarmCrashThread() {
  t_state = nullptr;
  t_stateOwner.reset();
}

const char* CrashThreadName(char* buffer, unsigned long capacity) {
  if (t_state != nullptr && t_state->pName != nullptr) return t_state->pName;
  if (capacity < 17) return "Unknown";
  std::memset(buffer, 0, capacity);
  if (prctl(PR_GET_NAME, buffer, 0, 0, 0) != 0 || buffer[0] == '\0') return "Unknown";
  return buffer;
}

void CaptureCrashEvent(uint32_t code, CrashEvent* event) {
  *event = CrashEvent();
  event->nCode = code;
  ucontext_t context;
  std::memset(&context, 0, sizeof(context));  // getcontext leaves scratch registers alone
  if (getcontext(&context) == 0) CopyRegisters(context.uc_mcontext, &event->regs);
  ReadSegmentsAndFlags(&event->regs);
  event->nStackBase = t_state != nullptr ? t_state->nStackHigh : 0;
}
