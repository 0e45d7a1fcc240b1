#include "status/journal_sink.h"

#include <utility>

#include "platform/journal.h"
#include "status/terminal_text.h"
#include "status/url_mask.h"

namespace {

constexpr char kStartPrefix[] = "\nFetching URL: ";
constexpr char kRequestPrefix[] = "Fetching URL: ";
constexpr char kOk[] = "OK";
constexpr char kError[] = "ERROR";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "\nFetching URL: %s..." alone, without its result.
bool IsRequestStart(const std::string& text) {
  return StartsWith(text, kStartPrefix) && EndsWith(text, "...") &&
         text.find('\n', 1) == std::string::npos;
}

// Texts that report a failure: a failed load, input that cannot be taken, a
// channel that did not start.
const char* const kErrorPrefixes[] = {"Couldn't read from file", "Error reading ",
                                      "Error parsing XML", "ERROR",
                                      "HTTP status server not started"};
// Texts that report something lost or only partly working.
const char* const kWarningPrefixes[] = {"Cannot watch folder"};

int PriorityOf(const std::string& message) {
  for (const char* prefix : kErrorPrefixes) {
    if (StartsWith(message, prefix)) return kJournalPriorityError;
  }
  for (const char* prefix : kWarningPrefixes) {
    if (StartsWith(message, prefix)) return kJournalPriorityWarning;
  }
  // Refused input: a request that lacked the access token.
  if (EndsWith(message, ": missing or wrong access token") ||
      EndsWith(message, " more requests refused")) {
    return kJournalPriorityError;
  }
  if (message.find("dropped") != std::string::npos) return kJournalPriorityWarning;
  return kJournalPriorityInfo;
}

}  // namespace

CJournalSink::CJournalSink(SendFunction send)
    : fnSend(send ? std::move(send) : SendFunction(&SendJournalEntry)) {}

void CJournalSink::Write(const std::string& text, const std::string& taskLabel) {
  std::string start;
  const auto pending = pendingStarts.find(std::this_thread::get_id());
  if (pending != pendingStarts.end()) {
    start = std::move(pending->second);
    pendingStarts.erase(pending);
  }
  if (IsRequestStart(text)) {
    pendingStarts[std::this_thread::get_id()] = text;
    return;
  }
  const bool result = text == "OK\n" || text == "ERROR\n";
  const std::vector<std::string> fields =
      EntryFields(result && !start.empty() ? start + text : text, taskLabel);
  if (!fields.empty()) fnSend(fields);
}

std::vector<std::string> CJournalSink::EntryFields(const std::string& text,
                                                   const std::string& taskLabel) {
  const size_t first = text.find_first_not_of('\n');
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of('\n');
  std::string message;
  AppendWithVisibleControls(std::string_view(text).substr(first, last - first + 1), message);
  int priority = PriorityOf(message);
  std::vector<std::string> fields;
  if (StartsWith(message, kRequestPrefix)) {
    for (const std::string result : {kOk, kError}) {
      if (!EndsWith(message, "..." + result)) continue;
      const size_t urlStart = std::char_traits<char>::length(kRequestPrefix);
      const std::string url =
          message.substr(urlStart, message.size() - urlStart - 3 - result.size());
      fields.push_back("QUILLRADE_URL=" + MaskUrlCredentials(url));
      fields.push_back("QUILLRADE_RESULT=" + result);
      if (result == kError) priority = kJournalPriorityError;
      break;
    }
  }
  fields.insert(fields.begin(), {"MESSAGE=" + message, "PRIORITY=" + std::to_string(priority),
                                 "SYSLOG_IDENTIFIER=quillrade"});
  if (!taskLabel.empty()) fields.push_back("QUILLRADE_TASK=" + taskLabel);
  return fields;
}
