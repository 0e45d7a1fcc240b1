// A fake systemctl/sudo pair in a temporary folder that records its calls and
// plays service states, so the service control runs against it instead of the
// real commands. Used by the platform and host suites.
#ifndef QUILLRADE_TESTS_PLATFORM_FAKE_SYSTEM_SUPPORT_H_
#define QUILLRADE_TESTS_PLATFORM_FAKE_SYSTEM_SUPPORT_H_

#include <string>
#include <vector>

#include "platform/service_control.h"
#include "support/temp_dir.h"

// A temporary folder holding executable fakes of systemctl and sudo. Every call
// appends one line "<tool> <arguments>" to the call log. Their behaviour comes
// from files in the folder, set through the methods below.
class CFakeSystem {
 public:
  CFakeSystem();
  CFakeSystem(const CFakeSystem&) = delete;
  CFakeSystem& operator=(const CFakeSystem&) = delete;

  // Settings pointing at the fakes; `administrator` is what the root check says.
  ServiceControlSettings Settings(bool administrator = true) const;

  // "systemctl show -p ActiveState,..." answers these ActiveStates one per call,
  // repeating the last one. Default: "inactive".
  void PlayStates(const std::vector<std::string>& activeStates);
  // systemd not running as init: the runtime folder is missing.
  void RemoveManager();
  // systemctl <verb> exits with 1.
  void FailVerb(const std::string& verb);
  // "sudo -v" exits with this code (1 = wrong password).
  void SetSudoValidateExit(int code);
  // Puts a unit file in place, as an earlier install would have.
  void AddUnit(const std::string& serviceName);
  // Puts a unit file where a distribution package keeps its units.
  void AddPackagedUnit(const std::string& serviceName);

  std::string UnitDir() const { return strDir + "/units"; }
  std::string PackageUnitDir() const { return strDir + "/lib-units"; }
  std::string SudoPath() const { return strDir + "/sudo"; }
  const std::string& Dir() const { return strDir; }
  // Recorded calls, without the manager probes ("systemctl show -p Version").
  std::vector<std::string> Calls() const;

 private:
  CTempDir dir;
  std::string strDir;
};

#endif  // QUILLRADE_TESTS_PLATFORM_FAKE_SYSTEM_SUPPORT_H_
