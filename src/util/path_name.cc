#include "util/path_name.h"

namespace {

// Index where the file name starts.
size_t FileNameStart(std::string_view path, std::string_view separators) {
  const size_t separator = path.find_last_of(separators);
  return separator == std::string_view::npos ? 0 : separator + 1;
}

}  // namespace

std::string FileNameOf(std::string_view path, std::string_view separators) {
  return std::string(path.substr(FileNameStart(path, separators)));
}

std::string WithoutExtension(std::string_view path, std::string_view separators) {
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < FileNameStart(path, separators)) {
    return std::string(path);
  }
  return std::string(path.substr(0, dot));
}
