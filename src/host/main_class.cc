#include "host/main_class.h"

#include "host/main_loop.h"
#include "platform/process.h"
#include "platform/wake_event.h"

CMainClass::~CMainClass() { CMainClass::OnServiceStop(); }

int CMainClass::OnServiceStart() {
  // A second start while the thread runs is refused before anything the running
  // thread reads is touched.
  if (thread.IsActive()) {
    startFailure = CResult::Failure(CResultCode::kInvalidArgument, "start the main thread",
                                    "it is running already");
    return 1;
  }
  fetchAbort.Reset();
  thread.SetName("Quillrade_MainClass_Thread");
  thread.SetHandler(this);
  // Nonzero makes the caller report the failed start instead of running on
  // without the thread that does all the work.
  const int error = thread.Start();
  startFailure = thread.StartFailure();
  return error;
}

// A request to a silent target could otherwise hold the stop for the whole
// transfer limit, far beyond a service manager's stop timeout.
void CMainClass::OnServiceStop() {
  fetchAbort.Abort();
  thread.Stop();
}

void CMainClass::OnReloadRequest() {
  bReloadRequested.store(true);
  thread.WakeSignal().Set();
}

void CMainClass::Run(CSimpleThread* mainThread) {
  CMainLoop loop(strConfigPath, GetProcessArguments(), fetchAbort);
  loop.SetReloadRequest(&bReloadRequested);
  loop.Run(mainThread);
}
