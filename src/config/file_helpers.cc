#include "config/file_helpers.h"

#include <limits>
#include <utility>

#include "platform/file_system.h"

bool ReadWholeFile(const std::string& path, uint64_t limit, std::string* buffer) {
  buffer->clear();
  CReadOnlyFile file;
  if (!file.Open(path, true).ok()) return false;
  const uint64_t size = file.Size();
  // The size must fit the 32-bit count a single read takes.
  if (size > std::numeric_limits<uint32_t>::max() || size > limit) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  // A file that shrank while being read did not arrive whole.
  if (file.Read(bytes.data(), bytes.size()) != static_cast<int64_t>(size)) return false;
  *buffer = std::move(bytes);
  return true;
}

uint64_t GetFileLastWriteTime(const std::string& path) { return QueryFileWriteTime(path); }
