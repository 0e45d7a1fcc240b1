// The main thread's work: brings up the status channels (TCP console, HTTP status
// server), reads the configuration, builds one CTask per configured input/output
// pair, runs passes that give every task a turn, and rebuilds all tasks when the
// configuration file changes or a reload is requested (SIGHUP, "paramchange");
// the status channels stay up across reloads.
//
// A pass comes at once when a watched file (an input or the configuration) may
// have changed or a push arrived, at the trailing edge of a task that had to wait
// for its send ceiling, when an input waiting for its writer is due for another
// look, and otherwise 100 ms after the last pass, so that a file
// system without change notification is still polled as before. Wakes that come
// faster than one per kWokenPassSpacingMs are gathered into one pass. The wait
// also ends whenever the delivery's transfers need attention (a socket ready, a
// library timer, a due retry), which is served at once, without a pass: no task
// ever waits for a target.
//
// At a reload the new tasks start at once; the old tasks' requests in flight may
// finish for CDelivery::kRetireMs, and their unanswered pushed texts go to the
// new push tasks. A stop ends every transfer at once.
//
// Ownership: a CMainLoop lives on the main thread's stack for the length of its
// run and owns the channels, the configuration object, the tasks and the
// delivery (one for the whole run).
// Threads: the main thread only.
#ifndef QUILLRADE_HOST_MAIN_LOOP_H_
#define QUILLRADE_HOST_MAIN_LOOP_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/config_schema.h"
#include "config/file_change_check.h"
#include "config/virtual_preset_file.h"
#include "engine/curl.h"
#include "engine/delivery.h"
#include "engine/task.h"
#include "platform/file_stat.h"
#include "platform/file_watcher.h"
#include "status/http_server.h"
#include "status/status_board.h"
#include "status/tcp_console.h"

class CSimpleThread;
class CWakeEvent;

// Where the main loop learns of file changes. The program uses the system's
// stat and watcher; tests put in fakes (coarse timestamps, a watcher that fails).
struct ChangeSources {
  const CFileStat* pFileStat = &SystemFileStat();
  std::unique_ptr<CFileWatcher> watcher;  // null: the system's watcher
};

class CMainLoop {
 public:
  // Pause between a detected configuration change and the reload, so the editor
  // has finished writing.
  static constexpr int kReloadPauseMs = 500;
  // After a reload request, the time in which further requests (a burst of
  // SIGHUP, sent faster than they are delivered) join it instead of making a
  // reload of their own.
  static constexpr int kReloadRequestGatherMs = 50;
  // Longest wait between passes: the polling of files whose changes are not
  // reported. A stop request, a report or a push ends it early.
  static constexpr int kPassWaitMs = 100;
  // Woken passes (file reports, pushes) come at most this often; what arrives in
  // between is handled by the next one.
  static constexpr int kWokenPassSpacingMs = 5;
  // Retry interval while the configuration cannot be read.
  static constexpr int kRetryMs = 1000;
  // How often memory the allocator holds free is handed back to the system, so
  // a burst of status requests or transfers leaves no lasting growth.
  static constexpr int kMemoryReleaseMs = 10000;
  static constexpr int kConsolePort = 32700;
  static constexpr int kConsoleFifoBytes = 8192;
  static constexpr int kConsoleBackBufferBytes = 32768;

  // `configPath` receives the chosen configuration path (the status page shows it);
  // `arguments` are the process arguments (their ini_file key is honoured);
  // `fetchAbort` (not owned, outlives the loop) keeps requests from starting
  // once a stop comes;
  // `sources` tell it of file changes.
  CMainLoop(std::string& configPath, const std::vector<std::string>& arguments,
            CFetchAbort& fetchAbort, ChangeSources sources = ChangeSources());
  ~CMainLoop();
  CMainLoop(const CMainLoop&) = delete;
  CMainLoop& operator=(const CMainLoop&) = delete;

  // Runs until `thread` is asked to stop, then shuts everything down.
  void Run(CSimpleThread* thread);
  // A flag (not owned, outlives the loop) that asks for a reload when set;
  // whoever sets it wakes the thread. The loop clears it when it takes the
  // request and before each read of the reload, so a burst makes one reload.
  void SetReloadRequest(std::atomic<bool>* request) { pReloadRequest = request; }

  // What the observability paths of the status server show. Tests shorten its
  // health bound before Run.
  CStatusBoard& StatusBoard() { return board; }
  // The silence after which a connected request has no answer; tests shorten it
  // before Run.
  void SetNoAnswerSeconds(long seconds) { nNoAnswerSeconds = seconds; }

 private:
  // Tells the service manager and the status output that a reload begins; a
  // detected file change first waits kReloadPauseMs.
  void AnnounceReload(CSimpleThread* thread, bool requested);
  void EndReload(const std::string& status);
  void StartUp();
  // Reads the configuration (retrying every second) and builds the tasks. False
  // when the thread was stopped while the file could not be read.
  bool Load(CSimpleThread* thread);
  void BuildTasks();
  void PrintAddresses() const;
  // Watches the configuration file and every input file.
  void WatchFiles();
  void PrintWatchFailures();
  // Waits for the next pass (see the contract above), driving the transfers
  // meanwhile. False on a stop request.
  bool WaitForPass(CSimpleThread* thread);
  // Waits `milliseconds` while driving the transfers; false on a stop request.
  bool PauseDriving(CSimpleThread* thread, int milliseconds);
  // One pass: the cycle of every task that may send now; the others wait for
  // their trailing edge untouched. True when the configuration file changed.
  bool RunPass();
  void ShutDown();
  void ReportUnsentPushes();

  std::string& strConfigPath;
  const std::vector<std::string> vecArguments;

  CTcpConsole console;
  CStatusBoard board;  // declared before the server, which reads it until it stops
  CHttpServer server;
  std::unique_ptr<CVirtualPreset_file> preset;
  std::vector<std::unique_ptr<CTask>> tasks;
  CDelivery delivery;
  long nNoAnswerSeconds = CCurl::kNoAnswerSeconds;
  CFileChangeCheck configChange;  // the configuration's version taken before the last read

  const CFileStat* pFileStat;
  std::unique_ptr<CFileWatcher> watcher;
  CWakeEvent* pWake = nullptr;  // the main thread's wake signal, while Run runs
  uint64_t nNextPassMs = 0;     // when the next pass is due without a wake
  uint64_t nQuietUntilMs = 0;   // wakes before this wait for it
  uint64_t nNextMemoryReleaseMs = 0;
  std::atomic<bool>* pReloadRequest = nullptr;
  bool bReloading = false;  // the service manager was told of a reload not yet ended
};

// The configuration path used when the command line names none: the program's path
// with its file name's extension replaced by ".ini".
std::string DefaultConfigPath();

#endif  // QUILLRADE_HOST_MAIN_LOOP_H_
