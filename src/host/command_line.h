// Reading the process command line (GetProcessCommandLine: argv rebuilt into one
// line) as a parameter list: blank-separated name=value tokens, names compared
// without regard to ASCII case. Pure functions; any thread.
#ifndef QUILLRADE_HOST_COMMAND_LINE_H_
#define QUILLRADE_HOST_COMMAND_LINE_H_

#include <string>

// True when a token named `key` exists ("RUN" and "run=1" both count as "run").
bool HasCommandLineKey(const std::string& commandLine, const std::string& key);

// The value of the first token named `key`, even when empty; `defaultValue` when
// there is no such token. One pair of enclosing double quotes is removed.
std::string GetCommandLineValue(const std::string& commandLine, const std::string& key,
                                const std::string& defaultValue);

// The command line after its first token (the program path) and the blank that
// ends it; empty when no blank outside double quotes follows the first character.
std::string GetCommandLineArguments(const std::string& commandLine);

// True when the command line asks for the configuration check ("check" or
// "-check").
bool IsConfigCheckCommand(const std::string& commandLine);

#endif  // QUILLRADE_HOST_COMMAND_LINE_H_
