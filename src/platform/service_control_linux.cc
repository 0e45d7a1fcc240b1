#include "platform/service_control.h"

#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "platform/file_system.h"
#include "platform/process.h"

namespace {

// Window in which systemd allows repeated restarts before it gives up.
constexpr int kStartLimitIntervalSec = 180;
// How long systemd waits for a stop before it kills the process.
constexpr int kTimeoutStopSec = 30;

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsUnitNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
         c == '_' || c == '.' || c == '-';
}

// Where the program path at the start of a command line ends.
size_t ProgramWordEnd(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const size_t quote = commandLine.find('"', 1);
    return quote == std::string::npos ? commandLine.size() : quote + 1;
  }
  const size_t blank = commandLine.find(' ');
  return blank == std::string::npos ? commandLine.size() : blank;
}

// Escapes what systemd would expand or unescape in a unit setting: "%" specifiers
// everywhere; in a command line also backslash escapes and, in the arguments
// after the program path (which systemd takes literally), "$" variables.
std::string EscapeUnitValue(const std::string& value, bool commandLine) {
  const size_t arguments = commandLine ? ProgramWordEnd(value) : value.size();
  std::string escaped;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '%' || (commandLine && c == '\\') || (i >= arguments && c == '$')) escaped += c;
    escaped += c;
  }
  return escaped;
}

std::string RestartDelayText(int delayMs) {
  if (delayMs % 1000 == 0) return std::to_string(delayMs / 1000);
  return std::to_string(delayMs) + "ms";
}

CResult WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  {
    errno = 0;
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) return CResult::FromLastError("write " + temporary);
    file << text;
    file.close();
    if (!file) {
      const CResult failed = CResult::FromLastError("write " + temporary);
      std::remove(temporary.c_str());
      return failed;
    }
  }
  chmod(temporary.c_str(), 0644);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const CResult failed = CResult::FromLastError("rename " + temporary + " to " + path);
    std::remove(temporary.c_str());
    return failed;
  }
  return CResult::Ok();
}

}  // namespace

CResult CServiceControl::RunSystemctl(const std::vector<std::string>& arguments,
                                      std::string* output) const {
  std::vector<std::string> argv{settings.strSystemctl};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  // Without an output to read, systemctl keeps the terminal, so that a password
  // agent it may start can ask there.
  const ChildResult result =
      output != nullptr ? RunChildCaptureOutput(argv, output) : RunChildAndWait(argv);
  return result.AsResult(BuildCommandLine(argv));
}

CResult CServiceControl::CheckManager() const {
  if (!IsDirectory(settings.strSystemdRuntimeDir)) {
    return CResult::Failure(
        CResultCode::kUnavailable, "systemd",
        "not running as the init system (no " + settings.strSystemdRuntimeDir + ")");
  }
  std::string ignored;
  return RunSystemctl({"show", "-p", "Version"}, &ignored);
}

std::string CServiceControl::UnitName(const std::string& name) {
  std::string unit;
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (IsUnitNameByte(byte)) {
      unit += c;
    } else {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
      unit += escape;
    }
  }
  return unit + ".service";
}

std::string CServiceControl::UnitPath(const std::string& name) const {
  return settings.strUnitDir + "/" + UnitName(name);
}

bool CServiceControl::UnitExists(const std::string& name) const {
  return FileExists(UnitPath(name));
}

std::string CServiceControl::PackagedUnitPath(const std::string& name) const {
  for (const std::string& dir : settings.vecPackageUnitDirs) {
    const std::string path = dir + "/" + UnitName(name);
    if (FileExists(path)) return path;
  }
  return std::string();
}

CResult CServiceControl::CheckUnitKnown(const std::string& name) const {
  const CResult manager = CheckManager();
  if (!manager.ok() || UnitExists(name) || !PackagedUnitPath(name).empty()) return manager;
  return CResult::Failure(CResultCode::kNotFound, UnitName(name),
                          "no such unit in " + settings.strUnitDir);
}

