#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/file_system.h"

namespace {

// Seconds from 1601-01-01 (the Windows file time epoch) to 1970-01-01.
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600u;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000u;  // 100 ns units

}  // namespace

const char* PathSeparators() { return "/"; }

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool IsReadableByEveryone(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IROTH) != 0;
}

std::string GetAbsolutePath(const std::string& path) {
  try {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return std::string();
    return absolute.lexically_normal().string();
  } catch (...) {  // allocation failure: report as "no path"
    return std::string();
  }
}

uint64_t QueryFileWriteTime(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 0;
  // Unsigned arithmetic: absurd timestamps wrap instead of overflowing.
  const uint64_t seconds = static_cast<uint64_t>(info.st_mtim.tv_sec) + kSecondsFrom1601To1970;
  return seconds * kFileTimeUnitsPerSecond + static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100u;
}

// --- CReadOnlyFile ---

CResult CReadOnlyFile::Open(const std::string& path, bool sequential) {
  Close();
  // O_NONBLOCK keeps open() of a FIFO from waiting for a writer; such files are
  // refused right after.
  CUniqueFd opened(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info;
  if (!opened.IsValid()) {
    const int error = errno;
    // A socket refuses open() itself; it is still "not a regular file".
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      return NotAFile(path, S_ISDIR(info.st_mode));
    }
    return Refused(path, error);
  }
  if (fstat(opened.Get(), &info) != 0) return Refused(path, errno);
  if (!S_ISREG(info.st_mode)) return NotAFile(path, S_ISDIR(info.st_mode));
  if (sequential) posix_fadvise(opened.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  descriptor = std::move(opened);
  nSize = static_cast<uint64_t>(info.st_size);
  strPath = path;
  return CResult::Ok();
}

int64_t CReadOnlyFile::Read(void* buffer, size_t size) {
  if (!descriptor.IsValid()) return -1;
  char* target = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t count = read(descriptor.Get(), target + done, size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      NoteReadError(errno);
      return -1;
    }
    if (count == 0) break;
    done += static_cast<size_t>(count);
  }
  return static_cast<int64_t>(done);
}
