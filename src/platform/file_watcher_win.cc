#include "platform/file_watcher.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "platform/wake_event.h"
#include "platform/win_handle.h"

namespace {

// Renamed, created, deleted (the name changes) and written. The system reports
// writes as they happen, also while the writer still holds the file open: the
// caller's change check asks WriteReport whether the writer is done.
constexpr DWORD kWatchFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
// A folder that does not exist (yet) is looked for again this often.
constexpr uint64_t kMissingFolderRetryMs = 1000;
// After a wake that brought only events for other files, the watch rests this
// long, so a busy folder cannot keep the main thread spinning.
constexpr int kUnrelatedEventPauseMs = 1;
constexpr DWORD kEventBufferBytes = 16384;

// The file's folder (absolute) and name; false for a path without a file name.
bool SplitFolderAndName(const std::string& path, std::string* folder, std::string* name) {
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos || cut + 1 >= path.size()) return false;
  *name = path.substr(cut + 1);
  *folder = path.substr(0, cut == 2 && path[1] == ':' ? cut + 1 : cut);
  return !folder->empty();
}

// True when a writer holds the file: it cannot be opened with write sharing
// denied. The probe's handle lives only for this call.
bool IsHeldForWriting(const std::string& path) {
  const HANDLE probe = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(probe);
  return false;
}

