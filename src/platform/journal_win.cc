#include "platform/journal.h"

bool IsStdoutJournalStream() { return false; }

bool SendJournalEntry(const std::vector<std::string>&) { return false; }
