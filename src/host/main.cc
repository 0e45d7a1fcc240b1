// Process entry: makes the standard streams valid, describes the service, makes
// the one CMainClass and hands the command line to its dispatcher, whose result is
// the exit code.
#include "host/command_line.h"
#include "check/config_check.h"
#include "host/main_class.h"
#include "host/program_description.h"
#include "platform/process.h"
#include "util/crash_reporter.h"

int main(int argc, char** argv) {
  EnsureStandardDescriptors();
  LimitAllocatorPools();
  SetProcessArguments(ReadProcessArguments(argc, argv));
  // The check runs nothing of the service: no object, no thread, no port.
  if (IsConfigCheckCommand(GetProcessArguments())) return RunConfigCheck(GetProcessArguments());
  // The packaged service keeps its crash reports in its state folder.
  SetCrashReportFolder(GetCommandLineValue(GetProcessArguments(), "crash_dir", ""));
  const ServiceDescription description = QuillradeServiceDescription();
  CMainClass mainClass;
  mainClass.Init(description);
  return mainClass.HandleCommandLine(argc, argv);
}
