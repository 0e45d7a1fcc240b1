// CServiceMgr: the program as its own service installer and host. Init takes the
// ServiceDescription; HandleCommandLine then powers off or restarts the machine,
// runs as a systemd service ("servicerun"), runs the same work in the console
// ("run"), installs ("-i") or removes ("-u", "-d") the service, or prints the help.
// The work itself is started and stopped only through OnServiceStart and
// OnServiceStop, which a derived class overrides.
//
// Everything that touches systemd, sudo or power control goes through the
// CServiceControl seam, whose settings tests replace (SetServiceControlSettings).
//
// Threads: the process's first thread calls everything except ServiceMain, which
// runs on the service's own thread while the first thread waits for stop signals.
// They share bServiceRunning, hWakeEvent and the reported state (atomics).
#ifndef QUILLRADE_HOST_SERVICE_MGR_H_
#define QUILLRADE_HOST_SERVICE_MGR_H_

#include <atomic>
#include <string>

#include "host/service_description.h"
#include "platform/result.h"
#include "platform/service_control.h"
#include "platform/sync.h"
#include "status/console_colour.h"

// The service's status as last reported to the service manager.
struct ServiceStatus {
  int nServiceType = 0x30;       // own process and shared process
  int nControlsAccepted = 0x4D;  // stop, shutdown, param change, power events
  std::atomic<int> nCurrentState{kServiceStateUnknown};
  int nExitCode = 0;
  int nServiceSpecificExitCode = 0;
  int nCheckPoint = 0;
  int nWaitHint = 0;
};

// Power event types sent by the console test mode's P key.
constexpr int kPowerEventSuspend = 5;
constexpr int kPowerEventResumeSuspend = 8;
// Exit code reported when OnServiceStart failed (a service-specific error).
constexpr int kServiceSpecificErrorExitCode = 1066;

class CServiceMgr : public CConsoleColour {
 public:
  // Publishes g_serviceMgr.
  CServiceMgr();
  // Clears g_serviceMgr; the base restores the normal colour.
  ~CServiceMgr() override;
  CServiceMgr(const CServiceMgr&) = delete;
  CServiceMgr& operator=(const CServiceMgr&) = delete;

  // The command-line dispatcher; returns the process exit code. Reads the
  // process arguments (GetProcessArguments); argc only tells a bare launch.
  virtual int HandleCommandLine(int argc, const char* const* argv);
  // Hooks a derived program may override (the defaults allow everything and do
  // nothing). Whether "-i" may install the service (exit code 7 when not).
  virtual bool MayInstall();
  // Whether "run" may run the work in the console.
  virtual bool MayRunConsoleTest();
  // Starts the work, for the service or the console run; 0 = started, anything
  // else an error code, which the start reports.
  virtual int OnServiceStart();
  // Why the last OnServiceStart failed, for the line after its error; ok when
  // there is nothing to add (the default).
  virtual CResult ServiceStartFailure() const;
  // Stops the work and waits until it has ended.
  virtual void OnServiceStop();
  // True hides the banner line that opens the help.
  virtual bool IsBannerSuppressed();
  // Told of a power event (kPowerEventSuspend, kPowerEventResumeSuspend); the
  // result is the control handler's answer.
  virtual int OnPowerEvent(int eventType);
  // Asked to re-read the configuration (SIGHUP, "paramchange"); must return at
  // once. The default ignores it.
  virtual void OnReloadRequest();

  // Copies the description and derives the program, service and command-line
  // names from the running program's path.
  void Init(const ServiceDescription& description);
  // Init with a given program path instead of the running program's.
  void InitWithProgramPath(const ServiceDescription& description, const std::string& programPath);
  // Replaces the systemd/sudo/power seam (tests).
  void SetServiceControlSettings(const ServiceControlSettings& settings);
  // Start polling pace; the defaults poll every 250 ms for up to 15 s.
  void SetStartPolling(int intervalMs, int timeoutMs);

  // Service operations.
  // Installed = the unit exists; `managerUnavailable` when systemd is not usable.
  bool IsServiceInstalled(bool* managerUnavailable) const;
  // True when running; `state` gets the state (kServiceStateUnknown on failure).
  bool QueryServiceState(int* state) const;
  // Ok once installed, or removed; otherwise why not (for the line after the
  // error message).
  CResult InstallService() const;
  CResult UninstallService() const;
  // Start: queues the start and polls until the service left start pending;
  // ok when it runs. Stop: queues the stop and does not wait.
  CResult StartStopService(bool start) const;
  // Runs the service when systemd started the process: returns once it stopped.
  // From a console it returns false at once, silently.
  bool RunServiceDispatcher();
  // True with administrator rights. Otherwise relaunches the program through
  // sudo (this process then ends with 0) or prints why it cannot and returns false.
  bool EnsureElevated(const std::vector<std::string>& arguments);
  // Powers off ("-system_shutdown") or restarts ("-system_restart"), "-force"
  // forcing it; true when it acted (a refused request is printed in red).
  bool HandleSystemPowerOption(const std::vector<std::string>& arguments);

  // The service main and the control handler (reached through g_serviceMgr).
  void ServiceMain();
  int ControlHandler(int control, int eventType);

  const ServiceDescription& Description() const { return description; }
  int ReportedState() const { return serviceStatus.nCurrentState.load(); }

 protected:
  bool bConsoleTestActive = false;

 private:
  void RunConsoleTest();
  int RunInstallFlow(const std::vector<std::string>& arguments);
  int ReportInstalledService(const std::vector<std::string>& arguments);
  void ReportStartAfterInstall(const CResult& started);
  // The red install failure and its reason (none when `why` is ok: it was
  // printed already); the install flow's result 2.
  int ReportInstallFailure(const CResult& why);
  int RunUninstallFlow(const std::vector<std::string>& arguments);
  // The unit a distribution package installed for this service, when there is
  // one and no unit of our own hides it; empty otherwise.
  std::string PackagedUnitInCharge() const;
  int ReportPackagedService(const std::string& unitPath, bool install);
  int PrintHelp(const std::vector<std::string>& arguments);
  void PrintCommandPromptBox();
  void PrintServiceHint();
  void PrintStartHint();
  void PauseIfAsked(const std::vector<std::string>& arguments);
  void WaitForKey();
  void PrintInColour(int colour, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void ReportStatus(int state, int exitCode, int specificCode, int waitHint);
  // The service name in double quotes when it holds a blank; lower-cased on request.
  std::string DisplayName(bool lowerCase) const;

  // Set by Init, constant after.
  ServiceDescription description;
  std::string strProgramPath;
  std::string strExeFileName;
  std::string strServiceCommandLine;
  std::string strServiceName;
  CServiceControl serviceControl;
  int nStartPollIntervalMs = 250;
  int nStartTimeoutMs = 15000;

  // Shared between the service main and the control handler.
  ServiceStatus serviceStatus;
  std::atomic<bool> bServiceRunning{false};
  CAutoResetEvent hWakeEvent;
};

// The one CServiceMgr of the process, set by its constructor.
extern CServiceMgr* g_serviceMgr;

#endif  // QUILLRADE_HOST_SERVICE_MGR_H_
