// Texts on their way to a terminal: standard output and the telnet feed. Status
// texts carry bytes from outside (pushed values, input files), and a terminal
// obeys control bytes, so at these two sinks the controls are made visible
// instead of being obeyed. The ring and the status page keep the text as it is;
// the texts that carry outside bytes show their line ends before they are printed.
//
// Threads: pure functions; any thread.
#ifndef QUILLRADE_STATUS_TERMINAL_TEXT_H_
#define QUILLRADE_STATUS_TERMINAL_TEXT_H_

#include <string>
#include <string_view>

// Appends `text` to `out` with every C0 control byte other than TAB, LF and CR,
// and DEL, written in caret notation (ESC as "^[", NUL as "^@", DEL as "^?").
// Bytes from 0x80 up pass unchanged, so UTF-8 stays readable.
void AppendWithVisibleControls(std::string_view text, std::string& out);

// `text` with each of its line ends (CR LF, LF CR, LF, CR) written as "[CR]", as
// values carry them, so bytes from outside cannot start a status line of their
// own on any channel.
std::string WithLineEndsShown(std::string_view text);

// Line ends shown as "[CR]" and the other controls in caret notation: for pages
// that show outside bytes inside their own layout.
std::string WithAllControlsShown(std::string_view text);

#endif  // QUILLRADE_STATUS_TERMINAL_TEXT_H_
