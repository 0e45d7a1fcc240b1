// CServiceMgr: construction, the command-line dispatcher and everything it prints
// (console test mode, install and uninstall flows, help). The service operations
// themselves live in service_hosting.cc.
#include "host/service_mgr.h"

#include <cstdarg>

#include "host/command_line.h"
#include "platform/console_keys.h"
#include "platform/process.h"
#include "platform/stdout_writer.h"
#include "util/path_name.h"
#include "util/text_util.h"

CServiceMgr* g_serviceMgr = nullptr;

namespace {

// Hands the text to the standard output writer at once: the next thing may be a
// blocking key wait, and the output may be a pipe that nobody reads.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteStdout(StringPrintfV(format, args));
  va_end(args);
}

}  // namespace

CServiceMgr::CServiceMgr() { g_serviceMgr = this; }

CServiceMgr::~CServiceMgr() {
  if (g_serviceMgr == this) g_serviceMgr = nullptr;
}

bool CServiceMgr::MayInstall() { return true; }

bool CServiceMgr::MayRunConsoleTest() { return true; }

int CServiceMgr::OnServiceStart() { return 0; }

CResult CServiceMgr::ServiceStartFailure() const { return CResult::Ok(); }

void CServiceMgr::OnServiceStop() {}

bool CServiceMgr::IsBannerSuppressed() { return false; }

int CServiceMgr::OnPowerEvent(int) { return 0; }

void CServiceMgr::OnReloadRequest() {}

void CServiceMgr::Init(const ServiceDescription& descriptionIn) {
  InitWithProgramPath(descriptionIn, GetProgramPath());
}

void CServiceMgr::InitWithProgramPath(const ServiceDescription& descriptionIn,
                                      const std::string& programPath) {
  description = descriptionIn;
  strProgramPath = programPath;
  strExeFileName = FileNameOf(programPath);
  strServiceCommandLine = "\"" + programPath + "\"";
  if (description.bServiceRunKeyword) strServiceCommandLine += " servicerun";
  if (!description.strServiceArguments.empty()) {
    strServiceCommandLine += " " + description.strServiceArguments;
  }
  strServiceName = WithoutExtension(strExeFileName);
  if (!description.strServiceNameOverride.empty()) {
    if (description.bAppendServiceName) {
      strServiceName += description.strServiceNameOverride;
    } else {
      strServiceName = description.strServiceNameOverride;
    }
  }
}

void CServiceMgr::SetServiceControlSettings(const ServiceControlSettings& settings) {
  serviceControl = CServiceControl(settings);
}

void CServiceMgr::SetStartPolling(int intervalMs, int timeoutMs) {
  nStartPollIntervalMs = intervalMs;
  nStartTimeoutMs = timeoutMs;
}

std::string CServiceMgr::DisplayName(bool lowerCase) const {
  const std::string name = lowerCase ? ToLowerAscii(strServiceName) : strServiceName;
  return name.find(' ') == std::string::npos ? name : "\"" + name + "\"";
}

void CServiceMgr::PrintInColour(int colour, const char* format, ...) {
  SetColour(colour);
  va_list args;
  va_start(args, format);
  WriteStdout(StringPrintfV(format, args));
  va_end(args);
}

int CServiceMgr::HandleCommandLine(int argc, const char* const*) {
  const std::vector<std::string>& arguments = GetProcessArguments();
  if (HandleSystemPowerOption(arguments)) return 0;
  if (HasCommandLineKey(arguments, "servicerun") ||
      (!description.bServiceRunKeyword && argc <= 1)) {
    SetNormalColour();
    RunServiceDispatcher();
    SetNormalColour();
    return 0;
  }
  const bool install = HasCommandLineKey(arguments, "-i");
  if (description.bConsoleTest && HasCommandLineKey(arguments, "run") && !install) {
    if (MayRunConsoleTest()) RunConsoleTest();
    SetNormalColour();
    return 0;
  }
  if (install) return RunInstallFlow(arguments);
  if (HasCommandLineKey(arguments, "-d") || HasCommandLineKey(arguments, "-u")) {
    return RunUninstallFlow(arguments);
  }
  return PrintHelp(arguments);
}

