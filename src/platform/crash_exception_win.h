// The exception being reported on this process's crashing thread, kept by the
// crash filter for the minidump. Internal to the Windows platform files.
#ifndef QUILLRADE_PLATFORM_CRASH_EXCEPTION_WIN_H_
#define QUILLRADE_PLATFORM_CRASH_EXCEPTION_WIN_H_

#include "platform/win_handle.h"

// The exception handed to the crash filter when the calling thread is the one
// that crashed; null otherwise and for a C++ exception, which has none.
EXCEPTION_POINTERS* CrashExceptionPointers();

#endif  // QUILLRADE_PLATFORM_CRASH_EXCEPTION_WIN_H_
