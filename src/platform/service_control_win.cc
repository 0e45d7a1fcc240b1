#include "platform/service_control.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "platform/process.h"
#include "platform/unique_fd.h"
#include "platform/win_handle.h"

#include <shellapi.h>
#include <tlhelp32.h>

namespace {

// Failure actions: the window after which the failure count starts again.
constexpr DWORD kFailureResetSeconds = 180;
// The status type reported: the own-process and share-process bits together.
constexpr DWORD kReportedServiceType = SERVICE_WIN32;
constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                    SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_PARAMCHANGE;
// Wait hints reported with the states the platform reports itself.
constexpr DWORD kStopPendingWaitHintMs = 10000;
constexpr DWORD kStoppedWaitHintMs = 1000;
constexpr DWORD kFailedStartWaitHintMs = 10;
// How long a console start waits for the dispatcher to answer at all.
constexpr DWORD kDispatcherConnectMs = 30000;
// How long the end of the service waits for the dispatcher thread.
constexpr DWORD kDispatcherEndMs = 5000;

// Closes a service manager handle when it goes.
class CServiceHandle {
 public:
  explicit CServiceHandle(SC_HANDLE handle) : hHandle(handle) {}
  ~CServiceHandle() {
    if (hHandle != nullptr) CloseServiceHandle(hHandle);
  }
  CServiceHandle(const CServiceHandle&) = delete;
  CServiceHandle& operator=(const CServiceHandle&) = delete;

  SC_HANDLE Get() const { return hHandle; }
  bool IsValid() const { return hHandle != nullptr; }

 private:
  SC_HANDLE hHandle;
};

CServiceHandle OpenManager(DWORD access) {
  return CServiceHandle(OpenSCManagerA(nullptr, nullptr, access));
}

// Opens the manager and the service and runs `operation` on the service; false
// when either cannot be opened.
CResult ManagerFailure() { return CResult::FromLastError("open the service control manager"); }

// Runs `operation` (true on success, the reason in GetLastError() otherwise) on
// the opened service; `action` names it for the failure ("start", "delete").
template <typename Operation>
CResult WithService(const std::string& name, DWORD managerAccess, DWORD access, const char* action,
                    Operation operation) {
  const CServiceHandle manager = OpenManager(managerAccess);
  if (!manager.IsValid()) return ManagerFailure();
  const CServiceHandle service(OpenServiceA(manager.Get(), name.c_str(), access));
  if (!service.IsValid()) return CResult::FromLastError("open service " + name);
  if (operation(service.Get())) return CResult::Ok();
  return CResult::FromLastError(std::string(action) + " service " + name);
}

void SetDescription(SC_HANDLE service, const std::string& description) {
  std::string text = description;
  SERVICE_DESCRIPTIONA info{text.data()};
  ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info);
}

bool ApplyRestartOnFailure(SC_HANDLE service, int delayMs) {
  SC_ACTION restart{SC_ACTION_RESTART, static_cast<DWORD>(delayMs)};
  SERVICE_FAILURE_ACTIONSA actions{};
  actions.dwResetPeriod = kFailureResetSeconds;
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  return ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions) != 0;
}

// Membership of the Administrators group through the full token of the user,
// also when this process runs with the filtered one.
bool FullTokenIsAdministrator() {
  HANDLE process = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &process)) return false;
  const CUniqueFd processToken(HandleToDescriptor(process));
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(process, TokenElevationType, &type, sizeof(type), &size);
  HANDLE check = nullptr;
  if (type == TokenElevationTypeLimited) {
    TOKEN_LINKED_TOKEN linked{};
    if (GetTokenInformation(process, TokenLinkedToken, &linked, sizeof(linked), &size)) {
      check = linked.LinkedToken;
    }
  } else {
    DuplicateToken(process, SecurityIdentification, &check);
  }
  if (check == nullptr) return false;
  const CUniqueFd checkToken(HandleToDescriptor(check));
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof(sid);
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize) &&
         CheckTokenMembership(check, sid, &member) && member;
}

