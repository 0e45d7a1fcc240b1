#include "host/change_sources_support.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/wake_event.h"

namespace {

bool WriteAll(int fd, const std::string& content) {
  return write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
}

bool WriteToNewFile(const std::string& path, const std::string& content, int flags) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, content);
  return close(fd) == 0 && written;
}

bool OverwriteInPlace(const std::string& path, const std::string& content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written =
      pwrite(fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()) &&
      ftruncate(fd, static_cast<off_t>(content.size())) == 0;
  return close(fd) == 0 && written;
}

// Runs a shell command quietly; true on exit code 0.
bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

bool RewriteFile(const std::string& path, const std::string& content, Rewrite how) {
  switch (how) {
    case Rewrite::kInPlace:
      return OverwriteInPlace(path, content);
    case Rewrite::kRename: {
      const std::string sibling = path + ".new";
      return WriteToNewFile(sibling, content, O_TRUNC) &&
             rename(sibling.c_str(), path.c_str()) == 0;
    }
    case Rewrite::kTruncateThenWrite:
      return WriteToNewFile(path, content, O_TRUNC);
  }
  return false;
}

void WaitForStartOfNextGranule(int64_t granuleNs) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  // A few milliseconds past the boundary, so the file system's clock is there too.
  const int64_t waitNs = granuleNs - nowNs % granuleNs + 5000000;
  std::this_thread::sleep_for(std::chrono::nanoseconds(waitNs));
}

bool CCoarseFileStat::Query(const std::string& path, FileChangeToken* token) const {
  if (!SystemFileStat().Query(path, token)) return false;
  token->nModifiedNs -= token->nModifiedNs % nGranuleNs;
  token->nChangedNs -= token->nChangedNs % nGranuleNs;
  return true;
}

void CFailingWatcher::Watch(const std::vector<std::string>& files) {
  std::set<std::string> folders;
  for (const std::string& file : files) {
    folders.insert(std::filesystem::absolute(file).lexically_normal().parent_path().string());
  }
  for (const std::string& folder : folders) failures.push_back({folder, "simulated: no support"});
}

bool CFailingWatcher::Wait(CWakeEvent& wake, int milliseconds) { return wake.Wait(milliseconds); }

std::vector<WatchFailure> CFailingWatcher::TakeFailures() { return std::exchange(failures, {}); }

bool CDeafWatcher::Wait(CWakeEvent& wake, int milliseconds) { return wake.Wait(milliseconds); }

void CRecordingWatcher::Record::Add(const std::vector<std::string>& files) {
  std::lock_guard<std::mutex> hold(mutex);
  last = files;
}

std::vector<std::string> CRecordingWatcher::Record::Last() const {
  std::lock_guard<std::mutex> hold(mutex);
  return last;
}

CRecordingWatcher::CRecordingWatcher()
    : real(CreateSystemFileWatcher()), record(std::make_shared<Record>()) {}

void CRecordingWatcher::Watch(const std::vector<std::string>& files) {
  record->Add(files);
  real->Watch(files);
}

CLoopMountedExt4::~CLoopMountedExt4() {
  if (bMounted) umount2(strMountPoint.c_str(), MNT_DETACH);
  std::error_code ignored;
  if (!strImage.empty()) std::filesystem::remove(strImage, ignored);
}

bool CLoopMountedExt4::Mount(const std::string& folder, std::string* reason) {
  if (geteuid() != 0) {
    *reason = "mounting a loop device needs root";
    return false;
  }
  if (!std::filesystem::exists("/dev/loop-control")) {
    *reason = "no loop device support (/dev/loop-control missing)";
    return false;
  }
  strImage = folder + "/ext4.img";
  strMountPoint = folder + "/mnt";
  std::error_code error;
  std::filesystem::create_directory(strMountPoint, error);
  if (!RunQuietly("truncate -s 8M '" + strImage + "'") ||
      !RunQuietly("mkfs.ext4 -q -F -I 128 '" + strImage + "'")) {
    *reason = "mkfs.ext4 -I 128 failed (e2fsprogs missing?)";
    return false;
  }
  if (!RunQuietly("mount -o loop '" + strImage + "' '" + strMountPoint + "'")) {
    *reason = "mount -o loop failed (no free loop device, or not allowed here)";
    return false;
  }
  bMounted = true;
  return true;
}
