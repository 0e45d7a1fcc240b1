// The command-line dispatcher's flows, run in a child process against the fake
// systemctl/sudo: texts, colours on a terminal, recorded calls and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/program_description.h"
#include "host/service_mgr.h"
#include "host_test_support.h"
#include "platform/process.h"
#include "platform/stdout_writer.h"

namespace {

const char kGreen[] = "\x1b[0;92m";
const char kYellow[] = "\x1b[0;93m";
const char kRed[] = "\x1b[0;97;41m";
const char kNormal[] = "\x1b[0m";
const char kProgram[] = "/opt/v1.2/quillrade";

const char kStartHint[] =
    "\nTo start service now, type:\n\nnet start quillrade\n\n"
    "Or, Start -> Run \"services.msc\" to see the service in the list.\n\n";
const char kServiceHint[] =
    "\nStart -> Run \"services.msc\" to see the service in the list.\n\n"
    "To start: net start quillrade\nTo stop: net stop quillrade\n\n";

// Records the work's start and stop and the power events in its output.
class CRecordingMgr : public CServiceMgr {
 public:
  int OnServiceStart() override {
    WriteStdout("[start]");
    return nStartError;
  }
  void OnServiceStop() override { WriteStdout("[stop]"); }
  int OnPowerEvent(int eventType) override {
    WriteStdout("[power " + std::to_string(eventType) + "]");
    return 0;
  }
  bool MayInstall() override { return bMayInstall; }

