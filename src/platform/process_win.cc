#include "platform/process.h"

#include <stdlib.h>

#include <cstdio>

#include "platform/stdout_writer.h"
#include "platform/unique_fd.h"
#include "platform/win_handle.h"

#include <shellapi.h>

namespace {

// Makes Ctrl-C reach only the child while it runs, as system() does.
class CIgnoreInterrupts {
 public:
  CIgnoreInterrupts() { SetConsoleCtrlHandler(nullptr, TRUE); }
  ~CIgnoreInterrupts() { SetConsoleCtrlHandler(nullptr, FALSE); }
  CIgnoreInterrupts(const CIgnoreInterrupts&) = delete;
  CIgnoreInterrupts& operator=(const CIgnoreInterrupts&) = delete;
};

// Appends everything readable from `pipe` to `output` until the writing end closes.
void ReadUntilEnd(HANDLE pipe, std::string* output) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    output->append(buffer, got);
  }
}

// Runs argv to its end with this process ignoring Ctrl-C meanwhile. With a
// valid `outputWrite` (closed here once the child has its copy) the child's
// standard output is read from `outputRead` into `output`.
ChildResult SpawnAndWait(const std::vector<std::string>& argv, CUniqueFd outputWrite,
                         HANDLE outputRead, std::string* output) {
  ChildResult result;
  if (argv.empty()) {
    result.nError = ERROR_INVALID_PARAMETER;
    return result;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  if (outputWrite.IsValid()) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = DescriptorToHandle(outputWrite.Get());
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  std::string commandLine = BuildCommandLine(argv);
  PROCESS_INFORMATION process{};
  const CIgnoreInterrupts ignore;
  // What was printed comes before anything the child prints on the same output.
  FlushStdout();
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    result.nError = static_cast<int>(GetLastError());
    return result;
  }
  outputWrite.Reset();
  const CUniqueFd child(HandleToDescriptor(process.hProcess));
  CloseHandle(process.hThread);
  result.bStarted = true;
  if (output != nullptr) ReadUntilEnd(outputRead, output);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  if (GetExitCodeProcess(process.hProcess, &exitCode))
    result.nExitCode = static_cast<int>(exitCode);
  return result;
}

// Opens the null device as a standard handle that is missing.
void FillStandardHandle(DWORD which, DWORD access) {
  HANDLE current = GetStdHandle(which);
  if (current != nullptr && current != INVALID_HANDLE_VALUE) return;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE null = CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  if (null != INVALID_HANDLE_VALUE) SetStdHandle(which, null);
}

}  // namespace

void LimitAllocatorPools() {}

void ReleaseFreeMemory() { HeapCompact(GetProcessHeap(), 0); }

void EnsureStandardDescriptors() {
  FillStandardHandle(STD_INPUT_HANDLE, GENERIC_READ);
  FillStandardHandle(STD_OUTPUT_HANDLE, GENERIC_WRITE);
  FillStandardHandle(STD_ERROR_HANDLE, GENERIC_WRITE);
}

// The wide call, as the ANSI one stops at MAX_PATH.
std::string GetProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) {
      path.resize(length);
      return NarrowToAnsi(path);
    }
    path.resize(path.size() * 2);
  }
}

std::string ReadSystemCommandLine() { return GetCommandLineA(); }

// Split by CommandLineToArgvW rather than taken from the C runtime's argv, whose
// rules differ between runtime versions (two quotes inside a quoted piece): so
// the elevated copy reads exactly what BuildCommandLine wrote for it.
std::vector<std::string> ReadProcessArguments(int argc, const char* const* argv) {
  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (split == nullptr) {
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    return arguments;
  }
  for (int i = 0; i < count; ++i) arguments.push_back(NarrowToAnsi(split[i]));
  LocalFree(split);
  return arguments;
}

// Membership of the built-in Administrators group in the token this process
// runs with (a filtered token of an administrator is not a member).
bool IsEffectiveRoot() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                0, 0, 0, 0, 0, 0, &administrators)) {
    return false;
  }
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

bool IsProgramOnPath(const std::string& program) {
  if (program.empty()) return false;
  char found[MAX_PATH];
  const DWORD length = SearchPathA(nullptr, program.c_str(), ".exe", MAX_PATH, found, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  const DWORD attributes = GetFileAttributesA(found);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

ChildResult RunChildAndWait(const std::vector<std::string>& argv) {
  return SpawnAndWait(argv, CUniqueFd(), nullptr, nullptr);
}

ChildResult RunChildCaptureOutput(const std::vector<std::string>& argv, std::string* output) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    ChildResult result;
    result.nError = static_cast<int>(GetLastError());
    return result;
  }
  // Only the writing end goes to the child.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  const CUniqueFd reading(HandleToDescriptor(readEnd));
  return SpawnAndWait(argv, CUniqueFd(HandleToDescriptor(writeEnd)), readEnd, output);
}

// The system's text for a Windows error code (the common errno values share
// their numbers with it: 2 = file not found, 5 = access denied).
std::string ErrorMessage(int error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "Unknown error " + std::to_string(error);
  std::string message(text, length);
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

void ExitProcessNow(int exitCode) {
  FlushStdout();
  std::fflush(stderr);
  _exit(exitCode);
}
