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
  control.RemoveUnit(kServiceName);  // left over from an interrupted run
  EXPECT_FALSE(control.UnitExists(kServiceName));
  EXPECT_EQ(control.QueryUnitState(kServiceName), kServiceStateUnknown);

  ServiceUnit unit;
  unit.strName = kServiceName;
  unit.strDescription = "Platform test service";
  unit.strExecStart = "\"" + GetProgramPath() + "\" servicerun";
  unit.bRestartOnFailure = true;
  ASSERT_TRUE(control.InstallUnit(unit));
  EXPECT_TRUE(control.UnitExists(kServiceName));
  EXPECT_EQ(control.QueryUnitState(kServiceName), kServiceStateStopped);
  EXPECT_FALSE(control.InstallUnit(unit)) << "it exists already";
  EXPECT_FALSE(control.StopUnit(kServiceName)) << "a stopped service takes no stop";

  EXPECT_TRUE(control.RemoveUnit(kServiceName));
  EXPECT_FALSE(control.UnitExists(kServiceName));
  EXPECT_FALSE(control.RemoveUnit(kServiceName));
}

TEST(ServiceControlWinTest, PowerFlagsWithoutAnActionRequestNothing) {
  const CServiceControl control;
  EXPECT_FALSE(control.RequestPower(kPowerFlagForce));
  EXPECT_FALSE(control.RequestPower(0));
}

}  // namespace
