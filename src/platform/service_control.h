// The seam to the service manager (systemd on Linux, the service control manager
// on Windows), to elevation (sudo, the "runas" prompt) and to power control.
// Every operation that would change the machine goes through a CServiceControl,
// whose commands and folders come from one ServiceControlSettings: the real
// program uses the defaults below, tests give a fake script and a temporary
// folder (the Linux fields; Windows asks its service manager directly). A "unit"
// is the installed service.
//
// Threads: any thread; the object holds only its settings. Failures are values:
// the operations that change something return a CResult that says why they
// failed (the command and its exit code, or the system's text).
#ifndef QUILLRADE_PLATFORM_SERVICE_CONTROL_H_
#define QUILLRADE_PLATFORM_SERVICE_CONTROL_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/result.h"

struct ServiceControlSettings {
  std::string strSystemctl = "systemctl";
  std::string strUnitDir = "/etc/systemd/system";
  // Where a distribution package puts its units; such a unit belongs to the
  // package manager, and one in strUnitDir would hide it.
  std::vector<std::string> vecPackageUnitDirs = {"/lib/systemd/system", "/usr/lib/systemd/system"};
  std::string strSudo = "sudo";
  // Exists only while systemd is the running init system.
  std::string strSystemdRuntimeDir = "/run/systemd/system";
  // Whether this process has administrator rights (effective uid 0).
  std::function<bool()> fnIsAdministrator;
};

// Service states as the host reports and reads them.
constexpr int kServiceStateUnknown = 0;  // the state could not be read
constexpr int kServiceStateStopped = 1;
constexpr int kServiceStateStartPending = 2;
constexpr int kServiceStateStopPending = 3;
constexpr int kServiceStateRunning = 4;
constexpr int kServiceStateContinuePending = 5;  // never read from systemd

// Power request flags: reboot/power off, with force or force-if-hung.
constexpr int kPowerFlagReboot = 0x02;
constexpr int kPowerFlagForce = 0x04;
constexpr int kPowerFlagPowerOff = 0x08;
constexpr int kPowerFlagForceIfHung = 0x10;

// What the unit file describes.
struct ServiceUnit {
  std::string strName;         // service name, without ".service"
  std::string strDescription;  // Description=
  std::string strExecStart;    // ExecStart= (program path quoted, then its arguments)
  bool bAutoStart = false;     // enabled for multi-user.target
  bool bRestartOnFailure = false;
  int nRestartDelayMs = 5000;
};

// Outcome of an elevated relaunch.
enum class RelaunchResult {
  kRan,         // the elevated copy ran (whatever its exit code)
  kRefused,     // sudo refused to authenticate
  kNotStarted,  // sudo could not be started; see the error
};

class CServiceControl {
 public:
  explicit CServiceControl(ServiceControlSettings settings = ServiceControlSettings());

  const ServiceControlSettings& Settings() const { return settings; }

  // systemd runs as init and systemctl answers (Windows: the service control
  // manager can be opened); otherwise why not.
  CResult CheckManager() const;
  bool IsManagerAvailable() const { return CheckManager().ok(); }
  // "<name>.service", with bytes a unit name may not hold (such as a blank)
  // escaped as \xNN.
  static std::string UnitName(const std::string& name);
  // "<unit dir>/<unit name>".
  std::string UnitPath(const std::string& name) const;
  bool UnitExists(const std::string& name) const;
  // The path of a unit of that name installed by a package; empty when none is.
  std::string PackagedUnitPath(const std::string& name) const;
  // The unit file's text.
  static std::string UnitFileText(const ServiceUnit& unit);
  // Writes the unit, reloads systemd and enables it for automatic start (quietly:
  // the caller prints its own messages). On a
  // failure after the write the unit is removed again. Ok once it is installed.
  CResult InstallUnit(const ServiceUnit& unit) const;
  // Makes the installed service restart `delayMs` after it failed, as
  // InstallUnit does with bRestartOnFailure. For a service that another installer
  // registered (the Windows installer cannot set failure actions); systemd units
  // carry it in their file, so on Linux it does nothing. Ok when it is set.
  CResult SetRestartOnFailure(const std::string& name, int delayMs) const;
  // Disables the unit, removes its file and reloads systemd. Ok when the file
  // was removed.
  CResult RemoveUnit(const std::string& name) const;
  // systemctl start/stop --no-block, for our own or a packaged unit: ok when
  // the job was queued.
  CResult StartUnit(const std::string& name) const;
  CResult StopUnit(const std::string& name) const;
  // One of the kServiceState values; kServiceStateUnknown when unreadable.
  int QueryUnitState(const std::string& name) const;
  // Maps an ActiveState to a service state: active and reloading = running,
  // activating = start pending, deactivating = stop pending, else stopped.
  static int StateFromActiveState(const std::string& activeState);