  int nStartError = 0;
  bool bMayInstall = true;
};

struct FlowOptions {
  bool bAdministrator = true;
  bool bPty = false;
  bool bMayInstall = true;
  int nStartError = 0;
  std::string strInput;
  ServiceDescription description = QuillradeServiceDescription();
  std::string strProgram = kProgram;
};

// Runs HandleCommandLine for `arguments` (after the program path) in a child.
ChildOutcome RunFlow(const CFakeSystem& fake, const std::vector<std::string>& arguments,
                     const FlowOptions& options = FlowOptions()) {
  return RunInChild(
      [&] {
        std::vector<const char*> argv{options.strProgram.c_str()};
        for (const std::string& argument : arguments) argv.push_back(argument.c_str());
        SetProcessArguments(std::vector<std::string>(argv.begin(), argv.end()));
        CRecordingMgr mgr;
        mgr.nStartError = options.nStartError;
        mgr.bMayInstall = options.bMayInstall;
        mgr.SetServiceControlSettings(fake.Settings(options.bAdministrator));
        mgr.InitWithProgramPath(options.description, options.strProgram);
        mgr.SetStartPolling(10, 400);
        return mgr.HandleCommandLine(static_cast<int>(argv.size()), argv.data());
      },
      options.strInput, options.bPty);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

using Calls = std::vector<std::string>;

TEST(InstallFlowTest, FreshInstallWritesEnablesAndStartsTheService) {
  CFakeSystem fake;
  fake.PlayStates({"activating", "active"});
  const ChildOutcome outcome = RunFlow(fake, {"-i"});
  EXPECT_EQ(outcome.nExitCode, 0);
  EXPECT_EQ(outcome.strOutput,
            "\nquillrade service installed successfully.\n"
            "Service has been set to start automatically, and was started now.\n");
  EXPECT_EQ(fake.Calls(), (Calls{
                              "systemctl daemon-reload",
                              "systemctl enable --quiet quillrade.service",
                              "systemctl start --no-block quillrade.service",
                              "systemctl show -p ActiveState,SubState quillrade.service",
                              "systemctl show -p ActiveState,SubState quillrade.service",
                          }));
  const std::string unit = ReadFile(fake.UnitDir() + "/quillrade.service");
  EXPECT_NE(unit.find("Description=Quillrade by Hollend. Parses Text or XML and pushes the result "
                      "out as an HTTP request. See status at http://127.0.0.1:7370\n"),
            std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"/opt/v1.2/quillrade\" servicerun\n"), std::string::npos);
  EXPECT_NE(unit.find("Restart=always\nRestartSec=5\n"), std::string::npos);
}

TEST(InstallFlowTest, ColoursOnATerminal) {
  CFakeSystem fake;
  fake.PlayStates({"active"});
  FlowOptions options;
  options.bPty = true;
  const ChildOutcome outcome = RunFlow(fake, {"-i"}, options);
  EXPECT_EQ(outcome.nExitCode, 0);
  EXPECT_EQ(outcome.strOutput,
            std::string(kGreen) + "\nquillrade service installed successfully.\n" + kGreen +
                "Service has been set to start automatically, and was started now.\n" + kNormal);
}

TEST(InstallFlowTest, StartOutcomesAfterInstall) {
  struct Case {
    const char* name;
    bool autoStart;
    std::vector<std::string> states;
    std::string expected;
  } cases[] = {
      {"auto, stuck starting",
       true,
       {"activating"},
       "Service has been set to start automatically, but was unable to start now.\n"
       "  start service quillrade: it was still starting when the wait ended\n" +
           std::string(kStartHint)},
      {"auto, failed",
       true,
       {"failed"},
       "Service has been set to start automatically, but was unable to start now.\n"
       "  start service quillrade: it stopped again\n" +
           std::string(kStartHint)},
      // systemd may still show the unit inactive right after queueing the start.
      {"auto, inactive until the job runs",
       true,
       {"inactive", "activating", "active"},
       "Service has been set to start automatically, and was started now.\n"},
      {"manual, started",
       false,
       {"active"},
       "Service was started now, but not set to start automatically.\n"},
      {"manual, not started",
       false,
       {"inactive"},
       "Service was unable to start now, and is also not set to start automatically.\n"
       "  start service quillrade: it stopped again\n" +
           std::string(kStartHint)},
  };
  for (const Case& c : cases) {
    CFakeSystem fake;
    fake.PlayStates(c.states);
    FlowOptions options;
    options.description.bAutoStart = c.autoStart;
    const ChildOutcome outcome = RunFlow(fake, {"-i"}, options);
    EXPECT_EQ(outcome.nExitCode, 0) << c.name;
    EXPECT_EQ(outcome.strOutput, "\nquillrade service installed successfully.\n" + c.expected)
        << c.name;
    const Calls calls = fake.Calls();
    const bool enabled = std::find(calls.begin(), calls.end(),
                                   "systemctl enable --quiet quillrade.service") != calls.end();
    EXPECT_EQ(enabled, c.autoStart) << c.name;
  }
}

TEST(InstallFlowTest, WithoutStartAfterInstall) {
  FlowOptions options;
  options.description.bStartAfterInstall = false;
  {
    CFakeSystem fake;
    const ChildOutcome outcome = RunFlow(fake, {"-i"}, options);
    EXPECT_EQ(outcome.strOutput,
              "\nquillrade service installed successfully.\n"
              "Service has been set to start automatically, but was not started now.\n"
              "It will start automatically the next time the system restarts.\n" +
                  std::string(kStartHint));
    EXPECT_EQ(fake.Calls(),
              (Calls{"systemctl daemon-reload", "systemctl enable --quiet quillrade.service"}));
  }
  {
    // "run" beside "-i" starts it anyway; "-i" decides over the test mode.
    CFakeSystem fake;
    fake.PlayStates({"active"});
    const ChildOutcome outcome = RunFlow(fake, {"run", "-i"}, options);
    EXPECT_EQ(outcome.nExitCode, 0);
    EXPECT_EQ(outcome.strOutput,
              "\nquillrade service installed successfully.\n"
              "Service has been set to start automatically, and was started now.\n");
  }
  {
    options.description.bAutoStart = false;
    CFakeSystem fake;
    EXPECT_EQ(RunFlow(fake, {"-i"}, options).strOutput,
              "\nquillrade service installed successfully.\n" + std::string(kStartHint));
  }
}

TEST(InstallFlowTest, AlreadyInstalledReportsTheStateWithExitCode1) {
  struct Case {
    std::vector<std::string> arguments;
    std::string state;
    std::string expected;
    Calls calls;
  } cases[] = {
      {{"-i"},
       "active",
       "quillrade service is already installed.\nService is already running!\n",
       {"systemctl show -p ActiveState,SubState quillrade.service"}},
      {{"-i"},
       "activating",
       "quillrade service is already installed.\nService is currently starting!\n",
       {"systemctl show -p ActiveState,SubState quillrade.service"}},
      {{"-i"},
       "deactivating",
       "quillrade service is already installed.\nService is currently stopping.\n" +
           std::string(kServiceHint),
       {"systemctl show -p ActiveState,SubState quillrade.service"}},
      {{"-i"},
       "inactive",
       "quillrade service is already installed.\n" + std::string(kServiceHint),
       {"systemctl show -p ActiveState,SubState quillrade.service"}},
      {{"-i", "-run"},
       "inactive",
       "quillrade service is already installed.\nService started!\n",
       {"systemctl show -p ActiveState,SubState quillrade.service",
        "systemctl start --no-block quillrade.service",
        "systemctl show -p ActiveState,SubState quillrade.service"}},
  };
  for (const Case& c : cases) {
    CFakeSystem fake;
    fake.AddUnit("quillrade");
    fake.PlayStates({c.state, "active"});
    const ChildOutcome outcome = RunFlow(fake, c.arguments);
    EXPECT_EQ(outcome.nExitCode, 1) << c.state;
    EXPECT_EQ(outcome.strOutput, c.expected) << c.state;
    EXPECT_EQ(fake.Calls(), c.calls) << c.state;
  }
}

TEST(InstallFlowTest, AlreadyInstalledButUnableToStartOnATerminal) {
  CFakeSystem fake;
  fake.AddUnit("quillrade");
  fake.FailVerb("start");
  FlowOptions options;
  options.bPty = true;
  const ChildOutcome outcome = RunFlow(fake, {"-i", "run"}, options);
  EXPECT_EQ(outcome.nExitCode, 1);
  EXPECT_EQ(outcome.strOutput, std::string(kYellow) + "quillrade service is already installed.\n" +
                                   kRed + "Unable to start service.\n  " + fake.Dir() +
                                   "/systemctl start --no-block quillrade.service: exit code 1\n" +
                                   kNormal);
}

TEST(InstallFlowTest, FailuresAndRefusals) {
  const std::string installError =
      "\nError installing quillrade service.\nIs the service already installed?\n";
  {
    CFakeSystem fake;
    FlowOptions options;
    options.bMayInstall = false;
    const ChildOutcome outcome = RunFlow(fake, {"-i"}, options);
    EXPECT_EQ(outcome.nExitCode, 7);
    EXPECT_EQ(outcome.strOutput, "");
  }
  {
    CFakeSystem fake;
    fake.RemoveManager();
    const ChildOutcome outcome = RunFlow(fake, {"-i"});
    EXPECT_EQ(outcome.nExitCode, 2);
    EXPECT_EQ(outcome.strOutput, installError + "  systemd: not running as the init system (no " +
                                     fake.Dir() + "/run-systemd)\n");
    EXPECT_TRUE(fake.Calls().empty());
  }
  {
    CFakeSystem fake;
    fake.FailVerb("daemon-reload");
    const ChildOutcome outcome = RunFlow(fake, {"-i"});
    EXPECT_EQ(outcome.nExitCode, 2);
    EXPECT_EQ(outcome.strOutput,
              installError + "  " + fake.Dir() + "/systemctl daemon-reload: exit code 1\n");
    EXPECT_FALSE(std::ifstream(fake.UnitDir() + "/quillrade.service").good());
  }
}

TEST(InstallFlowTest, PauseWaitsForAKeyAfterTheMessages) {
  CFakeSystem fake;
  fake.AddUnit("quillrade");
  fake.PlayStates({"active"});
  FlowOptions options;
  options.strInput = "x";
  const ChildOutcome outcome = RunFlow(fake, {"-i", "-pause"}, options);
  EXPECT_EQ(outcome.nExitCode, 1);
  EXPECT_EQ(outcome.strOutput,
            "quillrade service is already installed.\nService is already running!\n"
            "Press any key to continue\n");
}

TEST(ElevationTest, NonRootRelaunchesThroughSudoAndEndsWith0) {
  CFakeSystem fake;
  FlowOptions options;
  options.bAdministrator = false;
  const ChildOutcome outcome = RunFlow(fake, {"-i", "ini_file=/a b/c.ini"}, options);
  EXPECT_EQ(outcome.nExitCode, 0);
  EXPECT_EQ(outcome.strOutput, "elevated copy ran\n");
  EXPECT_EQ(
      fake.Calls(),
      (Calls{"sudo -v", "sudo -- /opt/v1.2/quillrade -i ini_file=/a b/c.ini -elevated -pause"}));
}

TEST(ElevationTest, RefusalsAndImpossibleElevation) {
  const std::string installError =
      "\nError installing quillrade service.\nIs the service already installed?\n";
  FlowOptions options;
  options.bAdministrator = false;
  options.bPty = true;
  {
    CFakeSystem fake;
    fake.SetSudoValidateExit(1);
    const ChildOutcome outcome = RunFlow(fake, {"-i"}, options);
    EXPECT_EQ(outcome.nExitCode, 2);
    EXPECT_EQ(outcome.strOutput, std::string(kRed) + "ERROR: User refused the elevation\n" +
                                     kNormal + kRed + installError + kNormal);
    EXPECT_EQ(fake.Calls(), (Calls{"sudo -v"}));
  }
  {
    CFakeSystem fake;
    const ChildOutcome outcome = RunFlow(fake, {"-i", "-elevated"}, options);
    EXPECT_EQ(outcome.nExitCode, 2);
    EXPECT_EQ(outcome.strOutput, std::string(kRed) + "ERROR: Unable to elevate\n" + kNormal + kRed +
                                     installError + kNormal);
    EXPECT_TRUE(fake.Calls().empty());
  }
  {
    CFakeSystem fake;
    std::remove(fake.SudoPath().c_str());
    const ChildOutcome outcome = RunFlow(fake, {"-i"}, options);
    EXPECT_EQ(outcome.nExitCode, 2);
    EXPECT_EQ(outcome.strOutput, std::string(kRed) +
                                     "ERROR: Administrator privileges are required.\n" + kNormal +
                                     kRed + installError + kNormal);
  }
  {
    // sudo is there but cannot be started: the system's reason is shown.
    CFakeSystem fake;
    std::ofstream(fake.SudoPath()) << "#!/nonexistent/interpreter\n";
    options.bPty = false;
    const ChildOutcome outcome = RunFlow(fake, {"-i"}, options);
    EXPECT_EQ(outcome.nExitCode, 2);
    EXPECT_EQ(outcome.strOutput, "ERROR: No such file or directory\n" + installError);
  }
}

TEST(UninstallFlowTest, InstalledServiceIsStoppedAndRemoved) {
  for (const char* option : {"-u", "-d"}) {
    CFakeSystem fake;
    fake.AddUnit("quillrade");
    const ChildOutcome outcome = RunFlow(fake, {option});
    EXPECT_EQ(outcome.nExitCode, 0);
    EXPECT_EQ(outcome.strOutput, "\nquillrade service uninstalled successfully.\n");
    EXPECT_EQ(fake.Calls(),
              (Calls{"systemctl stop --no-block quillrade.service",
                     "systemctl disable --quiet quillrade.service", "systemctl daemon-reload"}));
    EXPECT_FALSE(std::ifstream(fake.UnitDir() + "/quillrade.service").good());
  }
}

TEST(UninstallFlowTest, NotInstalledManagerMissingAndUnelevated) {
  {
    CFakeSystem fake;
    FlowOptions options;
    options.bPty = true;
    const ChildOutcome outcome = RunFlow(fake, {"-u"}, options);
    EXPECT_EQ(outcome.nExitCode, 1);
    EXPECT_EQ(outcome.strOutput,
              std::string(kYellow) + "quillrade service is not installed.\n\n" + kNormal);
  }
  {
    CFakeSystem fake;
    fake.RemoveManager();
    const ChildOutcome outcome = RunFlow(fake, {"-u"});
    EXPECT_EQ(outcome.nExitCode, 2);
    EXPECT_EQ(outcome.strOutput,
              "\nError uninstalling quillrade service.\nIs the service not installed?\n"
              "  systemd: not running as the init system (no " +
                  fake.Dir() + "/run-systemd)\n");
  }
  {
    // An elevation that fails leaves the result at 0.
    CFakeSystem fake;
    fake.AddUnit("quillrade");
    fake.SetSudoValidateExit(1);
    FlowOptions options;
    options.bAdministrator = false;
    const ChildOutcome outcome = RunFlow(fake, {"-u"}, options);
    EXPECT_EQ(outcome.nExitCode, 0);
    EXPECT_EQ(outcome.strOutput, "ERROR: User refused the elevation\n");
    EXPECT_TRUE(std::ifstream(fake.UnitDir() + "/quillrade.service").good());
  }
}

// A unit installed by the package is left to the package: neither -i nor -u
// (nor their elevation) touch it; a unit of our own that hides it is still ours.
TEST(PackagedServiceTest, InstallAndUninstallLeaveThePackagesUnitAlone) {
  struct Case {
    const char* option;
    bool ownUnit;
    int exitCode;
    std::string output;
    Calls calls;
  } cases[] = {
      {"-i",
       false,
       1,
       "quillrade service is managed by its package (UNIT).\n"
       "No second unit was written. Start, stop and enable it with systemctl:\n\n"
       "systemctl status quillrade\n\n",
       {}},
      {"-u",
       false,
       1,
       "quillrade service is managed by its package (UNIT).\n"
       "It is removed with its package (apt remove quillrade). To stop it now:\n\n"
       "systemctl stop quillrade\n\n",
       {}},
      {"-u",
       true,
       0,
       "\nquillrade service uninstalled successfully.\n",
       {"systemctl stop --no-block quillrade.service",
        "systemctl disable --quiet quillrade.service", "systemctl daemon-reload"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + (c.ownUnit ? " with own unit" : ""));
    CFakeSystem fake;
    fake.AddPackagedUnit("quillrade");
    if (c.ownUnit) fake.AddUnit("quillrade");
    FlowOptions options;
    options.bAdministrator = c.ownUnit;  // the package's unit needs no elevation
    const ChildOutcome outcome = RunFlow(fake, {c.option}, options);
    const std::string unit = fake.PackageUnitDir() + "/quillrade.service";
    std::string expected = c.output;
    if (expected.find("UNIT") != std::string::npos)
      expected.replace(expected.find("UNIT"), 4, unit);
    EXPECT_EQ(outcome.nExitCode, c.exitCode);
    EXPECT_EQ(outcome.strOutput, expected);
    EXPECT_EQ(fake.Calls(), c.calls);
    EXPECT_TRUE(std::ifstream(unit).good());
    EXPECT_EQ(std::ifstream(fake.UnitDir() + "/quillrade.service").good(), false);
  }
}

TEST(PackagedServiceTest, PowerOptionStopsThePackagedService) {
  CFakeSystem fake;
  fake.AddPackagedUnit("quillrade");
  const ChildOutcome outcome = RunFlow(fake, {"-system_restart"});
  EXPECT_EQ(outcome.nExitCode, 0);
  EXPECT_EQ(fake.Calls(),
            (Calls{"systemctl stop --no-block quillrade.service", "systemctl reboot"}));
}

TEST(PowerOptionTest, FlagsStopTheServiceAndPickTheCommand) {
  struct Case {
    std::vector<std::string> arguments;
    std::string command;
  } cases[] = {
      {{"-system_restart", "-force"}, "systemctl reboot --force"},
      {{"-system_restart"}, "systemctl reboot"},
      {{"-system_shutdown", "-force"}, "systemctl poweroff --force"},
      {{"-system_shutdown", "-system_restart"}, "systemctl poweroff"},
      {{"-system_shutdown", "-i"}, "systemctl poweroff"},
  };
  for (const Case& c : cases) {
    CFakeSystem fake;
    fake.AddUnit("quillrade");
    const ChildOutcome outcome = RunFlow(fake, c.arguments);
    EXPECT_EQ(outcome.nExitCode, 0) << c.command;
    EXPECT_EQ(outcome.strOutput, "") << c.command;
    EXPECT_EQ(fake.Calls(), (Calls{"systemctl stop --no-block quillrade.service", c.command}));
  }
}

TEST(ConsoleTestModeTest, PowerKeysAlternateAndEscEnds) {
  CFakeSystem fake;
  FlowOptions options;
  options.strInput = "PpxP\x1b";
  const ChildOutcome outcome = RunFlow(fake, {"RUN"}, options);
  EXPECT_EQ(outcome.nExitCode, 0);
  EXPECT_EQ(
      outcome.strOutput,
      "quillrade 0.59 (command line test mode)\n\nInitializing...\n[start]"
      "Running. ESC to exit, P to sleep/resume.\n[power 5][power 8][power 5]Exiting.\n[stop]");
  EXPECT_TRUE(fake.Calls().empty());
}

TEST(ConsoleTestModeTest, StartErrorsSkipTheStop) {
  CFakeSystem fake;
  FlowOptions options;
  options.strInput = "p";
  options.nStartError = 42;
  const ChildOutcome failed = RunFlow(fake, {"run"}, options);
  EXPECT_EQ(failed.nExitCode, 0);
  EXPECT_EQ(failed.strOutput,
            "quillrade 0.59 (command line test mode)\n\nInitializing...\n[start]"
            "Internal error code 42 starting service\n");
}

TEST(HelpTest, NamesWithBlanksAreQuotedAndHintsLowerCase) {
  CFakeSystem fake;
  FlowOptions options;
  options.strProgram = "/opt/My Tools/Quill Rade.bin";
  options.description.bAutoStart = false;
  options.description.vecHelpLines = {"extra line"};
  const ChildOutcome outcome = RunFlow(fake, {"-x"}, options);
  EXPECT_EQ(outcome.nExitCode, 0);
  EXPECT_EQ(outcome.strOutput,
            "Quillrade Service: Quill Rade.bin 0.59\n\n"
            "Service Name:          \"Quill Rade\"\n"
            "To install:            Quill Rade.bin -i\n"
            "To install and start:  Quill Rade.bin -i -run\n"
            "To uninstall:          Quill Rade.bin -u\n\n"
            "To start service:      net start \"quill rade\"\n"
            "\nTo run from command line as a test:    Quill Rade.bin run \n"
            "extra line\n");
  // The already-installed hint quotes the lower-case name the same way.
  fake.AddUnit("Quill\\x20Rade");
  const ChildOutcome installed = RunFlow(fake, {"-i"}, options);
  EXPECT_EQ(installed.nExitCode, 1);
  EXPECT_NE(installed.strOutput.find("\"Quill Rade\" service is already installed.\n"),
            std::string::npos);
  EXPECT_NE(installed.strOutput.find(
                "To start: net start \"quill rade\"\nTo stop: net stop \"quill rade\"\n"),
            std::string::npos);
}

}  // namespace
