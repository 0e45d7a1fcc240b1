// The fixture both OS halves' file watcher tests share: a temporary folder, a
// wake event and the system's watcher, with bounded waits for "reported" and
// "quiet".
#ifndef QUILLRADE_TESTS_PLATFORM_FILE_WATCHER_FIXTURE_H_
#define QUILLRADE_TESTS_PLATFORM_FILE_WATCHER_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>

#include "platform/file_watcher.h"
#include "platform/wake_event.h"
#include "support/temp_dir.h"

class FileWatcherTest : public ::testing::Test {
 protected:
  // Bounds: a report comes within milliseconds; "nothing" is judged after a pause.
  static constexpr int kReportMs = 3000;
  static constexpr int kQuietMs = 150;

  bool Reported() { return watcher->Wait(wake, kReportMs); }
  bool Quiet() { return !watcher->Wait(wake, kQuietMs); }

  CTempDir dir;
  CWakeEvent wake;
  std::unique_ptr<CFileWatcher> watcher = CreateSystemFileWatcher();
};

#endif  // QUILLRADE_TESTS_PLATFORM_FILE_WATCHER_FIXTURE_H_