  // Administrator check through the settings (effective uid 0 by default).
  bool IsAdministrator() const;
  // The sudo command can be found.
  bool CanElevate() const;
  // Asks sudo for authentication (sudo -v), then runs
  // "sudo -- <program> <arguments...>" in this terminal and waits for it.
  RelaunchResult RelaunchElevated(const std::string& program,
                                  const std::vector<std::string>& arguments, int* error) const;

  // Power request: the flags pick "systemctl poweroff|reboot [--force]".
  // A failure when the flags name no power action or systemctl failed.
  CResult RequestPower(int flags) const;
  // The systemctl arguments for the flags; empty when they name no action.
  static std::vector<std::string> PowerArguments(int flags);

  // True when the service manager started this process: on Linux NOTIFY_SOCKET
  // or INVOCATION_ID is set; on Windows the first call connects to the control
  // dispatcher (which fails at once from a console) and later calls repeat its
  // answer.
  static bool StartedByServiceManager();
  // Sends a state line (READY=1, RELOADING=1, STOPPING=1, STATUS=... with
  // ERRNO=) to the service manager; Windows turns them into running, stop
  // pending and the service-specific exit code and has no reloading state.
  // False when there is no one to tell.
  static bool Notify(const std::string& state);

 private:
  // Ok when systemd runs and our own unit or a packaged one exists.
  CResult CheckUnitKnown(const std::string& name) const;
  // The value of "KEY=" in text of one setting per line; empty when absent.
  static std::string LineValue(const std::string& text, const std::string& key);
  // The failure of a power request whose flags name no action.
  static CResult NoPowerAction(int flags);
  // Runs systemctl with the arguments; ok on exit code 0.
  CResult RunSystemctl(const std::vector<std::string>& arguments, std::string* output) const;

  ServiceControlSettings settings;
};

// Control codes the service's control handler understands.
constexpr int kServiceControlStop = 1;
constexpr int kServiceControlShutdown = 5;
// Re-read the configuration: SIGHUP on Linux, "paramchange" on Windows.
constexpr int kServiceControlParamChange = 6;
constexpr int kServiceControlPowerEvent = 13;

// A control the service manager sent, with the event type of a power event.
struct ServiceControlRequest {
  int nControl = 0;
  int nEventType = 0;
};

// Turns the service manager's controls into values while the service runs. On
// Linux it blocks SIGTERM, SIGINT and SIGHUP for the calling thread (and the
// threads it creates afterwards) for its lifetime; SIGTERM and SIGINT are the stop
// control, SIGHUP the param-change control, so a hang-up never kills the service.
// On Windows it takes the controls the dispatcher's handler queued, and at
// destruction reports the service stopped, which lets the dispatcher end.
class CStopSignals {
 public:
  CStopSignals();
  ~CStopSignals();
  CStopSignals(const CStopSignals&) = delete;
  CStopSignals& operator=(const CStopSignals&) = delete;

  // Waits up to `milliseconds` for the next control; true when one arrived.
  bool WaitForControl(int milliseconds, ServiceControlRequest* request);

 private:
  struct State;
  std::unique_ptr<State> saved;
};

#endif  // QUILLRADE_PLATFORM_SERVICE_CONTROL_H_