CResult EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return CResult::FromLastError("open the process token");
  }
  const CUniqueFd owned(HandleToDescriptor(token));
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  return CResult::Ok();
}

// ---- the service dispatcher ----

// The connection to the control dispatcher. The dispatcher runs on a thread of
// its own, so the process's first thread stays free to take the controls (as
// it takes stop signals on Linux); the service main the dispatcher calls only
// registers the handler and waits until the service has reported stopped.
struct Dispatcher {
  std::mutex lock;
  std::deque<ServiceControlRequest> controls;  // guarded by lock
  CUniqueFd controlQueued;                     // manual reset; set while controls wait
  CUniqueFd connected;                         // set once the answer is known
  CUniqueFd stopped;                           // set once stopped was reported
  HANDLE hThread = nullptr;
  SERVICE_STATUS_HANDLE hStatus = nullptr;
  std::atomic<bool> bService{false};
  std::atomic<DWORD> nState{SERVICE_START_PENDING};
  std::atomic<int> nFailedStartCode{0};
};

Dispatcher& TheDispatcher() {
  static Dispatcher* const dispatcher = new Dispatcher();
  return *dispatcher;
}

bool ReportState(DWORD state, DWORD exitCode, DWORD specificCode, DWORD waitHint) {
  Dispatcher& dispatcher = TheDispatcher();
  if (dispatcher.hStatus == nullptr) return false;
  SERVICE_STATUS status{};
  status.dwServiceType = kReportedServiceType;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptedControls;
  status.dwWin32ExitCode = exitCode;
  status.dwServiceSpecificExitCode = specificCode;
  status.dwWaitHint = waitHint;
  dispatcher.nState.store(state);
  return SetServiceStatus(dispatcher.hStatus, &status) != 0;
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD eventType, void*, void*) {
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN &&
      control != SERVICE_CONTROL_POWEREVENT && control != SERVICE_CONTROL_PARAMCHANGE) {
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  Dispatcher& dispatcher = TheDispatcher();
  {
    std::lock_guard<std::mutex> hold(dispatcher.lock);
    dispatcher.controls.push_back({static_cast<int>(control), static_cast<int>(eventType)});
  }
  SetEvent(DescriptorToHandle(dispatcher.controlQueued.Get()));
  return NO_ERROR;
}

void WINAPI RunServiceMain(DWORD argc, char** argv) {
  Dispatcher& dispatcher = TheDispatcher();
  const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  dispatcher.hStatus = RegisterServiceCtrlHandlerExA(name, OnServiceControl, nullptr);
  if (dispatcher.hStatus == nullptr) {
    SetEvent(DescriptorToHandle(dispatcher.connected.Get()));
    return;
  }
  ReportState(SERVICE_START_PENDING, NO_ERROR, 0, 0);
  dispatcher.bService.store(true);
  SetEvent(DescriptorToHandle(dispatcher.connected.Get()));
  WaitForSingleObject(DescriptorToHandle(dispatcher.stopped.Get()), INFINITE);
}

