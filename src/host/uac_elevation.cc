#include "host/uac_elevation.h"

#include <cerrno>

#include "platform/process.h"

bool CUacElevation::IsAdministrator() const { return control.IsAdministrator(); }

bool CUacElevation::IsElevationPossible() const { return control.CanElevate(); }

bool CUacElevation::RelaunchElevated(const std::vector<std::string>& parameters,
                                     std::string* reason) const {
  if (strProgramPath.empty()) {
    *reason = ErrorMessage(ENOENT);
    return false;
  }
  int error = 0;
  switch (control.RelaunchElevated(strProgramPath, parameters, &error)) {
    case RelaunchResult::kRan:
      return true;
    case RelaunchResult::kRefused:
      *reason = "User refused the elevation";
      return false;
    case RelaunchResult::kNotStarted:
      break;
  }
  *reason = ErrorMessage(error);
  return false;
}
