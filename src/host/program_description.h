// The description this program gives of itself as a service: texts for the help
// banner and the unit file, and the switches that make it start on boot, start
// right after installing, run as a service only on "servicerun" and restart
// after a crash.
#ifndef QUILLRADE_HOST_PROGRAM_DESCRIPTION_H_
#define QUILLRADE_HOST_PROGRAM_DESCRIPTION_H_

#include "host/service_description.h"

ServiceDescription QuillradeServiceDescription();

#endif  // QUILLRADE_HOST_PROGRAM_DESCRIPTION_H_
