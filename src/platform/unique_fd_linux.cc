#include "platform/unique_fd.h"

#include <unistd.h>

void CloseFileDescriptor(int descriptor) { close(descriptor); }

void CloseSocketDescriptor(int descriptor) { close(descriptor); }
