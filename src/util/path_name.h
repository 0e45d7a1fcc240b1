// Splitting a path into folder, file name and extension. Pure; any thread.
#ifndef QUILLRADE_UTIL_PATH_NAME_H_
#define QUILLRADE_UTIL_PATH_NAME_H_

#include <string>
#include <string_view>

// The part of `path` after its last separator (any byte of `separators`); the
// whole path when it has none.
std::string FileNameOf(std::string_view path, std::string_view separators = "/");

// `path` without the extension of its file name (from the file name's last "."
// on). A "." in a folder name is never taken for an extension, so
// /opt/v1.2/quillrade stays as it is.
std::string WithoutExtension(std::string_view path, std::string_view separators = "/");

#endif  // QUILLRADE_UTIL_PATH_NAME_H_
