// CMainClass: the program's one object. As a CServiceMgr it dispatches the
// command line; OnServiceStart and OnServiceStop start and stop its main thread
// "Quillrade_MainClass_Thread", which runs Run (its CSimpleThreadHandler hook).
// Made once on main's stack; lives for the whole run.
//
// Threads: the process's first thread (or the service main's thread) calls
// OnServiceStart/OnServiceStop; Run executes on the main thread. strConfigPath is
// written by the main thread while it starts and read by the status page after.
#ifndef QUILLRADE_HOST_MAIN_CLASS_H_
#define QUILLRADE_HOST_MAIN_CLASS_H_

#include <atomic>
#include <string>

#include "engine/curl.h"
#include "host/service_mgr.h"
#include "runtime/simple_thread.h"

class CMainClass : public CSimpleThreadHandler, public CServiceMgr {
 public:
  CMainClass() = default;
  // Stops the main thread before anything it may use goes away.
  ~CMainClass() override;

  // Names the main thread, makes this its handler and starts it: 0 when it runs,
  // nonzero when it could not be started.
  int OnServiceStart() override;
  CResult ServiceStartFailure() const override { return startFailure; }
  // Ends the main thread's request in flight, then stops the thread and waits
  // until it has ended.
  void OnServiceStop() override;
  // Marks the configuration for a reload and wakes the main thread. A request
  // made while the main thread starts up is kept for its first pass.
  void OnReloadRequest() override;

  // The main thread: returns once the thread has been asked to stop.
  void Run(CSimpleThread* thread) override;

  // Lets a stop end the main thread's HTTP request at once. Declared before the
  // thread, so it outlives every CCurl of the main thread.
  CFetchAbort fetchAbort;
  // The thread that runs Run.
  CSimpleThread thread;
  // Why the last OnServiceStart failed; set and read by the starting thread.
  CResult startFailure;
  // The configuration file path chosen by the main thread.
  std::string strConfigPath;
  // Set by a reload request, taken by the main loop.
  std::atomic<bool> bReloadRequested{false};
};

#endif  // QUILLRADE_HOST_MAIN_CLASS_H_
