// Terminal facts about the process's standard streams.
// Any thread may call these.
#ifndef QUILLRADE_PLATFORM_TERMINAL_H_
#define QUILLRADE_PLATFORM_TERMINAL_H_

// True when standard output is a terminal and NO_COLOR is not set (a set but
// empty NO_COLOR also turns colours off).
bool StdoutWantsColour();

#endif  // QUILLRADE_PLATFORM_TERMINAL_H_
