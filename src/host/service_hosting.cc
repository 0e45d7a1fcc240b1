// CServiceMgr's service operations on systemd: install, remove, start, stop and
// query through the CServiceControl seam; the service main with its control
// handler; elevation through sudo; the power options.
#include <atomic>
#include <cstdio>

#include "host/command_line.h"
#include "host/service_mgr.h"
#include "host/uac_elevation.h"
#include "platform/clock.h"
#include "platform/journal.h"
#include "platform/process.h"
#include "platform/stdout_writer.h"
#include "runtime/simple_thread.h"
#include "status/journal_sink.h"
#include "status/log_output.h"
#include "util/text_util.h"

namespace {

// After "start --no-block" systemd may still show the unit inactive until it has
// run the queued job; within this time a stopped state still counts as pending.
constexpr uint32_t kStartJobGraceMs = 1000;
// The service main's sleep between checks of the running flag.
constexpr int kServiceWakeIntervalMs = 5000;
// The control handler's pace while it waits for the service main to stop.
constexpr int kStopSignalIntervalMs = 50;
// How often the first thread looks for stop signals and the service main's end.
constexpr int kSignalPollMs = 200;
// Wait hints reported with the service states.
constexpr int kWaitHintStopPendingMs = 10000;
constexpr int kWaitHintStoppedMs = 1000;
constexpr int kWaitHintFailedStartMs = 10;

// Runs the service main on its own thread and tells when it has returned.
class CServiceMainRunner : public CSimpleThreadHandler {
 public:
  void Run(CSimpleThread*) override {
    if (g_serviceMgr != nullptr) g_serviceMgr->ServiceMain();
    bDone.store(true);
  }
  bool IsDone() const { return bDone.load(); }

 private:
  std::atomic<bool> bDone{false};
};

// How a state that is not "running" reads after a start.
const char* StateAfterStart(int state) {
  switch (state) {
    case kServiceStateStopped:
      return "it stopped again";
    case kServiceStateStartPending:
      return "it was still starting when the wait ended";
    case kServiceStateStopPending:
      return "it is stopping";
    default:
      return "its state could not be read";
  }
}

}  // namespace

bool CServiceMgr::IsServiceInstalled(bool* managerUnavailable) const {
  *managerUnavailable = !serviceControl.IsManagerAvailable();
  return !*managerUnavailable && serviceControl.UnitExists(strServiceName);
}

bool CServiceMgr::QueryServiceState(int* state) const {
  *state = serviceControl.QueryUnitState(strServiceName);
  return *state == kServiceStateRunning;
}

CResult CServiceMgr::InstallService() const {
  ServiceUnit unit;
  unit.strName = strServiceName;
  unit.strDescription = description.strServiceDescription;
  unit.strExecStart = strServiceCommandLine;
  unit.bAutoStart = description.bAutoStart;
  unit.bRestartOnFailure = description.bRestartOnFailure;
  unit.nRestartDelayMs = description.nRestartDelayMs;
  return serviceControl.InstallUnit(unit);
}

CResult CServiceMgr::UninstallService() const { return serviceControl.RemoveUnit(strServiceName); }

CResult CServiceMgr::StartStopService(bool start) const {
  if (!start) {
    const CResult stopped = serviceControl.StopUnit(strServiceName);
    DebugPrintf(stopped.ok() ? "service stopped!\n" : "error stopping service.\n");
    return stopped;
  }
  const CResult queued = serviceControl.StartUnit(strServiceName);
  if (!queued.ok()) {
    DebugPrintf("error starting service.\n");
    return queued;
  }
  DebugPrintf("service started!\n");
  const uint32_t begin = GetTickCount32();
  int state = kServiceStateUnknown;
  for (;;) {
    const uint32_t elapsed = GetTickCount32() - begin;
    if (elapsed >= static_cast<uint32_t>(nStartTimeoutMs)) break;
    state = serviceControl.QueryUnitState(strServiceName);
    const bool jobQueued = state == kServiceStateStopped && elapsed < kStartJobGraceMs;
    if (state != kServiceStateStartPending && !jobQueued) break;
    SleepMilliseconds(nStartPollIntervalMs);
  }
  if (state == kServiceStateRunning) return CResult::Ok();
  const CResultCode code =
      state == kServiceStateStartPending ? CResultCode::kTimedOut : CResultCode::kFailed;
  return CResult::Failure(code, "start service " + strServiceName, StateAfterStart(state));
}

void CServiceMgr::ReportStatus(int state, int exitCode, int specificCode, int waitHint) {
  serviceStatus.nExitCode = exitCode;
  serviceStatus.nServiceSpecificExitCode = specificCode;
  serviceStatus.nCheckPoint = 0;
  serviceStatus.nWaitHint = waitHint;
  serviceStatus.nCurrentState.store(state);
  if (state == kServiceStateRunning) {
    CServiceControl::Notify("READY=1");
  } else if (state == kServiceStateStopPending) {
    CServiceControl::Notify("STOPPING=1");
  } else if (state == kServiceStateStopped && exitCode != 0) {
    char text[128];
    std::snprintf(text, sizeof(text), "STATUS=Error %i starting service\nERRNO=%i", specificCode,
                  specificCode);
    CServiceControl::Notify(text);
  }
}

