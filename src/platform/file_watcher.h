// CFileWatcher: tells the main thread that a watched file may have changed, so it
// looks at once instead of at its next regular pass. The folders of the files are
// watched, so a file replaced by rename, deleted and created again, or created
// later is still seen. Reported: a file written and closed, renamed into place or
// away, created, deleted; a lost or overflowing watch counts as a report too.
// Modifications of a file still open for writing are not reported, so a writer
// is not read halfway. A report is only a hint: whether a file really changed is
// for the caller's change check to decide. Events for other names in the same
// folders are dropped.
//
// A folder that cannot be watched (no support, a watch limit reached) is named by
// TakeFailures; the caller then finds its changes by polling alone. A folder that
// does not exist yet is not a failure: it is watched once it appears.
//
// Ownership: the main thread owns the watcher. Threads: one thread at a time.
#ifndef QUILLRADE_PLATFORM_FILE_WATCHER_H_
#define QUILLRADE_PLATFORM_FILE_WATCHER_H_

#include <memory>
#include <string>
#include <vector>

class CWakeEvent;

struct WatchFailure {
  std::string strFolder;  // absolute path of the folder
  std::string strReason;  // why it cannot be watched, for the status line
};

class CFileWatcher {
 public:
  virtual ~CFileWatcher() = default;

  // Watches the folders of exactly these files from now on; earlier watches and
  // their pending reports are dropped. Paths are taken as the reads take them
  // (relative ones against the current folder).
  virtual void Watch(const std::vector<std::string>& files) = 0;
  // Waits up to `milliseconds` for `wake` or for a report about a watched file.
  // True when one of them came (the reports are taken, a set `wake` consumed);
  // false when the time ran out, or earlier when transfers attached to `wake`
  // are ready (CWakeEvent::WakeOnTransfers).
  virtual bool Wait(CWakeEvent& wake, int milliseconds) = 0;
  // Folders found unwatchable since the last call, each once.
  virtual std::vector<WatchFailure> TakeFailures() = 0;
};

// The system's watcher (inotify on Linux).
std::unique_ptr<CFileWatcher> CreateSystemFileWatcher();

#endif  // QUILLRADE_PLATFORM_FILE_WATCHER_H_