void CServiceMgr::RunConsoleTest() {
  bConsoleTestActive = true;
  Print("%s %s (command line test mode)\n\n", strServiceName.c_str(),
        description.strVersion.c_str());
  Print("Initializing...\n");
  // From here on Ctrl-C, a closed terminal or a kill end the test like ESC.
  CConsoleKeys keys;
  const int error = OnServiceStart();
  if (error != 0) {
    Print("Internal error code %i starting service\n%s", error,
          ServiceStartFailure().ReasonLine().c_str());
    bConsoleTestActive = false;
    return;
  }
  Print("Running. ESC to exit, P to sleep/resume.\n");
  bool asleep = false;
  for (;;) {
    const int key = keys.ReadKey();
    if (key == kKeyEscape) break;
    if (key == kKeyEndOfInput) {
      // No keyboard (input on /dev/null, closed, or a pipe that ended): run on,
      // like the service, until a signal asks for the stop.
      keys.WaitForEndSignal();
      break;
    }
    if (key == 'P' || key == 'p') {
      asleep = !asleep;
      OnPowerEvent(asleep ? kPowerEventSuspend : kPowerEventResumeSuspend);
    }
  }
  Print("Exiting.\n");
  OnServiceStop();
  bConsoleTestActive = false;
}

void CServiceMgr::WaitForKey() {
  CConsoleKeys keys;
  keys.ReadKey();
}

void CServiceMgr::PauseIfAsked(const std::vector<std::string>& arguments) {
  SetNormalColour();
  if (!HasCommandLineKey(arguments, "-pause")) return;
  Print("Press any key to continue");
  WaitForKey();
  Print("\n");
}

void CServiceMgr::PrintServiceHint() {
  SetNormalColour();
  const std::string name = DisplayName(true);
  Print(
      "\nStart -> Run \"services.msc\" to see the service in the list.\n\n"
      "To start: net start %s\nTo stop: net stop %s\n\n",
      name.c_str(), name.c_str());
}

void CServiceMgr::PrintStartHint() {
  SetNormalColour();
  Print("\nTo start service now, type:\n\nnet start %s\n\n", DisplayName(true).c_str());
  Print("Or, Start -> Run \"services.msc\" to see the service in the list.\n\n");
}

int CServiceMgr::ReportInstalledService(const std::vector<std::string>& arguments) {
  PrintInColour(kColourWarning, "%s service is already installed.\n", DisplayName(false).c_str());
  int state = kServiceStateUnknown;
  QueryServiceState(&state);
  if (state == kServiceStateRunning) {
    PrintInColour(kColourSuccess, "Service is already running!\n");
  } else if (state == kServiceStateStartPending || state == kServiceStateContinuePending) {
    PrintInColour(kColourSuccess, "Service is currently starting!\n");
  } else if (state == kServiceStateStopPending) {
    PrintInColour(kColourWarning, "Service is currently stopping.\n");
    PrintServiceHint();
  } else if (HasCommandLineKey(arguments, "-run") || HasCommandLineKey(arguments, "run")) {
    if (EnsureElevated(arguments)) {
      const CResult started = StartStopService(true);
      if (started.ok()) {
        PrintInColour(kColourSuccess, "Service started!\n");
      } else {
        PrintInColour(kColourError, "Unable to start service.\n%s", started.ReasonLine().c_str());
      }
    }
  } else {
    PrintServiceHint();
  }
  return 1;
}

void CServiceMgr::ReportStartAfterInstall(const CResult& started) {
  const bool autoStart = description.bAutoStart;
  const std::string reason = started.ReasonLine();
  if (autoStart && started.ok()) {
    PrintInColour(kColourSuccess,
                  "Service has been set to start automatically, and was started now.\n");
  } else if (autoStart) {
    PrintInColour(kColourWarning,
                  "Service has been set to start automatically, but was unable to start now.\n%s",
                  reason.c_str());
    PrintStartHint();
  } else if (started.ok()) {
    PrintInColour(kColourSuccess, "Service was started now, but not set to start automatically.\n");
  } else {
    PrintInColour(
        kColourWarning,
        "Service was unable to start now, and is also not set to start automatically.\n%s",
        reason.c_str());
    PrintStartHint();
  }
}

int CServiceMgr::ReportInstallFailure(const CResult& why) {
  PrintInColour(kColourError,
                "\nError installing %s service.\nIs the service already installed?\n%s",
                strServiceName.c_str(), why.ReasonLine().c_str());
  return 2;
}

std::string CServiceMgr::PackagedUnitInCharge() const {
  if (serviceControl.UnitExists(strServiceName)) return std::string();
  return serviceControl.PackagedUnitPath(strServiceName);
}

// A unit of our own would hide the package's (systemd prefers /etc), and
// removing the package's file would break the package: leave both to it.
int CServiceMgr::ReportPackagedService(const std::string& unitPath, bool install) {
  PrintInColour(kColourWarning, "%s service is managed by its package (%s).\n",
                DisplayName(false).c_str(), unitPath.c_str());
  SetNormalColour();
  const std::string name = DisplayName(true);
  if (install) {
    Print(
        "No second unit was written. Start, stop and enable it with systemctl:\n\n"
        "systemctl status %s\n\n",
        name.c_str());
  } else {
    Print(
        "It is removed with its package (apt remove %s). To stop it now:\n\n"
        "systemctl stop %s\n\n",
        name.c_str(), name.c_str());
  }
  return 1;
}

