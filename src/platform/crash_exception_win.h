// The exception being reported on this process's crashing thread, kept by the
// crash filter for the minidump. Internal to the Windows platform files.
#ifndef QUILLRADE_PLATFORM_CRASH_EXCEPTION_WIN_H_
#define QUILLRADE_PLATFORM_CRASH_EXCEPTION_WIN_H_

#include "platform/win_handle.h"

// The exception handed to the crash filter and the thread it happened on;
// false before any (and for a C++ exception, which has none).
bool CrashExceptionInfo(EXCEPTION_POINTERS** pointers, DWORD* threadId);

#endif  // QUILLRADE_PLATFORM_CRASH_EXCEPTION_WIN_H_
