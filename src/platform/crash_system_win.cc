#include "platform/crash_system.h"

// psapi.h and dbghelp.h need the types of windows.h first.
#include "platform/win_handle.h"

#include <dbghelp.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/crash_exception_win.h"

namespace {

// Distinct modules listed in a report.
constexpr DWORD kMaxModules = 1024;
constexpr size_t kPathCapacity = MAX_PATH * 2;
constexpr uint64_t kBytesPerPage = 4096;

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);

CrashSystemInfo g_info;
std::once_flag g_prepareOnce;
// The module list is built in these, so that a report needs no heap.
HMODULE g_modules[kMaxModules];
char g_modulePath[kPathCapacity];

void CopyText(char* target, size_t capacity, const char* text) {
  size_t length = std::strlen(text);
  if (length >= capacity) length = capacity - 1;
  std::memcpy(target, text, length);
  target[length] = '\0';
}

void GatherSystemInfo() {
  DWORD size = sizeof(g_info.szUserName);
  if (!GetUserNameA(g_info.szUserName, &size)) CopyText(g_info.szUserName, 256, "Unknown");
  CopyText(g_info.szOsName, sizeof(g_info.szOsName), "Windows NT");
  // GetVersionEx reports what the program's manifest allows; the kernel tells
  // the truth.
  const auto getVersion = LoadSystemFunction<RtlGetVersionFunction>("ntdll.dll", "RtlGetVersion");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (getVersion != nullptr && getVersion(&version) == 0) {
    std::snprintf(g_info.szOsVersion, sizeof(g_info.szOsVersion), "%lu.%lu build %lu",
                  version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
  }
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  g_info.nProcessors = static_cast<int>(system.dwNumberOfProcessors);
  g_info.nProcessorType = static_cast<int>(system.dwProcessorType);
}

int64_t UnixSecondsOf(const FILETIME& time) {
  return static_cast<int64_t>((FileTimeValue(time) - kFileTimeAt1970) / kFileTimeUnitsPerSecond);
}

HANDLE ToHandle(int fd) { return DescriptorToHandle(fd); }

}  // namespace

void PrepareCrashSystem() { std::call_once(g_prepareOnce, GatherSystemInfo); }

// The time zone rules are asked at each conversion; nothing to sample.
void PrepareCrashLocalTime() {}

const CrashSystemInfo& GetCrashSystemInfo() { return g_info; }

// Page by page, so that the readable start of a range is still copied when a
// later page is not.
size_t CrashReadMemory(uint64_t address, void* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const uint64_t at = address + done;
    const size_t piece =
        static_cast<size_t>(std::min<uint64_t>(length - done, kBytesPerPage - at % kBytesPerPage));
    SIZE_T got = 0;
    if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(at),
                           static_cast<char*>(buffer) + done, piece, &got) ||
        got != piece) {
      return done + got;
    }
    done += piece;
  }
  return done;
}

CrashMemoryStatus ReadCrashMemoryStatus() {
  CrashMemoryStatus status;
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof(memory);
  if (!GlobalMemoryStatusEx(&memory)) return status;
  status.nLoadPercent = static_cast<int>(memory.dwMemoryLoad);
  status.nPhysicalTotal = memory.ullTotalPhys;
  status.nPhysicalFree = memory.ullAvailPhys;
  status.nPagingTotal = memory.ullTotalPageFile;
  status.nPagingFree = memory.ullAvailPageFile;
  status.nVirtualTotal = memory.ullTotalVirtual;
  status.nVirtualFree = memory.ullAvailVirtual;
  return status;
}

