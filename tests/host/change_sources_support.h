// Helpers for the main loop's change tests: the three ways writers rewrite a
// file, fakes of the platform's change sources (a stat with coarse timestamps,
// watchers that cannot start, report nothing, or record what they watch), and an
// ext4 file system with one-second timestamps on a loop device.
//
// Threads: RewriteFile from any thread; a watcher is driven by the main loop's
// thread, its record read by the test's.
#ifndef QUILLRADE_TESTS_HOST_CHANGE_SOURCES_SUPPORT_H_
#define QUILLRADE_TESTS_HOST_CHANGE_SOURCES_SUPPORT_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/file_stat.h"
#include "platform/file_watcher.h"

enum class Rewrite {
  kInPlace,            // overwritten from the start, same file, size set after
  kRename,             // written to a sibling and renamed over the file
  kTruncateThenWrite,  // opened with truncation, then written
};

// Replaces the file's content the given way. False on failure.
bool RewriteFile(const std::string& path, const std::string& content, Rewrite how);

// Sleeps until just after the wall clock enters its next multiple of `granuleNs`.
void WaitForStartOfNextGranule(int64_t granuleNs);

// The real stat with modification and change times cut to multiples of
// `granuleNs`, as file systems with coarse timestamps store them.
class CCoarseFileStat : public CFileStat {
 public:
  explicit CCoarseFileStat(int64_t granuleNs) : nGranuleNs(granuleNs) {}
  bool Query(const std::string& path, FileChangeToken* token) const override;

 private:
  int64_t nGranuleNs;
};

// Change notification without system support: every folder is unwatchable.
class CFailingWatcher : public CFileWatcher {
 public:
  void Watch(const std::vector<std::string>& files) override;
  bool Wait(CWakeEvent& wake, int milliseconds) override;
  std::vector<WatchFailure> TakeFailures() override;

 private:
  std::vector<WatchFailure> failures;
};

// Change notification that started but lost its watches (as on a network
// mount): it never reports anything.
class CDeafWatcher : public CFileWatcher {
 public:
  void Watch(const std::vector<std::string>&) override {}
  bool Wait(CWakeEvent& wake, int milliseconds) override;
  std::vector<WatchFailure> TakeFailures() override { return {}; }
};

// The system's watcher, recording the files it is asked to watch.
class CRecordingWatcher : public CFileWatcher {
 public:
  class Record {
   public:
    void Add(const std::vector<std::string>& files);
    // The files of the last Watch call.
    std::vector<std::string> Last() const;

   private:
    mutable std::mutex mutex;
    std::vector<std::string> last;
  };

  CRecordingWatcher();
  void Watch(const std::vector<std::string>& files) override;
  bool Wait(CWakeEvent& wake, int milliseconds) override { return real->Wait(wake, milliseconds); }
  std::vector<WatchFailure> TakeFailures() override { return real->TakeFailures(); }
  // Shared, so a test can read it after handing the watcher over.
  std::shared_ptr<const Record> Watched() const { return record; }

 private:
  std::unique_ptr<CFileWatcher> real;
  std::shared_ptr<Record> record;
};

// An ext4 file system made with 128-byte inodes, whose timestamps have whole
// seconds, loop-mounted in a folder; unmounted and removed by the destructor.
class CLoopMountedExt4 {
 public:
  CLoopMountedExt4() = default;
  ~CLoopMountedExt4();
  CLoopMountedExt4(const CLoopMountedExt4&) = delete;
  CLoopMountedExt4& operator=(const CLoopMountedExt4&) = delete;

  // Makes and mounts it under `folder`. False with the reason when this machine
  // cannot (not root, no loop device, tools missing).
  bool Mount(const std::string& folder, std::string* reason);
  const std::string& Path() const { return strMountPoint; }

 private:
  std::string strImage;
  std::string strMountPoint;
  bool bMounted = false;
};

#endif  // QUILLRADE_TESTS_HOST_CHANGE_SOURCES_SUPPORT_H_