DWORD WINAPI RunDispatcher(void*) {
  // The name is not used for a service in a process of its own.
  char name[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{name, RunServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherA(table);
  // From a console it fails at once; as a service it returns after the stop.
  SetEvent(DescriptorToHandle(TheDispatcher().connected.Get()));
  return 0;
}

// The executable file name of process `id`'s parent; empty when unknown.
std::string ParentProgramName(DWORD id) {
  const CUniqueFd snapshot(HandleToDescriptor(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
  if (!snapshot.IsValid()) return std::string();
  HANDLE handle = DescriptorToHandle(snapshot.Get());
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  DWORD parent = 0;
  for (BOOL more = Process32First(handle, &entry); more; more = Process32Next(handle, &entry)) {
    if (entry.th32ProcessID == id) parent = entry.th32ParentProcessID;
  }
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(handle, &entry); more; more = Process32Next(handle, &entry)) {
    if (parent != 0 && entry.th32ProcessID == parent) return entry.szExeFile;
  }
  return std::string();
}

// Only a process the service control manager started can connect to its
// dispatcher; anywhere else the attempt may wait for seconds before it fails.
bool StartedByServicesProcess() {
  return lstrcmpiA(ParentProgramName(GetCurrentProcessId()).c_str(), "services.exe") == 0;
}

bool ConnectDispatcher() {
  if (!StartedByServicesProcess()) return false;
  Dispatcher& dispatcher = TheDispatcher();
  dispatcher.controlQueued.Reset(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr)));
  dispatcher.connected.Reset(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr)));
  dispatcher.stopped.Reset(HandleToDescriptor(CreateEventA(nullptr, TRUE, FALSE, nullptr)));
  if (!dispatcher.controlQueued.IsValid() || !dispatcher.connected.IsValid() ||
      !dispatcher.stopped.IsValid()) {
    return false;
  }
  dispatcher.hThread = CreateThread(nullptr, 0, RunDispatcher, nullptr, 0, nullptr);
  if (dispatcher.hThread == nullptr) return false;
  WaitForSingleObject(DescriptorToHandle(dispatcher.connected.Get()), kDispatcherConnectMs);
  return dispatcher.bService.load();
}

}  // namespace

CResult CServiceControl::CheckManager() const {
  return OpenManager(0).IsValid() ? CResult::Ok() : ManagerFailure();
}

bool CServiceControl::UnitExists(const std::string& name) const {
  return WithService(name, 0, SERVICE_QUERY_STATUS, "query", [](SC_HANDLE) { return true; }).ok();
}

// Windows services are registered with the service manager, never dropped in
// place by a package manager.
std::string CServiceControl::PackagedUnitPath(const std::string&) const { return std::string(); }

CResult CServiceControl::InstallUnit(const ServiceUnit& unit) const {
  const CServiceHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
  if (!manager.IsValid()) return ManagerFailure();
  const CServiceHandle service(CreateServiceA(
      manager.Get(), unit.strName.c_str(), unit.strName.c_str(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, unit.bAutoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
      SERVICE_ERROR_NORMAL, unit.strExecStart.c_str(), nullptr, nullptr, nullptr, nullptr,
      nullptr));
  if (!service.IsValid()) return CResult::FromLastError("create service " + unit.strName);
  // The service exists now; these two settings are extras whose failure is
  // not an install failure.
  SetDescription(service.Get(), unit.strDescription);
  if (unit.bRestartOnFailure) ApplyRestartOnFailure(service.Get(), unit.nRestartDelayMs);
  return CResult::Ok();
}

CResult CServiceControl::SetRestartOnFailure(const std::string& name, int delayMs) const {
  return WithService(
      name, SC_MANAGER_CONNECT, SERVICE_CHANGE_CONFIG | SERVICE_START, "configure",
      [delayMs](SC_HANDLE service) { return ApplyRestartOnFailure(service, delayMs); });
}

CResult CServiceControl::RemoveUnit(const std::string& name) const {
  return WithService(name, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS, "delete",
                     [](SC_HANDLE service) { return DeleteService(service) != 0; });
}

CResult CServiceControl::StartUnit(const std::string& name) const {
  return WithService(name, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS, "start",
                     [](SC_HANDLE service) { return StartServiceA(service, 0, nullptr) != 0; });
}

CResult CServiceControl::StopUnit(const std::string& name) const {
  return WithService(name, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS, "stop",
                     [](SC_HANDLE service) {
                       SERVICE_STATUS status{};
                       return ControlService(service, SERVICE_CONTROL_STOP, &status) != 0;
                     });
}

int CServiceControl::QueryUnitState(const std::string& name) const {
  int state = kServiceStateUnknown;
  (void)WithService(name, 0, SERVICE_QUERY_STATUS, "query", [&state](SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    state = static_cast<int>(status.dwCurrentState);
    return true;
  });
  return state;
}

bool CServiceControl::CanElevate() const { return FullTokenIsAdministrator(); }

// The elevated copy gets a console of its own and is not waited for: this
// process ends as soon as it has started.
RelaunchResult CServiceControl::RelaunchElevated(const std::string& program,
                                                 const std::vector<std::string>& arguments,
                                                 int* error) const {
  const std::string parameters = BuildCommandLine(arguments);
  SHELLEXECUTEINFOA execute{};
  execute.cbSize = sizeof(execute);
  execute.lpVerb = "runas";
  execute.lpFile = program.c_str();
  execute.lpParameters = parameters.c_str();
  execute.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExA(&execute)) return RelaunchResult::kRan;
  const DWORD failure = GetLastError();
  if (failure == ERROR_CANCELLED) return RelaunchResult::kRefused;
  if (error != nullptr) *error = static_cast<int>(failure);
  return RelaunchResult::kNotStarted;
}