void CServiceMgr::ServiceMain() {
  ReportStatus(kServiceStateStartPending, 0, 0, 0);
  // A service the Windows installer registered has no failure actions yet.
  if (description.bRestartOnFailure) {
    // Best effort: without it the service still runs, only not restarted.
    (void)serviceControl.SetRestartOnFailure(strServiceName, description.nRestartDelayMs);
  }
  const int error = OnServiceStart();
  if (error != 0) {
    WriteStdout(StringPrintf("Error %i starting service\n%s", error,
                             ServiceStartFailure().ReasonLine().c_str()));
    ReportStatus(kServiceStateStopped, kServiceSpecificErrorExitCode, error,
                 kWaitHintFailedStartMs);
    return;
  }
  ReportStatus(kServiceStateRunning, 0, 0, 0);
  bServiceRunning.store(true);
  while (bServiceRunning.load()) hWakeEvent.Wait(kServiceWakeIntervalMs);
  ReportStatus(kServiceStateStopPending, 0, 0, kWaitHintStopPendingMs);
  OnServiceStop();
  ReportStatus(kServiceStateStopped, 0, 0, kWaitHintStoppedMs);
}

int CServiceMgr::ControlHandler(int control, int eventType) {
  if (control == kServiceControlStop || control == kServiceControlShutdown) {
    // Keeps asking until the service main has reported stopped, so the process
    // ends only after the work has been stopped and joined.
    while (serviceStatus.nCurrentState.load() != kServiceStateStopped) {
      bServiceRunning.store(false);
      hWakeEvent.Set();
      SleepMilliseconds(kStopSignalIntervalMs);
    }
    return 0;
  }
  if (control == kServiceControlPowerEvent) return OnPowerEvent(eventType);
  if (control == kServiceControlParamChange) OnReloadRequest();
  return 0;
}

bool CServiceMgr::RunServiceDispatcher() {
  if (!CServiceControl::StartedByServiceManager()) return false;
  // Entries of their own carry priority and task, where plain lines on the
  // journal's stream would all be "info". Never destroyed: prints at exit use it.
  if (IsStdoutJournalStream()) g_logOutput.SetJournalSink(new CJournalSink());
  // Blocked before any thread starts, so that every later thread inherits the
  // mask and SIGTERM/SIGINT/SIGHUP reach only the wait below.
  CStopSignals stopSignals;
  CServiceMainRunner runner;
  CSimpleThread serviceThread;
  serviceThread.SetName("CServiceMgr::serviceMain");
  serviceThread.SetHandler(&runner);
  if (serviceThread.Start() != 0) return false;
  ServiceControlRequest request;
  while (!runner.IsDone()) {
    if (stopSignals.WaitForControl(kSignalPollMs, &request)) {
      ControlHandler(request.nControl, request.nEventType);
    }
  }
  serviceThread.Stop();
  return true;
}

bool CServiceMgr::EnsureElevated(const std::vector<std::string>& arguments) {
  const CUacElevation elevation(serviceControl, strProgramPath);
  if (elevation.IsAdministrator()) return true;
  if (!elevation.IsElevationPossible()) {
    PrintInColour(kColourError, "ERROR: Administrator privileges are required.\n");
    SetNormalColour();
    return false;
  }
  if (HasCommandLineKey(arguments, "-elevated")) {
    PrintInColour(kColourError, "ERROR: Unable to elevate\n");
    SetNormalColour();
    return false;
  }
  std::vector<std::string> parameters(arguments.begin() + (arguments.empty() ? 0 : 1),
                                      arguments.end());
  parameters.insert(parameters.end(), {"-elevated", "-pause"});
  std::string reason;
  if (elevation.RelaunchElevated(parameters, &reason)) {
    SetNormalColour();
    ExitProcessNow(0);
  }
  PrintInColour(kColourError, "ERROR: %s\n", reason.c_str());
  SetNormalColour();
  return false;
}

bool CServiceMgr::HandleSystemPowerOption(const std::vector<std::string>& arguments) {
  const bool powerOff = HasCommandLineKey(arguments, "-system_shutdown");
  if (!powerOff && !HasCommandLineKey(arguments, "-system_restart")) return false;
  const bool force = HasCommandLineKey(arguments, "-force");
  (void)StartStopService(false);
  int flags = powerOff ? kPowerFlagPowerOff : kPowerFlagReboot;
  flags |= force ? kPowerFlagForce : kPowerFlagForceIfHung;
  const CResult requested = serviceControl.RequestPower(flags);
  if (!requested.ok()) {
    PrintInColour(kColourError, "ERROR: The system refused to %s.\n%s",
                  powerOff ? "power off" : "restart", requested.ReasonLine().c_str());
    SetNormalColour();
  }
  return true;
}
