// Splitting a path into folder, file name and extension. Pure; any thread.
#ifndef QUILLRADE_UTIL_PATH_NAME_H_
#define QUILLRADE_UTIL_PATH_NAME_H_

#include <string>
#include <string_view>

#include "platform/file_system.h"

// The part of `path` after its last separator (any byte of `separators`, by
// default the running system's); the whole path when it has none.
std::string FileNameOf(std::string_view path, std::string_view separators = PathSeparators());

// `path` without the extension of its file name (from the file name's last "."
// on). A "." in a folder name is never taken for an extension, so
// /opt/v1.2/quillrade stays as it is.
std::string WithoutExtension(std::string_view path, std::string_view separators = PathSeparators());

#endif  // QUILLRADE_UTIL_PATH_NAME_H_