bool ForEachCrashModule(CrashModuleVisitor visit, void* context) {
  DWORD needed = 0;
  HANDLE process = GetCurrentProcess();
  if (!EnumProcessModules(process, g_modules, sizeof(g_modules), &needed)) return false;
  const DWORD count = std::min<DWORD>(needed / sizeof(HMODULE), kMaxModules);
  std::sort(g_modules, g_modules + count);
  for (DWORD i = 0; i < count; ++i) {
    MODULEINFO info{};
    if (!GetModuleInformation(process, g_modules[i], &info, sizeof(info))) continue;
    if (GetModuleFileNameA(g_modules[i], g_modulePath, sizeof(g_modulePath)) == 0) continue;
    CrashModule module;
    module.pPath = g_modulePath;
    module.nBase = reinterpret_cast<uint64_t>(info.lpBaseOfDll);
    module.nSize = info.SizeOfImage;
    WIN32_FILE_ATTRIBUTE_DATA file{};
    if (GetFileAttributesExA(g_modulePath, GetFileExInfoStandard, &file)) {
      module.nFileSize = static_cast<int64_t>((static_cast<uint64_t>(file.nFileSizeHigh) << 32) |
                                              file.nFileSizeLow);
      module.nFileTime = UnixSecondsOf(file.ftLastWriteTime);
    }
    visit(module, context);
  }
  return true;
}

bool FindCrashModuleName(uint64_t address, char* name, size_t capacity) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<const char*>(address), &module)) {
    return false;
  }
  char path[kPathCapacity];
  if (GetModuleFileNameA(module, path, sizeof(path)) == 0) return false;
  const char* slash = std::strrchr(path, '\\');
  CopyText(name, capacity, slash != nullptr ? slash + 1 : path);
  return true;
}

int64_t CrashUnixTimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return UnixSecondsOf(now);
}

// The rules of the time zone for that date, daylight saving included.
LocalTime CrashLocalTime(int64_t unixSeconds) {
  const uint64_t value =
      static_cast<uint64_t>(unixSeconds) * kFileTimeUnitsPerSecond + kFileTimeAt1970;
  FILETIME utc{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
  SYSTEMTIME universal{};
  SYSTEMTIME local{};
  if (!FileTimeToSystemTime(&utc, &universal) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
    return LocalTime();
  }
  return ToLocalTime(local);
}

int CrashCreateFile(const char* path) {
  return HandleToDescriptor(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
}

bool CrashWriteFile(int fd, const char* data, size_t length) {
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(ToHandle(fd), data, static_cast<DWORD>(length), &written, nullptr)) return false;
    data += written;
    length -= written;
  }
  return true;
}

void CrashCloseFile(int fd) {
  if (fd >= 0) CloseHandle(ToHandle(fd));
}

// The debugger's output, and standard error for whoever runs the program.
void CrashWriteStderr(const char* text) {
  OutputDebugStringA(text);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    WriteFile(error, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  }
}

// A missing dbghelp.dll or MiniDumpWriteDump skips the dump.
bool CrashWriteCoreDump(const char* dumpPath) {
  const auto writeDump =
      LoadSystemFunction<MiniDumpWriteDumpFunction>("dbghelp.dll", "MiniDumpWriteDump");
  if (writeDump == nullptr) return false;
  const int fd = CrashCreateFile(dumpPath);
  if (fd < 0) return false;
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ClientPointers = FALSE;
  const bool known = CrashExceptionInfo(&exception.ExceptionPointers, &exception.ThreadId);
  const BOOL written = writeDump(GetCurrentProcess(), GetCurrentProcessId(), ToHandle(fd),
                                 MiniDumpNormal, known ? &exception : nullptr, nullptr, nullptr);
  CrashCloseFile(fd);
  return written != FALSE;
}

// Notepad from the system folder, not waited for.
void CrashOpenFileInViewer(const char* path) {
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, sizeof(folder));
  if (length == 0 || length >= sizeof(folder)) return;
  char commandLine[kPathCapacity * 2 + 32];
  std::snprintf(commandLine, sizeof(commandLine), "\"%s\\notepad.exe\" \"%s\"", folder, path);
  char program[MAX_PATH + 16];
  std::snprintf(program, sizeof(program), "%s\\notepad.exe", folder);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

int CrashCurrentThreadId() { return static_cast<int>(GetCurrentThreadId()); }

void CrashSleepMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

// TerminateProcess ends at once, without the library detach calls that a
// crashed process could hang in.
void CrashExitProcess(int exitCode) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
  ExitProcess(static_cast<UINT>(exitCode));
}
