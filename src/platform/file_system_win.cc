#include "platform/file_system.h"

#include <algorithm>

#include "platform/win_handle.h"

namespace {

// The largest piece one ReadFile call is asked for.
constexpr size_t kMaxReadPiece = 1u << 30;

}  // namespace

const char* PathSeparators() { return "\\/"; }

bool FileExists(const std::string& path) {
  return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsReadableByEveryone(const std::string&) { return false; }

// GetFullPathNameW resolves "." and ".." by the text alone, as on Linux; links
// are left alone. (The ANSI call stops at MAX_PATH.)
std::string GetAbsolutePath(const std::string& path) {
  if (path.empty()) return std::string();
  const std::wstring wide = WidenAnsi(path);
  if (wide.empty()) return std::string();
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::string();
  std::wstring absolute(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, absolute.data(), nullptr);
  if (length == 0 || length >= needed) return std::string();
  absolute.resize(length);
  return NarrowToAnsi(absolute);
}

// The directory entry's time, as a directory listing shows it: no open handle,
// so no writer's share mode can refuse it.
uint64_t QueryFileWriteTime(const std::string& path) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(SystemPath(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  FindClose(search);
  return FileTimeValue(found.ftLastWriteTime);
}

// --- CReadOnlyFile ---

// Full sharing: a writer, a renamer or a deleter may hold or take the file at
// the same time; devices and pipes are refused so a read never blocks.
CResult CReadOnlyFile::Open(const std::string& path, bool sequential) {
  Close();
  const std::wstring systemPath = SystemPath(path);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0);
  CUniqueFd opened(HandleToDescriptor(CreateFileW(
      systemPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, flags, nullptr)));
  if (!opened.IsValid()) {
    const int error = static_cast<int>(GetLastError());
    // A folder refuses to open as a file with "access denied", which would
    // send the reader looking at permissions.
    const DWORD attributes = GetFileAttributesW(systemPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return NotAFile(path, true);
    }
    return Refused(path, error);
  }
  HANDLE handle = DescriptorToHandle(opened.Get());
  if (GetFileType(handle) != FILE_TYPE_DISK) return NotAFile(path, false);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle, &size)) return Refused(path, static_cast<int>(GetLastError()));
  descriptor = std::move(opened);
  nSize = static_cast<uint64_t>(size.QuadPart);
  strPath = path;
  return CResult::Ok();
}

int64_t CReadOnlyFile::Read(void* buffer, size_t size) {
  if (!descriptor.IsValid()) return -1;
  char* target = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const DWORD piece = static_cast<DWORD>(std::min(size - done, kMaxReadPiece));
    DWORD count = 0;
    if (!ReadFile(DescriptorToHandle(descriptor.Get()), target + done, piece, &count, nullptr)) {
      NoteReadError(static_cast<int>(GetLastError()));
      return -1;
    }
    if (count == 0) break;
    done += count;
  }
  return static_cast<int64_t>(done);
}
