#include "platform/service_control.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fake_system_support.h"
#include "platform/process.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

ServiceUnit RestartingUnit() {
  ServiceUnit unit;
  unit.strName = "quillrade";
  unit.strDescription = "Quillrade by Hollend. See status at http://127.0.0.1:7370";
  unit.strExecStart = "\"/opt/v1.2/quillrade\" servicerun";
  unit.bAutoStart = true;
  unit.bRestartOnFailure = true;
  unit.nRestartDelayMs = 5000;
  return unit;
}

TEST(ServiceControlTest, UnitFileDescribesANotifyServiceThatRestarts) {
  EXPECT_EQ(CServiceControl::UnitFileText(RestartingUnit()),
            "[Unit]\n"
            "Description=Quillrade by Hollend. See status at http://127.0.0.1:7370\n"
            "StartLimitIntervalSec=180\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=\"/opt/v1.2/quillrade\" servicerun\n"
            "ExecReload=/bin/kill -HUP $MAINPID\n"
            "Restart=always\n"
            "RestartSec=5\n"
            "TimeoutStopSec=30\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
}

TEST(ServiceControlTest, UnitFileWithoutRestartAndWithCharactersSystemdWouldExpand) {
  ServiceUnit unit = RestartingUnit();
  unit.bRestartOnFailure = false;
  unit.strDescription = "100% done";
  unit.strExecStart = "\"/opt/a$b\\c/q%d\" servicerun ini_file=$HOME/x.ini";
  const std::string text = CServiceControl::UnitFileText(unit);
  EXPECT_NE(text.find("Description=100%% done\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ExecStart=\"/opt/a$b\\\\c/q%%d\" servicerun ini_file=$$HOME/x.ini\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Restart"), std::string::npos) << text;
  EXPECT_EQ(text.find("StartLimit"), std::string::npos) << text;

  unit.bRestartOnFailure = true;
  unit.nRestartDelayMs = 1500;
  EXPECT_NE(CServiceControl::UnitFileText(unit).find("RestartSec=1500ms\n"), std::string::npos);
}

// systemd's own offline checker, when installed, accepts the unit as written.
TEST(ServiceControlTest, SystemdAcceptsTheUnitFile) {
  if (!IsProgramOnPath("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  CFakeSystem folder;
  ServiceUnit unit = RestartingUnit();
  unit.strExecStart = "\"" + GetProgramPath() + "\" servicerun ini_file=\"/a b/100%.ini\"";
  const std::string path = folder.UnitDir() + "/quillrade.service";
  std::ofstream(path) << CServiceControl::UnitFileText(unit);
  std::string output;
  FILE* verify = popen(("systemd-analyze verify --man=no " + path + " 2>&1").c_str(), "r");
  ASSERT_NE(verify, nullptr);
  char buffer[512];
  while (std::fgets(buffer, sizeof(buffer), verify) != nullptr) output += buffer;
  EXPECT_EQ(pclose(verify), 0) << output;
  EXPECT_EQ(output, "");
}

TEST(ServiceControlTest, UnitNamesEscapeBytesSystemdRejects) {
  EXPECT_EQ(CServiceControl::UnitName("quillrade"), "quillrade.service");
  EXPECT_EQ(CServiceControl::UnitName("Quill Rade"), "Quill\\x20Rade.service");
  EXPECT_EQ(CServiceControl::UnitName("a/b"), "a\\x2fb.service");
}

TEST(ServiceControlTest, ActiveStatesMapToServiceStates) {
  const std::pair<const char*, int> cases[] = {
      {"active", kServiceStateRunning},
      {"reloading", kServiceStateRunning},
      {"activating", kServiceStateStartPending},
      {"deactivating", kServiceStateStopPending},
      {"inactive", kServiceStateStopped},
      {"failed", kServiceStateStopped},
      {"", kServiceStateStopped},
  };
  for (const auto& [activeState, state] : cases) {
    EXPECT_EQ(CServiceControl::StateFromActiveState(activeState), state) << activeState;
  }
}

TEST(ServiceControlTest, PowerFlagsPickTheSystemctlCommand) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(CServiceControl::PowerArguments(6), (Args{"reboot", "--force"}));
  EXPECT_EQ(CServiceControl::PowerArguments(18), (Args{"reboot"}));
  EXPECT_EQ(CServiceControl::PowerArguments(12), (Args{"poweroff", "--force"}));
  EXPECT_EQ(CServiceControl::PowerArguments(24), (Args{"poweroff"}));
  EXPECT_TRUE(CServiceControl::PowerArguments(0).empty());

  CFakeSystem fake;
  const CServiceControl control(fake.Settings());
  EXPECT_TRUE(control.RequestPower(12).ok());
  EXPECT_EQ(control.RequestPower(0).Code(), CResultCode::kInvalidArgument);
  EXPECT_EQ(fake.Calls(), (Args{"systemctl poweroff --force"}));
}

TEST(ServiceControlTest, InstallWritesReloadsEnablesAndRemoveUndoesIt) {
  CFakeSystem fake;
  const CServiceControl control(fake.Settings());
  ASSERT_TRUE(control.InstallUnit(RestartingUnit()).ok());
  EXPECT_EQ(ReadFile(fake.UnitDir() + "/quillrade.service"),
            CServiceControl::UnitFileText(RestartingUnit()));
  EXPECT_TRUE(control.UnitExists("quillrade"));
  ASSERT_TRUE(control.RemoveUnit("quillrade").ok());
  EXPECT_FALSE(control.UnitExists("quillrade"));
  EXPECT_EQ(control.RemoveUnit("quillrade").Code(), CResultCode::kNotFound);
  EXPECT_EQ(fake.Calls(), (std::vector<std::string>{
                              "systemctl daemon-reload",
                              "systemctl enable --quiet quillrade.service",
                              "systemctl disable --quiet quillrade.service",
                              "systemctl daemon-reload",
                          }));
}

TEST(ServiceControlTest, InstallThatSystemdRefusesLeavesNoUnit) {
  CFakeSystem fake;
  fake.FailVerb("enable");
  const CServiceControl control(fake.Settings());
  // The reason names the command that failed.
  EXPECT_EQ(control.InstallUnit(RestartingUnit()).Message(),
            fake.Dir() + "/systemctl enable --quiet quillrade.service: exit code 1");
  EXPECT_FALSE(control.UnitExists("quillrade"));

  CFakeSystem noManager;
  noManager.RemoveManager();
  const CServiceControl unavailable(noManager.Settings());
  EXPECT_FALSE(unavailable.IsManagerAvailable());
  EXPECT_EQ(unavailable.InstallUnit(RestartingUnit()).Code(), CResultCode::kUnavailable);
  EXPECT_FALSE(unavailable.UnitExists("quillrade"));
  EXPECT_EQ(unavailable.QueryUnitState("quillrade"), kServiceStateUnknown);
}

TEST(ServiceControlTest, StateIsReadForAnInstalledUnitOnly) {
  CFakeSystem fake;
  fake.PlayStates({"activating", "active"});
  const CServiceControl control(fake.Settings());
  EXPECT_EQ(control.QueryUnitState("quillrade"), kServiceStateUnknown);
  fake.AddUnit("quillrade");
  EXPECT_EQ(control.QueryUnitState("quillrade"), kServiceStateStartPending);
  EXPECT_EQ(control.QueryUnitState("quillrade"), kServiceStateRunning);
  EXPECT_EQ(fake.Calls(), (std::vector<std::string>{
                              "systemctl show -p ActiveState,SubState quillrade.service",
                              "systemctl show -p ActiveState,SubState quillrade.service",
                          }));
}

}  // namespace
