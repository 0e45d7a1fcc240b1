// CJournalSink: status texts as journal entries, for a service whose standard
// output is the journal. Each text becomes one entry: the text without its
// surrounding newlines (controls made visible, as on standard output) as the
// message, a priority, the task it belongs to and, for a request, its URL (with
// credentials masked, as /tasks shows it) and its result.
//
// A request is printed in two texts, "\nFetching URL: %s..." and then "OK\n" or
// "ERROR\n"; the two become one entry. A start that its thread does not follow
// directly with its result is never sent on its own: the result then comes as
// one combined text later ("\nFetching URL: %s...OK\n").
//
// Threads: Write is called under CLogOutput's lock, so texts arrive one at a
// time and in print order; starts are held per printing thread.
#ifndef QUILLRADE_STATUS_JOURNAL_SINK_H_
#define QUILLRADE_STATUS_JOURNAL_SINK_H_

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

class CJournalSink {
 public:
  using SendFunction = std::function<bool(const std::vector<std::string>&)>;

  // `send` delivers one entry's fields; the default is the system journal.
  explicit CJournalSink(SendFunction send = SendFunction());

  // Takes one printed text; `taskLabel` is the task it belongs to (may be empty).
  void Write(const std::string& text, const std::string& taskLabel);

  // The fields of the entry for one complete text; empty when it has no message.
  static std::vector<std::string> EntryFields(const std::string& text,
                                              const std::string& taskLabel);

 private:
  SendFunction fnSend;
  // Request starts waiting for their result, by printing thread.
  std::map<std::thread::id, std::string> pendingStarts;
};

#endif  // QUILLRADE_STATUS_JOURNAL_SINK_H_
