// The one time format the running system prints: local time as
// "YYYY-MM-DD hh:mm:ss". Any thread.
#ifndef QUILLRADE_UTIL_TIME_FORMAT_H_
#define QUILLRADE_UTIL_TIME_FORMAT_H_

#include <cstddef>
#include <string>

// Size of the buffer that callers of FormatLocalTimestamp pass.
constexpr size_t kTimestampBufferSize = 256;

// Writes the current local time into buffer[size], cut to fit and terminated.
void FormatLocalTimestamp(char* buffer, size_t size);

// The same text as a string.
std::string LocalTimestamp();

#endif  // QUILLRADE_UTIL_TIME_FORMAT_H_
