// Reading the process arguments (GetProcessArguments: the program path first,
// then each argument exactly as the system split it) as name=value keys, names
// compared without regard to ASCII case. Each argument is one key: a blank or a
// double quote inside it never reaches into the next one. Pure functions; any
// thread.
#ifndef QUILLRADE_HOST_COMMAND_LINE_H_
#define QUILLRADE_HOST_COMMAND_LINE_H_

#include <string>
#include <vector>

// True when an argument after the program path is named `key` ("RUN" and
// "run=1" both count as "run").
bool HasCommandLineKey(const std::vector<std::string>& arguments, const std::string& key);

// The value of the first argument named `key`, even when empty; `defaultValue`
// when there is no such argument. One pair of enclosing double quotes is removed.
std::string GetCommandLineValue(const std::vector<std::string>& arguments, const std::string& key,
                                const std::string& defaultValue);

// True when the arguments ask for the configuration check ("check" or "-check").
bool IsConfigCheckCommand(const std::vector<std::string>& arguments);

#endif  // QUILLRADE_HOST_COMMAND_LINE_H_
