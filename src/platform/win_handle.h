// Helpers shared by the Windows files of the platform layer: the system headers
// with their macros tamed, handles kept in the int descriptors the layer's
// interfaces carry (kernel handles fit in 32 bits), file time arithmetic and
// ANSI/UTF-16 conversions. Internal: included only by *_win.cc files.
#ifndef QUILLRADE_PLATFORM_WIN_HANDLE_H_
#define QUILLRADE_PLATFORM_WIN_HANDLE_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/clock.h"

// Windows file times count 100 ns units from 1601-01-01 UTC.
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000u;
constexpr uint64_t kFileTimeAt1970 = 116444736000000000u;

// -1 for a null or invalid handle, so CUniqueFd::IsValid tells them apart.
inline int HandleToDescriptor(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

inline HANDLE DescriptorToHandle(int descriptor) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(descriptor));
}

inline uint64_t FileTimeValue(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline LocalTime ToLocalTime(const SYSTEMTIME& time) {
  LocalTime result;
  result.nYear = time.wYear;
  result.nMonth = time.wMonth;
  result.nDay = time.wDay;
  result.nHour = time.wHour;
  result.nMinute = time.wMinute;
  result.nSecond = time.wSecond;
  return result;
}

// Milliseconds for a wait; negative means without limit.
inline DWORD WaitMilliseconds(int milliseconds) {
  return milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
}

// Text in the ANSI code page (what the "A" calls take) as UTF-16 and back;
// empty when the conversion fails.
std::wstring WidenAnsi(const std::string& text);
std::string NarrowToAnsi(const std::wstring& text);
// A path for the wide ("W") file calls: widened and, when it is too long for the
// ANSI calls (MAX_PATH or more), made absolute and given the "\\?\" prefix
// ("\\?\UNC\" for a share), which lifts the limit. Shorter paths pass as they
// are, so they resolve exactly as before.
std::wstring SystemPath(const std::string& path);

// A function of a system library looked up at run time (absent on older
// systems); null when the library or the function is missing.
template <typename Function>
Function LoadSystemFunction(const char* library, const char* name) {
  HMODULE module = GetModuleHandleA(library);
  if (module == nullptr) module = LoadLibraryA(library);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

#endif  // QUILLRADE_PLATFORM_WIN_HANDLE_H_
