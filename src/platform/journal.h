// The systemd journal as a destination for status texts. A service whose standard
// output systemd connected to the journal finds the stream's device and inode in
// JOURNAL_STREAM; only then are entries sent natively, with a priority and fields
// of their own, instead of as plain lines on standard output.
//
//   if (IsStdoutJournalStream())
//     SendJournalEntry({"MESSAGE=Fetching URL: ...OK", "PRIORITY=6"});
//
// Windows has no journal: there the stream is never the journal and nothing is sent.
//
// Threads: any thread. Failures are values.
#ifndef QUILLRADE_PLATFORM_JOURNAL_H_
#define QUILLRADE_PLATFORM_JOURNAL_H_

#include <string>
#include <vector>

// Journal priorities (syslog levels) the status texts use.
constexpr int kJournalPriorityError = 3;
constexpr int kJournalPriorityWarning = 4;
constexpr int kJournalPriorityInfo = 6;

// True when descriptor 1 is the stream JOURNAL_STREAM names ("<device>:<inode>").
bool IsStdoutJournalStream();
// Queues one entry made of "NAME=value" fields (a value may hold any bytes) for
// a thread that sends it, so a journal that falls behind never holds up the
// caller; entries are sent in order and drained at exit. False when it was
// dropped (too many waiting) or the journal refused it.
bool SendJournalEntry(const std::vector<std::string>& fields);

#endif  // QUILLRADE_PLATFORM_JOURNAL_H_