// File names compare without regard to case, as the file system does.
bool SameFileName(const wchar_t* a, int aLength, const std::wstring& b) {
  return CompareStringOrdinal(a, aLength, b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// One watched folder with its outstanding ReadDirectoryChangesW call. The buffer
// and the OVERLAPPED belong to the system while a call is pending, so the
// object never moves and cancels the call (and waits for it) before it goes.
class CWatchedFolder {
 public:
  CWatchedFolder(std::string folder, HANDLE done) : strFolder(std::move(folder)), hDone(done) {}
  ~CWatchedFolder() { Cancel(); }
  CWatchedFolder(const CWatchedFolder&) = delete;
  CWatchedFolder& operator=(const CWatchedFolder&) = delete;

  // Opens the folder and starts watching. ERROR_SUCCESS, or why it failed.
  DWORD Open() {
    directory.Reset(HandleToDescriptor(
        CreateFileW(SystemPath(strFolder).c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr)));
    if (!directory.IsValid()) return GetLastError();
    return Arm();
  }

  // The names watched in this folder (UTF-16, as the system reports them).
  std::vector<std::wstring> names;

  const std::string& Folder() const { return strFolder; }

  // When the pending call has finished: takes its report and starts the next
  // call. `relevant` is set when a watched name may have changed; false when the
  // folder cannot be watched any longer.
  bool Collect(bool* relevant) {
    if (!bPending || !HasOverlappedIoCompleted(&overlapped)) return true;
    bPending = false;
    DWORD bytes = 0;
    if (!GetOverlappedResult(DescriptorToHandle(directory.Get()), &overlapped, &bytes, FALSE)) {
      *relevant = true;  // overflow (ERROR_NOTIFY_ENUM_DIR) or the folder went away
      if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) return false;
    } else if (bytes == 0) {
      *relevant = true;  // the system dropped the details: anything may have changed
    } else {
      *relevant = ReportsWatchedName(bytes) || *relevant;
    }
    return Arm() == ERROR_SUCCESS;
  }

 private:
  DWORD Arm() {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = hDone;
    if (!ReadDirectoryChangesW(DescriptorToHandle(directory.Get()), buffer, kEventBufferBytes,
                               FALSE, kWatchFilter, nullptr, &overlapped, nullptr)) {
      return GetLastError();
    }
    bPending = true;
    return ERROR_SUCCESS;
  }

  void Cancel() {
    if (!bPending) return;
    HANDLE handle = DescriptorToHandle(directory.Get());
    CancelIoEx(handle, &overlapped);
    DWORD bytes = 0;
    GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
    bPending = false;
  }

  bool ReportsWatchedName(DWORD bytes) const {
    for (DWORD at = 0; at < bytes;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
      const int length = static_cast<int>(info->FileNameLength / sizeof(wchar_t));
      for (const std::wstring& name : names) {
        if (SameFileName(info->FileName, length, name)) return true;
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
    return false;
  }

  const std::string strFolder;
  const HANDLE hDone;
  CUniqueFd directory;
  OVERLAPPED overlapped{};
  bool bPending = false;
  alignas(DWORD) char buffer[kEventBufferBytes];
};

class CDirectoryChangesWatcher : public CFileWatcher {
 public:
  CDirectoryChangesWatcher()
      : done(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}
  ~CDirectoryChangesWatcher() override = default;
  CDirectoryChangesWatcher(const CDirectoryChangesWatcher&) = delete;
  CDirectoryChangesWatcher& operator=(const CDirectoryChangesWatcher&) = delete;

  void Watch(const std::vector<std::string>& files) override;
  bool Wait(CWakeEvent& wake, int milliseconds) override;
  std::vector<WatchFailure> TakeFailures() override { return std::exchange(failures, {}); }
  FileWriteReport WriteReport(const std::string& path) override {
    if (CollectReports()) bReportTaken = true;
    FileWriteReport report;
    report.bProbed = true;
    report.state = IsHeldForWriting(path) ? WriterState::kWriting : WriterState::kClosed;
    return report;
  }

 private:
  // Starts watching `folder`; true when it is watched, false when it is missing
  // (kept for a later look) or failed (reported).
  bool StartFolder(const std::string& folder);
  bool WatchAppearedFolders();
  // Takes the finished reports; true when one may concern a watched file.
  bool CollectReports();

  CUniqueFd done;  // set by the system when any folder's call finishes
  std::map<std::string, std::set<std::string>> names;  // folder -> watched file names
  std::vector<std::unique_ptr<CWatchedFolder>> folders;
  std::set<std::string> missing;
  uint64_t nNextMissingCheckMs = 0;
  std::vector<WatchFailure> failures;
  bool bReportTaken = false;  // WriteReport took a report the next Wait owes its caller
};

void CDirectoryChangesWatcher::Watch(const std::vector<std::string>& files) {
  folders.clear();
  missing.clear();
  names.clear();
  for (const std::string& file : files) {
    std::string folder;
    std::string name;
    if (SplitFolderAndName(GetAbsolutePath(file), &folder, &name)) names[folder].insert(name);
  }
  if (!done.IsValid()) {
    const std::string reason = ErrorMessage(static_cast<int>(GetLastError()));
    for (const auto& [folder, unused] : names) failures.push_back({folder, reason});
    return;
  }
  for (const auto& [folder, unused] : names) StartFolder(folder);
  nNextMissingCheckMs = GetMonotonicMilliseconds() + kMissingFolderRetryMs;
}

bool CDirectoryChangesWatcher::StartFolder(const std::string& folder) {
  auto watched = std::make_unique<CWatchedFolder>(folder, DescriptorToHandle(done.Get()));
  for (const std::string& name : names[folder]) watched->names.push_back(WidenAnsi(name));
  const DWORD error = watched->Open();
  if (error == ERROR_SUCCESS) {
    folders.push_back(std::move(watched));
    return true;
  }
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    missing.insert(folder);
  } else if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) {
    failures.push_back({folder, "not supported by the file system"});
  } else {
    failures.push_back({folder, ErrorMessage(static_cast<int>(error))});
  }
  return false;
}

bool CDirectoryChangesWatcher::WatchAppearedFolders() {
  nNextMissingCheckMs = GetMonotonicMilliseconds() + kMissingFolderRetryMs;
  const std::set<std::string> looking = std::exchange(missing, {});
  bool appeared = false;
  // A folder that appeared may already hold the files.
  for (const std::string& folder : looking) appeared = StartFolder(folder) || appeared;
  return appeared;
}

bool CDirectoryChangesWatcher::CollectReports() {
  // Cleared before looking, so a call finishing meanwhile sets it again.
  ResetEvent(DescriptorToHandle(done.Get()));
  bool relevant = false;
  for (auto it = folders.begin(); it != folders.end();) {
    if ((*it)->Collect(&relevant)) {
      ++it;
      continue;
    }
    // The folder went away or cannot be watched now: look for it again.
    missing.insert((*it)->Folder());
    it = folders.erase(it);
  }
  return relevant;
}

bool CDirectoryChangesWatcher::Wait(CWakeEvent& wake, int milliseconds) {
  if (folders.empty() && missing.empty()) return wake.Wait(milliseconds);
  if (std::exchange(bReportTaken, false)) return true;
  const uint64_t deadline = GetMonotonicMilliseconds() + static_cast<uint64_t>(milliseconds);
  for (;;) {
    uint64_t now = GetMonotonicMilliseconds();
    if (!missing.empty() && now >= nNextMissingCheckMs && WatchAppearedFolders()) return true;
    if (CollectReports()) return true;
    uint64_t until = deadline;
    if (!missing.empty()) until = std::min(until, nNextMissingCheckMs);
    const int timeout = now >= until ? 0 : static_cast<int>(until - now);
    const WakeResult woken = wake.WaitWith(folders.empty() ? -1 : done.Get(), timeout);
    // Take the reports even when the wake came too: they belong to this wake.
    const bool relevant = woken.bOther && CollectReports();
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

}  // namespace

std::unique_ptr<CFileWatcher> CreateSystemFileWatcher() {
  return std::make_unique<CDirectoryChangesWatcher>();
}
