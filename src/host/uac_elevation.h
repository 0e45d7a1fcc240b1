// CUacElevation: the three security steps of gaining administrator rights (are we
// root, can we elevate, relaunch elevated). Stateless; made for one check and
// working through the given service-control seam, which must outlive it.
//
// Threads: the process's first thread (the relaunch shares the terminal).
#ifndef QUILLRADE_HOST_UAC_ELEVATION_H_
#define QUILLRADE_HOST_UAC_ELEVATION_H_

#include <string>
#include <vector>

#include "platform/service_control.h"

class CUacElevation {
 public:
  // `programPath` is the program that the relaunch runs.
  CUacElevation(const CServiceControl& control, const std::string& programPath)
      : control(control), strProgramPath(programPath) {}

  // Effective uid 0.
  bool IsAdministrator() const;
  // sudo can be found on the PATH.
  bool IsElevationPossible() const;
  // Runs the program again through sudo with `parameters` (the arguments after
  // the program path) and waits for it. True when the elevated copy ran; otherwise `reason` says
  // why not ("User refused the elevation" or the system's error text).
  bool RelaunchElevated(const std::vector<std::string>& parameters, std::string* reason) const;

 private:
  const CServiceControl& control;
  const std::string strProgramPath;
};

#endif  // QUILLRADE_HOST_UAC_ELEVATION_H_
