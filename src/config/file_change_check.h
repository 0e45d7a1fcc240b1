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
// A check given a watcher's write reports (SettleWrites) does not hand out a
// version its writer may still be writing: a file changed since its last read is
// kSettling until its writer closed it (or renamed it into place), and a writer
// that keeps it open is taken to be done once the file stayed unchanged for
// kQuietMs, or kMaxSettleMs after the first change at the latest. Where no event
// told of the change (polling only, a share's remote writes) two looks at least
// kQuietMs apart (kMaxSettleMs for an empty file) must find the same size and
// modification time; the looks are compared with each other, never with our
// clock, which a share's may not match.
// The first read of a check is never held back.
//
//   CFileChangeCheck check;
//   if (check.Compare(path) == FileVersion::kNew) {
//     check.Take(path);  // just before reading, so a later write is seen
//     ...read the file...
//   }  // kSettling: look again at NextLookMs()
//
// Threads: one thread at a time (the owner's). The CFileStat must outlive it.
#ifndef QUILLRADE_CONFIG_FILE_CHANGE_CHECK_H_
#define QUILLRADE_CONFIG_FILE_CHANGE_CHECK_H_

#include <cstdint>
#include <string>

#include "platform/file_stat.h"
#include "platform/file_watcher.h"

enum class FileVersion {
  kMissing,   // the file cannot be examined now
  kSame,      // the version last taken
  kNew,       // another version, or none was taken yet
  kSettling,  // another version that its writer may still be writing
};

class CFileChangeCheck {
 public:
  // After each read, for this long every check compares contents as well: longer
  // than the coarsest timestamps in use (two seconds on FAT).
  static constexpr uint64_t kRacyWindowMs = 2000;
  // The content hash covers at most this many bytes: more than a task ever reads.
  static constexpr uint64_t kDefaultHashBytes = 65536;
  // A writer that keeps the file open is done once it left the file alone this
  // long: longer than the pauses of ordinary writers between truncating and
  // writing, short enough for a title change.
  static constexpr uint64_t kQuietMs = 250;
  // ... or this long after its first change, even if it keeps writing.
  static constexpr uint64_t kMaxSettleMs = 1000;
  // Past that, a file its writer has just emptied is looked at again this soon.
  static constexpr uint64_t kEmptiedLookMs = 10;

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

  // True when nothing shows that the file was written since Take: the same
  // token, and no write reported since. A read made in between is then whole.
  bool StillTaken(const std::string& path);
  // Drops the version taken, so the next Compare finds a new one (after a read
  // that a writer may have cut into).
  void Forget() { bExisted = false; }

  // From now on new versions wait for their writers as told by `reports` (not
  // owned; null: they do not wait). The watcher must outlive the check.
  void SettleWrites(CFileWatcher* reports) { pWriteReports = reports; }
  // When a kSettling file is to be looked at again (monotonic milliseconds);
  // UINT64_MAX when none is.
  uint64_t NextLookMs() const;

 private:
  // kNew once the writer of the changed file `current` is done, else kSettling.
  FileVersion Settle(const std::string& path, const FileChangeToken& current);
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

  CFileWatcher* pWriteReports = nullptr;
  uint64_t nEventsAtTake = 0;  // the watcher's event count for the file at Take
  bool bSettling = false;      // a changed version waits for its writer
  FileChangeToken lookToken;   // ... as the last look saw it
  uint64_t nFirstChangeMs = 0;
  uint64_t nLastChangeMs = 0;  // when a look or an event last saw it change
  uint64_t nNextLookMs = 0;
  uint64_t nEventsAtLook = 0;         // events seen when the look's token was new
  bool bDecidedDone = false;          // the last look found the writer done ...
  uint64_t nEventsDecided = 0;        // ... with this many events seen
  bool bWrittenSinceDecided = false;  // events came between that look and Take
};

#endif  // QUILLRADE_CONFIG_FILE_CHANGE_CHECK_H_
