// The Windows service control manager as the test process sees it: under Wine
// each build tree has a prefix of its own, so installing a service changes only
// that prefix.
#include "platform/service_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/process.h"

namespace {

constexpr char kServiceName[] = "quillrade-platform-test";

TEST(ServiceControlWinTest, AConsoleProcessIsNoServiceAndWaitsForNoControl) {
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(CServiceControl::StartedByServiceManager());
  EXPECT_FALSE(CServiceControl::StartedByServiceManager()) << "the answer is kept";
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_FALSE(CServiceControl::Notify("READY=1"));
  CStopSignals controls;
  ServiceControlRequest request;
  EXPECT_FALSE(controls.WaitForControl(50, &request));
}

TEST(ServiceControlWinTest, InstallQueryAndRemoveAService) {
  const CServiceControl control;
  ASSERT_TRUE(control.IsManagerAvailable());
  (void)control.RemoveUnit(kServiceName);  // left over from an interrupted run
  EXPECT_FALSE(control.UnitExists(kServiceName));
  EXPECT_EQ(control.QueryUnitState(kServiceName), kServiceStateUnknown);

  ServiceUnit unit;
  unit.strName = kServiceName;
  unit.strDescription = "Platform test service";
  unit.strExecStart = "\"" + GetProgramPath() + "\" servicerun";
  unit.bRestartOnFailure = true;
  ASSERT_TRUE(control.InstallUnit(unit).ok());
  EXPECT_TRUE(control.UnitExists(kServiceName));
  EXPECT_EQ(control.QueryUnitState(kServiceName), kServiceStateStopped);
  // Each refusal names what was tried and the service manager's own text.
  const CResult again = control.InstallUnit(unit);
  EXPECT_EQ(again.Context(), std::string("create service ") + kServiceName) << "it exists already";
  EXPECT_FALSE(again.Detail().empty());
  EXPECT_EQ(control.StopUnit(kServiceName).Context(), std::string("stop service ") + kServiceName)
      << "a stopped service takes no stop";

  EXPECT_TRUE(control.RemoveUnit(kServiceName).ok());
  EXPECT_FALSE(control.UnitExists(kServiceName));
  const CResult gone = control.RemoveUnit(kServiceName);
  EXPECT_EQ(gone.Code(), CResultCode::kNotFound) << gone.Message();
}

TEST(ServiceControlWinTest, PowerFlagsWithoutAnActionRequestNothing) {
  const CServiceControl control;
  EXPECT_EQ(control.RequestPower(kPowerFlagForce).Code(), CResultCode::kInvalidArgument);
  EXPECT_EQ(control.RequestPower(0).Code(), CResultCode::kInvalidArgument);
}

}  // namespace