// The flags are ExitWindowsEx's own. Without the shutdown privilege in the
// token nothing is requested.
CResult CServiceControl::RequestPower(int flags) const {
  if ((flags & (kPowerFlagPowerOff | kPowerFlagReboot)) == 0) {
    return NoPowerAction(flags);
  }
  const CResult privilege = EnableShutdownPrivilege();
  if (!privilege.ok()) return privilege;
  if (ExitWindowsEx(static_cast<UINT>(flags), 0) != 0) return CResult::Ok();
  return CResult::FromLastError("ExitWindowsEx");
}

bool CServiceControl::StartedByServiceManager() {
  static const bool started = ConnectDispatcher();
  return started;
}

bool CServiceControl::Notify(const std::string& state) {
  if (!TheDispatcher().bService.load()) return false;
  if (state == "READY=1") return ReportState(SERVICE_RUNNING, NO_ERROR, 0, 0);
  if (state == "STOPPING=1") {
    return ReportState(SERVICE_STOP_PENDING, NO_ERROR, 0, kStopPendingWaitHintMs);
  }
  // A failed start: reported as stopped with the code once the service ends.
  const std::string code = LineValue(state, "ERRNO");
  if (!code.empty()) TheDispatcher().nFailedStartCode.store(std::atoi(code.c_str()));
  return true;
}

struct CStopSignals::State {};

CStopSignals::CStopSignals() : saved(std::make_unique<State>()) {}

CStopSignals::~CStopSignals() {
  Dispatcher& dispatcher = TheDispatcher();
  if (!dispatcher.bService.load()) return;
  const int failed = dispatcher.nFailedStartCode.load();
  if (failed != 0) {
    ReportState(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(failed),
                kFailedStartWaitHintMs);
  } else {
    ReportState(SERVICE_STOPPED, NO_ERROR, 0, kStoppedWaitHintMs);
  }
  SetEvent(DescriptorToHandle(dispatcher.stopped.Get()));
  WaitForSingleObject(dispatcher.hThread, kDispatcherEndMs);
}

bool CStopSignals::WaitForControl(int milliseconds, ServiceControlRequest* request) {
  Dispatcher& dispatcher = TheDispatcher();
  if (!dispatcher.controlQueued.IsValid()) {
    Sleep(WaitMilliseconds(milliseconds));
    return false;
  }
  WaitForSingleObject(DescriptorToHandle(dispatcher.controlQueued.Get()),
                      WaitMilliseconds(milliseconds));
  std::lock_guard<std::mutex> hold(dispatcher.lock);
  if (dispatcher.controls.empty()) return false;
  *request = dispatcher.controls.front();
  dispatcher.controls.pop_front();
  if (dispatcher.controls.empty()) ResetEvent(DescriptorToHandle(dispatcher.controlQueued.Get()));
  return true;
}
