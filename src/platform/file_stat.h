// The identity of one version of a file (modification time in nanoseconds, size,
// inode, device, and the change time) and CFileStat, the seam through which the
// change checks read it: the real one asks stat(), tests put in a fake (one that
// cuts the times to whole seconds, as file systems with coarse timestamps do).
//
// Threads: any thread; a CFileStat holds no state of its own.
#ifndef QUILLRADE_PLATFORM_FILE_STAT_H_
#define QUILLRADE_PLATFORM_FILE_STAT_H_

#include <cstdint>
#include <string>

struct FileChangeToken {
  int64_t nModifiedNs = 0;  // st_mtim, nanoseconds since 1970
  int64_t nChangedNs = 0;   // st_ctim (status change), nanoseconds since 1970
  uint64_t nSize = 0;
  uint64_t nInode = 0;
  uint64_t nDevice = 0;

  // Same modification time, size, inode and device. The change time is left
  // out: a chmod or a link count change alone is not a new version.
  bool SameVersion(const FileChangeToken& other) const {
    return nModifiedNs == other.nModifiedNs && nSize == other.nSize && nInode == other.nInode &&
           nDevice == other.nDevice;
  }
};

class CFileStat {
 public:
  virtual ~CFileStat() = default;
  // The token of the file at `path` (symbolic links followed, as a read follows
  // them). False when the file cannot be examined (missing, no permission).
  virtual bool Query(const std::string& path, FileChangeToken* token) const;
};

// The process's stat(), shared by everyone that does not substitute a fake.
const CFileStat& SystemFileStat();

#endif  // QUILLRADE_PLATFORM_FILE_STAT_H_
