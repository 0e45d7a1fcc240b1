#include "platform/thread.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/win_handle.h"

struct CPlatformThread::Shared {
  std::function<void()> body;
  HANDLE hThread = nullptr;
  DWORD nTid = 0;
  std::atomic<bool> bResumed{false};
  std::atomic<bool> bCancelled{false};
};

namespace {

// NtSetInformationThread's class for the absolute ("actual") base priority.
constexpr ULONG kThreadActualBasePriority = 25;
// The levels the availability probe sets on its own thread.
constexpr LONG kProbeLevelHigh = 24;
constexpr LONG kProbeLevelLow = 8;

using NtSetInformationThreadFunction = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG);
using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

DWORD WINAPI ThreadEntry(void* arg) {
  auto* shared = static_cast<CPlatformThread::Shared*>(arg);
  if (!shared->bCancelled.load()) shared->body();
  return 0;
}

// SetThreadPriority takes the named levels only; values between go to the
// nearer named level as they do on Linux.
int NamedPriority(int osPriority) {
  if (osPriority <= THREAD_PRIORITY_IDLE) return THREAD_PRIORITY_IDLE;
  if (osPriority >= THREAD_PRIORITY_TIME_CRITICAL) return THREAD_PRIORITY_TIME_CRITICAL;
  return std::clamp(osPriority, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_HIGHEST);
}

NtSetInformationThreadFunction NtSetInformationThreadEntry() {
  static const auto function =
      LoadSystemFunction<NtSetInformationThreadFunction>("ntdll.dll", "NtSetInformationThread");
  return function;
}

bool SetActualLevel(HANDLE thread, int level) {
  const NtSetInformationThreadFunction function = NtSetInformationThreadEntry();
  LONG value = level;
  return function != nullptr &&
         function(thread, kThreadActualBasePriority, &value, sizeof(value)) == 0;
}

// Enables one privilege of the process token; false when the token does not
// hold it.
bool EnablePrivilege(const char* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
                 AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                 GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

}  // namespace

CPlatformThread::CPlatformThread() : shared(std::make_unique<Shared>()) {}

std::unique_ptr<CPlatformThread> CPlatformThread::CreateSuspended(std::function<void()> body,
                                                                  size_t stackSize, CResult* why) {
  std::unique_ptr<CPlatformThread> thread(new CPlatformThread());
  Shared* shared = thread->shared.get();
  shared->body = std::move(body);
  const DWORD flags = CREATE_SUSPENDED | (stackSize > 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0);
  shared->hThread = CreateThread(nullptr, stackSize, ThreadEntry, shared, flags, &shared->nTid);
  if (shared->hThread == nullptr) {
    if (why != nullptr) *why = CResult::FromLastError("create a thread");
    return nullptr;
  }
  return thread;
}

CPlatformThread::~CPlatformThread() {
  if (shared->hThread == nullptr) return;
  if (!shared->bResumed.exchange(true)) {
    shared->bCancelled.store(true);
    ResumeThread(shared->hThread);
  }
  WaitForSingleObject(shared->hThread, INFINITE);
  CloseHandle(shared->hThread);
}

void CPlatformThread::Resume() {
  if (!shared->bResumed.exchange(true)) ResumeThread(shared->hThread);
}

uint32_t CPlatformThread::ThreadId() const { return shared->nTid; }

bool CPlatformThread::SetPriority(int osPriority) {
  return SetThreadPriority(shared->hThread, NamedPriority(osPriority)) != 0;
}

bool CPlatformThread::SetAbsoluteLevel(int level) { return SetActualLevel(shared->hThread, level); }

bool CPlatformThread::SetAffinity(uint64_t mask) {
  return SetThreadAffinityMask(shared->hThread, static_cast<DWORD_PTR>(mask)) != 0;
}

bool SetCurrentThreadAbsoluteLevel(int level) { return SetActualLevel(GetCurrentThread(), level); }

bool IsAbsolutePriorityAvailable() {
  static const bool available = [] {
    if (NtSetInformationThreadEntry() == nullptr) return false;
    EnablePrivilege("SeIncreaseBasePriorityPrivilege");
    bool ok = false;
    std::thread probe([&ok] {
      ok = SetCurrentThreadAbsoluteLevel(kProbeLevelHigh) &&
           SetCurrentThreadAbsoluteLevel(kProbeLevelLow);
    });
    probe.join();
    return ok;
  }();
  return available;
}

bool IsProcessRealTimeClass() {
  return GetPriorityClass(GetCurrentProcess()) == REALTIME_PRIORITY_CLASS;
}

bool SetCurrentThreadOsPriority(int osPriority) {
  return SetThreadPriority(GetCurrentThread(), NamedPriority(osPriority)) != 0;
}

void SetCurrentThreadName(const char* name) {
  static const auto setDescription =
      LoadSystemFunction<SetThreadDescriptionFunction>("kernel32.dll", "SetThreadDescription");
  if (setDescription == nullptr || name == nullptr) return;
  setDescription(GetCurrentThread(), WidenAnsi(name).c_str());
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }
