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

namespace {

// Largest version resource copied for reading; real ones are about 1 KB. Like the
// module list, the copy and its result are static, so that a report needs no heap.
constexpr DWORD kVersionBlockBytes = 16 * 1024;
alignas(8) unsigned char g_versionBlock[kVersionBlockBytes];
CrashModuleVersion g_moduleVersion;

// The checksum and link time from the image's own headers in memory.
void ReadImageHeader(uint64_t base, CrashModule* module) {
  IMAGE_DOS_HEADER dos{};
  if (CrashReadMemory(base, &dos, sizeof(dos)) != sizeof(dos)) return;
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return;
  IMAGE_NT_HEADERS64 nt{};
  if (CrashReadMemory(base + static_cast<uint64_t>(dos.e_lfanew), &nt, sizeof(nt)) != sizeof(nt)) {
    return;
  }
  if (nt.Signature != IMAGE_NT_SIGNATURE) return;
  // The checksum sits at the same place in 32- and 64-bit optional headers.
  module->nChecksum = nt.OptionalHeader.CheckSum;
  module->nTimeStamp = nt.FileHeader.TimeDateStamp;
  module->bHaveImageHeader = true;
}

void CopyVersionText(const wchar_t* key, char* target, size_t capacity) {
  target[0] = '\0';
  wchar_t* text = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(g_versionBlock, key, reinterpret_cast<void**>(&text), &length)) return;
  if (text == nullptr || length == 0) return;
  const int written = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), target,
                                          static_cast<int>(capacity - 1), nullptr, nullptr);
  target[written > 0 ? written : 0] = '\0';
}

// The module's version resource as loaded with it; null without one.
const CrashModuleVersion* ReadModuleVersion(HMODULE handle) {
  HRSRC found = FindResourceA(handle, MAKEINTRESOURCEA(VS_VERSION_INFO), RT_VERSION);
  if (found == nullptr) return nullptr;
  const DWORD size = SizeofResource(handle, found);
  HGLOBAL loaded = LoadResource(handle, found);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr || size == 0 || size > kVersionBlockBytes) return nullptr;
  std::memcpy(g_versionBlock, bytes, size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(g_versionBlock, L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
    return nullptr;
  }
  CrashModuleVersion& version = g_moduleVersion;
  const DWORD numbers[4] = {fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                            fixed->dwProductVersionMS, fixed->dwProductVersionLS};
  for (int i = 0; i < 2; ++i) {
    version.nFileVersion[2 * i] = HIWORD(numbers[i]);
    version.nFileVersion[2 * i + 1] = LOWORD(numbers[i]);
    version.nProductVersion[2 * i] = HIWORD(numbers[2 + i]);
    version.nProductVersion[2 * i + 1] = LOWORD(numbers[2 + i]);
  }
  // The texts are kept per language and code page; the first pair listed names them.
  const WORD* translation = nullptr;
  wchar_t table[64] = L"\\StringFileInfo\\040904b0\\";
  if (VerQueryValueW(g_versionBlock, L"\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(const_cast<WORD**>(&translation)), &length) &&
      translation != nullptr && length >= 2 * sizeof(WORD)) {
    swprintf(table, sizeof(table) / sizeof(table[0]), L"\\StringFileInfo\\%04x%04x\\",
             translation[0], translation[1]);
  }
  wchar_t key[128];
  const struct {
    const wchar_t* pName;
    char* pTarget;
  } texts[] = {{L"CompanyName", version.szCompany},
               {L"ProductName", version.szProduct},
               {L"FileDescription", version.szFileDescription}};
  for (const auto& text : texts) {
    swprintf(key, sizeof(key) / sizeof(key[0]), L"%ls%ls", table, text.pName);
    CopyVersionText(key, text.pTarget, sizeof(version.szCompany));
  }
  return &version;
}

}  // namespace

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
    ReadImageHeader(module.nBase, &module);
    module.pVersion = ReadModuleVersion(g_modules[i]);
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
