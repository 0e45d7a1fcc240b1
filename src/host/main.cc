// Process entry: makes the standard streams valid, describes the service, makes
// the one CMainClass and hands the command line to its dispatcher, whose result is
// the exit code. The "check" command runs instead, before any of that.
#include "check/config_check.h"
#include "host/command_line.h"
#include "host/main_class.h"
#include "host/main_loop.h"
#include "host/program_description.h"
#include "platform/process.h"
#include "platform/stdout_writer.h"
#include "util/crash_reporter.h"

namespace {

// The check's report is written whole before the command ends; a reader that
// takes nothing for this long loses the rest.
constexpr int kReportStallMs = 600000;

// The configuration named by ini_file= (or the default path), the report on
// standard output (JSON with "--json"); returns the check's exit status.
int RunConfigCheck(const std::vector<std::string>& arguments) {
  CConfigCheck check(GetCommandLineValue(arguments, "ini_file", DefaultConfigPath()));
  const int status = check.Run();
  WriteStdout(HasCommandLineKey(arguments, "--json") ? check.JsonReport() : check.TextReport());
  FlushStdout(kReportStallMs);
  return status;
}

}  // namespace

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
