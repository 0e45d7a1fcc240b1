#include "platform/terminal.h"

#include <stdlib.h>
#include <unistd.h>

bool StdoutWantsColour() { return isatty(STDOUT_FILENO) == 1 && getenv("NO_COLOR") == nullptr; }
