#include "config/file_helpers.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/file_system.h"

CResult ReadWholeFile(const std::string& path, uint64_t limit, std::string* buffer) {
  buffer->clear();
  CReadOnlyFile file;
  const CResult opened = file.Open(path, true);
  if (!opened.ok()) return opened;
  const uint64_t size = file.Size();
  // The size must fit the 32-bit count a single read takes.
  const uint64_t largest = std::min<uint64_t>(limit, std::numeric_limits<uint32_t>::max());
  if (size > largest) {
    return CResult::Failure(
        CResultCode::kInvalidArgument, "read " + path,
        std::to_string(size) + " bytes, more than the " + std::to_string(largest) + " accepted");
  }
  std::string bytes(static_cast<size_t>(size), '\0');
  const int64_t count = file.Read(bytes.data(), bytes.size());
  if (count < 0) return file.ReadError();
  // A file that shrank while being read did not arrive whole.
  if (count != static_cast<int64_t>(size)) {
    return CResult::Failure(CResultCode::kIoError, "read " + path, "it shrank while it was read");
  }
  *buffer = std::move(bytes);
  return CResult::Ok();
}

uint64_t GetFileLastWriteTime(const std::string& path) { return QueryFileWriteTime(path); }
