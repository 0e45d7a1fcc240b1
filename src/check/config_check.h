// The "check" command: loads a configuration exactly as the service does,
// builds its tasks (printing their summaries), reads every input file once,
// composes the format results and the URLs the service would send, and lists
// the findings of CConfigFindings. It sends nothing and never starts the status
// channels, so it binds no port and may run beside the running service.
//
// The report is for people, or JSON with "--json". Exit status: 0 without
// errors, 1 with errors, 2 when the configuration file cannot be read.
//
//   CConfigCheck check("/etc/quillrade/quillrade.ini");
//   const int status = check.Run();
//   WriteStdout(check.TextReport());
//
// Threads: one thread. The setup's and the reads' status lines go to a
// collector of the check's own, never to the process-wide status output, so the
// check may run beside anything that prints.
#ifndef QUILLRADE_CHECK_CONFIG_CHECK_H_
#define QUILLRADE_CHECK_CONFIG_CHECK_H_

#include <string>
#include <vector>

#include "check/config_findings.h"

class IStatusPrinter;

// Exit statuses of the check.
constexpr int kCheckClean = 0;
constexpr int kCheckErrors = 1;
constexpr int kCheckUnreadable = 2;

// What the check learnt about one task, after its input was read once.
struct CheckedTask {
  struct Named {
    std::string strName;
    std::string strText;
  };
  int nIndex = 0;
  std::string strLabel;
  int nInputType = 0;
  std::string strInput;              // absolute input path, or the push address
  bool bInputRead = false;           // the input was read (a push input never is)
  std::string strCharset;            // the set the values were read as ("auto" for a push)
  std::string strOutputCharset;      // the set the URLs carry; empty: the values' bytes
  std::vector<Named> values;         // keyword values (plain text and push inputs), as UTF-8
  std::vector<Named> formats;        // format results, as UTF-8
  std::vector<std::string> vecUrls;  // the URLs a send would request, composed
};

class CConfigCheck {
 public:
  explicit CConfigCheck(std::string configPath);

  // Runs the whole check; returns the exit status.
  int Run();

  // The report, for people: the status lines the setup and the reads printed,
  // each task's values, results and URLs, then the findings.
  std::string TextReport() const;
  // The same as one JSON object.
  std::string JsonReport() const;

  const std::vector<CheckedTask>& Tasks() const { return checkedTasks; }
  const std::vector<ConfigFinding>& Findings() const { return findings; }

 private:
  // Builds the tasks, reads the inputs, collects the findings; the status lines
  // go to `log`.
  void CheckLoaded(const CVirtualPreset_file& preset, IStatusPrinter& log);
  int ErrorCount() const;
  int WarningCount() const;

  const std::string strConfigPath;
  bool bReadable = false;
  int nExitStatus = kCheckUnreadable;
  int nConnectTimeoutSeconds = 0;
  std::string strLog;  // what the service's own status lines said
  std::vector<CheckedTask> checkedTasks;
  std::vector<ConfigFinding> findings;
};

#endif  // QUILLRADE_CHECK_CONFIG_CHECK_H_