std::string CServiceControl::UnitFileText(const ServiceUnit& unit) {
  std::string text = "[Unit]\nDescription=" + EscapeUnitValue(unit.strDescription, false) + "\n";
  if (unit.bRestartOnFailure) {
    text += "StartLimitIntervalSec=" + std::to_string(kStartLimitIntervalSec) + "\n";
  }
  text += "\n[Service]\nType=notify\nExecStart=" + EscapeUnitValue(unit.strExecStart, true) + "\n";
  // systemctl reload: the service re-reads its configuration on SIGHUP.
  text += "ExecReload=/bin/kill -HUP $MAINPID\n";
  if (unit.bRestartOnFailure) {
    // The crash reporter ends the process with exit code 0, so only "always"
    // brings the service back after a crash.
    text += "Restart=always\nRestartSec=" + RestartDelayText(unit.nRestartDelayMs) + "\n";
  }
  text += "TimeoutStopSec=" + std::to_string(kTimeoutStopSec) + "\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

CResult CServiceControl::InstallUnit(const ServiceUnit& unit) const {
  const CResult manager = CheckManager();
  if (!manager.ok()) return manager;
  const std::string path = UnitPath(unit.strName);
  const CResult written = WriteFileAtomically(path, UnitFileText(unit));
  if (!written.ok()) return written;
  CResult installed = RunSystemctl({"daemon-reload"}, nullptr);
  if (installed.ok() && unit.bAutoStart) {
    installed = RunSystemctl({"enable", "--quiet", UnitName(unit.strName)}, nullptr);
  }
  if (!installed.ok()) {
    // A unit systemd has not taken is worse than none: take it away again.
    (void)RunSystemctl({"disable", "--quiet", UnitName(unit.strName)}, nullptr);
    std::remove(path.c_str());
    (void)RunSystemctl({"daemon-reload"}, nullptr);
  }
  return installed;
}

CResult CServiceControl::SetRestartOnFailure(const std::string&, int) const {
  return CResult::Ok();
}

CResult CServiceControl::RemoveUnit(const std::string& name) const {
  const CResult manager = CheckManager();
  if (!manager.ok()) return manager;
  const std::string path = UnitPath(name);
  if (!UnitExists(name)) return CResult::FromSystemError(path, ENOENT);
  // Disabling and reloading are tidying up: what counts is the file gone.
  (void)RunSystemctl({"disable", "--quiet", UnitName(name)}, nullptr);
  const CResult removed =
      std::remove(path.c_str()) == 0 ? CResult::Ok() : CResult::FromLastError("remove " + path);
  (void)RunSystemctl({"daemon-reload"}, nullptr);
  return removed;
}

CResult CServiceControl::StartUnit(const std::string& name) const {
  const CResult known = CheckUnitKnown(name);
  if (!known.ok()) return known;
  return RunSystemctl({"start", "--no-block", UnitName(name)}, nullptr);
}

CResult CServiceControl::StopUnit(const std::string& name) const {
  const CResult known = CheckUnitKnown(name);
  if (!known.ok()) return known;
  return RunSystemctl({"stop", "--no-block", UnitName(name)}, nullptr);
}

int CServiceControl::QueryUnitState(const std::string& name) const {
  if (!CheckUnitKnown(name).ok()) return kServiceStateUnknown;
  std::string output;
  if (!RunSystemctl({"show", "-p", "ActiveState,SubState", UnitName(name)}, &output).ok()) {
    return kServiceStateUnknown;
  }
  return StateFromActiveState(LineValue(output, "ActiveState"));
}

int CServiceControl::StateFromActiveState(const std::string& activeState) {
  if (activeState == "active" || activeState == "reloading") return kServiceStateRunning;
  if (activeState == "activating") return kServiceStateStartPending;
  if (activeState == "deactivating") return kServiceStateStopPending;
  return kServiceStateStopped;
}

bool CServiceControl::CanElevate() const { return IsProgramOnPath(settings.strSudo); }

RelaunchResult CServiceControl::RelaunchElevated(const std::string& program,
                                                 const std::vector<std::string>& arguments,
                                                 int* error) const {
  // Authenticating first tells a refused password apart from the elevated
  // copy's own exit code, which may be 1 as well.
  const ChildResult validate = RunChildAndWait({settings.strSudo, "-v"});
  if (!validate.bStarted) {
    if (error != nullptr) *error = validate.nError;
    return RelaunchResult::kNotStarted;
  }
  // sudo -v ends with 1 when the password was wrong, not given or the user may
  // not use sudo: all of them a refused elevation.
  if (validate.nExitCode != 0) return RelaunchResult::kRefused;
  std::vector<std::string> argv{settings.strSudo, "--", program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const ChildResult run = RunChildAndWait(argv);
  if (!run.bStarted) {
    if (error != nullptr) *error = run.nError;
    return RelaunchResult::kNotStarted;
  }
  return RelaunchResult::kRan;
}

std::vector<std::string> CServiceControl::PowerArguments(int flags) {
  std::vector<std::string> arguments;
  if (flags & kPowerFlagPowerOff) {
    arguments.push_back("poweroff");
  } else if (flags & kPowerFlagReboot) {
    arguments.push_back("reboot");
  } else {
    return arguments;
  }
  if (flags & kPowerFlagForce) arguments.push_back("--force");
  return arguments;
}

CResult CServiceControl::RequestPower(int flags) const {
  const std::vector<std::string> arguments = PowerArguments(flags);
  if (arguments.empty()) {
    return NoPowerAction(flags);
  }
  return RunSystemctl(arguments, nullptr);
}

bool CServiceControl::StartedByServiceManager() {
  return std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("INVOCATION_ID") != nullptr;
}

bool CServiceControl::Notify(const std::string& state) { return sd_notify(0, state.c_str()) > 0; }

struct CStopSignals::State {
  sigset_t mask;
};

namespace {

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

CStopSignals::CStopSignals() : saved(std::make_unique<State>()) {
  const sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, &saved->mask);
}

CStopSignals::~CStopSignals() {
  // A signal that arrived after the last Wait must not kill the process once
  // unblocked: take it while it is still blocked.
  const sigset_t set = StopSignalSet();
  const struct timespec none {};
  while (sigtimedwait(&set, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &saved->mask, nullptr);
}

bool CStopSignals::WaitForControl(int milliseconds, ServiceControlRequest* request) {
  const sigset_t set = StopSignalSet();
  struct timespec timeout {};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  const int caught = sigtimedwait(&set, nullptr, &timeout);
  if (caught <= 0) return false;
  const int control = caught == SIGHUP ? kServiceControlParamChange : kServiceControlStop;
  *request = ServiceControlRequest{control, 0};
  return true;
}
