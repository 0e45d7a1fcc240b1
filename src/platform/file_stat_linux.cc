#include <sys/stat.h>

#include "platform/file_stat.h"

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

int64_t ToNanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * kNanosecondsPerSecond + time.tv_nsec;
}

}  // namespace

bool CFileStat::Query(const std::string& path, FileChangeToken* token) const {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  token->nModifiedNs = ToNanoseconds(info.st_mtim);
  token->nChangedNs = ToNanoseconds(info.st_ctim);
  token->nSize = static_cast<uint64_t>(info.st_size);
  token->nInode = static_cast<uint64_t>(info.st_ino);
  token->nDevice = static_cast<uint64_t>(info.st_dev);
  return true;
}
