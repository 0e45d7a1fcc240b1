#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/process.h"

namespace {

// Seconds from 1601-01-01 (the Windows file time epoch) to 1970-01-01.
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600u;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000u;  // 100 ns units

}  // namespace

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
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

bool ReadFileBytes(const std::string& path, size_t maxBytes, std::string* out,
                   std::string* readError) {
  out->clear();
  if (readError != nullptr) readError->clear();
  CReadOnlyFile file;
  if (!file.Open(path)) return false;
  std::string bytes(maxBytes, '\0');
  const int64_t count = file.Read(bytes.data(), bytes.size());
  if (count < 0) {
    if (readError != nullptr) *readError = file.ReadError();
    return false;
  }
  bytes.resize(static_cast<size_t>(count));
  *out = std::move(bytes);
  return true;
}

// --- CReadOnlyFile ---

CReadOnlyFile::~CReadOnlyFile() { Close(); }

CReadOnlyFile::CReadOnlyFile(CReadOnlyFile&& other) noexcept
    : descriptor(std::move(other.descriptor)),
      nSize(std::exchange(other.nSize, 0)),
      strReadError(std::move(other.strReadError)) {}

CReadOnlyFile& CReadOnlyFile::operator=(CReadOnlyFile&& other) noexcept {
  if (this != &other) {
    Close();
    descriptor = std::move(other.descriptor);
    nSize = std::exchange(other.nSize, 0);
    strReadError = std::move(other.strReadError);
  }
  return *this;
}

bool CReadOnlyFile::Open(const std::string& path, bool sequential) {
  Close();
  // O_NONBLOCK keeps open() of a FIFO from waiting for a writer; such files are
  // refused right after.
  CUniqueFd opened(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!opened.IsValid()) return false;
  struct stat info;
  if (fstat(opened.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (sequential) posix_fadvise(opened.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  descriptor = std::move(opened);
  nSize = static_cast<uint64_t>(info.st_size);
  return true;
}

void CReadOnlyFile::Close() {
  descriptor.Reset();
  nSize = 0;
  strReadError.clear();
}

int64_t CReadOnlyFile::Read(void* buffer, size_t size) {
  if (!descriptor.IsValid()) return -1;
  char* target = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t count = read(descriptor.Get(), target + done, size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      strReadError = ErrorMessage(errno);
      return -1;
    }
    if (count == 0) break;
    done += static_cast<size_t>(count);
  }
  return static_cast<int64_t>(done);
}

// --- CTextFileReader ---

bool CTextFileReader::Open(const std::string& path) {
  nChunkPos = 0;
  nChunkLength = 0;
  bEnded = false;
  return file.Open(path, true);
}

bool CTextFileReader::Refill() {
  if (bEnded) return false;
  const int64_t count = file.Read(chunk, kChunkBytes);
  if (count <= 0) {
    bEnded = true;
    return false;
  }
  nChunkPos = 0;
  nChunkLength = static_cast<size_t>(count);
  return true;
}

int CTextFileReader::PeekByte() {
  if (nChunkPos >= nChunkLength && !Refill()) return -1;
  return static_cast<unsigned char>(chunk[nChunkPos]);
}

int CTextFileReader::NextByte() {
  const int byte = PeekByte();
  if (byte >= 0) ++nChunkPos;
  return byte;
}

bool CTextFileReader::ReadLine(char* buffer, size_t size) {
  if (size >= 1) buffer[0] = '\0';
  if (size < 2 || !file.IsOpen()) return false;
  size_t length = 0;
  while (length + 1 < size) {
    int byte = NextByte();
    if (byte < 0) break;
    if (byte == '\r' && PeekByte() == '\n') byte = NextByte();
    buffer[length++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  buffer[length] = '\0';
  return length > 0;
}
