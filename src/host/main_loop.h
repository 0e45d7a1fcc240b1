// The main thread's work: brings up the status channels (TCP console, HTTP status
// server), reads the configuration, builds one CTask per configured input/output
// pair, gives every task a turn every 100 ms and rebuilds all tasks when the
// configuration file changes; the status channels stay up across reloads.
//
// Ownership: a CMainLoop lives on the main thread's stack for the length of its
// run and owns the channels, the configuration object, the tasks and the CCurl.
// Threads: the main thread only.
#ifndef QUILLRADE_HOST_MAIN_LOOP_H_
#define QUILLRADE_HOST_MAIN_LOOP_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/virtual_preset_file.h"
#include "engine/curl.h"
#include "engine/task.h"
#include "status/http_server.h"
#include "status/tcp_console.h"

class CSimpleThread;

class CMainLoop {
 public:
  // Pause between a detected configuration change and the reload, so the editor
  // has finished writing.
  static constexpr int kReloadPauseMs = 500;
  // Wait between passes; a stop request ends it early.
  static constexpr int kPassWaitMs = 100;
  // Retry interval while the configuration cannot be read.
  static constexpr int kRetryMs = 1000;
  // Input/Output section pairs examined.
  static constexpr int kMaxTasks = 100;
  static constexpr int kConsolePort = 32700;
  static constexpr int kConsoleFifoBytes = 8192;
  static constexpr int kConsoleBackBufferBytes = 32768;

  // `configPath` receives the chosen configuration path (the status page shows it);
  // `commandLine` is the process command line (its ini_file key is honoured);
  // `fetchAbort` (not owned, outlives the loop) ends requests when a stop comes.
  CMainLoop(std::string& configPath, const std::string& commandLine, CFetchAbort& fetchAbort);
  ~CMainLoop();
  CMainLoop(const CMainLoop&) = delete;
  CMainLoop& operator=(const CMainLoop&) = delete;

  // Runs until `thread` is asked to stop, then shuts everything down.
  void Run(CSimpleThread* thread);

 private:
  void StartUp();
  // Reads the configuration (retrying every second) and builds the tasks. False
  // when the thread was stopped while the file could not be read.
  bool Load(CSimpleThread* thread);
  void ReleaseTargetsForLoad();
  void BuildTasks();
  void PrintAddresses() const;
  // One pass: every task's cycle. True when the configuration file changed.
  bool RunPass();
  void ShutDown();
  void ReportUnsentPushes();

  std::string& strConfigPath;
  const std::string strCommandLine;
  CFetchAbort& fetchAbort;

  CTcpConsole console;
  CHttpServer server;
  std::unique_ptr<CVirtualPreset_file> preset;
  std::vector<std::unique_ptr<CTask>> tasks;
  std::map<std::string, CTask*> outputs;  // label -> task, used while linking
  std::unique_ptr<CCurl> curl;
  uint64_t nConfigTime = 0;  // last-write time taken before the last read
  bool bReload = false;      // the target-list lock is held since a detected change
};

// The configuration path used when the command line names none: the program's path
// with its file name's extension replaced by ".ini".
std::string DefaultConfigPath();

#endif  // QUILLRADE_HOST_MAIN_LOOP_H_
