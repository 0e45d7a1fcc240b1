// CFileWatcher: tells the main thread that a watched file may have changed, so it
// looks at once instead of at its next regular pass. The folders of the files are
// watched, so a file replaced by rename, deleted and created again, or created
// later is still seen. Reported: a file written and closed, renamed into place or
// away, created, deleted; a lost or overflowing watch counts as a report too.
// Modifications of a file still open for writing wake nobody, except the first
// after a close, so the caller can start waiting for the writer; a report is only
// a hint: whether a file really changed is for the caller's change check to
// decide. Events for other names in the same folders are dropped.
//
// WriteReport tells whether a watched file's writer is still at work: on Linux
// from the events (written or created since its last close-after-write), on
// Windows, which has no close event, by trying to open it with write sharing
// denied.
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

enum class WriterState {
  kUnknown,  // nothing known: no events for this file (or no watch)
  kWriting,  // written or created since it was last closed after writing
  kClosed,   // closed after its last write, or renamed into place
};

struct FileWriteReport {
  WriterState state = WriterState::kUnknown;
  // Events about the file seen so far; unchanged between two reports means the
  // change in between was not seen by the watch (a remote write on a share).
  uint64_t nEvents = 0;
  // The state was probed on the file itself just now, not taken from events.
  bool bProbed = false;
  // Monotonic milliseconds of the last write seen while kWriting; 0 when none.
  uint64_t nLastWriteMs = 0;
};

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
  // What is known of the writer of the watched file at `path`, with the events
  // queued until now taken first (a report they make is kept for the next Wait).
  virtual FileWriteReport WriteReport(const std::string& path) {
    (void)path;
    return {};
  }
};

// The system's watcher (inotify on Linux).
std::unique_ptr<CFileWatcher> CreateSystemFileWatcher();

#endif  // QUILLRADE_PLATFORM_FILE_WATCHER_H_
