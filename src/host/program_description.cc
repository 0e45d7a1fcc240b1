#include "host/program_description.h"

#include "util/version.h"

ServiceDescription QuillradeServiceDescription() {
  ServiceDescription description;
  description.strShortDescription = "Quillrade";
  description.strServiceDescription =
      "Quillrade by Hollend. Parses Text or XML and pushes the result out as an HTTP request. "
      "See status at http://127.0.0.1:7370";
  description.strVersion = kQuillradeVersion;
  description.bAutoStart = true;
  description.bStartAfterInstall = true;
  description.bServiceRunKeyword = true;
  description.bRestartOnFailure = true;
  return description;
}