int CServiceMgr::RunInstallFlow(const std::vector<std::string>& arguments) {
  bool managerUnavailable = false;
  const bool installed = IsServiceInstalled(&managerUnavailable) && !managerUnavailable;
  const std::string packagedUnit = installed ? std::string() : PackagedUnitInCharge();
  int result = 0;
  if (installed) {
    result = ReportInstalledService(arguments);
  } else if (!packagedUnit.empty()) {
    result = ReportPackagedService(packagedUnit, true);
  } else if (!MayInstall()) {
    result = 7;
  } else if (!EnsureElevated(arguments)) {
    result = ReportInstallFailure(CResult::Ok());
  } else if (const CResult installed = InstallService(); !installed.ok()) {
    result = ReportInstallFailure(installed);
  } else {
    PrintInColour(kColourSuccess, "\n%s service installed successfully.\n", strServiceName.c_str());
    if (HasCommandLineKey(arguments, "-run") || HasCommandLineKey(arguments, "run") ||
        description.bStartAfterInstall) {
      ReportStartAfterInstall(StartStopService(true));
    } else if (description.bAutoStart) {
      PrintInColour(kColourSuccess, "Service has been set to start automatically, ");
      PrintInColour(kColourWarning, "but was not started now.\n");
      PrintInColour(kColourSuccess,
                    "It will start automatically the next time the system restarts.\n");
      PrintStartHint();
    } else {
      PrintStartHint();
    }
  }
  PauseIfAsked(arguments);
  return result;
}

int CServiceMgr::RunUninstallFlow(const std::vector<std::string>& arguments) {
  int result = 0;
  bool managerUnavailable = false;
  const bool installed = IsServiceInstalled(&managerUnavailable);
  const std::string packagedUnit = PackagedUnitInCharge();
  if (!packagedUnit.empty()) {
    result = ReportPackagedService(packagedUnit, false);
  } else if (installed || managerUnavailable) {
    if (EnsureElevated(arguments)) {
      (void)StartStopService(false);
      const CResult removed = UninstallService();
      if (removed.ok()) {
        PrintInColour(kColourSuccess, "\n%s service uninstalled successfully.\n",
                      strServiceName.c_str());
      } else {
        PrintInColour(kColourError,
                      "\nError uninstalling %s service.\nIs the service not installed?\n%s",
                      strServiceName.c_str(), removed.ReasonLine().c_str());
        result = 2;
      }
    }
  } else {
    PrintInColour(kColourWarning, "%s service is not installed.\n\n", DisplayName(false).c_str());
    result = 1;
  }
  PauseIfAsked(arguments);
  return result;
}

void CServiceMgr::PrintCommandPromptBox() {
  PrintInColour(kColourWarning, "\n");
  Print(" ******************************************************************\n");
  Print(" **                                                              **\n");
  Print(" **        This program must be used from a command prompt.      **\n");
  Print(" **                                                              **\n");
  Print(" ******************************************************************\n");
  Print("\n");
  SetNormalColour();
  Print("No command line parameter specified, waiting for keystroke.\n");
}

int CServiceMgr::PrintHelp(const std::vector<std::string>& arguments) {
  SetColour(kColourBanner);
  if (!IsBannerSuppressed()) {
    Print("%s Service: %s %s\n\n", description.strShortDescription.c_str(), strExeFileName.c_str(),
          description.strVersion.c_str());
  }
  SetNormalColour();
  const char* exe = strExeFileName.c_str();
  Print("Service Name:          %s\n", DisplayName(false).c_str());
  Print("To install:            %s -i\n", exe);
  if (!description.bAutoStart) Print("To install and start:  %s -i -run\n", exe);
  Print("To uninstall:          %s -u\n\n", exe);
  if (!description.bAutoStart)
    Print("To start service:      net start %s\n", DisplayName(true).c_str());
  if (description.bConsoleTest) {
    Print("\nTo run from command line as a test:    %s run %s\n", exe,
          description.strServiceArguments.c_str());
  }
  for (const std::string& line : description.vecHelpLines) Print("%s\n", line.c_str());
  bool boxShown = false;
  if (description.bServiceRunKeyword) {
    if (arguments.size() < 2) {
      PrintCommandPromptBox();
      boxShown = true;
    }
  }
  if (boxShown || HasCommandLineKey(arguments, "-pause")) {
    SetNormalColour();
    Print("Press any key to continue");
    WaitForKey();
    Print("\n");
  }
  SetNormalColour();
  return 0;
}
