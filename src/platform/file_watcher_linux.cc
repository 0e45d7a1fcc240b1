#include "platform/file_watcher.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/unique_fd.h"
#include "platform/wake_event.h"

namespace {

// Written and closed, renamed into place or away, created, deleted, written
// (only to know a writer is at work); and the folder itself deleted or moved,
// which ends its watch.
constexpr uint32_t kWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                IN_DELETE | IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A folder that does not exist (yet) is looked for again this often.
constexpr uint64_t kMissingFolderRetryMs = 1000;
// Reads of queued events per wake; the rest waits for the next wake, so a writer
// producing events as fast as they are read cannot hold the reader.
constexpr int kMaxReadsPerDrain = 16;
// After a wake that brought only events for other files, the watch rests this
// long, so a busy folder cannot keep the main thread spinning.
constexpr int kUnrelatedEventPauseMs = 1;
constexpr size_t kEventBufferBytes = 8192;

std::string InitFailureReason(int error) {
  if (error == EMFILE)
    return "the limit of inotify instances is reached (fs.inotify.max_user_instances)";
  if (error == ENOSYS) return "not supported by the system";
  return strerror(error);
}

std::string WatchFailureReason(int error) {
  if (error == ENOSPC)
    return "the limit of inotify watches is reached (fs.inotify.max_user_watches)";
  return strerror(error);
}

// The file's folder (absolute) and name; false for a path without a file name.
bool SplitFolderAndName(const std::string& path, std::string* folder, std::string* name) {
  const std::filesystem::path absolute(path);
  *name = absolute.filename().string();
  *folder = absolute.parent_path().string();
  return !name->empty() && !folder->empty();
}

// The symbolic links of `path` resolved; empty when it cannot be resolved.
std::string ResolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

class CInotifyWatcher : public CFileWatcher {
 public:
  CInotifyWatcher() = default;
  ~CInotifyWatcher() override { Close(); }
  CInotifyWatcher(const CInotifyWatcher&) = delete;
  CInotifyWatcher& operator=(const CInotifyWatcher&) = delete;

  void Watch(const std::vector<std::string>& files) override;
  bool Wait(CWakeEvent& wake, int milliseconds) override;
  std::vector<WatchFailure> TakeFailures() override { return std::exchange(failures, {}); }
  FileWriteReport WriteReport(const std::string& path) override;

 private:
  enum class AddResult { kWatched, kMissing, kFailed };

  void Close();
  void AddFile(const std::string& path);
  AddResult AddWatch(const std::string& folder);
  // Watches the missing folders that exist now; true when one of them does.
  bool WatchAppearedFolders();
  // Reads the queued events; true when one of them may concern a watched file.
  bool TakeEvents();
  bool IsRelevant(const inotify_event& event);
  // Records the event in the write report of `folder`/`name`; true when it is a
  // report worth a wake (anything but a write after the first one).
  bool RecordWrite(const std::string& folder, const std::string& name, uint32_t mask);
  void ForgetWatch(int wd);

  CUniqueFd descriptor;
  std::map<std::string, std::set<std::string>> names;  // folder -> watched file names
  std::map<int, std::vector<std::string>> watches;     // watch -> its folders
  std::set<std::string> missing;                       // folders to look for again
  uint64_t nNextMissingCheckMs = 0;
  std::vector<WatchFailure> failures;
  std::map<std::string, FileWriteReport> writes;  // "folder/name" -> what its events said
  bool bReportTaken = false;  // WriteReport took a report the next Wait owes its caller
};

void CInotifyWatcher::Close() {
  descriptor.Reset();
  watches.clear();
  missing.clear();
  writes.clear();
}

FileWriteReport CInotifyWatcher::WriteReport(const std::string& path) {
  if (descriptor.IsValid() && TakeEvents()) bReportTaken = true;
  // A link's writes show on its target; its own name only when it is replaced.
  const std::string target = ResolvedPath(path);
  if (!target.empty()) {
    const auto found = writes.find(target);
    if (found != writes.end()) return found->second;
  }
  const auto found = writes.find(GetAbsolutePath(path));
  return found == writes.end() ? FileWriteReport() : found->second;
}

bool CInotifyWatcher::RecordWrite(const std::string& folder, const std::string& name,
                                  uint32_t mask) {
  FileWriteReport& report = writes[(std::filesystem::path(folder) / name).string()];
  ++report.nEvents;
  if (mask & (IN_MODIFY | IN_CREATE)) {
    const bool first = report.state != WriterState::kWriting;
    report.state = WriterState::kWriting;
    report.nLastWriteMs = GetMonotonicMilliseconds();
    // Later writes of the same writer only move the time: its close wakes.
    return first || (mask & IN_CREATE) != 0;
  }
  report.nLastWriteMs = 0;
  // Closed after writing or renamed into place; gone (deleted, renamed away): no
  // writer is left either way.
  report.state =
      (mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) ? WriterState::kClosed : WriterState::kUnknown;
  return true;
}

void CInotifyWatcher::Watch(const std::vector<std::string>& files) {
  // A fresh instance: events still queued for the old watches go with it.
  Close();
  names.clear();
  for (const std::string& file : files) {
    AddFile(GetAbsolutePath(file));
    // A link's target lives in another folder; its writes are seen there.
    const std::string target = ResolvedPath(file);
    if (!target.empty()) AddFile(target);
  }
  descriptor.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!descriptor.IsValid()) {
    const std::string reason = InitFailureReason(errno);
    for (const auto& [folder, unused] : names) failures.push_back({folder, reason});
    return;
  }
  for (const auto& [folder, unused] : names) {
    if (AddWatch(folder) == AddResult::kMissing) missing.insert(folder);
  }
  nNextMissingCheckMs = GetMonotonicMilliseconds() + kMissingFolderRetryMs;
}

