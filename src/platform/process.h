// The running process: its program path, its arguments (stored once at start),
// its privileges, and running a child program in the same terminal.
//
// Threads: SetProcessArguments is called once by main before any other thread
// exists; everything else may be called from any thread afterwards.
#ifndef QUILLRADE_PLATFORM_PROCESS_H_
#define QUILLRADE_PLATFORM_PROCESS_H_

#include <string>
#include <vector>

#include "platform/result.h"

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. Started
// with a standard stream closed, the first descriptor the program opened would
// take its number (a pipe on 0 and 1 reads the program's own output back as
// input). Call first thing in main, before anything opens a descriptor.
void EnsureStandardDescriptors();

// Keeps the allocator to a few memory pools shared by all threads. glibc
// otherwise gives threads up to eight pools a core, and the status server's
// workers, each building pages by turns, leave free memory in every one of them:
// under a few minutes of mixed load the process grew by half and stayed there.
// The workers do little allocating, so sharing costs nothing noticeable.
// Windows' heap is one for the process already: nothing to do there. Call once
// in main, before other threads exist.
void LimitAllocatorPools();

// Hands the memory the allocator holds free, in every pool, back to the system
// (best effort; Windows: the process heap is compacted). Any thread.
void ReleaseFreeMemory();

// Full path of the running program file (/proc/self/exe); empty when unreadable.
std::string GetProgramPath();

// The process's arguments as the system split them, the program path first.
// Linux: `argv` itself. Windows: the wide command line split by
// CommandLineToArgvW (the C runtime's rules) and converted to the ANSI code
// page; `argv` is the fallback when that fails.
std::vector<std::string> ReadProcessArguments(int argc, const char* const* argv);

// Joins arguments with blanks, quoting each one that needs it so the C
// runtime's splitting (CommandLineToArgvW) gives it back unchanged: an argument
// with a blank, tab or double quote, or an empty one, goes in double quotes, a
// double quote inside (and the backslashes before it) escaped with backslashes.
// After the first argument, one with a "=" whose name needs no quoting is
// written name="value". The line is for people and for starting programs; the
// program reads its own arguments from the list, never from such a line.
std::string BuildCommandLine(const std::vector<std::string>& arguments);

// Stores the process arguments (and their BuildCommandLine line).
void SetProcessArguments(std::vector<std::string> arguments);
// The stored arguments, the program path first; empty before SetProcessArguments.
const std::vector<std::string>& GetProcessArguments();
// BuildCommandLine of the stored arguments; empty before SetProcessArguments.
const std::string& GetProcessCommandLine();
// The command line as the system holds it for this process (Linux: the
// arguments of /proc/self/cmdline joined by BuildCommandLine; Windows:
// GetCommandLineA). For reports made before main stored its own.
std::string ReadSystemCommandLine();

// True when the process runs with effective uid 0.
bool IsEffectiveRoot();

// True when `program` names an executable file, directly (when it contains a
// "/") or in one of the PATH folders.
bool IsProgramOnPath(const std::string& program);

// Outcome of running a child program.
struct ChildResult {
  bool bStarted = false;  // false: the program could not be started
  int nError = 0;         // errno of the failed start
  int nExitCode = -1;     // exit status, or 128 + signal number when killed

  // Ok when the program started and ended with exit code 0; otherwise why not,
  // in the words of `context` (the command it ran).
  CResult AsResult(std::string context) const;
};

// Runs argv[0] (searched on PATH) with the given arguments, sharing this
// process's terminal and standard streams, and waits until it ends. SIGINT and
// SIGQUIT are ignored by this process while waiting, so a Ctrl-C reaches only the
// child, as with system().
ChildResult RunChildAndWait(const std::vector<std::string>& argv);

// Like RunChildAndWait, but the child's standard output is captured into
// `output` (standard input and error stay shared).
ChildResult RunChildCaptureOutput(const std::vector<std::string>& argv, std::string* output);

// The system's message text for an errno value.
std::string ErrorMessage(int error);

// Flushes standard output and ends the process at once with `exitCode`, without
// running destructors (the relaunched elevated copy has taken over).
[[noreturn]] void ExitProcessNow(int exitCode);

#endif  // QUILLRADE_PLATFORM_PROCESS_H_
