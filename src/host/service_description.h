// The record that describes the service to CServiceMgr: texts for the help and the
// unit file, the switches that shape the command line, and the restart settings.
// Filled by the entry point and copied by CServiceMgr::Init; a plain value.
#ifndef QUILLRADE_HOST_SERVICE_DESCRIPTION_H_
#define QUILLRADE_HOST_SERVICE_DESCRIPTION_H_

#include <string>
#include <vector>

struct ServiceDescription {
  std::string strShortDescription = "strShortDescription";      // help banner
  std::string strServiceDescription = "strServiceDescription";  // stored with the service
  std::string strVersion = "strVersion";
  // Appended to the installed command line and shown in the test-run hint.
  std::string strServiceArguments;
  // When not empty: replaces the derived service name, or is appended to it.
  std::string strServiceNameOverride;

  bool bAppendServiceName = false;
  bool bConsoleTest = true;         // offer the console test mode ("run")
  bool bAutoStart = false;          // install enabled for automatic start
  bool bStartAfterInstall = false;  // start right after a successful install
  // Run as a service only with "servicerun" on the command line; the installed
  // command line then carries " servicerun".
  bool bServiceRunKeyword = false;
  bool bRestartOnFailure = false;  // restart the service when it ends

  std::vector<std::string> vecHelpLines;  // printed at the end of the help
  int nRestartDelayMs = 5000;             // delay before a restart
};

#endif  // QUILLRADE_HOST_SERVICE_DESCRIPTION_H_