void CInotifyWatcher::AddFile(const std::string& path) {
  std::string folder;
  std::string name;
  if (SplitFolderAndName(path, &folder, &name)) names[folder].insert(name);
}

CInotifyWatcher::AddResult CInotifyWatcher::AddWatch(const std::string& folder) {
  const int wd = inotify_add_watch(descriptor.Get(), folder.c_str(), kWatchMask);
  if (wd >= 0) {
    // Two paths to one folder share its watch.
    std::vector<std::string>& folders = watches[wd];
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(folder);
    }
    return AddResult::kWatched;
  }
  if (errno == ENOENT || errno == ENOTDIR) return AddResult::kMissing;
  failures.push_back({folder, WatchFailureReason(errno)});
  return AddResult::kFailed;
}

bool CInotifyWatcher::WatchAppearedFolders() {
  nNextMissingCheckMs = GetMonotonicMilliseconds() + kMissingFolderRetryMs;
  bool appeared = false;
  for (auto it = missing.begin(); it != missing.end();) {
    const AddResult result = AddWatch(*it);
    if (result == AddResult::kMissing) {
      ++it;
      continue;
    }
    // A folder that appeared may already hold the files.
    appeared = appeared || result == AddResult::kWatched;
    it = missing.erase(it);
  }
  return appeared;
}

bool CInotifyWatcher::Wait(CWakeEvent& wake, int milliseconds) {
  if (!descriptor.IsValid()) return wake.Wait(milliseconds);
  if (std::exchange(bReportTaken, false)) return true;
  const uint64_t deadline = GetMonotonicMilliseconds() + static_cast<uint64_t>(milliseconds);
  for (;;) {
    uint64_t now = GetMonotonicMilliseconds();
    if (!missing.empty() && now >= nNextMissingCheckMs && WatchAppearedFolders()) return true;
    uint64_t until = deadline;
    if (!missing.empty()) until = std::min(until, nNextMissingCheckMs);
    const int timeout = now >= until ? 0 : static_cast<int>(until - now);
    const WakeResult woken = wake.WaitWith(descriptor.Get(), timeout);
    // Take the events even when the wake came too: they belong to this wake.
    const bool relevant = woken.bOther && TakeEvents();
    if (woken.bSet || relevant) return true;
    // Ready transfers are the caller's to drive; it waits again after.
    if (woken.bTransfers) return false;
    now = GetMonotonicMilliseconds();
    if (now >= deadline) return false;
    if (woken.bOther) {
      const int pause =
          static_cast<int>(std::min<uint64_t>(kUnrelatedEventPauseMs, deadline - now));
      if (wake.Wait(pause)) return true;
    }
  }
}

bool CInotifyWatcher::TakeEvents() {
  alignas(inotify_event) char buffer[kEventBufferBytes];
  bool relevant = false;
  for (int reads = 0; reads < kMaxReadsPerDrain; ++reads) {
    const ssize_t count = read(descriptor.Get(), buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    for (ssize_t at = 0; at < count;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      relevant = IsRelevant(*event) || relevant;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return relevant;
}

bool CInotifyWatcher::IsRelevant(const inotify_event& event) {
  // Events were dropped: any watched file may have changed.
  if (event.mask & IN_Q_OVERFLOW) {
    // Nor is anything known of their writers any longer.
    for (auto& [unused, report] : writes)
      report = FileWriteReport{WriterState::kUnknown, report.nEvents};
    return true;
  }
  const auto found = watches.find(event.wd);
  if (found == watches.end()) return false;
  if (event.mask & IN_IGNORED) {
    // The folder went away (or was unmounted): look for it again, and look at
    // its files now.
    ForgetWatch(event.wd);
    return true;
  }
  if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
    // A moved folder would keep reporting under its new place; drop its watch
    // now. The kernel answers with IN_IGNORED, handled above.
    inotify_rm_watch(descriptor.Get(), event.wd);
    return true;
  }
  if (event.len == 0) return false;
  const std::string name(event.name);
  bool relevant = false;
  for (const std::string& folder : found->second) {
    const auto watched = names.find(folder);
    if (watched != names.end() && watched->second.count(name) != 0) {
      relevant = RecordWrite(folder, name, event.mask) || relevant;
    }
  }
  return relevant;
}

void CInotifyWatcher::ForgetWatch(int wd) {
  const auto found = watches.find(wd);
  if (found == watches.end()) return;
  for (const std::string& folder : found->second) missing.insert(folder);
  watches.erase(found);
}

}  // namespace

std::unique_ptr<CFileWatcher> CreateSystemFileWatcher() {
  return std::make_unique<CInotifyWatcher>();
}
