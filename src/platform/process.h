// The running process: its program path, its command line (rebuilt once from argv
// at start), its privileges, and running a child program in the same terminal.
//
// Threads: SetProcessCommandLine is called once by main before any other thread
// exists; everything else may be called from any thread afterwards.
#ifndef QUILLRADE_PLATFORM_PROCESS_H_
#define QUILLRADE_PLATFORM_PROCESS_H_

#include <string>
#include <vector>

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. Started
// with a standard stream closed, the first descriptor the program opened would
// take its number (a pipe on 0 and 1 reads the program's own output back as
// input). Call first thing in main, before anything opens a descriptor.
void EnsureStandardDescriptors();

// Full path of the running program file (/proc/self/exe); empty when unreadable.
std::string GetProgramPath();

// Joins argv with blanks. An argument containing a blank is written so that the
// parameter-list reader returns it unchanged: name="value with blank" when it
// holds a "=" (and its name has no blank), "whole argument" otherwise. An empty
// argument is written as "" so the argument count survives a relaunch.
std::string BuildCommandLine(int argc, const char* const* argv);

// Splits a command line made by BuildCommandLine back into arguments: pieces
// between blanks outside double quotes, with the quoting of BuildCommandLine
// removed again.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Stores BuildCommandLine(argc, argv) as the process command line.
void SetProcessCommandLine(int argc, const char* const* argv);
// The stored process command line; empty before SetProcessCommandLine.
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
