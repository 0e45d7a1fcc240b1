// CFileChangeCheck: decides whether a file holds a version other than the one
// last read, and cannot be fooled by the clock. A file is new when its
// modification time (in nanoseconds), size, inode or device differ from those
// taken at the last read, so touching a file still counts as a change. On file
// systems with coarse timestamps (one or two seconds) a rewrite soon after a read
// can leave all of these unchanged; so for a while after each read (measured on
// the monotonic clock, not against the file system's clock) every check also
// compares a hash of the content with that of what was read, and a changed
// status-change time with an unchanged token triggers the same comparison. A
// file whose token and content are both unchanged is never reported new.
//
//   CFileChangeCheck check;
//   if (check.Compare(path) == FileVersion::kNew) {
//     check.Take(path);  // just before reading, so a later write is seen
//     ...read the file...
//   }
//
// Threads: one thread at a time (the owner's). The CFileStat must outlive it.
#ifndef QUILLRADE_CONFIG_FILE_CHANGE_CHECK_H_
#define QUILLRADE_CONFIG_FILE_CHANGE_CHECK_H_

#include <cstdint>
#include <string>

#include "platform/file_stat.h"

enum class FileVersion {
  kMissing,  // the file cannot be examined now
  kSame,     // the version last taken
  kNew,      // another version, or none was taken yet
};

class CFileChangeCheck {
 public:
  // After each read, for this long every check compares contents as well: longer
  // than the coarsest timestamps in use (two seconds on FAT).
  static constexpr uint64_t kRacyWindowMs = 2000;
  // The content hash covers at most this many bytes: more than a task ever reads.
  static constexpr uint64_t kDefaultHashBytes = 65536;

  explicit CFileChangeCheck(const CFileStat& stat = SystemFileStat(),
                            uint64_t hashBytes = kDefaultHashBytes,
                            uint64_t racyWindowMs = kRacyWindowMs);

  // Compares the file at `path` with the version last taken.
  FileVersion Compare(const std::string& path);
  // True when the file differs from the version last taken in any way, its
  // disappearance included (a file missing then and now is no difference).
  bool Differs(const std::string& path);
  // Takes the file's current version as the one read: its token and content
  // hash, and the comparison window starts now. A missing file is taken as
  // missing. Call just before reading the file.
  void Take(const std::string& path);

 private:
  // Hash of at most nHashBytes of the file; false when it cannot be read.
  bool HashContent(const std::string& path, uint64_t* hash) const;
  bool InRacyWindow() const;

  const CFileStat* pStat;
  uint64_t nHashBytes;
  uint64_t nRacyWindowMs;

  bool bTaken = false;    // a version was taken
  bool bExisted = false;  // ... and the file existed then
  FileChangeToken token;
  bool bHashed = false;  // nContentHash holds the hash of the content taken
  uint64_t nContentHash = 0;
  uint64_t nTakenAtMs = 0;
};

#endif  // QUILLRADE_CONFIG_FILE_CHANGE_CHECK_H_
