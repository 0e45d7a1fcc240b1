// File helpers shared by the configuration reader and the task cycle.
// Any thread; no shared state.
#ifndef QUILLRADE_CONFIG_FILE_HELPERS_H_
#define QUILLRADE_CONFIG_FILE_HELPERS_H_

#include <cstdint>
#include <string>

#include "platform/result.h"

// Reads an existing regular file whole. A failure (and `buffer` empty) when the
// file is missing, cannot be opened, is a folder, pipe or device (a read could
// block), is larger than `limit` bytes or 4 GiB, or did not arrive whole (it
// shrank). A writer holding the file open does not make the read fail.
CResult ReadWholeFile(const std::string& path, uint64_t limit, std::string* buffer);

// The file's last-write time as a Windows file time (100 ns units since 1601);
// 0 when the file does not exist.
uint64_t GetFileLastWriteTime(const std::string& path);

#endif  // QUILLRADE_CONFIG_FILE_HELPERS_H_
