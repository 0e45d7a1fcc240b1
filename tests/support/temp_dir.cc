#include "support/temp_dir.h"

#include <stdlib.h>

#include <fstream>
#include <system_error>

CTempDir::CTempDir(const std::string& prefix) {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  std::string pattern =
      ((error ? std::filesystem::path("/tmp") : base) / (prefix + "_XXXXXX")).string();
  if (mkdtemp(pattern.data()) != nullptr) path = pattern;
}

CTempDir::~CTempDir() {
  if (path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string CTempDir::WriteFile(const std::string& name, std::string_view bytes) const {
  const std::string file = PathOf(name);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}
